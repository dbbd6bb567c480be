// pecheck: checks a built deliverable: 32-bit x86 PE, the expected kind
// (gui, native or dll), optionally no exports and none of the forbidden
// sections, and every import on the deliverable's reviewed allow-list for the
// target Windows version.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "import_policy.h"
#include "pe_image.h"

namespace {

bool ReadFile(const char* path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

int Usage() {
  std::fprintf(stderr,
               "usage: pecheck --kind gui|native|dll --target VERSION --allow LIST [--no-exports]\n"
               "               [--forbid-section NAME]... IMAGE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string kind, targetText, allowPath, imagePath;
  bool noExports = false;
  std::vector<std::string> forbiddenSections;
  for (int i = 1; i < argc; ++i) {
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (std::strcmp(argv[i], "--kind") == 0) {
      if (!value(kind)) return Usage();
    } else if (std::strcmp(argv[i], "--target") == 0) {
      if (!value(targetText)) return Usage();
    } else if (std::strcmp(argv[i], "--allow") == 0) {
      if (!value(allowPath)) return Usage();
    } else if (std::strcmp(argv[i], "--forbid-section") == 0) {
      std::string name;
      if (!value(name)) return Usage();
      forbiddenSections.push_back(name);
    } else if (std::strcmp(argv[i], "--no-exports") == 0) {
      noExports = true;
    } else if (imagePath.empty()) {
      imagePath = argv[i];
    } else {
      return Usage();
    }
  }
  pecheck::WindowsVersion target;
  if (kind.empty() || allowPath.empty() || imagePath.empty() ||
      !pecheck::ParseWindowsVersion(targetText, target))
    return Usage();

  std::vector<uint8_t> listBytes, imageBytes;
  if (!ReadFile(allowPath.c_str(), listBytes)) {
    std::fprintf(stderr, "%s: cannot read\n", allowPath.c_str());
    return 1;
  }
  if (!ReadFile(imagePath.c_str(), imageBytes)) {
    std::fprintf(stderr, "%s: cannot read\n", imagePath.c_str());
    return 1;
  }
  std::string error;
  pecheck::ImportPolicy policy;
  if (!policy.parse(std::string(listBytes.begin(), listBytes.end()), error)) {
    std::fprintf(stderr, "%s: %s\n", allowPath.c_str(), error.c_str());
    return 1;
  }
  pecheck::PeImage image;
  if (!pecheck::ParsePeImage(imageBytes, image, error)) {
    std::fprintf(stderr, "%s: %s\n", imagePath.c_str(), error.c_str());
    return 1;
  }

  std::vector<std::string> problems;
  if (image.machine != pecheck::kMachineI386) problems.push_back("not an x86 (i386) image");
  bool isDll = (image.characteristics & pecheck::kFileDll) != 0;
  if (kind == "gui") {
    if (isDll || image.subsystem != pecheck::kSubsystemWindowsGui)
      problems.push_back("not a Windows GUI program");
  } else if (kind == "native") {
    if (isDll || image.subsystem != pecheck::kSubsystemNative)
      problems.push_back("not a native-subsystem image");
  } else if (kind == "dll") {
    if (!isDll) problems.push_back("not a DLL");
  } else {
    return Usage();
  }
  if (noExports && image.exportCount != 0)
    problems.push_back("exports " + std::to_string(image.exportCount) + " functions");
  for (const std::string& name : image.sectionNames) {
    for (const std::string& forbidden : forbiddenSections)
      if (name == forbidden) problems.push_back("has a " + name + " section");
  }
  if (image.hasDelayImports) problems.push_back("has delay-load imports, which the allow-list cannot review");
  for (const std::string& v : policy.violations(image, target)) problems.push_back(v);

  for (const std::string& p : problems) std::fprintf(stderr, "%s: %s\n", imagePath.c_str(), p.c_str());
  if (!problems.empty()) return 1;
  size_t functions = 0;
  for (const auto& dll : image.imports) functions += dll.functions.size();
  std::printf("%s: ok (%zu DLLs, %zu imported functions, target Windows %s)\n", imagePath.c_str(),
              image.imports.size(), functions, targetText.c_str());
  return 0;
}
