#include "Services/Tpl.h"

#include "Platform/Console.h"
#include "Platform/Cpu.h"

namespace Tpl {
namespace {
Uefi::Tpl CurrentLevel = Uefi::TPL_APPLICATION;
Counters Count = {0, 0, 0};
void (*RestoreHook)() = nullptr;

void ReportViolation(const char* What, Uefi::Tpl Requested) {
  ++Count.Violations;
  Console::BeginLine();
  Console::Write(What);
  Console::Write(" from TPL ");
  Console::WriteDecimal(CurrentLevel);
  Console::Write(" to TPL ");
  Console::WriteDecimal(Requested);
  Console::EndLine();
}
} // namespace

FIRMWARE_API Uefi::Tpl Raise(Uefi::Tpl NewTpl) {
  const bool WasEnabled = Cpu::InterruptsEnabled();
  Cpu::DisableInterrupts();
  ++Count.Raises;
  const Uefi::Tpl Previous = CurrentLevel;
  if (NewTpl < CurrentLevel) {
    ReportViolation("RaiseTPL downwards", NewTpl);
  }
  CurrentLevel = NewTpl;
  if (NewTpl < Uefi::TPL_HIGH_LEVEL && WasEnabled) {
    Cpu::EnableInterrupts();
  }
  return Previous;
}

FIRMWARE_API void Restore(Uefi::Tpl OldTpl) {
  Cpu::DisableInterrupts();
  ++Count.Restores;
  if (OldTpl > CurrentLevel) {
    ReportViolation("RestoreTPL upwards", OldTpl);
  }
  CurrentLevel = OldTpl;
  if (OldTpl < Uefi::TPL_HIGH_LEVEL) {
    if (RestoreHook != nullptr) {
      RestoreHook();
    }
    Cpu::EnableInterrupts();
  }
}

void OnRestore(void (*Hook)()) {
  RestoreHook = Hook;
}

Uefi::Tpl Current() {
  return CurrentLevel;
}

Counters Read() {
  return Count;
}

} // namespace Tpl
