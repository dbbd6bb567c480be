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

std::vector<std::string> HeaderVersionViolations(const PeImage& image, WindowsVersion target) {
  // The version number each release reports.
  unsigned number = 0x0501;
  switch (target) {
    case WindowsVersion::NT4:
      number = 0x0400;
      break;
    case WindowsVersion::W2000:
    case WindowsVersion::W2000SP4:
      number = 0x0500;
      break;
    case WindowsVersion::XP:
    case WindowsVersion::XPSP2:
    case WindowsVersion::XPSP3:
      break;
    case WindowsVersion::Server2003:
      number = 0x0502;
      break;
    case WindowsVersion::Vista:
      number = 0x0600;
      break;
    case WindowsVersion::Win7:
      number = 0x0601;
      break;
  }
  std::vector<std::string> found;
  auto check = [&](const char* what, const uint16_t* version) {
    if ((unsigned(version[0]) << 8 | version[1]) > number)
      found.push_back(std::string(what) + " version " + std::to_string(version[0]) + "." +
                      std::to_string(version[1]) + " is newer than Windows " + WindowsVersionName(target));
  };
  check("operating system", image.osVersion);
  check("subsystem", image.subsystemVersion);
  return found;
}

std::vector<std::string> ImportPolicy::violations(const PeImage& image, WindowsVersion target) const {
  return violations(image.imports, target);
}

std::vector<std::string> ImportPolicy::violations(const std::vector<ImportedDll>& dlls,
                                                  WindowsVersion target) const {
  std::vector<std::string> found;
  for (const ImportedDll& dll : dlls) {
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
