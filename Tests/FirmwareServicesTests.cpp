// The driver's binding to the firmware tables and its configuration database reads, and the
// simulated firmware they are tested against.
#include "AssertionLines.h"
#include "MachineTest.h"

#include "Library/DxePcdLib/PcdLib.h"
#include "Library/UefiBootServicesTableLib/UefiBootServicesTableLib.h"
#include "UefiDefinitions/TimerArchProtocol.h"

#include <string>

namespace {

constexpr const char* BINDING_SOURCE =
    "Library/UefiBootServicesTableLib/UefiBootServicesTableLib.cpp";
constexpr const char* PCD_SOURCE = "Library/DxePcdLib/DxePcdLib.cpp";
constexpr UINTN TSC_FREQUENCY_TOKEN = SimulatedFirmware::TSC_FREQUENCY_TOKEN;

std::string BindingReport(const char* Text) {
  return AssertionLines::Expected(BINDING_SOURCE, Text);
}
std::string StatusReport(const char* StatusName) {
  return Message(std::string("\r\nASSERT_EFI_ERROR (Status = ") + StatusName + ")\r\n") +
         AssertionLines::Expected(PCD_SOURCE, "!EFI_ERROR (Status)", 0,
                                  "ASSERT_EFI_ERROR(Status);");
}
std::string MissingPcdReport() {
  return AssertionLines::Expected(PCD_SOURCE, "mPcd != ((void *) 0)");
}

class FirmwareServices : public MachineTest {
protected:
  void SetUp() override {
    MachineTest::SetUp();
    gImageHandle = nullptr;
    gST = nullptr;
    gBS = nullptr;
    mPcd = nullptr;
  }
  void Bind() { BindFirmwareTables(Firmware().ImageHandle, Firmware().SystemTable()); }
};

TEST_F(FirmwareServices, BindingKeepsTheTablesItIsGiven) {
  Bind();
  EXPECT_EQ(gImageHandle, Firmware().ImageHandle);
  EXPECT_EQ(gST, Firmware().SystemTable());
  EXPECT_EQ(gBS, &Firmware().BootServices);
  EXPECT_EQ(Machine().HaltCount, 0);
  EXPECT_TRUE(Machine().Log.empty());
}

TEST_F(FirmwareServices, EachMissingTableIsReportedAndNothingFollowsANullPointer) {
  EFI_SYSTEM_TABLE WithoutBootServices = *Firmware().SystemTable();
  WithoutBootServices.BootServices = nullptr;
  struct {
    EFI_HANDLE Image;
    EFI_SYSTEM_TABLE* Table;
    std::string Reports;
  } Cases[] = {
      {nullptr, Firmware().SystemTable(), BindingReport("gImageHandle != ((void *) 0)")},
      {Firmware().ImageHandle, &WithoutBootServices, BindingReport("gBS != ((void *) 0)")},
      // No system table: no boot services either.
      {Firmware().ImageHandle, nullptr,
       BindingReport("gST != ((void *) 0)") + BindingReport("gBS != ((void *) 0)")},
      {nullptr, nullptr,
       BindingReport("gImageHandle != ((void *) 0)") + BindingReport("gST != ((void *) 0)") +
           BindingReport("gBS != ((void *) 0)")},
  };
  for (const auto& Case : Cases) {
    BindFirmwareTables(Case.Image, Case.Table);
    EXPECT_EQ(Machine().TakeSerialOutput(), Case.Reports);
    EXPECT_EQ(gImageHandle, Case.Image);
    EXPECT_EQ(gST, Case.Table);
    EXPECT_EQ(gBS, Case.Table == nullptr ? nullptr : Case.Table->BootServices);
  }
  // Every report halts.
  EXPECT_EQ(Machine().HaltCount, 7);
  EXPECT_TRUE(Machine().RunUntilHalt([] { BindFirmwareTables(nullptr, nullptr); }));
  EXPECT_EQ(Machine().TakeSerialOutput(), BindingReport("gImageHandle != ((void *) 0)"));
}

TEST_F(FirmwareServices, DatabaseIsLookedUpOnceAndReadThroughItsFourthEntry) {
  Bind();
  Firmware().Pcd32[TSC_FREQUENCY_TOKEN] = 0xFEDCBA98;
  Firmware().Pcd32[3] = 5;
  EXPECT_EQ(LibPcdGet32(TSC_FREQUENCY_TOKEN), 0xFEDCBA98u);
  EXPECT_EQ(mPcd, &Firmware().Pcd);
  EXPECT_EQ(LibPcdGet32(3), 5u);
  ASSERT_EQ(Firmware().LocateRequests.size(), 1u);
  EXPECT_TRUE(SameGuid(Firmware().LocateRequests[0], gPcdProtocolGuid));
  EXPECT_EQ(Firmware().PcdRequests, (std::vector<UINTN>{TSC_FREQUENCY_TOKEN, 3}));
  EXPECT_EQ(Machine().HaltCount, 0);
  EXPECT_TRUE(Firmware().Misuses.empty());
}

TEST_F(FirmwareServices, FailedLookupNamesTheStatusThenReportsTheMissingDatabase) {
  Bind();
  Firmware().FailLocate(gPcdProtocolGuid, EFI_NOT_FOUND);
  EXPECT_EQ(LibPcdGet32(TSC_FREQUENCY_TOKEN), 0u);
  EXPECT_EQ(Machine().TakeSerialOutput(), StatusReport("Not Found") + MissingPcdReport());
  EXPECT_EQ(Machine().HaltCount, 2);
  EXPECT_TRUE(Firmware().PcdRequests.empty());

  // Not kept: the next read tries again, and stops at the first report if not released.
  EXPECT_TRUE(Machine().RunUntilHalt([] { LibPcdGet32(TSC_FREQUENCY_TOKEN); }));
  EXPECT_EQ(Machine().TakeSerialOutput(), StatusReport("Not Found"));
  EXPECT_EQ(Firmware().LocateRequests.size(), 2u);
}

TEST_F(FirmwareServices, LookupThatSucceedsWithoutAnInterfaceIsReported) {
  Firmware().Database.clear();
  Firmware().InstallProtocol(gPcdProtocolGuid, nullptr);
  Bind();
  EXPECT_EQ(LibPcdGet32(TSC_FREQUENCY_TOKEN), 0u);
  EXPECT_EQ(Machine().TakeSerialOutput(), MissingPcdReport());
  EXPECT_EQ(Machine().HaltCount, 1);
}

// A firmware that fails the lookup yet writes an interface: the driver must not use it.
UINT32 EFIAPI UntrustedGet32(UINTN) {
  ADD_FAILURE() << "the interface of a failed lookup was used";
  return 1;
}
PCD_PROTOCOL UntrustedPcd = {nullptr, nullptr, nullptr, UntrustedGet32};
EFI_STATUS EFIAPI FailButFillIn(const EFI_GUID*, VOID*, VOID** Interface) {
  *Interface = &UntrustedPcd;
  return EFI_DEVICE_ERROR;
}

TEST_F(FirmwareServices, InterfaceFromAFailedLookupIsDropped) {
  Firmware().BootServices.LocateProtocol = FailButFillIn;
  Bind();
  EXPECT_EQ(LibPcdGet32(TSC_FREQUENCY_TOKEN), 0u);
  EXPECT_EQ(mPcd, nullptr);
  EXPECT_EQ(Machine().TakeSerialOutput(), StatusReport("Device Error") + MissingPcdReport());
}

TEST_F(FirmwareServices, ReadWithoutBootServicesReportsInsteadOfFollowingNull) {
  EXPECT_EQ(LibPcdGet32(TSC_FREQUENCY_TOKEN), 0u);
  EXPECT_EQ(Machine().TakeSerialOutput(), MissingPcdReport());
  EXPECT_TRUE(Firmware().LocateRequests.empty());
}

// ---- The simulated firmware ----

TEST_F(FirmwareServices, SimulatedTplChecksPairingAndDirection) {
  EFI_BOOT_SERVICES* Services = Firmware().SystemTable()->BootServices;
  EFI_TPL Old = Services->RaiseTPL(TPL_HIGH_LEVEL);
  EXPECT_EQ(Old, TPL_APPLICATION);
  EXPECT_EQ(Firmware().CurrentTpl, TPL_HIGH_LEVEL);
  EXPECT_FALSE(Firmware().TplBalanced());
  Services->RestoreTPL(Old);
  EXPECT_TRUE(Firmware().TplBalanced());
  std::vector<HardwareAccessRecord> Expected = {
      {AccessKind::RaiseTpl, TPL_HIGH_LEVEL, TPL_APPLICATION},
      {AccessKind::RestoreTpl, TPL_APPLICATION, TPL_HIGH_LEVEL}};
  EXPECT_EQ(Machine().Log, Expected);

  Services->RaiseTPL(TPL_NOTIFY);
  Services->RaiseTPL(TPL_CALLBACK);      // lowers
  Services->RestoreTPL(TPL_APPLICATION); // not what the raise returned
  Services->RestoreTPL(TPL_APPLICATION);
  Services->RestoreTPL(TPL_APPLICATION); // no raise left
  EXPECT_EQ(Firmware().Misuses.size(), 3u);
}

TEST_F(FirmwareServices, SimulatedProtocolServices) {
  EFI_BOOT_SERVICES* Services = Firmware().SystemTable()->BootServices;
  VOID* Interface = &Interface;
  EXPECT_EQ(Services->LocateProtocol(&gEfiTimerArchProtocolGuid, nullptr, &Interface),
            EFI_NOT_FOUND);
  EXPECT_EQ(Interface, nullptr);

  EFI_TIMER_ARCH_PROTOCOL Timer{};
  EFI_HANDLE Handle = nullptr;
  Firmware().InstallStatus = EFI_DEVICE_ERROR;
  EXPECT_EQ(Services->InstallMultipleProtocolInterfaces(&Handle, &gEfiTimerArchProtocolGuid, &Timer,
                                                        nullptr),
            EFI_DEVICE_ERROR);
  EXPECT_EQ(Handle, nullptr);
  Firmware().InstallStatus = EFI_SUCCESS;
  EXPECT_EQ(Services->InstallMultipleProtocolInterfaces(&Handle, &gEfiTimerArchProtocolGuid, &Timer,
                                                        nullptr),
            EFI_SUCCESS);
  ASSERT_NE(Handle, nullptr);
  EXPECT_NE(Handle, Firmware().ImageHandle);
  ASSERT_EQ(Firmware().Installed.size(), 1u);
  EXPECT_EQ(Firmware().Installed[0].Interface, &Timer);
  EXPECT_EQ(Services->LocateProtocol(&gEfiTimerArchProtocolGuid, nullptr, &Interface), EFI_SUCCESS);
  EXPECT_EQ(Interface, &Timer);
  // The same protocol twice on one handle is refused.
  EXPECT_EQ(Services->InstallMultipleProtocolInterfaces(&Handle, &gEfiTimerArchProtocolGuid, &Timer,
                                                        nullptr),
            EFI_INVALID_PARAMETER);

  Firmware().FailLocate(gEfiCpuArchProtocolGuid, EFI_UNSUPPORTED);
  EXPECT_EQ(Services->LocateProtocol(&gEfiCpuArchProtocolGuid, nullptr, &Interface),
            EFI_UNSUPPORTED);
  EXPECT_EQ(Machine().Accesses(AccessKind::FirmwareCall).size(), 6u);
  EXPECT_TRUE(Firmware().Misuses.empty());
}

int Delivered = 0;
VOID EFIAPI CountInterrupt(EFI_EXCEPTION_TYPE Type, EFI_SYSTEM_CONTEXT Context) {
  EXPECT_EQ(Type, LAPIC_TIMER_VECTOR);
  EXPECT_NE(Context.SystemContextX64, nullptr);
  ++Delivered;
}

TEST_F(FirmwareServices, SimulatedCpuProtocolDeliversToTheRegisteredHandler) {
  Delivered = 0;
  EFI_CPU_ARCH_PROTOCOL* Cpu = &Firmware().CpuArch;
  EXPECT_FALSE(Firmware().DeliverInterrupt());
  Firmware().RegisterInterruptStatus = EFI_UNSUPPORTED;
  EXPECT_EQ(Cpu->RegisterInterruptHandler(Cpu, LAPIC_TIMER_VECTOR, CountInterrupt),
            EFI_UNSUPPORTED);
  EXPECT_FALSE(Firmware().DeliverInterrupt());
  Firmware().RegisterInterruptStatus = EFI_SUCCESS;
  EXPECT_EQ(Cpu->RegisterInterruptHandler(Cpu, LAPIC_TIMER_VECTOR, CountInterrupt), EFI_SUCCESS);
  EXPECT_EQ(Cpu->RegisterInterruptHandler(Cpu, LAPIC_TIMER_VECTOR, CountInterrupt),
            EFI_ALREADY_STARTED);
  EXPECT_TRUE(Firmware().DeliverInterrupt());
  EXPECT_EQ(Delivered, 1);
  EXPECT_EQ(Machine().Log.back(),
            (HardwareAccessRecord{AccessKind::Interrupt, LAPIC_TIMER_VECTOR, 0}));
}

} // namespace
