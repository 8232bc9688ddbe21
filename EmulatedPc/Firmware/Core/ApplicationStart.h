// Starts the application the ROM carries, the board check, as a shell or a boot manager would: it
// loads the image, puts a Loaded Image protocol with the board's load options on a new image
// handle and calls the entry on a painted stack of its own; then it reports what the application
// left behind: its status, the local APIC timer, handlers, protocols and the descriptor table.
#pragma once

#include <stdint.h>

#include "Uefi/SystemTable.h"

namespace ApplicationStart {

struct Plan {
  const uint8_t* File;
  uint64_t FileBytes;
  Uefi::SystemTable* Table;
  Uefi::Handle Parent;
  uint64_t CorePeriod; // the firmware core's tick period, set first when a timer is installed
  bool EarlyDeadline;  // one deadline of the exercise fires early (Core/EarlyDeadline.h)
  bool TimerCounting;  // the local APIC timer counts, masked, as a firmware's delay clock
};

void Run(const Plan& Start);

} // namespace ApplicationStart
