// Shared by the timer driver tests: a clean driver state before each test, a notify function that
// records its calls, and the machine's ordered log rewritten as short, mode-independent events
// ("raise 31", "write LVT=0x40040", "deadline=0x...", "notify 100000 at TPL 31"), so that a test
// states a whole hardware sequence in one expectation.
#pragma once

#include "MachineTest.h"

#include "Library/DxePcdLib/PcdLib.h"
#include "Library/UefiBootServicesTableLib/UefiBootServicesTableLib.h"
#include "SimulatedMachine/SimulatedFirmware.h"
#include "VeskLapicTimerDxe/VeskLapicTimer.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace TimerTesting {

constexpr UINT32 LVT_MASK_BIT = 1u << 16;
constexpr UINT32 LVT_TSC_DEADLINE_MODE = 2u << 17;
// LVT timer as the entry leaves it: TSC-deadline mode, the build's vector, masked.
constexpr UINT32 LVT_PROGRAMMED_MASKED = LVT_TSC_DEADLINE_MODE | LVT_MASK_BIT | LAPIC_TIMER_VECTOR;
constexpr UINT32 LVT_PROGRAMMED_RUNNING = LVT_PROGRAMMED_MASKED & ~LVT_MASK_BIT;
constexpr UINT64 UNITS_PER_SECOND = 10000000; // 100 ns units

// Period x frequency / 10^7 TSC ticks, rounded down and saturated at 2^64 - 1, and a TSC value that
// many ticks later, saturated alike: worked out in 128 bits, not the way the driver splits it.
inline UINT64 TscTicksOf(UINT64 Period, UINT64 Frequency) {
  const unsigned __int128 Ticks =
      static_cast<unsigned __int128>(Period) * Frequency / UNITS_PER_SECOND;
  return Ticks > ~0ULL ? ~0ULL : static_cast<UINT64>(Ticks);
}
inline UINT64 TscAfter(UINT64 Tsc, UINT64 Ticks) {
  return Tsc > ~0ULL - Ticks ? ~0ULL : Tsc + Ticks;
}

inline std::string Hex(UINT64 Value) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "0x%llX", static_cast<unsigned long long>(Value));
  return Text;
}

// CPUID leaves 0 and 1 of a processor: the vendor's name, the signature and the feature bits.
inline void SetProcessor(const char* Vendor, UINT32 Signature, UINT32 Features) {
  CpuidResult Leaf0 = {0x16, 0, 0, 0};
  std::memcpy(&Leaf0.Ebx, Vendor, 4);
  std::memcpy(&Leaf0.Edx, Vendor + 4, 4);
  std::memcpy(&Leaf0.Ecx, Vendor + 8, 4);
  Machine().CpuidLeaves[0] = Leaf0;
  Machine().CpuidLeaves[1] = {Signature, 0, Features, 0};
}

// Every piece of module state the driver and the libraries it binds keep between calls.
inline void ResetTimerDriverState() {
  mNotifyFunction = nullptr;
  mCurrentPeriod = 0;
  mTimerMode = LapicTimerMode::TscDeadline;
  mApicTimerRate = {0, 0};
  mNextDeadline = 0;
  mTscTicksPerSecond = 0;
  mCpuArch = nullptr;
  mProtocolHandle = nullptr;
  gImageHandle = nullptr;
  gST = nullptr;
  gBS = nullptr;
  mPcd = nullptr;
}

struct Notification {
  UINT64 Time;
  EFI_TPL Tpl;      // the firmware's TPL while the notify function ran
  size_t LogLength; // how many machine accesses came before the call
};

inline std::vector<Notification>& Notifications() {
  static std::vector<Notification> Calls;
  return Calls;
}

inline VOID EFIAPI RecordNotify(UINT64 Time) {
  Notifications().push_back({Time, Firmware().CurrentTpl, Machine().Log.size()});
}

// A second client, to test that only one notify function is taken.
inline VOID EFIAPI OtherNotify(UINT64 Time) {
  (void)Time;
  ADD_FAILURE() << "the second notify function must never be called";
}

inline std::string ApicRegisterName(UINT64 Offset) {
  switch (Offset) {
  case 0xB0:
    return "EOI";
  case 0xF0:
    return "SVR";
  case 0x320:
    return "LVT";
  case 0x380:
    return "COUNT";
  case 0x390:
    return "CURRENT";
  case 0x3E0:
    return "DIVIDE";
  default:
    return "APIC+" + Hex(Offset);
  }
}

inline std::string FirmwareCallName(UINT64 Service) {
  switch (static_cast<FirmwareService>(Service)) {
  case FirmwareService::LocateProtocol:
    return "locate";
  case FirmwareService::InstallMultipleProtocolInterfaces:
    return "install";
  case FirmwareService::RegisterInterruptHandler:
    return "register";
  case FirmwareService::PcdGet32:
    return "pcd";
  case FirmwareService::HandleProtocol:
    return "handle";
  }
  return "firmware " + Hex(Service);
}

