#include "SimulatedMachine/SimulatedMachine.h"

#include "PlatformSettings.h"

#include <cstdio>
#include <cstdlib>

namespace {
// The UART sits where the build put the driver's debug UART.
constexpr UINT16 SERIAL_TRANSMIT_PORT = DEBUG_UART_BASE;
constexpr UINT16 SERIAL_LINE_CONTROL_PORT = DEBUG_UART_BASE + 3;
constexpr UINT16 SERIAL_LINE_STATUS_PORT = DEBUG_UART_BASE + 5;
constexpr UINT8 SERIAL_DIVISOR_LATCH = 0x80;
constexpr UINT8 UNCLAIMED_PORT_VALUE = 0xFF;
constexpr UINT32 CPUID_VERSION_LEAF = 1;
constexpr UINT32 FAMILY_SHIFT = 8;
constexpr UINT32 FAMILY_MASK = 0xF;
constexpr UINT64 APIC_BASE_ADDRESS_MASK = ~0xFFFULL;
// Offset 0xE0 (destination format) has no x2APIC counterpart.
constexpr UINT32 X2APIC_MISSING_MSR = 0x80E;
constexpr UINT32 X2APIC_OFFSET_SHIFT = 4;

constexpr UINT16 SERIAL_SCRATCH_PORT = DEBUG_UART_BASE + 7;
constexpr UINT16 PIT_CHANNEL2_PORT = 0x42;
constexpr UINT16 PIT_MODE_PORT = 0x43;
constexpr UINT16 SYSTEM_CONTROL_PORT = 0x61;
constexpr UINT8 SYSTEM_CONTROL_OUT2 = 0x20;
constexpr UINT64 PIT_HZ = 1193182;
constexpr UINT64 PM_TIMER_HZ = 3579545;
constexpr UINT32 MICROCODE_MSR = 0x8B;

constexpr UINT64 LVT_TIMER_OFFSET = 0x320;
constexpr UINT64 TIMER_INITIAL_COUNT_OFFSET = 0x380;
constexpr UINT64 TIMER_CURRENT_COUNT_OFFSET = 0x390;
constexpr UINT64 TIMER_DIVIDE_OFFSET = 0x3E0;
constexpr UINT32 LVT_TIMER_MODE_SHIFT = 17;
constexpr UINT32 LVT_TIMER_MODE_TSC_DEADLINE = 2;

// Ticks of a clock of Hz after TscTicks at the TSC's rate; exact in 128 bits.
UINT64 ClockTicks(UINT64 TscTicks, UINT64 Hz, UINT64 TscHz) {
  return TscHz == 0 ? 0
                    : static_cast<UINT64>(static_cast<unsigned __int128>(TscTicks) * Hz / TscHz);
}

UINT8 SystemControlRead(const SimulatedMachine& M) {
  const bool Out2 = M.PitCounts && ClockTicks(M.Tsc - M.PitCountStart, PIT_HZ, M.TscHz) >
                                       static_cast<UINT64>(M.PitCount);
  return static_cast<UINT8>((M.SystemControl & 0x0F) | (Out2 ? SYSTEM_CONTROL_OUT2 : 0));
}
} // namespace

SimulatedMachine& Machine() {
  static SimulatedMachine Instance;
  return Instance;
}

void SimulatedMachine::Reset() {
  *this = SimulatedMachine();
}

void SimulatedMachine::SetCpuidLeaf1(UINT32 Family, bool X2ApicSupported,
                                     bool TscDeadlineSupported) {
  CpuidResult& Leaf = CpuidLeaves[CPUID_VERSION_LEAF];
  Leaf.Eax = (Family & FAMILY_MASK) << FAMILY_SHIFT;
  Leaf.Ecx = (X2ApicSupported ? CPUID_ECX_X2APIC : 0) |
             (TscDeadlineSupported ? CPUID_ECX_TSC_DEADLINE : 0);
}

void SimulatedMachine::SetApicBaseMsr(UINT64 Base, bool Enabled, bool X2ApicMode, bool Bootstrap) {
  Msrs[APIC_BASE_MSR] = (Base & APIC_BASE_ADDRESS_MASK) | (Enabled ? APIC_BASE_EN : 0) |
                        (X2ApicMode ? APIC_BASE_EXTD : 0) | (Bootstrap ? APIC_BASE_BSP : 0);
}

void SimulatedMachine::SetUpTscDeadlineCpu(UINT32 Family, bool X2ApicMode, UINT64 Base) {
  SetCpuidLeaf1(Family, true, true);
  if (HasApicBaseMsr()) {
    SetApicBaseMsr(Base, true, X2ApicMode);
  } else {
    Msrs.erase(APIC_BASE_MSR);
  }
}

