#include "pe_image.h"

#include <cstring>

namespace pecheck {
namespace {

class Reader {
 public:
  explicit Reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

  bool u8(uint64_t offset, uint8_t& out) const {
    if (!fits(offset, 1)) return false;
    out = bytes_[offset];
    return true;
  }
  bool u16(uint64_t offset, uint16_t& out) const {
    if (!fits(offset, 2)) return false;
    out = uint16_t(bytes_[offset] | bytes_[offset + 1] << 8);
    return true;
  }
  bool u32(uint64_t offset, uint32_t& out) const {
    if (!fits(offset, 4)) return false;
    out = uint32_t(bytes_[offset]) | uint32_t(bytes_[offset + 1]) << 8 | uint32_t(bytes_[offset + 2]) << 16 |
          uint32_t(bytes_[offset + 3]) << 24;
    return true;
  }
  // A NUL-terminated string that must end inside the file.
  bool cstring(uint64_t offset, std::string& out) const {
    if (offset >= bytes_.size()) return false;
    const void* end = std::memchr(bytes_.data() + offset, 0, bytes_.size() - offset);
    if (end == nullptr) return false;
    out.assign(reinterpret_cast<const char*>(bytes_.data() + offset),
               static_cast<const uint8_t*>(end) - (bytes_.data() + offset));
    return true;
  }
  bool fits(uint64_t offset, uint64_t size) const {
    return offset <= bytes_.size() && size <= bytes_.size() - offset;
  }
  size_t size() const { return bytes_.size(); }

 private:
  const std::vector<uint8_t>& bytes_;
};

struct Section {
  uint32_t virtualAddress;
  uint32_t rawOffset;
  uint32_t rawSize;
};

class Parser {
 public:
  Parser(const std::vector<uint8_t>& bytes, PeImage& image, std::string& error)
      : in_(bytes), image_(image), error_(error) {}

  bool run() {
    uint16_t mz;
    uint32_t peOffset, signature;
    if (!in_.u16(0, mz) || mz != 0x5A4D) return fail("no MZ header");
    if (!in_.u32(0x3C, peOffset) || !in_.u32(peOffset, signature) || signature != 0x4550)
      return fail("no PE signature");
    uint64_t fileHeader = uint64_t(peOffset) + 4;
    uint16_t sectionCount, optionalSize;
    if (!in_.u16(fileHeader, image_.machine) || !in_.u16(fileHeader + 2, sectionCount) ||
        !in_.u16(fileHeader + 16, optionalSize) || !in_.u16(fileHeader + 18, image_.characteristics))
      return fail("truncated file header");
    uint64_t optional = fileHeader + 20;
    if (!in_.u16(optional, image_.optionalMagic)) return fail("truncated optional header");
    if (image_.optionalMagic != kPe32Magic) return fail("not a PE32 image");
    uint32_t directoryCount;
    if (optionalSize < 96 || !in_.fits(optional, optionalSize) || !in_.u16(optional + 68, image_.subsystem) ||
        !in_.u16(optional + 40, image_.osVersion[0]) || !in_.u16(optional + 42, image_.osVersion[1]) ||
        !in_.u16(optional + 48, image_.subsystemVersion[0]) ||
        !in_.u16(optional + 50, image_.subsystemVersion[1]) || !in_.u32(optional + 92, directoryCount))
      return fail("truncated optional header");
    if (directoryCount > (optionalSize - 96u) / 8)
      return fail("data directories overrun the optional header");

    uint64_t sectionTable = optional + optionalSize;
    if (!in_.fits(sectionTable, uint64_t(sectionCount) * 40)) return fail("truncated section table");
    for (uint32_t i = 0; i < sectionCount; ++i) {
      uint64_t s = sectionTable + 40 * uint64_t(i);
      Section section;
      in_.u32(s + 12, section.virtualAddress);
      in_.u32(s + 16, section.rawSize);
      in_.u32(s + 20, section.rawOffset);
      sections_.push_back(section);
      std::string name;
      uint8_t c;
      for (uint64_t at = s; at < s + 8 && in_.u8(at, c) && c != 0; ++at) name += char(c);
      image_.sectionNames.push_back(name);
    }

    uint32_t exportRva = 0, exportSize = 0, importRva = 0, importSize = 0, delayRva = 0;
    auto directory = [&](uint32_t index, uint32_t& rva, uint32_t& size) {
      if (index >= directoryCount) return;
      in_.u32(optional + 96 + 8 * index, rva);
      in_.u32(optional + 100 + 8 * index, size);
    };
    uint32_t delaySize = 0;
    directory(0, exportRva, exportSize);
    directory(1, importRva, importSize);
    directory(13, delayRva, delaySize);
    image_.hasDelayImports = delayRva != 0 && delaySize != 0;
    if (exportRva != 0 && exportSize != 0 && !readExports(exportRva)) return false;
    if (importRva != 0 && importSize != 0 && !readImports(importRva)) return false;
    return true;
  }

