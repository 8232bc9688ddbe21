// The platform configuration database: the board's values by token number.
#pragma once

#include "Platform/DriverSettings.h"
#include "Uefi/Protocols.h"

namespace Pcd {

// The driver's token holds the TSC frequency in ticks per second.
constexpr uint64_t TOKEN_TSC_FREQUENCY = DriverSettings::TSC_FREQUENCY_TOKEN;

void SetTscFrequency(uint32_t TicksPerSecond);
Uefi::PcdProtocol* Instance();

struct Counters {
  uint64_t TscFrequencyReads;
  uint64_t OtherReads; // any other token or width: this board defines nothing else
};
Counters Read();

} // namespace Pcd