bool SimulatedMachine::HasApicBaseMsr() const {
  auto Found = CpuidLeaves.find(CPUID_VERSION_LEAF);
  UINT32 Family =
      Found == CpuidLeaves.end() ? 0 : (Found->second.Eax >> FAMILY_SHIFT) & FAMILY_MASK;
  return Family != 4 && Family != 5;
}

namespace {
UINT64 MsrValue(const std::map<UINT32, UINT64>& Msrs, UINT32 Index) {
  auto Found = Msrs.find(Index);
  return Found == Msrs.end() ? 0 : Found->second;
}
} // namespace

UINT64 SimulatedMachine::ApicBase() const {
  return HasApicBaseMsr() ? MsrValue(Msrs, APIC_BASE_MSR) & APIC_BASE_ADDRESS_MASK
                          : DEFAULT_APIC_BASE;
}

bool SimulatedMachine::XApicPageMapped() const {
  if (!HasApicBaseMsr()) {
    return true;
  }
  UINT64 BaseMsr = MsrValue(Msrs, APIC_BASE_MSR);
  return (BaseMsr & APIC_BASE_EN) != 0 && (BaseMsr & APIC_BASE_EXTD) == 0;
}

bool SimulatedMachine::X2ApicMsrsEnabled() const {
  UINT64 BaseMsr = HasApicBaseMsr() ? MsrValue(Msrs, APIC_BASE_MSR) : 0;
  return (BaseMsr & APIC_BASE_EN) != 0 && (BaseMsr & APIC_BASE_EXTD) != 0;
}

namespace {
UINT32 ApicRegisterValue(const SimulatedMachine& M, UINT64 Offset) {
  auto Found = M.ApicRegisters.find(Offset);
  return Found == M.ApicRegisters.end() ? 0 : Found->second;
}

bool ApicTimerInDeadlineMode(const SimulatedMachine& M) {
  return (ApicRegisterValue(M, LVT_TIMER_OFFSET) >> LVT_TIMER_MODE_SHIFT & 3) ==
         LVT_TIMER_MODE_TSC_DEADLINE;
}

// Divide configuration bits 0, 1 and 3: 2 << (their value), and 111b divides by 1.
UINT64 ApicTimerDivisor(UINT32 Divide) {
  const UINT32 Code = (Divide & 3) | (Divide >> 1 & 4);
  return Code == 7 ? 1 : 2ULL << Code;
}

UINT32 ApicTimerCurrentCount(const SimulatedMachine& M) {
  const UINT64 Initial = ApicRegisterValue(M, TIMER_INITIAL_COUNT_OFFSET);
  if (ApicTimerInDeadlineMode(M) || Initial == 0) {
    return 0;
  }
  const UINT64 Counted = ClockTicks(M.Tsc - M.ApicTimerStartTsc, M.ApicTimerHz, M.TscHz) /
                         ApicTimerDivisor(ApicRegisterValue(M, TIMER_DIVIDE_OFFSET));
  return Counted >= Initial ? 0 : static_cast<UINT32>(Initial - Counted);
}

// An access to a register of the local APIC, in either mode.
UINT32 ReadApicRegister(SimulatedMachine& M, UINT64 Offset) {
  return Offset == TIMER_CURRENT_COUNT_OFFSET ? ApicTimerCurrentCount(M) : M.ApicRegister(Offset);
}

void WriteApicRegister(SimulatedMachine& M, UINT64 Offset, UINT32 Value) {
  if (Offset == TIMER_INITIAL_COUNT_OFFSET) {
    if (ApicTimerInDeadlineMode(M)) {
      return;
    }
    M.ApicTimerStartTsc = M.Tsc;
  }
  M.ApicRegister(Offset) = Value;
}
} // namespace

UINT64 SimulatedMachine::ApicTimerExpiry() const {
  const UINT64 Initial = ApicRegisterValue(*this, TIMER_INITIAL_COUNT_OFFSET);
  if (ApicTimerInDeadlineMode(*this) || Initial == 0 || ApicTimerHz == 0) {
    return 0;
  }
  // The first TSC tick at which Initial x divisor counts of the input clock have passed.
  const unsigned __int128 Counts = static_cast<unsigned __int128>(Initial) *
                                   ApicTimerDivisor(ApicRegisterValue(*this, TIMER_DIVIDE_OFFSET));
  const unsigned __int128 Ticks = (Counts * TscHz + ApicTimerHz - 1) / ApicTimerHz;
  return ApicTimerStartTsc + static_cast<UINT64>(Ticks);
}

UINT64 SimulatedMachine::TscDeadline() const {
  return MsrValue(Msrs, TSC_DEADLINE_MSR);
}