 private:
  bool fail(const char* why) {
    error_ = why;
    return false;
  }

  // File offset of `rva`, which must lie in a section's raw data.
  bool offsetOf(uint32_t rva, uint64_t& offset) const {
    for (const Section& s : sections_) {
      if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize) {
        offset = uint64_t(s.rawOffset) + (rva - s.virtualAddress);
        return offset < in_.size();
      }
    }
    return false;
  }

  bool readExports(uint32_t rva) {
    uint64_t dir, names;
    uint32_t nameCount, namesRva;
    if (!offsetOf(rva, dir) || !in_.u32(dir + 20, image_.exportCount) || !in_.u32(dir + 24, nameCount) ||
        !in_.u32(dir + 32, namesRva))
      return fail("bad export directory");
    if (nameCount == 0) return true;
    // Each name is reached through a 4-byte pointer, so the file's size
    // bounds how many there can be.
    if (!offsetOf(namesRva, names) || !in_.fits(names, uint64_t(nameCount) * 4))
      return fail("bad export names");
    for (uint32_t i = 0; i < nameCount; ++i) {
      uint32_t nameRva;
      uint64_t nameOffset;
      std::string name;
      if (!in_.u32(names + 4 * uint64_t(i), nameRva) || !offsetOf(nameRva, nameOffset) ||
          !in_.cstring(nameOffset, name))
        return fail("bad export name");
      image_.exportNames.push_back(name);
    }
    return true;
  }

  bool readImports(uint32_t rva) {
    uint64_t descriptor;
    if (!offsetOf(rva, descriptor)) return fail("bad import directory");
    // Each descriptor is 20 bytes; the list ends with an all-zero one. The file
    // size bounds the number of descriptors and thunks that can exist.
    for (;; descriptor += 20) {
      uint32_t lookupRva, nameRva, addressRva;
      if (!in_.u32(descriptor, lookupRva) || !in_.u32(descriptor + 12, nameRva) ||
          !in_.u32(descriptor + 16, addressRva))
        return fail("truncated import directory");
      if (lookupRva == 0 && nameRva == 0 && addressRva == 0) return true;
      ImportedDll dll;
      uint64_t nameOffset, thunk;
      if (!offsetOf(nameRva, nameOffset) || !in_.cstring(nameOffset, dll.name))
        return fail("bad import name");
      if (!offsetOf(lookupRva != 0 ? lookupRva : addressRva, thunk)) return fail("bad import lookup table");
      for (;; thunk += 4) {
        uint32_t entry;
        if (!in_.u32(thunk, entry)) return fail("truncated import lookup table");
        if (entry == 0) break;
        ImportedFunction function;
        if (entry & 0x80000000u) {
          function.name = "@" + std::to_string(entry & 0xFFFF);
        } else {
          uint64_t hintName;
          if (!offsetOf(entry, hintName) || !in_.cstring(hintName + 2, function.name))
            return fail("bad import hint/name entry");
        }
        dll.functions.push_back(function);
      }
      image_.imports.push_back(dll);
    }
  }

  Reader in_;
  PeImage& image_;
  std::string& error_;
  std::vector<Section> sections_;
};

}  // namespace

bool ParsePeImage(const std::vector<uint8_t>& bytes, PeImage& image, std::string& error) {
  image = PeImage();
  return Parser(bytes, image, error).run();
}

}  // namespace pecheck
