// In C++ the DDK's wdm.h and mingw's intrin.h both define the two bit-test
// intrinsics; marking intrin's as defined leaves wdm.h's.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>

#include "shared/activity_protocol.h"
