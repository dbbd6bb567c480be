// Small helpers around list view and tooltip messages, shared by the process
// list and the extension's own pages.
#pragma once

#include <optional>

#include "common/target.h"

// The item's parameter value, or none when the item cannot be read.
std::optional<LPARAM> GetListItemParam(HWND listView, int index);

// Makes the item selected and focused, clearing cut and drop-highlighted.
void SelectListItem(HWND listView, int index);

// A column's width at creation: `width`, or the width its header text needs
// where that is more (the text in the list's font and the header's margin
// on either side); a hidden column (width 0) stays hidden.
int FittingColumnWidth(HWND listView, const wchar_t* header, int width);

// The answer to a list's TTN_SHOW: puts the tooltip's window, topmost and
// without activating it, with its top left corner at the mouse position,
// moved back within the monitor where it would reach past its edge. The
// notification is then answered TRUE, so that the tooltip keeps that place.
void PlaceTooltipAtCursor(HWND tooltip);
