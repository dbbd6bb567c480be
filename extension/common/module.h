// The extension library's own module handle, remembered at process attach;
// resources are loaded from it.
#pragma once

#include "common/target.h"

HINSTANCE ExtensionModule();
void SetExtensionModule(HINSTANCE module);
