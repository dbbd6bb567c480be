// The names of the connections list: host names resolved in the background,
// service names of ports and the file names of processes, each with its
// cache. The system's calls come through NameService, so the rules can be
// exercised without Winsock. Portable, without Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "connections/connection_model.h"

// The room the system gets for a host entry; the address goes before it.
constexpr size_t kHostEntrySize = 1024;
constexpr size_t kLookupBufferSize = 4 + kHostEntrySize;
// The longest host and service names kept.
constexpr size_t kHostNameLimit = 128;
constexpr size_t kServiceNameLimit = 64;

class NameService {
 public:
  virtual ~NameService() = default;
  // Starts a reverse lookup of the 4 address bytes at `address`; the reply
  // is written into `entry` (kHostEntrySize bytes). 0 when it cannot start.
  virtual uintptr_t StartHostLookup(const uint8_t* address, uint8_t* entry) = 0;
  // A lookup still running when the names go away: its buffer may still be
  // written, so it is handed over and never freed by the cache.
  virtual void KeepPendingBuffer(uint8_t* buffer) = 0;
  // The service name of a port (network byte order) for "tcp", "udp" or no
  // protocol name (null); none when unknown.
  virtual std::optional<std::string> ServiceName(uint16_t port, const char* protocol) = 0;
  // The image path of a process; empty when it cannot be obtained.
  virtual std::wstring ImagePath(uint32_t processId) = 0;
};

// The official name of the host entry the system wrote into `entry`, read
// only inside the entry's bytes and cut at kHostNameLimit; none when the
// name does not lie within them.
std::optional<std::wstring> HostEntryName(const uint8_t* entry, size_t size);

// The image path, or empty for the text that stands for a process that
// cannot be opened ("error#N"): such a process has no path to show.
std::wstring ObtainedImagePath(std::wstring path);

class NameCache {
 public:
  explicit NameCache(NameService& service) : service_(service) {}
  ~NameCache();
  NameCache(const NameCache&) = delete;
  NameCache& operator=(const NameCache&) = delete;

  // ("*", 0) for 0; the cached pair; otherwise starts a lookup and caches
  // and returns the dotted form.
  NameText Host(uint32_t address);
  // ("*", 0) for 0; otherwise the cached or newly asked service name, or the
  // port number.
  NameText Port(uint16_t port, uint32_t protocol);
  // "System" for ids up to 16, "<unknown>" without an image path, otherwise
  // the image's file name, kept until ForgetProcesses.
  std::wstring Process(uint32_t processId);
  void ForgetProcesses() { processes_.clear(); }

  // A lookup's reply: the address and its name when `handle` was one of
  // ours and the lookup found a name. The lookup is finished either way.
  std::optional<std::pair<uint32_t, std::wstring>> HostReply(uintptr_t handle, uint16_t error);

  size_t PendingLookups() const { return pending_.size(); }

 private:
  NameService& service_;
  std::map<uint32_t, NameText> hosts_;
  std::map<uintptr_t, uint8_t*> pending_;
  std::map<std::pair<uint16_t, uint32_t>, NameText> ports_;
  std::map<uint32_t, std::wstring> processes_;
};
