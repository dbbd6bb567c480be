// Arbitrary extended-attribute buffers in creates through both filters.
#include "fuzz_world.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzWorld world;
  FuzzInput in(data, size);
  bool tcp = in.take<uint8_t>() & 1;
  std::vector<uint8_t> ea = in.rest();
  hostkernel::CurrentProcess process(FuzzWorld::kProcess);
  hostkernel::OpenResult open = hostkernel::openFile(tcp ? u"\\Device\\Tcp" : u"\\Device\\Udp", ea);
  if (open.file != nullptr) {
    // The transport decides the object kind; try each.
    open.file->FsContext2 = reinterpret_cast<PVOID>(ULONG_PTR(1 + (ea.size() % 3)));
    hostkernel::closeFile(open.file);
  }
  return 0;
}
