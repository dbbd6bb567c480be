// The decisions of vesksetup that need no system call: what the command line
// asks for, whether this Windows is one Vesk runs on and which extension
// build fits it, whose Task Manager Debugger value is there, where the
// driver loads in its group, what a failed stop of the driver means, and how
// the driver's tag leaves the group order list. Portable, tested on the host.
#pragma once

#include <stdint.h>

#include "group_order.h"

namespace vesk::setup {

enum class Command { Install, Uninstall, Help, Invalid };

struct Options {
  Command command;
  // Uninstall only: delete vesk.ini from the Windows directory too.
  bool removeSettings;
  // Install only: start the driver at once instead of at the next boot.
  bool startDriver;
};

// Reads the arguments after the program's name: "install" or "uninstall",
// "/?" alone, "/removeini" after "uninstall", "/nostart" after "install"
// (case-insensitive, "-" or "/" for options). Anything else, or nothing, is
// Invalid.
Options ParseArguments(const wchar_t* arguments);

// Returns the text after the program's name (quoted or not) of a full
// command line, without the spaces before it.
const wchar_t* SkipProgramName(const wchar_t* commandLine);

enum class Platform { Supported, NotWindowsNt, TooOld, TooNew, SixtyFourBit };
enum class ExtensionBuild { Nt, Xp };

struct PlatformVerdict {
  Platform platform;
  ExtensionBuild build;
};

// Windows NT 5.0 (Windows 2000) from service pack 4 takes the Windows 2000
// build; 5.1 (XP) and 5.2 take the XP build. From 6.0 on Task Manager is
// another program, whose windows and records the extension does not know:
// TooNew. A 32-bit program on 64-bit Windows is refused: the driver is
// 32-bit. `platformId` is OSVERSIONINFO's dwPlatformId (2 on the NT line).
PlatformVerdict JudgePlatform(uint32_t platformId, uint32_t major, uint32_t minor, uint32_t servicePackMajor,
                              bool sixtyFourBit);

// Whether the driver may still be loaded after a stop request: true unless the
// request succeeded and the service reached SERVICE_STOPPED, or the service
// was not running at all (ERROR_SERVICE_NOT_ACTIVE). A driver without an
// unload routine refuses the request; it stays until the next boot.
bool DriverStillLoaded(bool stopRequestSucceeded, uint32_t error, uint32_t stateAfterWait);

// What reading a string value found: nothing, a REG_SZ that fit the buffer,
// or something else there (another type, too long to read, unreadable).
enum class StringValue { Absent, Read, Other };
// From RegQueryValueExW's status and the value's type.
StringValue ClassifyStringValue(long status, uint32_t type);

// Whose Task Manager "Debugger" value is there. Only a REG_SZ equal to
// setup's own command is setup's; any other value, including one setup
// could not read whole, belongs to another program and is never changed.
enum class DebuggerOwner { Nobody, Setup, OtherProgram };
DebuggerOwner OwnerOfDebugger(StringValue value, bool equalsSetupCommand);

// Where the driver loads within PNP_TDI, as the registry says after
// tdiorder ran.
enum class LoadOrder {
  RightAfterTcpip,
  NoList,          // no PNP_TDI group order list
  UnusableList,    // a value that is not a list of tags
  NoDriverTag,     // the driver has no tag to place
  TcpipNotListed,  // tcpip has no tag, or its tag is not in the list
  BeforeTcpip,     // the driver's tag stands before tcpip's
  NotPlaced,       // the driver's tag is not right after tcpip's
};
// `list` is null when there is no PNP_TDI value; a value of another type
// comes with length 0.
LoadOrder JudgeLoadOrder(const tdiorder::GroupOrderValue* list, tdiorder::OptionalTag tcpipTag,
                         tdiorder::OptionalTag driverTag);

// Removes one occurrence of `tag`, the first (the one tdiorder placed, and the
// only one it ever puts there), from a well-formed list and returns true
// when the list changed and must be written back. Another driver's entry
// with the same number stays. A list that is not well-formed is left as it
// is (false).
bool RemoveTag(tdiorder::GroupOrderValue& value, uint32_t tag);

}  // namespace vesk::setup
