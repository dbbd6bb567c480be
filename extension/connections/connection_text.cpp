#include "connections/connection_text.h"

#include <cwchar>

#include "common/text_format.h"
#include "resources/resource_ids.h"

namespace {

template <typename Value>
std::wstring Formatted(const std::wstring& format, Value value) {
  wchar_t text[64];
  int length = std::swprintf(text, sizeof text / sizeof text[0], format.c_str(), value);
  return length < 0 ? std::wstring() : std::wstring(text);
}

std::wstring ScaledText(uint64_t value, const std::wstring& bytes, const std::wstring& kilobytes,
                        const std::wstring& megabytes) {
  if (value < 1024) return Formatted(bytes, unsigned(value));
  if (value < 1048576) return Formatted(kilobytes, double(value) / 1024);
  return Formatted(megabytes, double(value) / 1048576);
}

template <typename Value>
int Order(Value a, Value b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

int CompareTexts(const std::wstring& a, const std::wstring& b) { return Order(a.compare(b), 0); }

uint32_t HostOrder(uint32_t address) {
  return (address >> 24) | ((address >> 8) & 0xFF00u) | ((address << 8) & 0xFF0000u) | (address << 24);
}

uint16_t HostOrder16(uint16_t port) { return uint16_t((port >> 8) | (port << 8)); }

int CompareEnds(const NameText& hostA, uint32_t addressA, const NameText& portA, uint16_t portNumberA,
                const NameText& hostB, uint32_t addressB, const NameText& portB, uint16_t portNumberB) {
  int order = hostA.symbolic || hostB.symbolic ? CompareTexts(hostA.text, hostB.text)
                                               : Order(HostOrder(addressA), HostOrder(addressB));
  if (order != 0) return order;
  return portA.symbolic || portB.symbolic ? CompareTexts(portA.text, portB.text)
                                          : Order(HostOrder16(portNumberA), HostOrder16(portNumberB));
}

}  // namespace

std::wstring ByteCountText(uint64_t value, const CellFormats& formats) {
  return ScaledText(value, formats.bytes, formats.kilobytes, formats.megabytes);
}

std::wstring SpeedText(uint32_t value, const CellFormats& formats) {
  if (value == 0) return std::wstring();
  return ScaledText(value, formats.speedBytes, formats.speedKilobytes, formats.speedMegabytes);
}

unsigned StateStringId(SourceMode mode, const ConnectionRow& row) {
  if (mode == SourceMode::Driver) {
    static const unsigned kDriverNames[] = {IDS_STATE_CREATED,     IDS_STATE_LISTENING,
                                            IDS_STATE_CONNECTING,  IDS_STATE_LISTENING,
                                            IDS_STATE_ESTABLISHED, IDS_STATE_DISCONNECTED};
    return row.state < 6 ? kDriverNames[row.state] : 0;
  }
  if (row.protocol == kProtocolUdp) return 0;
  static const unsigned kTableNames[] = {IDS_TCP_CLOSED,       IDS_TCP_LISTEN,        IDS_TCP_SYN_SENT,
                                         IDS_TCP_SYN_RECEIVED, IDS_STATE_ESTABLISHED, IDS_TCP_FIN_WAIT_1,
                                         IDS_TCP_FIN_WAIT_2,   IDS_TCP_CLOSE_WAIT,    IDS_TCP_CLOSING,
                                         IDS_TCP_LAST_ACK,     IDS_TCP_TIME_WAIT,     IDS_TCP_DELETE_TCB};
  return row.state >= 1 && row.state <= 12 ? kTableNames[row.state - 1] : 0;
}

bool StateNumberShown(SourceMode mode, const ConnectionRow& row) {
  if (mode == SourceMode::Table && row.protocol == kProtocolUdp) return false;
  return StateStringId(mode, row) == 0;
}

const wchar_t* ProtocolText(uint32_t protocol) {
  if (protocol == kProtocolTcp) return L"TCP";
  if (protocol == kProtocolUdp) return L"UDP";
  return L"<unknown>";
}

std::wstring DottedQuad(uint32_t address) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
  return Decimal(bytes[0]) + L"." + Decimal(bytes[1]) + L"." + Decimal(bytes[2]) + L"." + Decimal(bytes[3]);
}

std::wstring AddressCellText(const NameText& host, const NameText& port) {
  return host.text + L":" + port.text;
}

int CompareRows(int column, const ConnectionRow& a, const ConnectionRow& b) {
  switch (column) {
    case kColumnProcess:
      return CompareTexts(a.processName, b.processName);
    case kColumnPid:
      return Order(a.processId, b.processId);
    case kColumnProtocol:
      return Order(a.protocol, b.protocol);
    case kColumnLocal:
      return CompareEnds(a.localHost, a.localAddress, a.localPortText, a.localPort, b.localHost,
                         b.localAddress, b.localPortText, b.localPort);
    case kColumnRemote:
      return CompareEnds(a.remoteHost, a.remoteAddress, a.remotePortText, a.remotePort, b.remoteHost,
                         b.remoteAddress, b.remotePortText, b.remotePort);
    case kColumnReceived:
      return Order(a.bytesReceived, b.bytesReceived);
    case kColumnSent:
      return Order(a.bytesSent, b.bytesSent);
    case kColumnSpeedIn:
      return Order(a.speedIn, b.speedIn);
    case kColumnSpeedOut:
      return Order(a.speedOut, b.speedOut);
    case kColumnState:
      return Order(a.state, b.state);
  }
  return 0;
}
