// The one door from the driver to the processor and the platform. The firmware image implements
// it with the real instructions (RealInstructions.cpp); the host build implements it with a
// simulated machine, so that the same driver sources run under test.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

struct CpuidResult {
  UINT32 Eax;
  UINT32 Ebx;
  UINT32 Ecx;
  UINT32 Edx;
};

// Byte-wide I/O port access (IN AL,DX / OUT DX,AL).
UINT8 PortRead8(UINT16 Port);
VOID PortWrite8(UINT16 Port, UINT8 Value);
// Doubleword I/O port read (IN EAX,DX), for a 32-bit counter that byte-wise reads would tear.
UINT32 PortRead32(UINT16 Port);

// Model-specific registers (RDMSR / WRMSR); the value is EDX:EAX.
UINT64 MsrRead(UINT32 Index);
VOID MsrWrite(UINT32 Index, UINT64 Value);

// CPUID with EAX = Leaf; ECX is loaded with the leaf number too.
CpuidResult CpuidExecute(UINT32 Leaf);

// RDTSC: the 64-bit time-stamp counter.
UINT64 TscRead();

// MFENCE: every earlier load and store, a memory-mapped APIC register's among them, completes
// before any later one (or WRMSR) begins.
VOID MemoryFence();

// One 32-bit access of device memory, performed exactly once, never split, merged or cached.
UINT32 DeviceRead32(UINT64 Address);
VOID DeviceWrite32(UINT64 Address, UINT32 Value);

// Where the running image was loaded: with the linker map, turns a code address into a place in
// the source.
UINT64 LoadedImageBase();

// Spins on a local volatile flag that nothing in the firmware writes; a debugger that writes a
// non-zero value into it lets the call return.
VOID HaltUntilReleased();
