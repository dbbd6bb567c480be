// Builds small 32-bit PE images in memory for the binary checker's tests: one
// section that holds the import directory, laid out with no padding at the end,
// so that cutting any byte off the file removes data the parser needs.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

class PeBuilder {
 public:
  static constexpr uint32_t kSectionRva = 0x1000;
  static constexpr uint32_t kSectionOffset = 0x200;

  PeBuilder& subsystem(uint16_t value) {
    subsystem_ = value;
    return *this;
  }
  PeBuilder& characteristics(uint16_t value) {
    characteristics_ = value;
    return *this;
  }
  PeBuilder& machine(uint16_t value) {
    machine_ = value;
    return *this;
  }
  // Operating-system and subsystem versions of the optional header.
  PeBuilder& versions(uint16_t osMajor, uint16_t osMinor, uint16_t subsystemMajor, uint16_t subsystemMinor) {
    versions_[0] = osMajor;
    versions_[1] = osMinor;
    versions_[2] = subsystemMajor;
    versions_[3] = subsystemMinor;
    return *this;
  }
  // Functions named "@N" are imported by ordinal.
  PeBuilder& import(std::string dll, std::vector<std::string> functions) {
    dlls_.emplace_back(std::move(dll), std::move(functions));
    return *this;
  }

  std::vector<uint8_t> build() const {
    std::vector<uint8_t> section = importSection();
    std::vector<uint8_t> file(kSectionOffset + section.size(), 0);
    put16(file, 0, 0x5A4D);
    put32(file, 0x3C, 0x40);
    put32(file, 0x40, 0x4550);
    const uint32_t fh = 0x44, opt = fh + 20;
    put16(file, fh, machine_);
    put16(file, fh + 2, 1);
    put16(file, fh + 16, 224);
    put16(file, fh + 18, characteristics_);
    put16(file, opt, 0x10b);
    put16(file, opt + 68, subsystem_);
    put16(file, opt + 40, versions_[0]);
    put16(file, opt + 42, versions_[1]);
    put16(file, opt + 48, versions_[2]);
    put16(file, opt + 50, versions_[3]);
    put32(file, opt + 92, 16);
    if (!dlls_.empty()) {
      put32(file, opt + 96 + 8, kSectionRva);
      put32(file, opt + 100 + 8, uint32_t(20 * (dlls_.size() + 1)));
    }
    const uint32_t sec = opt + 224;
    std::memcpy(&file[sec], ".idata\0\0", 8);
    put32(file, sec + 8, uint32_t(section.size()));
    put32(file, sec + 12, kSectionRva);
    put32(file, sec + 16, uint32_t(section.size()));
    put32(file, sec + 20, kSectionOffset);
    std::memcpy(&file[kSectionOffset], section.data(), section.size());
    return file;
  }

  static void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
  }
  static void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
  }

 private:
  std::vector<uint8_t> importSection() const {
    // Descriptors first, then per DLL its lookup table, then all hint/name
    // entries and DLL names; the last byte of the section is a name's NUL.
    std::vector<uint8_t> s(20 * (dlls_.size() + 1), 0);
    std::vector<size_t> tables;
    for (const auto& dll : dlls_) {
      tables.push_back(s.size());
      s.resize(s.size() + 4 * (dll.second.size() + 1), 0);
    }
    for (size_t d = 0; d < dlls_.size(); ++d) {
      const auto& functions = dlls_[d].second;
      for (size_t f = 0; f < functions.size(); ++f) {
        uint32_t entry;
        if (functions[f][0] == '@') {
          entry = 0x80000000u | uint32_t(std::stoul(functions[f].substr(1)));
        } else {
          entry = kSectionRva + uint32_t(s.size());
          s.push_back(0);
          s.push_back(0);
          s.insert(s.end(), functions[f].begin(), functions[f].end());
          s.push_back(0);
        }
        put32(s, tables[d] + 4 * f, entry);
      }
      put32(s, 20 * d, kSectionRva + uint32_t(tables[d]));
      put32(s, 20 * d + 16, kSectionRva + uint32_t(tables[d]));
      put32(s, 20 * d + 12, kSectionRva + uint32_t(s.size()));
      s.insert(s.end(), dlls_[d].first.begin(), dlls_[d].first.end());
      s.push_back(0);
    }
    return s;
  }

  uint16_t machine_ = 0x14c;
  uint16_t subsystem_ = 2;
  uint16_t characteristics_ = 0x0102;
  uint16_t versions_[4] = {4, 0, 4, 0};
  std::vector<std::pair<std::string, std::vector<std::string>>> dlls_;
};
