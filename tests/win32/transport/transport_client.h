// The user-mode side of the test transport's control device: one op per
// request, as test programs, the bench and the demo send them.
#pragma once

#include <windows.h>

#include <cstring>
#include <vector>

#include "transport_control.h"

namespace testtdi {

constexpr int32_t kStatusUnsuccessful = int32_t(0xC0000001);

// Sends `op` to \\.\VeskTestTdi opened as `device`, with `extraBytes` of
// `extra` after it (the rows of kSetTable); a request that cannot be sent
// answers STATUS_UNSUCCESSFUL.
inline Reply SendOp(HANDLE device, const Op& op, const void* extra = nullptr, DWORD extraBytes = 0) {
  std::vector<uint8_t> input(sizeof op + extraBytes);
  std::memcpy(input.data(), &op, sizeof op);
  if (extraBytes) std::memcpy(input.data() + sizeof op, extra, extraBytes);
  Reply reply = {kStatusUnsuccessful, 0, 0};
  DWORD returned = 0;
  if (!DeviceIoControl(device, ControlCode(op.code), input.data(), DWORD(input.size()), &reply, sizeof reply,
                       &returned, nullptr))
    reply.status = kStatusUnsuccessful;
  return reply;
}

}  // namespace testtdi
