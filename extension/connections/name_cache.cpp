#include "connections/name_cache.h"

#include <cstring>

#include "common/text_format.h"
#include "connections/connection_text.h"

namespace {

// Byte by byte: host and service names are ASCII.
std::wstring Widened(const char* text, size_t length, size_t limit) {
  std::wstring wide;
  for (size_t i = 0; i < length && i < limit; ++i) wide += wchar_t(static_cast<unsigned char>(text[i]));
  return wide;
}

}  // namespace

std::optional<std::wstring> HostEntryName(const uint8_t* entry, size_t size) {
  // The entry starts with the name's address (HOSTENT's h_name).
  if (size < sizeof(const char*)) return std::nullopt;
  const char* name;
  std::memcpy(&name, entry, sizeof name);
  auto begin = reinterpret_cast<uintptr_t>(entry);
  auto at = reinterpret_cast<uintptr_t>(name);
  if (at < begin || at >= begin + size) return std::nullopt;
  size_t room = begin + size - at;
  const void* end = std::memchr(name, 0, room);
  if (!end) return std::nullopt;
  return Widened(name, size_t(static_cast<const char*>(end) - name), kHostNameLimit);
}

std::wstring ObtainedImagePath(std::wstring path) {
  if (path.compare(0, 6, L"error#") == 0) path.clear();
  return path;
}

NameCache::~NameCache() {
  for (auto& lookup : pending_) service_.KeepPendingBuffer(lookup.second);
}

NameText NameCache::Host(uint32_t address) {
  if (address == 0) return {L"*", false};
  auto known = hosts_.find(address);
  if (known != hosts_.end()) return known->second;
  auto* buffer = new uint8_t[kLookupBufferSize]();
  std::memcpy(buffer, &address, 4);
  if (uintptr_t handle = service_.StartHostLookup(buffer, buffer + 4)) {
    pending_[handle] = buffer;
  } else {
    delete[] buffer;
  }
  NameText dotted{DottedQuad(address).substr(0, kHostNameLimit), false};
  hosts_[address] = dotted;
  return dotted;
}

NameText NameCache::Port(uint16_t port, uint32_t protocol) {
  if (port == 0) return {L"*", false};
  auto key = std::make_pair(port, protocol);
  auto known = ports_.find(key);
  if (known != ports_.end()) return known->second;
  const char* protocolName = protocol == kProtocolTcp ? "tcp" : protocol == kProtocolUdp ? "udp" : nullptr;
  NameText text;
  if (auto name = service_.ServiceName(port, protocolName)) {
    text = {Widened(name->data(), name->size(), kServiceNameLimit), true};
  } else {
    text = {Decimal(uint16_t((port >> 8) | (port << 8))), false};
  }
  ports_[key] = text;
  return text;
}

std::wstring NameCache::Process(uint32_t processId) {
  if (processId <= 16) return L"System";
  auto known = processes_.find(processId);
  if (known != processes_.end()) return known->second;
  std::wstring path = ObtainedImagePath(service_.ImagePath(processId));
  if (path.empty()) return L"<unknown>";
  return processes_[processId] = FileNameOf(path);
}

std::optional<std::pair<uint32_t, std::wstring>> NameCache::HostReply(uintptr_t handle, uint16_t error) {
  auto lookup = pending_.find(handle);
  if (lookup == pending_.end()) return std::nullopt;
  uint8_t* buffer = lookup->second;
  pending_.erase(lookup);
  std::optional<std::pair<uint32_t, std::wstring>> named;
  if (error == 0) {
    uint32_t address;
    std::memcpy(&address, buffer, 4);
    if (auto name = HostEntryName(buffer + 4, kHostEntrySize)) {
      hosts_[address] = {*name, true};
      named.emplace(address, *name);
    }
  }
  delete[] buffer;
  return named;
}
