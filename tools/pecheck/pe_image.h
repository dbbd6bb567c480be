// A bounds-checked reader for the parts of a 32-bit PE image that the binary
// checks look at: machine, subsystem and versions, DLL flag, imports and
// exports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pecheck {

struct ImportedFunction {
  std::string name;  // "@N" for an import by ordinal
};

struct ImportedDll {
  std::string name;
  std::vector<ImportedFunction> functions;
};

struct PeImage {
  uint16_t machine = 0;
  uint16_t characteristics = 0;
  uint16_t optionalMagic = 0;
  uint16_t subsystem = 0;
  // The Windows versions the headers ask for (major, minor).
  uint16_t osVersion[2] = {};
  uint16_t subsystemVersion[2] = {};
  uint32_t exportCount = 0;  // functions in the export directory
  std::vector<std::string> exportNames;
  bool hasDelayImports = false;
  std::vector<std::string> sectionNames;
  std::vector<ImportedDll> imports;
};

constexpr uint16_t kMachineI386 = 0x14c;
constexpr uint16_t kPe32Magic = 0x10b;
constexpr uint16_t kFileDll = 0x2000;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kSubsystemWindowsGui = 2;
constexpr uint16_t kSubsystemWindowsConsole = 3;

// Parses `bytes`. On malformed input returns false and says why in `error`;
// nothing is ever read outside `bytes`.
bool ParsePeImage(const std::vector<uint8_t>& bytes, PeImage& image, std::string& error);

}  // namespace pecheck