std::string SimulatedMachine::SerialOutput() const {
  std::string Text;
  // While the divisor latch is open (line control bit 7), the transmit port takes the divisor.
  bool DivisorLatch = false;
  for (const auto& Access : Log) {
    if (Access.Kind != AccessKind::PortWrite) {
      continue;
    }
    if (Access.Address == SERIAL_LINE_CONTROL_PORT) {
      DivisorLatch = (Access.Value & SERIAL_DIVISOR_LATCH) != 0;
    } else if (Access.Address == SERIAL_TRANSMIT_PORT && !DivisorLatch) {
      Text.push_back(static_cast<char>(Access.Value));
    }
  }
  return Text;
}

std::string SimulatedMachine::TakeSerialOutput() {
  std::string Text = SerialOutput();
  std::string New = Text.substr(SerialTaken);
  SerialTaken = Text.size();
  return New;
}

std::vector<HardwareAccessRecord> SimulatedMachine::Accesses(AccessKind Kind) const {
  std::vector<HardwareAccessRecord> Found;
  for (const auto& Access : Log) {
    if (Access.Kind == Kind) {
      Found.push_back(Access);
    }
  }
  return Found;
}

bool SimulatedMachine::RunUntilHalt(const std::function<void()>& Body) {
  std::jmp_buf Exit;
  std::jmp_buf* Outer = HaltExit;
  HaltPolicy OuterPolicy = OnHalt;
  HaltExit = &Exit;
  OnHalt = HaltPolicy::Stop;
  bool Halted = false;
  if (setjmp(Exit) == 0) {
    Body();
  } else {
    Halted = true;
  }
  HaltExit = Outer;
  OnHalt = OuterPolicy;
  return Halted;
}

void SimulatedMachine::Halt() {
  Record(AccessKind::Halt, 0, 0);
  ++HaltCount;
  if (OnHalt == HaltPolicy::Stop && HaltExit != nullptr) {
    std::longjmp(*HaltExit, 1);
  }
}

// The hardware layer, answered by the simulated machine.

UINT8 PortRead8(UINT16 Port) {
  SimulatedMachine& M = Machine();
  UINT8 Value = UNCLAIMED_PORT_VALUE;
  if (Port == SERIAL_LINE_STATUS_PORT) {
    if (M.BeforeLineStatusRead) {
      M.BeforeLineStatusRead();
    }
    Value = M.LineStatus;
    if (++M.PollsSinceTransmit > SimulatedMachine::LINE_STATUS_POLL_LIMIT) {
      std::fprintf(stderr,
                   "Simulated UART: line status polled %llu times with no byte sent (last read "
                   "0x%02X); the driver waits for a transmitter that never drains.\n",
                   static_cast<unsigned long long>(M.PollsSinceTransmit), Value);
      std::abort();
    }
  }
  if (Port == SYSTEM_CONTROL_PORT && !M.SystemControlFloats) {
    Value = SystemControlRead(M);
  } else if (Port == SERIAL_SCRATCH_PORT && M.UartScratchPresent) {
    Value = M.UartScratch;
  }
  M.Record(AccessKind::PortRead, Port, Value);
  return Value;
}

VOID PortWrite8(UINT16 Port, UINT8 Value) {
  SimulatedMachine& M = Machine();
  if (Port == SERIAL_TRANSMIT_PORT) {
    M.PollsSinceTransmit = 0;
  } else if (Port == SERIAL_SCRATCH_PORT) {
    M.UartScratch = Value;
  } else if (Port == SYSTEM_CONTROL_PORT) {
    M.SystemControl = Value;
  } else if (Port == PIT_MODE_PORT) {
    M.PitLowByteNext = true;
  } else if (Port == PIT_CHANNEL2_PORT) {
    M.PitCount = M.PitLowByteNext ? Value : static_cast<UINT16>(M.PitCount | Value << 8);
    M.PitCountStart = M.Tsc;
    M.PitLowByteNext = !M.PitLowByteNext;
  }
  M.Record(AccessKind::PortWrite, Port, Value);
}

UINT32 PortRead32(UINT16 Port) {
  SimulatedMachine& M = Machine();
  UINT32 Value = 0xFFFFFFFF;
  if (Port == M.PmTimerPort && Port != 0) {
    const UINT64 Ticks = ClockTicks(M.Tsc, PM_TIMER_HZ, M.TscHz);
    Value = static_cast<UINT32>(M.PmTimer32Bits ? Ticks : Ticks & 0xFFFFFF);
    if (!M.PmTimer32Bits && M.PmTimerTopByteNoise) {
      Value |= static_cast<UINT32>(M.Log.size()) << 24;
    }
  }
  M.Record(AccessKind::PortRead, Port, Value);
  return Value;
}

