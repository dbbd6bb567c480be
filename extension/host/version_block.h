// The fixed file version of a version resource (VS_VERSIONINFO), read from
// its bytes, and the Task Manager versions the extension is made for.
// Portable: no system call.
#pragma once

#include <cstddef>
#include <cstdint>

struct FileVersion {
  uint16_t major, minor, build, revision;
};

// The VS_FIXEDFILEINFO of a VS_VERSIONINFO block of `size` bytes: the block's
// own length, the key "VS_VERSION_INFO", room for the whole fixed part and
// its signature 0xFEEF04BD are all checked; false when one is wrong.
bool ReadFixedFileVersion(const void* block, size_t size, FileVersion& version);

// The Task Manager of Windows 2000, XP and Server 2003 (file versions 5.0,
// 5.1 and 5.2): the one whose windows, records and commands the extension
// knows. Task Manager from Vista on is another program.
bool IsKnownTaskManagerVersion(const FileVersion& version);
