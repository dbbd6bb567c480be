// The name service of the connections list over Winsock 1.1, bound on first
// use, and the process image paths of the process information helpers.
#pragma once

#include "common/target.h"
#include "connections/name_cache.h"

class WinsockNames : public NameService {
 public:
  // WSAStartup with version 1.1; false when Winsock is missing or refuses.
  bool Start();
  // WSACleanup after a successful Start.
  void Stop();
  // The window that receives the host lookups' replies as `message`.
  void SetReplyWindow(HWND window, UINT message) {
    window_ = window;
    message_ = message;
  }

  uintptr_t StartHostLookup(const uint8_t* address, uint8_t* entry) override;
  void KeepPendingBuffer(uint8_t* buffer) override;
  std::optional<std::string> ServiceName(uint16_t port, const char* protocol) override;
  std::wstring ImagePath(uint32_t processId) override;

 private:
  HWND window_ = nullptr;
  UINT message_ = 0;
  bool started_ = false;
};
