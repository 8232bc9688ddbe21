// A simulated x86-64 machine behind the hardware layer for the host build: it answers every
// access the driver makes and keeps an ordered log of them, so tests can check both the values and
// the order of the hardware steps.
#pragma once

#include "HardwareAccess/HardwareAccess.h"

#include <csetjmp>
#include <functional>
#include <map>
#include <string>
#include <vector>

enum class AccessKind {
  PortRead,
  PortWrite,
  MsrRead,
  MsrWrite,
  Cpuid,
  TscRead,
  DeviceRead,
  DeviceWrite,
  Halt,
  Fence, // MFENCE
  // An access a real processor would refuse with a general-protection fault (an MSR that does not
  // exist in the current mode); recorded right after the access itself.
  Fault,
  // Firmware activity (SimulatedFirmware), interleaved with the hardware accesses.
  RaiseTpl,     // Address: TPL asked for, Value: TPL before
  RestoreTpl,   // Address: TPL restored, Value: TPL before
  FirmwareCall, // Address: FirmwareService, Value: status returned (PCD reads: the value)
  Interrupt     // Address: vector delivered to the registered handler
};

struct HardwareAccessRecord {
  AccessKind Kind;
  UINT64 Address; // port, MSR index, CPUID leaf or device address; 0 for TSC reads and halts
  UINT64 Value;   // value read or written
  bool operator==(const HardwareAccessRecord&) const = default;
};

// What a halt does on the simulated machine: return at once, as if a debugger had released it, or
// leave the halted code for good (back to the innermost RunUntilHalt).
enum class HaltPolicy { Release, Stop };

class SimulatedMachine {
public:
  // Back to power-on state: empty log, UART ready, no MSRs, no device memory, halts released.
  void Reset();

  // Ports. The line status register of the debug UART (base + 5; 0x3FD on COM1, the default)
  // answers LineStatus; other reads answer 0xFF.
  UINT8 LineStatus = 0x60;
  // Called before each read of that register, so a test can model a busy transmitter.
  std::function<void()> BeforeLineStatusRead;
  // A transmitter still busy after this many polls in a row never drains: the machine ends the test
  // program with a message saying so, instead of letting the driver spin until the test times out.
  static constexpr UINT64 LINE_STATUS_POLL_LIMIT = 100000;
  UINT64 PollsSinceTransmit = 0;
  // Called after every access is logged; a test may use it to act in the middle of driver code.
  std::function<void(const HardwareAccessRecord& Access)> AfterAccess;

  std::map<UINT32, UINT64> Msrs;
  std::map<UINT32, CpuidResult> CpuidLeaves;
  UINT64 Tsc = 0;
  std::map<UINT64, UINT32> DeviceMemory;

  // ---- Time and the clocks that measure it ----
  // Every access lets the TSC run on by TscPerAccess (0: time stands still, as most tests want);
  // TscHz is its rate, by which the reference clocks below count.
  UINT64 TscPerAccess = 0;
  UINT64 TscHz = 0;
  // The 8254's channel 2, programmed through ports 0x43 (0xB0: low then high byte, mode 0) and
  // 0x42, gated by port 0x61 bit 0. Port 0x61 bit 5 reads its output: high once Count + 1 of its
  // 1193182 Hz clocks have passed since the count was written. A PIT that never counts keeps it
  // low.
  bool PitCounts = true;
  bool SystemControlFloats = false; // no legacy block: port 0x61 reads 0xFF
  UINT8 SystemControl = 0;          // port 0x61 as last written
  UINT16 PitCount = 0;              // the count written to channel 2
  UINT64 PitCountStart = 0;         // the TSC when its high byte was written
  bool PitLowByteNext = true;
  // The ACPI power-management timer: 3579545 Hz, 24 or 32 bits, read at this port (0: none).
  UINT16 PmTimerPort = 0;
  bool PmTimer32Bits = false;
  bool PmTimerTopByteNoise = false; // a 24-bit timer's top byte reads differently at every read
  // The debug UART's scratch register (base + 7), when a UART is there to keep what is written.
  bool UartScratchPresent = true;
  UINT8 UartScratch = 0;
  // MSR 0x8B: CPUID leaf 1 loads this revision into its high half when the MSR was cleared first.
  UINT32 MicrocodeRevision = 0;