namespace {
bool IsX2ApicMsr(UINT32 Index) {
  return Index >= SimulatedMachine::X2APIC_MSR_FIRST && Index <= SimulatedMachine::X2APIC_MSR_LAST;
}

// True when a real processor would raise #GP for this MSR index in the current state.
bool MsrFaults(const SimulatedMachine& M, UINT32 Index) {
  if (Index == SimulatedMachine::APIC_BASE_MSR) {
    return !M.HasApicBaseMsr();
  }
  if (Index == SimulatedMachine::TSC_DEADLINE_MSR) {
    auto Leaf1 = M.CpuidLeaves.find(CPUID_VERSION_LEAF);
    return Leaf1 == M.CpuidLeaves.end() ||
           (Leaf1->second.Ecx & SimulatedMachine::CPUID_ECX_TSC_DEADLINE) == 0;
  }
  if (IsX2ApicMsr(Index)) {
    return !M.X2ApicMsrsEnabled() || Index == X2APIC_MISSING_MSR;
  }
  return false;
}

UINT64 X2ApicOffset(UINT32 Index) {
  return static_cast<UINT64>(Index - SimulatedMachine::X2APIC_MSR_FIRST) << X2APIC_OFFSET_SHIFT;
}

// The register offset a device address selects in the xAPIC page, if it does.
bool XApicPageOffset(const SimulatedMachine& M, UINT64 Address, UINT64* Offset) {
  if (!M.XApicPageMapped() || Address < M.ApicBase() ||
      Address - M.ApicBase() >= SimulatedMachine::APIC_PAGE_SIZE) {
    return false;
  }
  *Offset = Address - M.ApicBase();
  return true;
}
} // namespace

UINT64 MsrRead(UINT32 Index) {
  SimulatedMachine& M = Machine();
  bool Faults = MsrFaults(M, Index);
  UINT64 Value = 0;
  if (!Faults) {
    Value = IsX2ApicMsr(Index) ? ReadApicRegister(M, X2ApicOffset(Index)) : MsrValue(M.Msrs, Index);
  }
  M.Record(AccessKind::MsrRead, Index, Value);
  if (Faults) {
    M.Record(AccessKind::Fault, Index, 0);
  }
  return Value;
}

VOID MsrWrite(UINT32 Index, UINT64 Value) {
  SimulatedMachine& M = Machine();
  bool Faults = MsrFaults(M, Index);
  M.Record(AccessKind::MsrWrite, Index, Value);
  if (Faults) {
    M.Record(AccessKind::Fault, Index, Value);
  } else if (IsX2ApicMsr(Index)) {
    WriteApicRegister(M, X2ApicOffset(Index), static_cast<UINT32>(Value));
  } else {
    M.Msrs[Index] = Value;
  }
}

CpuidResult CpuidExecute(UINT32 Leaf) {
  SimulatedMachine& M = Machine();
  auto Found = M.CpuidLeaves.find(Leaf);
  CpuidResult Result = Found == M.CpuidLeaves.end() ? CpuidResult{0, 0, 0, 0} : Found->second;
  if (Leaf == CPUID_VERSION_LEAF && M.MicrocodeRevision != 0 &&
      MsrValue(M.Msrs, MICROCODE_MSR) == 0) {
    M.Msrs[MICROCODE_MSR] = static_cast<UINT64>(M.MicrocodeRevision) << 32;
  }
  M.Record(AccessKind::Cpuid, Leaf, Result.Eax);
  return Result;
}

UINT64 TscRead() {
  SimulatedMachine& M = Machine();
  const UINT64 Value = M.Tsc;
  M.Record(AccessKind::TscRead, 0, Value);
  return Value;
}

VOID MemoryFence() {
  Machine().Record(AccessKind::Fence, 0, 0);
}

UINT32 DeviceRead32(UINT64 Address) {
  SimulatedMachine& M = Machine();
  UINT64 Offset = 0;
  UINT32 Value = 0;
  if (XApicPageOffset(M, Address, &Offset)) {
    Value = ReadApicRegister(M, Offset);
  } else {
    auto Found = M.DeviceMemory.find(Address);
    Value = Found == M.DeviceMemory.end() ? 0 : Found->second;
  }
  M.Record(AccessKind::DeviceRead, Address, Value);
  return Value;
}

VOID DeviceWrite32(UINT64 Address, UINT32 Value) {
  SimulatedMachine& M = Machine();
  UINT64 Offset = 0;
  if (XApicPageOffset(M, Address, &Offset)) {
    WriteApicRegister(M, Offset, Value);
  } else {
    M.DeviceMemory[Address] = Value;
  }
  M.Record(AccessKind::DeviceWrite, Address, Value);
}

// Placed by the linker at the start of the test executable.
extern "C" const char __executable_start;

UINT64 LoadedImageBase() {
  return reinterpret_cast<UINTN>(&__executable_start);
}

VOID HaltUntilReleased() {
  Machine().Halt();
}
