// Host paths as Wine's programs see them: on drive Z:, with backslashes.
#pragma once

#include <cstdlib>
#include <string>

// /a/b is Z:\a\b.
inline std::wstring WinePath(const char* hostPath) {
  std::wstring path = L"Z:";
  for (const char* c = hostPath ? hostPath : ""; *c; ++c) path += *c == '/' ? L'\\' : wchar_t(*c);
  return path;
}

// The host path in the environment variable, as Wine sees it.
inline std::wstring HostPath(const char* variable) { return WinePath(std::getenv(variable)); }
