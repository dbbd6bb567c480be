#include "common/module.h"

namespace {
HINSTANCE g_module = nullptr;
}

HINSTANCE ExtensionModule() { return g_module; }

void SetExtensionModule(HINSTANCE module) { g_module = module; }
