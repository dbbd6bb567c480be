// The text rules behind process image paths: from the driver's NT path or a
// module path to the path shown and opened, and the version resource's string
// prefix. Portable, without Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// Longest image path handed out, in characters (MAX_PATH less its NUL).
constexpr size_t kMaxImagePath = 259;

// NT device name (e.g. \Device\HarddiskVolume1) to its drive letter.
using DeviceLetterMap = std::map<std::wstring, wchar_t>;

// The path in a reply of UTF-16 units: up to the first NUL within the
// `byteCount` bytes the reply reported, never past `capacityUnits`.
std::wstring PathFromReply(const uint16_t* units, size_t byteCount, size_t capacityUnits);

// Everything before the path's third backslash; the whole path with fewer.
std::wstring DevicePartOf(const std::wstring& ntPath);

// The NT path with its device part replaced by "X:" when the map knows the
// device, a path through a drive letter's link (\??\X:\...) without the
// link's prefix, otherwise unchanged; at most kMaxImagePath characters.
std::wstring Win32PathFromNtPath(const std::wstring& ntPath, const DeviceLetterMap& letters);

// A module path as a process reports it, with a leading "\??\" dropped and a
// leading "\SystemRoot\" turned into "%SystemRoot%\" for the caller to
// expand. `needsExpansion` tells whether it did the latter.
std::wstring ModulePathForExpansion(const std::wstring& modulePath, bool& needsExpansion);

// The text for a process that cannot be opened: "error#" and the code.
std::wstring OpenFailureText(uint32_t errorCode);

// "\StringFileInfo\" + language + code page + "\", each as four lower-case
// hexadecimal digits.
std::wstring VersionStringPrefix(uint16_t language, uint16_t codePage);

// The name to open an image path by: a drive or network path as it is, an NT device
// path through "\\?\GLOBALROOT"; empty for anything else (the "error#N"
// text, a relative name).
std::wstring OpenableImagePath(const std::wstring& path);

// The path cut to kMaxImagePath characters.
std::wstring LimitImagePath(std::wstring path);
