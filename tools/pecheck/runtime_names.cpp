#include "runtime_names.h"

namespace pecheck {

std::vector<std::string> AsciiStrings(const std::vector<uint8_t>& bytes) {
  std::vector<std::string> strings;
  size_t start = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    uint8_t c = bytes[i];
    if (c >= 0x20 && c < 0x7F) continue;
    if (c == 0 && i > start) strings.emplace_back(bytes.begin() + long(start), bytes.begin() + long(i));
    start = i + 1;
  }
  return strings;
}

std::vector<ImportedDll> RuntimeBoundNames(const PeImage& image, const std::vector<std::string>& strings,
                                           const std::vector<std::pair<std::string, PeImage>>& libraries) {
  std::set<std::string> imported;
  for (const ImportedDll& dll : image.imports)
    for (const ImportedFunction& function : dll.functions) imported.insert(function.name);
  std::set<std::string> present(strings.begin(), strings.end());
  std::vector<ImportedDll> bound;
  for (const auto& [name, library] : libraries) {
    ImportedDll dll{name, {}};
    std::set<std::string> seen;
    for (const std::string& exported : library.exportNames) {
      if (present.count(exported) && !imported.count(exported) && seen.insert(exported).second)
        dll.functions.push_back({exported});
    }
    if (!dll.functions.empty()) bound.push_back(dll);
  }
  return bound;
}

}  // namespace pecheck
