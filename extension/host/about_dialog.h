#pragma once

#include "common/target.h"

// Shows the About dialog modally over the owner window.
void ShowAboutDialog(HINSTANCE module, HWND owner);
