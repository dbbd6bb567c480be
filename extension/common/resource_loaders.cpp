#include "common/resource_loaders.h"

#include <map>

#include "common/module.h"

// Used on the user-interface thread only; never destroyed, so that nothing of
// ours runs under the loader lock when the process ends.
const std::wstring& LoadResourceString(UINT id) {
  static auto* const strings = new std::map<UINT, std::wstring>;
  std::wstring& text = (*strings)[id];
  if (text.empty()) {
    WCHAR buffer[512];
    int length = LoadStringW(ExtensionModule(), id, buffer, 512);
    if (length > 0) text.assign(buffer, length);
  }
  return text;
}

HMENU LoadPopupMenu(UINT id) {
  HMENU menu = LoadMenuW(ExtensionModule(), MAKEINTRESOURCEW(id));
  if (!menu) return nullptr;
  HMENU popup = GetSubMenu(menu, 0);
  // Detach the popup so that destroying the menu bar leaves it alive.
  if (popup) RemoveMenu(menu, 0, MF_BYPOSITION);
  DestroyMenu(menu);
  return popup;
}
