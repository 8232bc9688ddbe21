// The hardware layer on a real (or emulated) x86-64 processor.
#include "HardwareAccess/HardwareAccess.h"

UINT8 PortRead8(UINT16 Port) {
  UINT8 Value;
  __asm__ __volatile__("inb %1, %0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

UINT32 PortRead32(UINT16 Port) {
  UINT32 Value;
  __asm__ __volatile__("inl %1, %0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

VOID PortWrite8(UINT16 Port, UINT8 Value) {
  __asm__ __volatile__("outb %0, %1" : : "a"(Value), "Nd"(Port));
}

UINT64 MsrRead(UINT32 Index) {
  UINT32 Low;
  UINT32 High;
  __asm__ __volatile__("rdmsr" : "=a"(Low), "=d"(High) : "c"(Index));
  return (static_cast<UINT64>(High) << 32) | Low;
}

VOID MsrWrite(UINT32 Index, UINT64 Value) {
  __asm__ __volatile__("wrmsr"
                       :
                       : "c"(Index), "a"(static_cast<UINT32>(Value)),
                         "d"(static_cast<UINT32>(Value >> 32))
                       : "memory");
}

CpuidResult CpuidExecute(UINT32 Leaf) {
  CpuidResult Result;
  __asm__ __volatile__("cpuid"
                       : "=a"(Result.Eax), "=b"(Result.Ebx), "=c"(Result.Ecx), "=d"(Result.Edx)
                       : "a"(Leaf), "c"(Leaf));
  return Result;
}

UINT64 TscRead() {
  UINT32 Low;
  UINT32 High;
  __asm__ __volatile__("rdtsc" : "=a"(Low), "=d"(High));
  return (static_cast<UINT64>(High) << 32) | Low;
}

VOID MemoryFence() {
  __asm__ __volatile__("mfence" : : : "memory");
}

UINT32 DeviceRead32(UINT64 Address) {
  return *reinterpret_cast<volatile UINT32*>(static_cast<UINTN>(Address));
}

VOID DeviceWrite32(UINT64 Address, UINT32 Value) {
  *reinterpret_cast<volatile UINT32*>(static_cast<UINTN>(Address)) = Value;
}

// Placed by the linker at the start of the image; its run-time address is the load address.
extern "C" const UINT8 __ImageBase;

UINT64 LoadedImageBase() {
  return reinterpret_cast<UINTN>(&__ImageBase);
}

VOID HaltUntilReleased() {
  volatile UINT8 Released = 0;
  while (Released == 0) {
  }
}
