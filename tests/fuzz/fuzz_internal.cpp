// Internal device control requests with arbitrary minor codes and parameters
// to the TCP filter: the structures a request points to are real, their
// contents and lengths are the input's. A length never claims more bytes than
// the buffer it describes holds; within that, anything goes.
#include "fuzz_world.h"
#include "socket_client.h"

namespace {

struct Blob {
  std::vector<uint8_t> bytes;
  TDI_CONNECTION_INFORMATION info = {};
};

PTDI_CONNECTION_INFORMATION Information(FuzzInput& in, Blob& blob) {
  uint8_t shape = in.take<uint8_t>();
  if (shape % 4 == 0) return nullptr;
  blob.bytes = in.bytes(in.take<uint8_t>());
  LONG claimed = in.take<LONG>();
  if (claimed > LONG(blob.bytes.size())) claimed = LONG(blob.bytes.size());
  blob.info.RemoteAddressLength = claimed;
  blob.info.RemoteAddress = shape % 4 == 1 ? nullptr : blob.bytes.data();
  return &blob.info;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzWorld world;
  FuzzInput in(data, size);
  hostkernel::CurrentProcess process(FuzzWorld::kProcess);
  PFILE_OBJECT address = hostkernel::openFile(u"\\Device\\Tcp", TransportAddressEa(0, 0)).file;
  PFILE_OBJECT connection = hostkernel::openFile(u"\\Device\\Tcp", ConnectionContextEa(nullptr)).file;
  if (address == nullptr || connection == nullptr) return 0;
  address->FsContext2 = reinterpret_cast<PVOID>(ULONG_PTR(TDI_TRANSPORT_ADDRESS_FILE));
  connection->FsContext2 = reinterpret_cast<PVOID>(ULONG_PTR(TDI_CONNECTION_FILE));
  HANDLE handle = hostkernel::createHandle(address, false);

  for (int round = 0; round < 4; ++round) {
    uint8_t minor = in.take<uint8_t>();
    uint8_t target = in.take<uint8_t>();
    PFILE_OBJECT file = target & 1 ? address : connection;
    file->FsContext2 = reinterpret_cast<PVOID>(ULONG_PTR(target >> 1 & 3));
    NTSTATUS answer = in.take<uint8_t>() & 1 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    world.transport().answer(answer, in.take<uint16_t>());
    Blob request, returned;
    std::vector<uint8_t> reply;
    uint32_t words[3] = {in.take<uint32_t>(), in.take<uint32_t>(), in.take<uint32_t>()};
    hostkernel::sendRequest(
        nullptr, file, IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PIRP irp, PIO_STACK_LOCATION s) {
          s->MinorFunction = minor;
          // Kernel clients and user-mode requests that TDI.SYS mapped.
          irp->RequestorMode = target & 8 ? KernelMode : UserMode;
          void* p = &s->Parameters;
          switch (minor) {
            case TDI_ASSOCIATE_ADDRESS:
              static_cast<PTDI_REQUEST_KERNEL_ASSOCIATE>(p)->AddressHandle =
                  words[0] & 1 ? handle : reinterpret_cast<HANDLE>(ULONG_PTR(words[1]));
              break;
            case TDI_CONNECT:
            case TDI_LISTEN:
            case TDI_DISCONNECT: {
              PTDI_REQUEST_KERNEL k = static_cast<PTDI_REQUEST_KERNEL>(p);
              k->RequestConnectionInformation = Information(in, request);
              k->ReturnConnectionInformation = Information(in, returned);
              break;
            }
            case TDI_ACCEPT: {
              PTDI_REQUEST_KERNEL_ACCEPT k = static_cast<PTDI_REQUEST_KERNEL_ACCEPT>(p);
              k->RequestConnectionInformation = Information(in, request);
              k->ReturnConnectionInformation = Information(in, returned);
              break;
            }
            case TDI_SET_EVENT_HANDLER: {
              PTDI_REQUEST_KERNEL_SET_EVENT e = static_cast<PTDI_REQUEST_KERNEL_SET_EVENT>(p);
              e->EventType = LONG(words[0]);
              e->EventHandler = reinterpret_cast<PVOID>(ULONG_PTR(words[1]));
              e->EventContext = reinterpret_cast<PVOID>(ULONG_PTR(words[2]));
              break;
            }
            case TDI_QUERY_INFORMATION: {
              static_cast<PTDI_REQUEST_KERNEL_QUERY_INFORMATION>(p)->QueryType = LONG(words[0] % 8);
              if (words[1] & 1) {
                reply = in.bytes(in.take<uint8_t>());
                reply.push_back(0);
                PMDL mdl = IoAllocateMdl(reply.data(), ULONG(reply.size()), FALSE, FALSE, irp);
                if (mdl) MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
              }
              break;
            }
            default:
              // Send and receive lengths, and whatever else the minor code reads.
              std::memcpy(p, words, sizeof words);
          }
        });
  }
  std::vector<uint8_t> out;
  hostkernel::OpenResult control = hostkernel::openFile(u"\\DosDevices\\Vesk");
  hostkernel::deviceIoControl(control.file, 0x99004264, {}, out, 45056);
  hostkernel::closeFile(control.file);
  hostkernel::drainWorkItems();
  hostkernel::closeHandle(handle);
  hostkernel::closeFile(connection);
  hostkernel::closeFile(address);
  return 0;
}
