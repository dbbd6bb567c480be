// Device control requests with arbitrary codes, lengths and buffers, to the
// control device and to the filters, with records in the table to report.
#include "fuzz_world.h"
#include "socket_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzWorld world;
  FuzzInput in(data, size);
  hostkernel::CurrentProcess process(FuzzWorld::kProcess);
  PFILE_OBJECT udp = hostkernel::openFile(u"\\Device\\Udp", TransportAddressEa(0, Port(53))).file;
  PFILE_OBJECT address = hostkernel::openFile(u"\\Device\\Tcp", TransportAddressEa(0, Port(80))).file;
  PFILE_OBJECT connection = hostkernel::openFile(u"\\Device\\Tcp", ConnectionContextEa(nullptr)).file;
  PFILE_OBJECT control = hostkernel::openFile(u"\\DosDevices\\Vesk").file;
  if (!udp || !address || !connection || !control) return 0;
  connection->FsContext2 = reinterpret_cast<PVOID>(ULONG_PTR(TDI_CONNECTION_FILE));
  if (auto c = vesk::gActivityDriver->table().findConnection(connection)) {
    vesk::gActivityDriver->table().associate(*c, vesk::gActivityDriver->table().findAddress(address));
    c->state = in.take<uint8_t>() % 7;
  }
  hostkernel::addProcess(in.take<uint16_t>(), std::u16string(in.take<uint8_t>(), u'p'));

  for (int round = 0; round < 3; ++round) {
    uint8_t target = in.take<uint8_t>();
    ULONG code = in.take<uint32_t>();
    if (target & 2) code = 0x99004264 + 4 * (code & 1);  // the control device's own codes, often
    ULONG capacity = in.take<uint16_t>();
    std::vector<uint8_t> input = in.bytes(in.take<uint8_t>());
    PFILE_OBJECT file = target & 1 ? control : (target & 4 ? udp : connection);
    world.transport().answer(in.take<uint8_t>() & 1 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER, 0);
    std::vector<uint8_t> out;
    hostkernel::deviceIoControl(file, code, input, out, capacity);
  }
  for (PFILE_OBJECT f : {control, connection, address, udp}) hostkernel::closeFile(f);
  return 0;
}
