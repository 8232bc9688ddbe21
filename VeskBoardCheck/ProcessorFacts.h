// What the processor says about itself and the state its local APIC timer is in now. Reading them
// changes nothing, but for the microcode revision's register, which the read itself needs cleared.
#pragma once

#include "VeskBoardCheck/Decisions.h"

struct ProcessorFacts {
  CHAR8 Vendor[13]; // CPUID leaf 0, zero-ended
  CpuIdentity Identity;
  // The microcode revision: Identity's on Intel; on AMD the patch level, read from MSR 0x8B as it
  // is (not under a hypervisor).
  BOOLEAN MicrocodeRead;
  UINT32 Microcode;
  BOOLEAN X2Apic;
  BOOLEAN InvariantTsc;
  BOOLEAN Arat;
  UINT64 Cpuid15Hz; // the TSC rate leaf 0x15 gives; 0: not given
  UINT64 Cpuid16Hz; // the base frequency leaf 0x16 gives; 0: not given
};
VOID ReadProcessorFacts(ProcessorFacts* Facts);

enum class ApicModeNow : UINT8 { Disabled, XApic, X2Apic };
ApicModeNow ReadApicMode();
