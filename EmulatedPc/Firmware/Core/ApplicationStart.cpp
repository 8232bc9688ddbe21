#include "Core/ApplicationStart.h"

#include "Core/EarlyDeadline.h"
#include "Core/PeLoader.h"
#include "Platform/BoardSettings.h"
#include "Platform/Console.h"
#include "Platform/Cpu.h"
#include "Platform/DriverSettings.h"
#include "Platform/Emulator.h"
#include "Platform/LocalApic.h"
#include "Services/CpuArch.h"
#include "Services/Interrupts.h"
#include "Services/ProtocolDatabase.h"
#include "Services/StackProbe.h"
#include "Uefi/ApplicationProtocols.h"
#include "Uefi/Protocols.h"

extern "C" uint64_t CallOnStack(const void* Function, uint64_t Argument1, uint64_t Argument2,
                                uint64_t StackTop);

namespace ApplicationStart {
namespace {

constexpr size_t LOAD_AREA_BYTES = 128 * 1024;
constexpr size_t LOAD_AREA_ALIGNMENT = 4096;
// A loader's buffer is larger than the options it passes, and what lies beyond their size is
// not a NUL: a program that reads past the size finds this.
constexpr char16_t BEYOND_OPTIONS = u'#';
// Long enough for a count at divide by 16 to go down between two reads.
constexpr uint64_t COUNTING_WAIT_TSC = 1000;
constexpr uint32_t WHOLE_COUNT = 0xFFFFFFFF;

alignas(LOAD_AREA_ALIGNMENT) uint8_t LoadArea[LOAD_AREA_BYTES];
PeLoader::LoadedImage Image;
Uefi::LoadedImageProtocol LoadedImage;
char16_t Options[BoardSettings::LOAD_OPTIONS_CAPACITY];
StackProbe::Stack Stack;

// What the application may change and must leave as it found it.
struct Machine {
  uint32_t Spurious;
  uint32_t LvtTimer;
  bool TimerCounting;
  uint64_t Deadline;
  unsigned Handlers;
  unsigned Interfaces;
  uint64_t DescriptorTable;
  uint64_t Registrations;
};

bool TimerCounting() {
  const uint32_t First = LocalApic::Read(LocalApic::REG_TIMER_CURRENT_COUNT);
  for (const uint64_t Start = Cpu::ReadTsc(); Cpu::ReadTsc() - Start < COUNTING_WAIT_TSC;) {
  }
  return LocalApic::Read(LocalApic::REG_TIMER_CURRENT_COUNT) != First;
}

Machine Snapshot() {
  return {LocalApic::Read(LocalApic::REG_SPURIOUS),
          LocalApic::Read(LocalApic::REG_LVT_TIMER),
          TimerCounting(),
          Cpu::ReadMsr(LocalApic::MSR_TSC_DEADLINE),
          Interrupts::RegisteredHandlers(),
          ProtocolDatabase::InstalledInterfaces(),
          Interrupts::DescriptorTableDigest(),
          CpuArch::Read().Registrations};
}

void Load(const Plan& Start) {
  const char* Problem = PeLoader::Load(Start.File, Start.FileBytes, PeLoader::Kind::Application,
                                       LoadArea, sizeof(LoadArea), Image);
  Console::BeginLine();
  Console::Write("board check: ");
  Console::WriteDecimal(Start.FileBytes);
  Console::Write(" bytes in ROM");
  if (Problem != nullptr) {
    Console::Write(", not loaded: ");
    Console::Write(Problem);
    Console::EndLine();
    Emulator::Finish("application-not-loadable");
  }
  Console::Write(", PE32+ x86-64 application, loaded at ");
  Console::WriteHex(Image.Base, 8);
  Console::Write(" with ");
  Console::WriteDecimal(Image.Relocations);
  Console::Write(" relocations, entry ");
  Console::WriteHex(Image.EntryPoint, 8);
  Console::EndLine();
}

Uefi::Handle InstallLoadedImage(const Plan& Start) {
  const unsigned Length = BoardSettings::ReadLoadOptions(Options);
  const bool None = Length == BoardSettings::NO_LOAD_OPTIONS;
  for (unsigned Index = None ? 0 : Length; Index < BoardSettings::LOAD_OPTIONS_CAPACITY; ++Index) {
    Options[Index] = BEYOND_OPTIONS;
  }
  LoadedImage = {Uefi::LOADED_IMAGE_REVISION,
                 Start.Parent,
                 Start.Table,
                 nullptr,
                 nullptr,
                 nullptr,
                 None ? 0 : static_cast<uint32_t>(Length * sizeof(char16_t)),
                 None ? nullptr : Options,
                 reinterpret_cast<void*>(Image.Base),
                 Image.Size,
                 Uefi::MEMORY_LOADER_CODE,
                 Uefi::MEMORY_LOADER_DATA,
                 nullptr};
  Console::FactText("app-load-options", None ? "none" : "given");
  Console::Fact("app-load-options-bytes", LoadedImage.LoadOptionsSize);
  Uefi::Handle ImageHandle = nullptr;
  ProtocolDatabase::Install(&ImageHandle, &Uefi::LOADED_IMAGE_PROTOCOL_GUID, &LoadedImage);
  return ImageHandle;
}

// A firmware core sets its tick period once the timer is there; the board check must find it.
void ReportPresentTimer(uint64_t CorePeriod) {
  auto* Timer =
      static_cast<Uefi::TimerArchProtocol*>(ProtocolDatabase::Find(Uefi::TIMER_ARCH_PROTOCOL_GUID));
  if (Timer == nullptr) {
    return;
  }
  Console::FactHex("core-set-period-status", Timer->SetTimerPeriod(Timer, CorePeriod));
  uint64_t Period = 0;
  Timer->GetTimerPeriod(Timer, &Period);
  Console::Fact("present-timer-period", Period);
}

void Report(const Machine& Before, const Machine& After) {
  Console::FactHex("spurious-before-app", Before.Spurious);
  Console::FactHex("spurious-after-app", After.Spurious);
  Console::FactHex("lvt-timer-before-app", Before.LvtTimer);
  Console::FactHex("lvt-timer-after-app", After.LvtTimer);
  Console::Fact("timer-counting-before-app", Before.TimerCounting);
  Console::Fact("timer-counting-after-app", After.TimerCounting);
  Console::Fact("deadline-before-app", Before.Deadline);
  Console::Fact("deadline-after-app", After.Deadline);
  Console::Fact("handlers-before-app", Before.Handlers);
  Console::Fact("handlers-after-app", After.Handlers);
  Console::Fact("protocols-before-app", Before.Interfaces);
  Console::Fact("protocols-after-app", After.Interfaces);
  Console::Fact("idt-changed-by-app", Before.DescriptorTable != After.DescriptorTable);
  const uint64_t Registrations = After.Registrations - Before.Registrations;
  Console::Fact("app-handler-registrations", Registrations);
  if (Registrations != 0) {
    const auto Vector = static_cast<uint8_t>(CpuArch::Read().LastVector);
    const Interrupts::HandlerStatistics Calls = Interrupts::Statistics(Vector);
    Console::FactHex("app-vector", Vector);
    Console::Fact("app-vector-interrupts", Calls.Calls);
    Console::Fact("app-vector-eoi-missing", Calls.LeftInService);
  }
  Console::Fact("driver-vector-interrupts-during-app",
                Interrupts::Statistics(DriverSettings::TIMER_VECTOR).Calls);
}

} // namespace

void Run(const Plan& Start) {
  Load(Start);
  const Uefi::Handle ImageHandle = InstallLoadedImage(Start);
  ReportPresentTimer(Start.CorePeriod);
  if (Start.EarlyDeadline) {
    EarlyDeadline::Start();
  }
  if (Start.TimerCounting) { // a firmware's delay clock: masked, periodic, the whole count
    LocalApic::Write(LocalApic::REG_TIMER_DIVIDE, LocalApic::TIMER_DIVIDE_BY_16);
    LocalApic::Write(LocalApic::REG_LVT_TIMER,
                     LocalApic::LVT_MASKED | LocalApic::LVT_TIMER_MODE_PERIODIC);
    LocalApic::Write(LocalApic::REG_TIMER_INITIAL_COUNT, WHOLE_COUNT);
  }
  for (unsigned Vector = Interrupts::FIRST_EXTERNAL_VECTOR; Vector < Interrupts::VECTOR_COUNT;
       ++Vector) {
    Interrupts::ResetStatistics(static_cast<uint8_t>(Vector));
  }
  const Machine Before = Snapshot();
  StackProbe::Paint(Stack);
  Console::BeginLine();
  Console::Write("calling the board check's entry point");
  Console::EndLine();
  Cpu::EnableInterrupts();
  const uint64_t Status = CallOnStack(
      reinterpret_cast<const void*>(Image.EntryPoint), reinterpret_cast<uint64_t>(ImageHandle),
      reinterpret_cast<uint64_t>(Start.Table), StackProbe::Top(Stack));
  const Machine After = Snapshot();
  Console::BeginLine();
  Console::Write("the board check's entry point returned");
  Console::EndLine();
  if (Start.EarlyDeadline) {
    EarlyDeadline::Stop();
  }
  Console::FactHex("app-status", Status);
  Console::Fact("app-stack-bytes", StackProbe::HighWater(Stack));
  Report(Before, After);
}

} // namespace ApplicationStart
