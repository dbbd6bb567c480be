// The decisions of vesksetup that need no system call: what the command line
// asks for, whether this Windows is one Vesk runs on and which extension
// build fits it, what a failed stop of the driver means, and how the driver's
// tag leaves the group order list. Portable, tested on the host.
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

enum class Platform { Supported, NotWindowsNt, TooOld, SixtyFourBit };
enum class ExtensionBuild { Nt, Xp };

struct PlatformVerdict {
  Platform platform;
  ExtensionBuild build;
};

// Windows NT 5.0 (Windows 2000) from service pack 4 takes the Windows 2000
// build; 5.1 and later take the XP build. A 32-bit program on 64-bit Windows
// is refused: the driver is 32-bit. `platformId` is OSVERSIONINFO's
// dwPlatformId (2 on the NT line).
PlatformVerdict JudgePlatform(uint32_t platformId, uint32_t major, uint32_t minor, uint32_t servicePackMajor,
                              bool sixtyFourBit);

// Whether the driver may still be loaded after a stop request: true unless the
// request succeeded and the service reached SERVICE_STOPPED, or the service
// was not running at all (ERROR_SERVICE_NOT_ACTIVE). A driver without an
// unload routine refuses the request; it stays until the next boot.
bool DriverStillLoaded(bool stopRequestSucceeded, uint32_t error, uint32_t stateAfterWait);

// Removes every occurrence of `tag` from a well-formed list (4 + 4 * N bytes,
// N <= 255) and returns true when the list changed and must be written back.
// A list that is not well-formed is left as it is (false).
bool RemoveTag(tdiorder::GroupOrderValue& value, uint32_t tag);

}  // namespace vesk::setup
