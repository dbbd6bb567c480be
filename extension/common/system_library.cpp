#include "common/system_library.h"

#include <string>

HMODULE LoadSystemLibrary(const wchar_t* fileName) {
  WCHAR directory[MAX_PATH];
  UINT length = GetSystemDirectoryW(directory, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  std::wstring path(directory, length);
  path += L'\\';
  path += fileName;
  return LoadLibraryW(path.c_str());
}