// One event per access from Log[From] on, with local APIC registers named alike in both modes.
// The APIC library's mode and base discovery (CPUID, MSR 0x1B) and the serial port are left out:
// they are checked elsewhere and would only blur the sequence.
inline std::vector<std::string> TimerEvents(size_t From = 0) {
  const SimulatedMachine& M = Machine();
  std::vector<std::string> Events;
  size_t NextNotify = 0;
  auto AddNotificationsBefore = [&](size_t Index) {
    while (NextNotify < Notifications().size() && Notifications()[NextNotify].LogLength <= Index) {
      const Notification& Call = Notifications()[NextNotify++];
      if (Call.LogLength >= From) {
        Events.push_back("notify " + std::to_string(Call.Time) + " at TPL " +
                         std::to_string(Call.Tpl));
      }
    }
  };
  for (size_t Index = 0; Index < M.Log.size(); ++Index) {
    AddNotificationsBefore(Index);
    if (Index < From) {
      continue;
    }
    const HardwareAccessRecord& Access = M.Log[Index];
    const bool X2ApicMsr = Access.Address >= SimulatedMachine::X2APIC_MSR_FIRST &&
                           Access.Address <= SimulatedMachine::X2APIC_MSR_LAST;
    const UINT64 X2ApicOffset = (Access.Address - SimulatedMachine::X2APIC_MSR_FIRST) << 4;
    const UINT64 PageOffset = Access.Address - M.ApicBase();
    const bool InApicPage = Access.Address >= M.ApicBase() && PageOffset < 0x1000;
    switch (Access.Kind) {
    case AccessKind::DeviceRead:
      Events.push_back(InApicPage ? "read " + ApicRegisterName(PageOffset)
                                  : "device read " + Hex(Access.Address));
      break;
    case AccessKind::DeviceWrite:
      Events.push_back((InApicPage ? "write " + ApicRegisterName(PageOffset)
                                   : "device write " + Hex(Access.Address)) +
                       "=" + Hex(Access.Value));
      break;
    case AccessKind::MsrRead:
      if (X2ApicMsr) {
        Events.push_back("read " + ApicRegisterName(X2ApicOffset));
      } else if (Access.Address != SimulatedMachine::APIC_BASE_MSR) {
        Events.push_back("rdmsr " + Hex(Access.Address));
      }
      break;
    case AccessKind::MsrWrite:
      if (X2ApicMsr) {
        Events.push_back("write " + ApicRegisterName(X2ApicOffset) + "=" + Hex(Access.Value));
      } else if (Access.Address == SimulatedMachine::TSC_DEADLINE_MSR) {
        Events.push_back("deadline=" + Hex(Access.Value));
      } else {
        Events.push_back("wrmsr " + Hex(Access.Address) + "=" + Hex(Access.Value));
      }
      break;
    case AccessKind::TscRead:
      Events.push_back("tsc");
      break;
    case AccessKind::RaiseTpl:
      Events.push_back("raise " + std::to_string(Access.Address));
      break;
    case AccessKind::RestoreTpl:
      Events.push_back("restore " + std::to_string(Access.Address));
      break;
    case AccessKind::FirmwareCall:
      Events.push_back(FirmwareCallName(Access.Address) + " " + Hex(Access.Value));
      break;
    case AccessKind::Interrupt:
      Events.push_back("interrupt " + Hex(Access.Address));
      break;
    case AccessKind::Halt:
      Events.push_back("halt");
      break;
    case AccessKind::Fault:
      Events.push_back("fault");
      break;
    case AccessKind::Fence:
      Events.push_back("fence");
      break;
    case AccessKind::PortRead:
    case AccessKind::PortWrite:
    case AccessKind::Cpuid:
      break;
    }
  }
  AddNotificationsBefore(M.Log.size());
  return Events;
}

// The events of the log written after a test's preparation.
class LogMark {
public:
  LogMark() : Start(Machine().Log.size()) {}
  std::vector<std::string> Events() const { return TimerEvents(Start); }

private:
  size_t Start;
};

// Each test starts from a freshly loaded driver image on a processor with TSC-deadline support,
// in xAPIC or in x2APIC mode.
class TimerDriverTest : public MachineTest {
protected:
  void SetUpDriver(bool X2ApicMode) {
    MachineTest::SetUp();
    ResetTimerDriverState();
    Notifications().clear();
    Machine().SetUpTscDeadlineCpu(6, X2ApicMode);
  }
  // Every raise restored, and no service called against its contract.
  static void ExpectFirmwareUsedProperly() {
    EXPECT_EQ(Firmware().Misuses, std::vector<std::string>{});
    EXPECT_TRUE(Firmware().OpenRaises.empty()) << "a raised TPL was never restored";
  }
  void TearDown() override { ExpectFirmwareUsedProperly(); }
};

} // namespace TimerTesting
