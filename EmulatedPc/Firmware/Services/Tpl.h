// Task priority levels of the firmware. Raising to TPL_HIGH_LEVEL masks interrupts on the
// processor; restoring below it unmasks them again.
#pragma once

#include "Uefi/UefiTypes.h"

namespace Tpl {

FIRMWARE_API Uefi::Tpl Raise(Uefi::Tpl NewTpl);
FIRMWARE_API void Restore(Uefi::Tpl OldTpl);

Uefi::Tpl Current();

// Called by every restore below TPL_HIGH_LEVEL, before interrupts are let in again (null: none).
void OnRestore(void (*Hook)());

struct Counters {
  uint64_t Raises;
  uint64_t Restores;
  uint64_t Violations; // a raise below or a restore above the current level
};
Counters Read();

} // namespace Tpl
