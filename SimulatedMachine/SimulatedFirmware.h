// A simulated UEFI firmware for the host tests: boot services, a protocol database, a CPU
// Architectural Protocol and a configuration database (PCD) protocol, all reached through the real
// table layouts and the firmware calling convention.
//
// Usage (Firmware().Reset() runs before every MachineTest):
//   LapicTimerDriverEntry(Firmware().ImageHandle, Firmware().SystemTable());
//   Firmware().FailLocate(gPcdProtocolGuid, EFI_NOT_FOUND);   // or FailInstall / FailRegister...
//   Firmware().Pcd32[PCD_TSC_FREQUENCY_TOKEN] = 2'400'000'000; // TSC frequency (default 1 GHz)
//   EXPECT_TRUE(Firmware().DeliverInterrupt());  // calls the handler of the build's timer vector
//   EXPECT_TRUE(Firmware().TplBalanced());                    // every raise restored, no misuse
//   Firmware().Installed, .Misuses, .CurrentTpl; Machine().Accesses(AccessKind::RaiseTpl), ...
// Each call is also logged in Machine().Log (RaiseTpl, RestoreTpl, FirmwareCall, Interrupt).
#pragma once

#include "PlatformSettings.h"
#include "SimulatedMachine/SimulatedMachine.h"
#include "UefiDefinitions/CpuArchProtocol.h"
#include "UefiDefinitions/LoadedImage.h"
#include "UefiDefinitions/PcdProtocol.h"
#include "UefiDefinitions/SimpleTextOutput.h"
#include "UefiDefinitions/UefiSystemTable.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

// The Address of an AccessKind::FirmwareCall record.
enum class FirmwareService : UINT64 {
  LocateProtocol = 1,
  InstallMultipleProtocolInterfaces,
  RegisterInterruptHandler,
  PcdGet32,
  HandleProtocol
};

struct InstalledInterface {
  EFI_HANDLE Handle;
  EFI_GUID Guid;
  VOID* Interface;
};

bool SameGuid(const EFI_GUID& Left, const EFI_GUID& Right);

class SimulatedFirmware {
public:
  // The token the driver was built to read (7 unless the build chose another).
  static constexpr UINTN TSC_FREQUENCY_TOKEN = PCD_TSC_FREQUENCY_TOKEN;
  static constexpr UINT32 DEFAULT_TSC_FREQUENCY = 1000000000;

  // Defaults: TPL_APPLICATION; the database holds the CPU Architectural Protocol and the PCD
  // protocol, each on its own handle, and no timer; the TSC frequency token answers 1 GHz;
  // nothing fails.
  void Reset();

  EFI_SYSTEM_TABLE* SystemTable() { return &SystemTableData; }
  EFI_HANDLE ImageHandle = nullptr; // a distinct non-null handle after Reset
  EFI_SYSTEM_TABLE SystemTableData{};
  EFI_BOOT_SERVICES BootServices{};
  EFI_CPU_ARCH_PROTOCOL CpuArch{};
  PCD_PROTOCOL Pcd{};

  // ---- Task priority ----
  EFI_TPL CurrentTpl = TPL_APPLICATION;
  std::vector<EFI_TPL> OpenRaises; // the TPL before each raise not yet restored
  // Every misuse seen: a raise that would lower the TPL, a restore without a raise or to another
  // TPL than the raise returned, a null or foreign argument, too many install pairs...
  std::vector<std::string> Misuses;
  bool TplBalanced() const { return OpenRaises.empty() && Misuses.empty(); }

  // ---- Protocol database ----
  std::vector<InstalledInterface> Database;
  // Installed through InstallMultipleProtocolInterfaces, in order.
  std::vector<InstalledInterface> Installed;
  std::vector<EFI_GUID> LocateRequests;
  // Adds Interface (which may be null) under Guid on Handle, or on a new handle if Handle is null.
  EFI_HANDLE InstallProtocol(const EFI_GUID& Guid, VOID* Interface, EFI_HANDLE Handle = nullptr);
  // The interface a lookup would find, or nullopt.
  std::optional<VOID*> Find(const EFI_GUID& Guid) const;

  // ---- Failures on demand ----
  void FailLocate(const EFI_GUID& Guid, EFI_STATUS Status) {
    LocateFailures.push_back({Guid, Status});
  }
  EFI_STATUS InstallStatus = EFI_SUCCESS;           // returned without installing when an error
  EFI_STATUS RegisterInterruptStatus = EFI_SUCCESS; // returned without registering when an error

  // ---- Interrupts ----
  std::map<EFI_EXCEPTION_TYPE, EFI_CPU_INTERRUPT_HANDLER> InterruptHandlers;
  // Calls the handler registered for Vector as the CPU protocol's dispatcher would; false if none.
  bool DeliverInterrupt(EFI_EXCEPTION_TYPE Vector = LAPIC_TIMER_VECTOR);

  // ---- Configuration database ----
  std::map<UINTN, UINT32> Pcd32;  // unknown tokens answer 0 and are noted as a misuse
  std::vector<UINTN> PcdRequests; // tokens asked for, in order

  // ---- What an application is given ----
  // The console (ConOut) records the UCS-2 text it is given; ConsoleText() is it in ASCII.
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL ConsoleOut{};
  std::u16string ConsoleWritten;
  std::string ConsoleText() const;
  // HandleProtocol answers the Loaded Image protocol on ImageHandle, with these options (as given
  // by SetLoadOptions: the text, and a size in bytes that need not cover its zero).
  EFI_LOADED_IMAGE_PROTOCOL LoadedImage{};
  std::u16string LoadOptions;
  void SetLoadOptions(const std::u16string& Text, std::optional<UINT32> Size = std::nullopt);
  // Published in the system table by PublishTables.
  std::vector<EFI_CONFIGURATION_TABLE> ConfigurationTables;
  void PublishTables();

  // Used by the service implementations.
  struct LocateFailure {
    EFI_GUID Guid;
    EFI_STATUS Status;
  };
  std::vector<LocateFailure> LocateFailures;
  UINTN NextHandle = 0;
  EFI_HANDLE NewHandle();
  void Call(FirmwareService Service, UINT64 Result) {
    Machine().Record(AccessKind::FirmwareCall, static_cast<UINT64>(Service), Result);
  }
};

SimulatedFirmware& Firmware();
