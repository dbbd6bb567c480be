// The reviewed list of functions a deliverable may import, each with the oldest
// Windows version that has it, and the check of an image against it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "pe_image.h"

namespace pecheck {

// Windows versions in release order; a function is usable on a target when the
// version that introduced it is not later than the target.
enum class WindowsVersion { NT4, W2000, W2000SP4, XP, XPSP2, XPSP3, Server2003, Vista, Win7 };

bool ParseWindowsVersion(const std::string& text, WindowsVersion& version);
const char* WindowsVersionName(WindowsVersion version);

// One message for each header version (operating system, subsystem) that is
// newer than the target's own version number (5.0 for Windows 2000, 5.1 for
// XP): such a file is refused by the target's loader or marks it as foreign.
std::vector<std::string> HeaderVersionViolations(const PeImage& image, WindowsVersion target);

class ImportPolicy {
 public:
  // Lines: "DLL FUNCTION VERSION" (FUNCTION "@N" for an ordinal), '#' starts a
  // comment. Returns false with a
  // message naming the line on a malformed line.
  bool parse(const std::string& text, std::string& error);

  // One message per import that is not on the list or is newer than `target`.
  std::vector<std::string> violations(const PeImage& image, WindowsVersion target) const;
  // The same for any list of functions per DLL (names bound at run time).
  std::vector<std::string> violations(const std::vector<ImportedDll>& dlls, WindowsVersion target) const;

 private:
  // Keyed by upper-cased DLL name, then by function name.
  std::map<std::string, std::map<std::string, WindowsVersion>> allowed_;
};

}  // namespace pecheck
