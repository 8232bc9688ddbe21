#include "Core/HaltWatch.h"

#include "Platform/Console.h"
#include "Platform/Emulator.h"
#include "Platform/IntervalTimer.h"
#include "Platform/LegacyPic.h"
#include "Services/Interrupts.h"
#include "Services/ProtocolDatabase.h"
#include "Uefi/Protocols.h"

namespace HaltWatch {
namespace {

// One sample every 10 ms of emulated time.
constexpr uint16_t SAMPLE_TIMER_COUNT = 11932;
// The driver's greeting and its assertion line take about 15 ms at 115200 baud: the first 50 ms
// are left to them.
constexpr unsigned SETTLE_SAMPLES = 5;
constexpr unsigned JUDGED_SAMPLES = 4;
// The halt is a load of its flag, a test and a branch back: a few bytes of code.
constexpr uint64_t HALT_LOOP_MAX_BYTES = 16;

uint64_t ImageStart = 0;
uint64_t ImageBytes = 0;
unsigned Samples = 0;
unsigned Outside = 0; // samples that found the processor outside the driver's image
uint64_t Lowest = ~0ULL;
uint64_t Highest = 0;

FIRMWARE_API Uefi::Status RivalRegisterHandler(Uefi::TimerArchProtocol*, Uefi::TimerNotifyFn) {
  return Uefi::UNSUPPORTED;
}
FIRMWARE_API Uefi::Status RivalSetTimerPeriod(Uefi::TimerArchProtocol*, uint64_t) {
  return Uefi::UNSUPPORTED;
}
FIRMWARE_API Uefi::Status RivalGetTimerPeriod(Uefi::TimerArchProtocol*, uint64_t*) {
  return Uefi::UNSUPPORTED;
}
FIRMWARE_API Uefi::Status RivalGenerateSoftInterrupt(Uefi::TimerArchProtocol*) {
  return Uefi::UNSUPPORTED;
}
Uefi::TimerArchProtocol RivalTimer = {&RivalRegisterHandler, &RivalSetTimerPeriod,
                                      &RivalGetTimerPeriod, &RivalGenerateSoftInterrupt};

FIRMWARE_API void Sample(int64_t, void* Context) {
  const uint64_t Rip = static_cast<const Interrupts::Frame*>(Context)->Rip;
  LegacyPic::EndOfInterrupt();
  if (++Samples <= SETTLE_SAMPLES) {
    return;
  }
  if (Rip < ImageStart || Rip - ImageStart >= ImageBytes) {
    ++Outside;
  } else {
    Lowest = Rip - ImageStart < Lowest ? Rip - ImageStart : Lowest;
    Highest = Rip - ImageStart > Highest ? Rip - ImageStart : Highest;
  }
  if (Samples < SETTLE_SAMPLES + JUDGED_SAMPLES) {
    return;
  }
  const bool OneLoop = Outside == 0 && Highest - Lowest < HALT_LOOP_MAX_BYTES;
  Console::Fact("halt-samples", JUDGED_SAMPLES);
  Console::Fact("halt-samples-outside-image", Outside);
  if (Outside < JUDGED_SAMPLES) {
    Console::FactHex("halt-rip-offset", Lowest);
    Console::Fact("halt-rip-spread-bytes", Highest - Lowest);
  }
  Emulator::Finish(OneLoop ? "halted" : "not-halted");
}

} // namespace

void InstallRivalTimer() {
  Uefi::Handle Handle = nullptr;
  ProtocolDatabase::Install(&Handle, &Uefi::TIMER_ARCH_PROTOCOL_GUID, &RivalTimer);
  Console::Fact("timer-preinstalled", 1);
}

void Start(uint64_t ImageBase, uint64_t ImageSize) {
  ImageStart = ImageBase;
  ImageBytes = ImageSize;
  Interrupts::RegisterHandler(LegacyPic::FIRST_VECTOR + LegacyPic::INTERVAL_TIMER_LINE, &Sample);
  IntervalTimer::StartPeriodic(SAMPLE_TIMER_COUNT);
  LegacyPic::Unmask(LegacyPic::INTERVAL_TIMER_LINE);
}

void EntryReturned(uint64_t Status) {
  LegacyPic::MaskAll();
  Console::FactHex("entry-status", Status);
  Emulator::Finish("entry-returned");
}

} // namespace HaltWatch
