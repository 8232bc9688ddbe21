// The firmware's main line, entered from the start-up code in long mode: bring up the board,
// dispatch the driver from the firmware volume the ROM carries, call its entry, then act as the
// firmware core that uses the timer it installed, report, and power off. Or start the board check
// the ROM carries too, instead of the driver or once the driver's timer runs.
#include "Core/ApplicationStart.h"
#include "Core/ClockAdvance.h"
#include "Core/Dispatcher.h"
#include "Core/GuardSmash.h"
#include "Core/HaltWatch.h"
#include "Core/PeLoader.h"
#include "Core/ProcessorFacts.h"
#include "Core/TimerExercise.h"
#include "Platform/BoardSettings.h"
#include "Platform/Console.h"
#include "Platform/Cpu.h"
#include "Platform/Emulator.h"
#include "Platform/IntervalTimer.h"
#include "Platform/LegacyPic.h"
#include "Platform/LocalApic.h"
#include "Services/AcpiTables.h"
#include "Services/CpuArch.h"
#include "Services/Interrupts.h"
#include "Services/Pcd.h"
#include "Services/ProtocolDatabase.h"
#include "Services/StackProbe.h"
#include "Services/SystemTables.h"
#include "Services/Tpl.h"
#include "Uefi/Protocols.h"
#include "Uefi/SystemTable.h"

extern "C" {
extern const uint64_t DriverVolumeBounds[2];
extern const uint64_t ApplicationImageBounds[2];
uint64_t CallOnStack(const void* Function, uint64_t Argument1, uint64_t Argument2,
                     uint64_t StackTop);
[[noreturn]] void FirmwareMain();
}

