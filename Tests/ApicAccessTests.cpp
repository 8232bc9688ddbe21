// Local APIC register access in both modes, as seen in the machine's access log: which CPUID, MSR
// and device-memory accesses each call makes, in which order, and what it reports when a
// precondition fails.
#include "AssertionLines.h"
#include "MachineTest.h"

#include "Library/BaseIoLibIntrinsic/IoLib.h"
#include "Library/BaseXApicX2ApicLib/BaseXApicX2ApicLib.h"

#include <vector>

namespace {

using Sim = SimulatedMachine;
using Log = std::vector<HardwareAccessRecord>;

constexpr const char* APIC_SOURCE = "Library/BaseXApicX2ApicLib/BaseXApicX2ApicLib.cpp";
constexpr const char* IO_SOURCE = "Library/BaseIoLibIntrinsic/IoLib.cpp";
constexpr UINT64 HIGH_BASE = 0x0000001234567000; // above 4 GiB
constexpr UINT32 STORED = 0xA5A5F00D;

HardwareAccessRecord Cpuid1() {
  return {AccessKind::Cpuid, 1, Machine().CpuidLeaves[1].Eax};
}
HardwareAccessRecord BaseMsrRead() {
  return {AccessKind::MsrRead, Sim::APIC_BASE_MSR, Machine().Msrs[Sim::APIC_BASE_MSR]};
}

using ApicAccess = MachineTest;

// Nothing is cached: every access pays for the mode (and in xAPIC mode the base) again.
struct CostCase {
  const char* Name;
  UINT32 Family;
  bool X2Apic;
  UINT64 Base;
};

class ApicAccessCost : public MachineTest, public ::testing::WithParamInterface<CostCase> {};

TEST_P(ApicAccessCost, ReadAndWriteMakeExactlyTheListedAccesses) {
  const CostCase& Case = GetParam();
  Machine().SetUpTscDeadlineCpu(Case.Family, Case.X2Apic, Case.Base);
  Machine().ApicRegister(XAPIC_LVT_TIMER_OFFSET) = STORED;
  const bool HasMsr = Case.Family != 4 && Case.Family != 5;
  const UINT64 Base = HasMsr ? Case.Base : Sim::DEFAULT_APIC_BASE;

  EXPECT_EQ(ApicRegisterRead(XAPIC_LVT_TIMER_OFFSET), STORED);
  ApicRegisterWrite(XAPIC_EOI_OFFSET, 0);

  Log Expected;
  if (Case.X2Apic) {
    Expected = {Cpuid1(), BaseMsrRead(), {AccessKind::MsrRead, 0x832, STORED},
                Cpuid1(), BaseMsrRead(), {AccessKind::MsrWrite, 0x80B, 0}};
  } else if (HasMsr) {
    Expected = {Cpuid1(),
                BaseMsrRead(),
                Cpuid1(),
                BaseMsrRead(),
                {AccessKind::DeviceRead, Base + 0x320, STORED},
                Cpuid1(),
                BaseMsrRead(),
                Cpuid1(),
                BaseMsrRead(),
                {AccessKind::DeviceWrite, Base + 0xB0, 0}};
  } else {
    Expected = {Cpuid1(), Cpuid1(), {AccessKind::DeviceRead, Base + 0x320, STORED},
                Cpuid1(), Cpuid1(), {AccessKind::DeviceWrite, Base + 0xB0, 0}};
  }
  EXPECT_EQ(Machine().Log, Expected);
  EXPECT_EQ(Machine().HaltCount, 0);
}

INSTANTIATE_TEST_SUITE_P(EachMode, ApicAccessCost,
                         ::testing::Values(CostCase{"XApic", 6, false, Sim::DEFAULT_APIC_BASE},
                                           CostCase{"XApicAbove4GiB", 6, false, HIGH_BASE},
                                           CostCase{"X2Apic", 6, true, Sim::DEFAULT_APIC_BASE},
                                           CostCase{"Family4", 4, false, 0},
                                           CostCase{"Family5", 5, false, 0}),
                         [](const auto& Info) { return Info.param.Name; });

TEST_F(ApicAccess, OnlyFamilies4And5LackTheBaseMsr) {
  // EAX bits 8-11; bits above (extended family, model) and below (stepping) do not count.
  struct {
    UINT32 Eax;
    bool Usable;
  } Cases[] = {{0x00000000, true},  {0x00000300, true},  {0x00000400, false}, {0x0FF004FF, false},
               {0x00000500, false}, {0x000005FF, false}, {0x00000600, true},  {0x000906EA, true},
               {0x00000F00, true},  {0x00A00F11, true},  {0xFFFFF0FF, true}};
  for (const auto& Case : Cases) {
    Machine().CpuidLeaves[1].Eax = Case.Eax;
    EXPECT_EQ(ApicBaseMsrUsable() != FALSE, Case.Usable) << std::hex << Case.Eax;
  }
  EXPECT_TRUE(Machine().Accesses(AccessKind::MsrRead).empty());
}

TEST_F(ApicAccess, ModeAndBaseComeFromTheBaseMsr) {
  struct {
    UINT64 Msr;
    UINT64 Mode;
    UINT64 Base;
  } Cases[] = {
      {0xFEE00900, LAPIC_MODE_XAPIC, 0xFEE00000},                 // EN and BSP
      {0xFEE00800, LAPIC_MODE_XAPIC, 0xFEE00000},                 // EN alone
      {0xFEE00D00, LAPIC_MODE_X2APIC, 0xFEE00000},                // EN and EXTD
      {0xFEE00FFF, LAPIC_MODE_X2APIC, 0xFEE00000},                // every low bit set
      {0xFFFFF00012345800, LAPIC_MODE_XAPIC, 0xFFFFF00012345000}, // high half kept whole
  };
  Machine().SetCpuidLeaf1(6, true, true);
  for (const auto& Case : Cases) {
    Machine().Msrs[Sim::APIC_BASE_MSR] = Case.Msr;
    EXPECT_EQ(QueryApicMode(), Case.Mode) << std::hex << Case.Msr;
    EXPECT_EQ(QueryApicBase(), Case.Base) << std::hex << Case.Msr;
  }
  EXPECT_EQ(Machine().HaltCount, 0);

  // Without the MSR: the default base, xAPIC mode, and the MSR (whatever it would hold) unread.
  for (UINT32 Family : {4u, 5u}) {
    Machine().Log.clear();
    Machine().SetCpuidLeaf1(Family, false, false);
    EXPECT_EQ(QueryApicMode(), LAPIC_MODE_XAPIC);
    EXPECT_EQ(QueryApicBase(), 0xFEE00000u);
    EXPECT_TRUE(Machine().Accesses(AccessKind::MsrRead).empty());
  }
  EXPECT_EQ(Machine().HaltCount, 0);
}

TEST_F(ApicAccess, ModeAndBaseAreFollowedFromOneAccessToTheNext) {
  Machine().SetUpTscDeadlineCpu(6, false);
  ApicRegisterWrite(XAPIC_SPURIOUS_VECTOR_OFFSET, 0x1FF);
  // Other firmware switches to x2APIC mode: the same register is now an MSR.
  Machine().SetApicBaseMsr(Sim::DEFAULT_APIC_BASE, true, true);
  EXPECT_EQ(ApicRegisterRead(XAPIC_SPURIOUS_VECTOR_OFFSET), 0x1FFu);
  // ...and back to xAPIC mode with the page moved above 4 GiB.
  Machine().SetApicBaseMsr(HIGH_BASE, true, false);
  ApicRegisterWrite(XAPIC_LVT_TIMER_OFFSET, STORED);
  EXPECT_EQ(Machine().Log.back(),
            (HardwareAccessRecord{AccessKind::DeviceWrite, HIGH_BASE + 0x320, STORED}));
  EXPECT_EQ(Machine().ApicRegister(XAPIC_LVT_TIMER_OFFSET), STORED);
  EXPECT_TRUE(Machine().Accesses(AccessKind::Fault).empty());
}

TEST_F(ApicAccess, X2ApicMsrIsOffsetOver16WithAZeroHighHalf) {
  Machine().SetUpTscDeadlineCpu(6, true);
  struct {
    UINT64 Offset;
    UINT32 Msr;
  } Cases[] = {{0x80, 0x808},  {0xB0, 0x80B},  {0xF0, 0x80F},  {0x320, 0x832},
               {0x32C, 0x832}, {0x32F, 0x832}, {0x380, 0x838}, {0x3E0, 0x83E}};
  for (const auto& Case : Cases) {
    // All ones: a sign-extended value would show in EDX.
    ApicRegisterWrite(Case.Offset, 0xFFFFFFFF);
    EXPECT_EQ(Machine().Log.back(),
              (HardwareAccessRecord{AccessKind::MsrWrite, Case.Msr, 0xFFFFFFFFull}))
        << std::hex << Case.Offset;
    Machine().ApicRegister((Case.Msr - 0x800ull) << 4) = STORED;
    EXPECT_EQ(ApicRegisterRead(Case.Offset), STORED) << std::hex << Case.Offset;
    EXPECT_EQ(Machine().Log.back(), (HardwareAccessRecord{AccessKind::MsrRead, Case.Msr, STORED}));
  }
  EXPECT_TRUE(Machine().Accesses(AccessKind::DeviceWrite).empty());
  EXPECT_TRUE(Machine().Accesses(AccessKind::Fault).empty());
  EXPECT_EQ(Machine().HaltCount, 0);
}

TEST_F(ApicAccess, DestinationFormatWriteIsRefusedOnlyInX2ApicMode) {
  Machine().SetUpTscDeadlineCpu(6, true);
  ApicRegisterWrite(0xE0, 0xFFFFFFFF);
  EXPECT_EQ(Machine().TakeSerialOutput(),
            AssertionLines::Expected(APIC_SOURCE, "MmioOffset != 0x0e0"));
  EXPECT_EQ(Machine().HaltCount, 1);
  // Released, it leaves out the WRMSR, which would fault: MSR 0x80E does not exist.
  EXPECT_TRUE(Machine().Accesses(AccessKind::MsrWrite).empty());
  EXPECT_TRUE(Machine().Accesses(AccessKind::Fault).empty());

  Machine().SetApicBaseMsr(Sim::DEFAULT_APIC_BASE, true, false);
  ApicRegisterWrite(0xE0, 0xFFFFFFFF);
  EXPECT_EQ(Machine().Log.back(),
            (HardwareAccessRecord{AccessKind::DeviceWrite, 0xFEE000E0, 0xFFFFFFFF}));
  EXPECT_EQ(Machine().HaltCount, 1);
}

TEST_F(ApicAccess, DisabledApicIsReportedAtTheFirstAccess) {
  Machine().SetUpTscDeadlineCpu(6, false);
  Machine().SetApicBaseMsr(Sim::DEFAULT_APIC_BASE, false, false);
  const std::string Report = AssertionLines::Expected(APIC_SOURCE, "ApicBaseMsr.Bits.EN != 0");

  EXPECT_TRUE(Machine().RunUntilHalt([] { ApicRegisterRead(XAPIC_LVT_TIMER_OFFSET); }));
  EXPECT_EQ(Machine().TakeSerialOutput(), Report);
  // The check comes after the MSR read, before any register access.
  EXPECT_EQ(Machine().Log.back().Kind, AccessKind::Halt);
  EXPECT_TRUE(Machine().Accesses(AccessKind::DeviceRead).empty());

  // Released, the access goes on in the mode EXTD selects.
  ApicRegisterWrite(XAPIC_EOI_OFFSET, 0);
  EXPECT_EQ(Machine().TakeSerialOutput(), Report);
  EXPECT_EQ(Machine().Log.back(), (HardwareAccessRecord{AccessKind::DeviceWrite, 0xFEE000B0, 0}));
  EXPECT_EQ(Machine().HaltCount, 2);
}

TEST_F(ApicAccess, XApicOffsetsMustBeAlignedTo4) {
  Machine().SetUpTscDeadlineCpu(6, false);
  const std::string ReadReport = AssertionLines::Expected(IO_SOURCE, "(Address & 3) == 0", 0);
  const std::string WriteReport = AssertionLines::Expected(IO_SOURCE, "(Address & 3) == 0", 1);
  ASSERT_NE(ReadReport, WriteReport);

  for (UINT64 Offset : {0x321ull, 0x322ull, 0x323ull}) {
    EXPECT_TRUE(Machine().RunUntilHalt([&] { ApicRegisterRead(Offset); })) << Offset;
    EXPECT_EQ(Machine().TakeSerialOutput(), ReadReport);
    EXPECT_TRUE(Machine().RunUntilHalt([&] { ApicRegisterWrite(Offset, 1); })) << Offset;
    EXPECT_EQ(Machine().TakeSerialOutput(), WriteReport);
  }
  EXPECT_TRUE(Machine().Accesses(AccessKind::DeviceRead).empty());
  EXPECT_TRUE(Machine().Accesses(AccessKind::DeviceWrite).empty());

  // Aligned to 4 but not to 16: loaded without a report.
  Machine().ApicRegister(0x324) = STORED;
  EXPECT_EQ(ApicRegisterRead(0x324), STORED);
  EXPECT_EQ(Machine().SerialOutput(),
            ReadReport + WriteReport + ReadReport + WriteReport + ReadReport + WriteReport);
}

TEST_F(ApicAccess, MmioHelpersAreSingleFullWidthAccesses) {
  EXPECT_EQ(WriteMmio32(0xFED00010, 0x89ABCDEF), 0x89ABCDEFu);
  EXPECT_EQ(ReadMmio32(0xFED00010), 0x89ABCDEFu);
  Log Expected = {{AccessKind::DeviceWrite, 0xFED00010, 0x89ABCDEF},
                  {AccessKind::DeviceRead, 0xFED00010, 0x89ABCDEF}};
  EXPECT_EQ(Machine().Log, Expected);
}

TEST_F(ApicAccess, ReadCpuidStoresOnlyTheWantedRegisters) {
  Machine().CpuidLeaves[0x80000001] = {1, 2, 3, 4};
  EXPECT_EQ(ReadCpuid(0x80000001, nullptr, nullptr, nullptr, nullptr), 0x80000001u);
  EXPECT_EQ(Machine().Accesses(AccessKind::Cpuid).size(), 1u);

  UINT32 Eax = 0xEE;
  UINT32 Ebx = 0xEE;
  UINT32 Ecx = 0xEE;
  UINT32 Edx = 0xEE;
  EXPECT_EQ(ReadCpuid(0x80000001, &Eax, nullptr, &Ecx, nullptr), 0x80000001u);
  EXPECT_EQ(Eax, 1u);
  EXPECT_EQ(Ebx, 0xEEu);
  EXPECT_EQ(Ecx, 3u);
  EXPECT_EQ(Edx, 0xEEu);
  EXPECT_EQ(ReadCpuid(0x80000001, nullptr, &Ebx, nullptr, &Edx), 0x80000001u);
  EXPECT_EQ(Ebx, 2u);
  EXPECT_EQ(Edx, 4u);
}

// The simulated local APIC itself: two views of one register file, and the faults a real
// processor would raise.
TEST_F(ApicAccess, SimulatedApicAnswersOnlyInItsCurrentMode) {
  Machine().SetUpTscDeadlineCpu(6, false);
  DeviceWrite32(0xFEE00320, STORED);
  MsrRead(0x832); // x2APIC MSRs fault in xAPIC mode
  EXPECT_EQ(Machine().Accesses(AccessKind::Fault).size(), 1u);

  Machine().SetApicBaseMsr(Sim::DEFAULT_APIC_BASE, true, true);
  EXPECT_EQ(MsrRead(0x832), STORED);
  MsrWrite(0x832, 7);
  EXPECT_EQ(DeviceRead32(0xFEE00320), 0u); // the page is gone in x2APIC mode
  MsrWrite(0x80E, 0);                      // no destination format register
  EXPECT_EQ(Machine().Accesses(AccessKind::Fault).size(), 2u);
  EXPECT_EQ(Machine().ApicRegister(0x320), 7u);

  Machine().SetUpTscDeadlineCpu(5);
  EXPECT_EQ(DeviceRead32(0xFEE00320), 7u);
  MsrRead(Sim::APIC_BASE_MSR); // no such MSR on family 5
  EXPECT_EQ(Machine().Accesses(AccessKind::Fault).size(), 3u);
}

} // namespace
