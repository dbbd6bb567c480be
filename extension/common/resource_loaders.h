// Loaders for the library's string table and menus.
#pragma once

#include <string>

#include "common/target.h"

// The text of a string-table entry, loaded on first use and kept for the life
// of the process. An entry that loaded empty is loaded again next time.
const std::wstring& LoadResourceString(UINT id);

// The first popup of a menu resource, detached from the rest, which is
// destroyed. The caller destroys the popup. Null when the menu cannot be loaded.
HMENU LoadPopupMenu(UINT id);
