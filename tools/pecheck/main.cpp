// pecheck: checks a built deliverable: 32-bit x86 PE, the expected kind
// (gui, native or dll; a DLL has the GUI subsystem), header versions no newer
// than the target, optionally no exports and none of the forbidden sections,
// every import on the deliverable's reviewed allow-list for the target Windows
// version, and (with --runtime) every name it binds at run time from the
// libraries given by --runtime-dll on a second list of the same form.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "import_policy.h"
#include "pe_image.h"
#include "runtime_names.h"

namespace {

bool ReadFile(const char* path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

int Usage() {
  std::fprintf(stderr,
               "usage: pecheck --kind gui|console|native|dll --target VERSION --allow LIST [--no-exports]\n"
               "               [--forbid-section NAME]... [--runtime LIST [--runtime-dll PATH]...] IMAGE\n");
  return 2;
}

std::string FileName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

bool ReadPolicy(const std::string& path, pecheck::ImportPolicy& policy) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!ReadFile(path.c_str(), bytes)) {
    std::fprintf(stderr, "%s: cannot read\n", path.c_str());
    return false;
  }
  if (!policy.parse(std::string(bytes.begin(), bytes.end()), error)) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string kind, targetText, allowPath, runtimePath, imagePath;
  bool noExports = false;
  std::vector<std::string> forbiddenSections, runtimeDlls;
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
    } else if (std::strcmp(argv[i], "--runtime") == 0) {
      if (!value(runtimePath)) return Usage();
    } else if (std::strcmp(argv[i], "--runtime-dll") == 0) {
      std::string path;
      if (!value(path)) return Usage();
      runtimeDlls.push_back(path);
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

  if (runtimePath.empty() != runtimeDlls.empty()) return Usage();
  std::vector<uint8_t> imageBytes;
  if (!ReadFile(imagePath.c_str(), imageBytes)) {
    std::fprintf(stderr, "%s: cannot read\n", imagePath.c_str());
    return 1;
  }
  std::string error;
  pecheck::ImportPolicy policy, runtimePolicy;
  if (!ReadPolicy(allowPath, policy)) return 1;
  if (!runtimePath.empty() && !ReadPolicy(runtimePath, runtimePolicy)) return 1;
  std::vector<std::pair<std::string, pecheck::PeImage>> libraries;
  for (const std::string& path : runtimeDlls) {
    std::vector<uint8_t> bytes;
    pecheck::PeImage library;
    if (!ReadFile(path.c_str(), bytes) || !pecheck::ParsePeImage(bytes, library, error)) {
      std::fprintf(stderr, "%s: cannot read its exports\n", path.c_str());
      return 1;
    }
    libraries.emplace_back(FileName(path), library);
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
  } else if (kind == "console") {
    if (isDll || image.subsystem != pecheck::kSubsystemWindowsConsole)
      problems.push_back("not a Windows console program");
  } else if (kind == "native") {
    if (isDll || image.subsystem != pecheck::kSubsystemNative)
      problems.push_back("not a native-subsystem image");
  } else if (kind == "dll") {
    if (!isDll) problems.push_back("not a DLL");
    if (image.subsystem != pecheck::kSubsystemWindowsGui)
      problems.push_back("a DLL without the GUI subsystem");
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
  for (const std::string& v : pecheck::HeaderVersionViolations(image, target)) problems.push_back(v);
  for (const std::string& v : policy.violations(image, target)) problems.push_back(v);
  size_t boundCount = 0;
  if (!libraries.empty()) {
    auto bound = pecheck::RuntimeBoundNames(image, pecheck::AsciiStrings(imageBytes), libraries);
    for (const auto& dll : bound) boundCount += dll.functions.size();
    for (const std::string& v : runtimePolicy.violations(bound, target))
      problems.push_back("bound at run time: " + v);
  }

  for (const std::string& p : problems) std::fprintf(stderr, "%s: %s\n", imagePath.c_str(), p.c_str());
  if (!problems.empty()) return 1;
  size_t functions = 0;
  for (const auto& dll : image.imports) functions += dll.functions.size();
  std::printf("%s: ok (%zu DLLs, %zu imported functions, %zu bound at run time, target Windows %s)\n",
              imagePath.c_str(), image.imports.size(), functions, boundCount, targetText.c_str());
  return 0;
}
