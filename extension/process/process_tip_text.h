// The text of a process's tooltip from its image's version strings and path.
// Portable, without Windows headers.
#pragma once

#include <string>

// "DESCRIPTION vVERSION\r\n" (without " v" when there is no version, the
// line left out without a description), "COPYRIGHT\r\n" when there is one,
// then the path.
std::wstring ComposeProcessTip(const std::wstring& description, const std::wstring& version,
                               const std::wstring& copyright, const std::wstring& imagePath);
