#include "Services/CpuArch.h"

#include "Core/GuardSmash.h"

#include "Platform/Console.h"
#include "Platform/Cpu.h"
#include "Services/Interrupts.h"

namespace CpuArch {
namespace {

Counters Count = {0, -1, 0};

void Unexpected(const char* Service) {
  ++Count.UnexpectedCalls;
  Console::FactText("unexpected-cpu-service", Service);
}

FIRMWARE_API Uefi::Status FlushDataCache(Uefi::CpuArchProtocol*, uint64_t, uint64_t, uint32_t) {
  Unexpected("FlushDataCache");
  return Uefi::UNSUPPORTED;
}

FIRMWARE_API Uefi::Status EnableInterrupt(Uefi::CpuArchProtocol*) {
  Cpu::EnableInterrupts();
  return Uefi::SUCCESS;
}

FIRMWARE_API Uefi::Status DisableInterrupt(Uefi::CpuArchProtocol*) {
  Cpu::DisableInterrupts();
  return Uefi::SUCCESS;
}

FIRMWARE_API Uefi::Status GetInterruptState(Uefi::CpuArchProtocol*, uint8_t* State) {
  if (State == nullptr) {
    return Uefi::INVALID_PARAMETER;
  }
  *State = Cpu::InterruptsEnabled() ? 1 : 0;
  return Uefi::SUCCESS;
}

FIRMWARE_API Uefi::Status Init(Uefi::CpuArchProtocol*, uint32_t) {
  Unexpected("Init");
  return Uefi::UNSUPPORTED;
}

FIRMWARE_API Uefi::Status RegisterInterruptHandler(Uefi::CpuArchProtocol*,
                                                   Uefi::ExceptionType InterruptType,
                                                   Uefi::InterruptHandlerFn Handler) {
  GuardSmash::OnService(__builtin_frame_address(0));
  ++Count.Registrations;
  Count.LastVector = InterruptType;
  return Interrupts::RegisterHandler(InterruptType, Handler);
}

FIRMWARE_API Uefi::Status GetTimerValue(Uefi::CpuArchProtocol*, uint32_t, uint64_t*, uint64_t*) {
  Unexpected("GetTimerValue");
  return Uefi::UNSUPPORTED;
}

FIRMWARE_API Uefi::Status SetMemoryAttributes(Uefi::CpuArchProtocol*, uint64_t, uint64_t,
                                              uint64_t) {
  Unexpected("SetMemoryAttributes");
  return Uefi::UNSUPPORTED;
}

// One timer (the TSC); DMA buffers need no alignment beyond a cache line on this machine.
constexpr uint32_t NUMBER_OF_TIMERS = 1;
constexpr uint32_t DMA_BUFFER_ALIGNMENT = 64;

Uefi::CpuArchProtocol Protocol = {&FlushDataCache,
                                  &EnableInterrupt,
                                  &DisableInterrupt,
                                  &GetInterruptState,
                                  &Init,
                                  &RegisterInterruptHandler,
                                  &GetTimerValue,
                                  &SetMemoryAttributes,
                                  NUMBER_OF_TIMERS,
                                  DMA_BUFFER_ALIGNMENT};

} // namespace

Uefi::CpuArchProtocol* Instance() {
  return &Protocol;
}

Counters Read() {
  return Count;
}

} // namespace CpuArch
