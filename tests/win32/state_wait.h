// The one bound of the tests under Wine.
#pragma once

#include <windows.h>

// How long a test waits for a state before it fails: generous, so that a
// busy machine does not fail a test at random; a state that is reached is
// seen at once.
constexpr DWORD kStateWaitMs = 30000;
