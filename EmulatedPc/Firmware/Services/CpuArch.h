// The CPU Architectural Protocol of this machine.
#pragma once

#include "Uefi/Protocols.h"

namespace CpuArch {

Uefi::CpuArchProtocol* Instance();

struct Counters {
  uint64_t Registrations;
  int64_t LastVector;
  uint64_t UnexpectedCalls;
};
Counters Read();

} // namespace CpuArch
