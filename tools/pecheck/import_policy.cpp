#include "import_policy.h"

#include <cctype>
#include <sstream>

namespace pecheck {
namespace {

const struct {
  const char* name;
  WindowsVersion version;
} kVersions[] = {
    {"NT4", WindowsVersion::NT4},          {"2000", WindowsVersion::W2000},
    {"2000SP4", WindowsVersion::W2000SP4}, {"XP", WindowsVersion::XP},
    {"XPSP2", WindowsVersion::XPSP2},      {"XPSP3", WindowsVersion::XPSP3},
    {"2003", WindowsVersion::Server2003},  {"Vista", WindowsVersion::Vista},
    {"7", WindowsVersion::Win7},
};

std::string Upper(std::string text) {
  for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool ParseWindowsVersion(const std::string& text, WindowsVersion& version) {
  for (const auto& v : kVersions) {
    if (text == v.name) {
      version = v.version;
      return true;
    }
  }
  return false;
}

const char* WindowsVersionName(WindowsVersion version) {
  for (const auto& v : kVersions) {
    if (v.version == version) return v.name;
  }
  return "?";
}

bool ImportPolicy::parse(const std::string& text, std::string& error) {
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string dll, function, versionText, extra;
    if (!(words >> dll)) continue;
    WindowsVersion version;
    if (!(words >> function >> versionText) || (words >> extra) ||
        !ParseWindowsVersion(versionText, version)) {
      error = "line " + std::to_string(number) + ": expected 'DLL FUNCTION VERSION'";
      return false;
    }
    allowed_[Upper(dll)][function] = version;
  }
  return true;
}

std::vector<std::string> ImportPolicy::violations(const PeImage& image, WindowsVersion target) const {
  std::vector<std::string> found;
  for (const ImportedDll& dll : image.imports) {
    auto functions = allowed_.find(Upper(dll.name));
    for (const ImportedFunction& function : dll.functions) {
      std::string where = dll.name + "!" + function.name;
      if (functions == allowed_.end()) {
        found.push_back(where + ": DLL not on the allow-list");
        continue;
      }
      auto entry = functions->second.find(function.name);
      if (entry == functions->second.end()) {
        found.push_back(where + ": not on the allow-list");
      } else if (entry->second > target) {
        found.push_back(where + ": needs Windows " + WindowsVersionName(entry->second) + ", target is " +
                        WindowsVersionName(target));
      }
    }
  }
  return found;
}

}  // namespace pecheck
