// The settings file vesk.ini in the Windows directory, read and written
// through the profile functions on every access.
#pragma once

#include <string>

#include "common/target.h"

namespace settings {

bool ReadCheckIntegrity();
void StoreCheckIntegrity(bool on);

// Per image name, as Task Manager keeps it in its process record.
bool ReadSavePriority(const std::wstring& imageName);
void StoreSavePriority(const std::wstring& imageName, bool on);
void StorePriority(const std::wstring& imageName, const wchar_t* priorityName);
// The mask is written as a signed 32-bit decimal number.
void StoreAffinity(const std::wstring& imageName, DWORD_PTR mask);
// The image's catalog hash that the user declared valid, stored under the
// image name as upper-case hexadecimal text.
void StoreTrustedHash(const std::wstring& imageName, const uint8_t* hash, size_t length);
// The stored hash text for an image path (its section is the path's file
// name), as written; empty when there is none. Longer than 255 characters it
// is cut, and then matches no hash.
std::wstring ReadTrustedHash(const std::wstring& imagePath);

}  // namespace settings
