// Names a deliverable binds at run time (GetProcAddress): every NUL-terminated
// ASCII string in the file that a library it may load exports by that name.
// The check does not depend on how the code spells the binding.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "pe_image.h"

namespace pecheck {

// The NUL-terminated runs of printable ASCII in the bytes, each starting
// after a byte that is not printable (or at the start).
std::vector<std::string> AsciiStrings(const std::vector<uint8_t>& bytes);

// The strings that one of the libraries (by file name) exports, as
// pseudo-imports of those libraries, in the libraries' order; the image's own
// import names are left out (the import table holds them, and the import
// check reviews them).
std::vector<ImportedDll> RuntimeBoundNames(const PeImage& image, const std::vector<std::string>& strings,
                                           const std::vector<std::pair<std::string, PeImage>>& libraries);

}  // namespace pecheck
