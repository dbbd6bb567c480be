// Small helpers around list view and tooltip messages, shared by the process
// list and the extension's own pages.
#pragma once

#include <optional>

#include "common/target.h"

// The item's parameter value, or none when the item cannot be read.
std::optional<LPARAM> GetListItemParam(HWND listView, int index);

// Makes the item selected and focused, clearing cut and drop-highlighted.
void SelectListItem(HWND listView, int index);

// Moves a tracking tooltip to the given screen position.
void TrackTooltip(HWND tooltip, int x, int y);