  // ---- The local APIC ----
  // One register file, keyed by the register's byte offset in the xAPIC page. It is reached as
  // 32-bit device memory at base + offset while the APIC base MSR has EN set and EXTD clear, and
  // as MSR 0x800 + offset / 16 (low 32 bits; writes keep only the low half) while EXTD is set.
  // A CPU of family 4 or 5 has no APIC base MSR: its page sits at 0xFEE00000, always enabled.
  // Other MSRs (0x1B itself, the TSC deadline 0x6E0) live in Msrs; 0x6E0 faults unless CPUID
  // leaf 1 reports TSC-deadline mode.
  static constexpr UINT32 APIC_BASE_MSR = 0x1B;
  static constexpr UINT32 TSC_DEADLINE_MSR = 0x6E0;
  static constexpr UINT32 X2APIC_MSR_FIRST = 0x800;
  static constexpr UINT32 X2APIC_MSR_LAST = 0x8FF;
  static constexpr UINT64 APIC_BASE_BSP = 1ULL << 8;
  static constexpr UINT64 APIC_BASE_EXTD = 1ULL << 10;
  static constexpr UINT64 APIC_BASE_EN = 1ULL << 11;
  static constexpr UINT64 DEFAULT_APIC_BASE = 0xFEE00000;
  static constexpr UINT64 APIC_PAGE_SIZE = 0x1000;
  static constexpr UINT32 CPUID_ECX_X2APIC = 1U << 21;
  static constexpr UINT32 CPUID_ECX_TSC_DEADLINE = 1U << 24;

  std::map<UINT64, UINT32> ApicRegisters;
  // The timer's count: the initial count (offset 0x380) starts it, and the current count (0x390)
  // reads it going down at ApicTimerHz (0: it does not count) divided by the divide register
  // (0x3E0), in the time the TSC measures at TscHz; it stays at 0 once there. In TSC-deadline mode
  // (LVT timer bits 17-18) the initial count ignores writes and the current count reads 0.
  UINT64 ApicTimerHz = 0;
  UINT64 ApicTimerStartTsc = 0; // the TSC when the initial count was written
  // The TSC at which the count that runs now reaches 0; 0 when none runs.
  UINT64 ApicTimerExpiry() const;
  // The register at Offset in the xAPIC page, whatever the mode (created as 0 on first use); for
  // presetting and inspecting without going through (and logging) an access.
  UINT32& ApicRegister(UINT64 Offset) { return ApicRegisters[Offset]; }

  // CPUID leaf 1: family in EAX bits 8-11 (model 0, stepping 0), feature bits in ECX.
  void SetCpuidLeaf1(UINT32 Family, bool X2ApicSupported, bool TscDeadlineSupported);
  // MSR 0x1B: Base (bits 12-63 kept) with the EN, EXTD and BSP bits as asked.
  void SetApicBaseMsr(UINT64 Base, bool Enabled, bool X2ApicMode, bool Bootstrap = true);
  // A processor with TSC-deadline and x2APIC support whose local APIC is enabled at Base, in
  // x2APIC mode if X2ApicMode; for family 4 or 5 no APIC base MSR is set up (Base is ignored).
  void SetUpTscDeadlineCpu(UINT32 Family = 6, bool X2ApicMode = false,
                           UINT64 Base = DEFAULT_APIC_BASE);

  // What the hardware currently decodes, from CPUID leaf 1 and MSR 0x1B.
  bool HasApicBaseMsr() const;    // family not 4 or 5
  UINT64 ApicBase() const;        // page address (0xFEE00000 without the MSR)
  bool XApicPageMapped() const;   // EN set and EXTD clear (always without the MSR)
  bool X2ApicMsrsEnabled() const; // EN and EXTD set
  UINT64 TscDeadline() const;     // MSR 0x6E0, 0 when disarmed

  HaltPolicy OnHalt = HaltPolicy::Release;
  int HaltCount = 0;

  std::vector<HardwareAccessRecord> Log;

  // The bytes transmitted on the debug UART (writes of its base port, 0x3F8 on COM1, while the
  // divisor latch is closed) since the last Reset or TakeSerialOutput.
  std::string SerialOutput() const;
  std::string TakeSerialOutput();
  // The records of one kind, in order.
  std::vector<HardwareAccessRecord> Accesses(AccessKind Kind) const;

  // Runs Body with halts that stop the code that halted; returns true if Body halted.
  bool RunUntilHalt(const std::function<void()>& Body);

  // Used by the hardware layer.
  void Record(AccessKind Kind, UINT64 Address, UINT64 Value) {
    Log.push_back({Kind, Address, Value});
    Tsc += TscPerAccess;
    if (AfterAccess) {
      AfterAccess(HardwareAccessRecord{Kind, Address, Value});
    }
  }
  void Halt();

private:
  size_t SerialTaken = 0;
  std::jmp_buf* HaltExit = nullptr;
};

SimulatedMachine& Machine();
