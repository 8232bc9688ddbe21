// Aligned 32-bit device-memory access: each call is exactly one access of the full width.
#include "Library/BaseIoLibIntrinsic/IoLib.h"

#include "HardwareAccess/HardwareAccess.h"
#include "Library/SerialDebugLib/SerialDebugLib.h"

UINT32 ReadMmio32(UINT64 Address) {
  ASSERT((Address & 3) == 0);
  return DeviceRead32(Address);
}

UINT32 WriteMmio32(UINT64 Address, UINT32 Value) {
  ASSERT((Address & 3) == 0);
  DeviceWrite32(Address, Value);
  return Value;
}