namespace {

using DriverEntryFn = Uefi::Status(FIRMWARE_API*)(Uefi::Handle ImageHandle,
                                                  Uefi::SystemTable* SystemTable);

// The image record installed on the driver's image handle under a GUID of this firmware.
constexpr Uefi::Guid IMAGE_RECORD_GUID = {
    0x6A1C0E52, 0x3F4B, 0x4E1D, {0x9B, 0x27, 0x51, 0xC4, 0x0D, 0x8E, 0x72, 0xA3}};

// 20 ms of the interval timer: the TSC rate the board states is checked against it.
constexpr uint16_t TSC_CALIBRATION_TIMER_COUNT = 23864;

constexpr size_t DRIVER_LOAD_AREA_BYTES = 512 * 1024;
constexpr size_t LOAD_AREA_ALIGNMENT = 4096;

alignas(LOAD_AREA_ALIGNMENT) uint8_t DriverLoadArea[DRIVER_LOAD_AREA_BYTES];
StackProbe::Stack EntryStack;
// The one driver the volume carries: the load area holds one image.
PeLoader::LoadedImage DriverImage;
BoardSettings::Settings Board;
Uefi::Handle FirmwareHandle = nullptr;
Uefi::SystemTable* Table = nullptr;
unsigned DispatchPass = 0; // the pass that started the driver; 0 while it has not started
Uefi::Status EntryStatus = Uefi::SUCCESS;

void ReportProcessor() {
  const Cpu::CpuidResult Features = Cpu::Cpuid(Cpu::CPUID_FEATURES);
  Console::BeginLine();
  Console::Write("cpu: signature ");
  Console::WriteHex(Features.Eax, 8);
  Console::Write(", tsc-deadline ");
  Console::Write((Features.Ecx & Cpu::CPUID1_ECX_TSC_DEADLINE) != 0 ? "yes" : "no");
  Console::Write(", x2apic ");
  Console::Write((Features.Ecx & Cpu::CPUID1_ECX_X2APIC) != 0 ? "yes" : "no");
  Console::EndLine();
  Console::Fact("cpu-tsc-deadline", (Features.Ecx & Cpu::CPUID1_ECX_TSC_DEADLINE) != 0);
  ProcessorFacts::Report();
}

void BringUpApic(const BoardSettings::Settings& Board) {
  LocalApic::Reset();
  if (Board.SwitchToX2Apic) {
    if ((Cpu::Cpuid(Cpu::CPUID_FEATURES).Ecx & Cpu::CPUID1_ECX_X2APIC) == 0) {
      Emulator::Finish("x2apic-requested-but-not-supported");
    }
    LocalApic::SwitchToX2Apic();
  }
  Console::FactText("apic-mode", LocalApic::X2ApicMode() ? "x2apic" : "xapic");
  Console::FactHex("apic-base", LocalApic::Base());
}

void LoadDriver(const uint8_t* File, uint64_t FileSize) {
  const char* Problem = PeLoader::Load(File, FileSize, PeLoader::Kind::BootServiceDriver,
                                       DriverLoadArea, sizeof(DriverLoadArea), DriverImage);
  Console::BeginLine();
  Console::Write("driver: ");
  Console::WriteDecimal(FileSize);
  Console::Write(" bytes in ROM at ");
  Console::WriteHex(reinterpret_cast<uint64_t>(File), 8);
  if (Problem != nullptr) {
    Console::Write(", not loaded: ");
    Console::Write(Problem);
    Console::EndLine();
    Emulator::Finish("driver-not-loadable");
  }
  Console::Write(", PE32+ x86-64 boot-service driver, ");
  Console::WriteDecimal(DriverImage.Sections);
  Console::Write(" sections, loaded at ");
  Console::WriteHex(DriverImage.Base, 8);
  Console::Write(" with ");
  Console::WriteDecimal(DriverImage.Relocations);
  Console::Write(" relocations, entry ");
  Console::WriteHex(DriverImage.EntryPoint, 8);
  Console::EndLine();
  Console::Fact("image-certificate-bytes", DriverImage.CertificateBytes);
}

// Snapshot of the APIC registers the driver may program, to tell whether it touched them.
struct ApicSnapshot {
  uint32_t Spurious;
  uint32_t LvtTimer;
  uint64_t Deadline; // or the end of the one-shot count
};

ApicSnapshot TakeApicSnapshot() {
  return {LocalApic::Read(LocalApic::REG_SPURIOUS), LocalApic::Read(LocalApic::REG_LVT_TIMER),
          LocalApic::ArmedTsc()};
}

Uefi::Status CallDriverEntry(Uefi::SystemTable* Table, bool WatchHalt) {
  Uefi::Handle ImageHandle = nullptr;
  ProtocolDatabase::Install(&ImageHandle, &IMAGE_RECORD_GUID, &DriverImage);
  StackProbe::Paint(EntryStack);
  Console::BeginLine();
  Console::Write("calling the driver entry point");
  Console::EndLine();
  if (WatchHalt) {
    HaltWatch::Start(DriverImage.Base, DriverImage.Size);
  }
  // Interrupts are on at TPL_APPLICATION, as they are while a firmware dispatches drivers.
  Cpu::EnableInterrupts();
  const Uefi::Status Result =
      CallOnStack(reinterpret_cast<const void*>(DriverImage.EntryPoint),
                  reinterpret_cast<uint64_t>(ImageHandle), reinterpret_cast<uint64_t>(Table),
                  StackProbe::Top(EntryStack));
  if (WatchHalt) {
    HaltWatch::EntryReturned(Result);
  }
  Console::BeginLine();
  Console::Write("the driver entry point returned");
  Console::EndLine();
  Console::FactHex("entry-status", Result);
  Console::Fact("entry-stack-bytes", StackProbe::HighWater(EntryStack));
  Uefi::Handle TimerHandle = nullptr;
  const bool Installed =
      ProtocolDatabase::Find(Uefi::TIMER_ARCH_PROTOCOL_GUID, &TimerHandle) != nullptr;
  Console::FactText("timer-protocol", Installed ? "installed" : "absent");
  if (Installed) {
    Console::Fact("timer-on-new-handle", TimerHandle != ImageHandle);
  }
  return Result;
}

void ReportFirmwareUse() {
  const CpuArch::Counters Cpu = CpuArch::Read();
  const Pcd::Counters Configuration = Pcd::Read();
  const Tpl::Counters Levels = Tpl::Read();
  Console::Fact("cpu-handler-registrations", Cpu.Registrations);
  Console::FactHex("cpu-handler-vector", static_cast<uint64_t>(Cpu.LastVector));
  Console::Fact("pcd-tsc-frequency-reads", Configuration.TscFrequencyReads);
  Console::Fact("pcd-other-reads", Configuration.OtherReads);
  Console::Fact("tpl-raises", Levels.Raises);
  Console::Fact("tpl-restores", Levels.Restores);
  Console::Fact("tpl-violations", Levels.Violations);
  Console::Fact("tpl-final", Tpl::Current());
  Console::Fact("unexpected-service-calls", SystemTables::UnexpectedCalls() + Cpu.UnexpectedCalls);
  Console::Fact("unhandled-interrupts", Interrupts::UnhandledInterrupts());
  Console::Fact("interrupt-nesting-max", Interrupts::DeepestNestingSeen());
}

void StartDriver(const uint8_t* Image, uint64_t ImageBytes, unsigned Pass) {
  DispatchPass = Pass;
  Console::Fact("dispatch-pass", Pass);
  LoadDriver(Image, ImageBytes);
  const ApicSnapshot Before = TakeApicSnapshot();
  EntryStatus = CallDriverEntry(Table, Board.TimerAlreadyInstalled || Board.SmashEntryGuard);
  const ApicSnapshot After = TakeApicSnapshot();
  Console::Fact("apic-touched-by-entry", Before.Spurious != After.Spurious ||
                                             Before.LvtTimer != After.LvtTimer ||
                                             Before.Deadline != After.Deadline);
  Console::FactHex("spurious-after-entry", After.Spurious);
  Console::FactHex("lvt-timer-after-entry", After.LvtTimer);
}

void InstallPcd() {
  ProtocolDatabase::Install(&FirmwareHandle, &Uefi::PCD_PROTOCOL_GUID, Pcd::Instance());
}

// A machine that reaches a shell has its local APIC enabled in software by then, its timer masked.
void StartBoardCheck() {
  if (Board.Start == BoardSettings::Launch::BoardCheck) {
    LocalApic::Write(LocalApic::REG_SPURIOUS,
                     LocalApic::Read(LocalApic::REG_SPURIOUS) | LocalApic::SPURIOUS_APIC_ENABLE);
  }
  ApplicationStart::Run({reinterpret_cast<const uint8_t*>(ApplicationImageBounds[0]),
                         ApplicationImageBounds[1] - ApplicationImageBounds[0], Table,
                         FirmwareHandle, Board.TimerPeriod, Board.EarlyDeadline,
                         Board.ApicTimerCounting});
}

// With a late configuration database, it comes only after the first pass.
bool InstallLateProtocols(unsigned Pass) {
  if (Pass == 1 && Board.PcdLate) {
    InstallPcd();
    return true;
  }
  return false;
}

} // namespace

void FirmwareMain() {
  Console::Initialize();
  Console::BeginLine();
  Console::Write("Emulated PC test firmware: long mode, identity-mapped 4 GiB");
  Console::EndLine();
  Interrupts::InstallDescriptorTable();
  LegacyPic::MaskAll();

  Board = BoardSettings::Read();
  Console::Fact("board-settings-found", Board.Valid);
  Console::Fact("tsc-frequency", Board.TscFrequency);
  Console::Fact("tsc-frequency-measured",
                IntervalTimer::MeasureTscFrequency(TSC_CALIBRATION_TIMER_COUNT));
  ReportProcessor();
  BringUpApic(Board);

  const uint32_t PcdTscFrequency = Board.TscFrequency * (Board.PcdTwiceRate ? 2 : 1);
  Pcd::SetTscFrequency(PcdTscFrequency);
  Console::Fact("pcd-tsc-frequency", PcdTscFrequency);
  if (!Board.NoCpuArch) {
    ProtocolDatabase::Install(&FirmwareHandle, &Uefi::CPU_ARCH_PROTOCOL_GUID, CpuArch::Instance());
  }
  if (!Board.PcdLate) {
    InstallPcd();
  }
  Table =
      SystemTables::Build(Board.NoAcpiTables ? nullptr : AcpiTables::Build(Board.BadFadtChecksum));
  if (Board.TimerAlreadyInstalled) {
    HaltWatch::InstallRivalTimer();
  }
  if (Board.SmashEntryGuard) {
    GuardSmash::Arm();
  }

  if ((Cpu::Cpuid(Cpu::CPUID_FEATURES).Ecx & Cpu::CPUID1_ECX_TSC_DEADLINE) != 0) {
    ClockAdvance::SleepUntil(Board.TscStart);
  }
  Console::Fact("tsc-start", Cpu::ReadTsc());
  if (Board.Start != BoardSettings::Launch::BoardCheck) {
    Dispatcher::Run(reinterpret_cast<const uint8_t*>(DriverVolumeBounds[0]),
                    DriverVolumeBounds[1] - DriverVolumeBounds[0], &StartDriver,
                    &InstallLateProtocols);
    if (DispatchPass == 0) {
      Console::Fact("dispatch-pass", 0);
      ReportFirmwareUse();
      Emulator::Finish("not-dispatched");
    }
  }
  if (Board.Start != BoardSettings::Launch::Driver) {
    StartBoardCheck();
    ReportFirmwareUse();
    Emulator::Finish("done");
  }
  if (!Uefi::IsError(EntryStatus)) {
    TimerExercise::Run({Board.TscFrequency, Board.TimerPeriod, Board.SpanPeriods});
  }
  ReportFirmwareUse();
  Emulator::Finish("done");
}
