#include "Services/SystemTables.h"

#include "Platform/Console.h"
#include "Services/ConsoleOut.h"
#include "Services/ProtocolDatabase.h"
#include "Services/Tpl.h"
#include "Uefi/AcpiTables.h"
#include "Uefi/BootServices.h"

namespace SystemTables {
namespace {

Uefi::BootServices BootServicesTable;
Uefi::SystemTable SystemTableInstance;
Uefi::ConfigurationTableEntry ConfigurationTable[1];
Uefi::Handle ConsoleHandle = nullptr;
char16_t FirmwareVendor[] = u"Emulated PC test firmware";
uint64_t UnexpectedCount = 0;

template <unsigned Slot> FIRMWARE_API Uefi::Status UnexpectedBootService() {
  ++UnexpectedCount;
  Console::Fact("unexpected-boot-service-slot", Slot);
  return Uefi::UNSUPPORTED;
}

// Fills slots [0, Count) with their own stubs, so a report names the slot that was called.
template <unsigned Count> void FillUnexpected(void** Slots) {
  if constexpr (Count > 0) {
    Slots[Count - 1] = reinterpret_cast<void*>(&UnexpectedBootService<Count - 1>);
    FillUnexpected<Count - 1>(Slots);
  }
}

} // namespace

Uefi::SystemTable* Build(void* AcpiRootPointer) {
  BootServicesTable.Hdr = {Uefi::BOOT_SERVICES_SIGNATURE, Uefi::REVISION_2_70,
                           sizeof(Uefi::BootServices), 0, 0};
  FillUnexpected<Uefi::BOOT_SERVICE_SLOT_COUNT>(BootServicesTable.Slots);
  BootServicesTable.Slots[Uefi::SLOT_RAISE_TPL] =
      reinterpret_cast<void*>(static_cast<Uefi::RaiseTplFn>(&Tpl::Raise));
  BootServicesTable.Slots[Uefi::SLOT_RESTORE_TPL] =
      reinterpret_cast<void*>(static_cast<Uefi::RestoreTplFn>(&Tpl::Restore));
  BootServicesTable.Slots[Uefi::SLOT_HANDLE_PROTOCOL] = reinterpret_cast<void*>(
      static_cast<Uefi::HandleProtocolFn>(&ProtocolDatabase::HandleProtocol));
  BootServicesTable.Slots[Uefi::SLOT_LOCATE_PROTOCOL] = reinterpret_cast<void*>(
      static_cast<Uefi::LocateProtocolFn>(&ProtocolDatabase::LocateProtocol));
  BootServicesTable.Slots[Uefi::SLOT_INSTALL_MULTIPLE_PROTOCOL_INTERFACES] =
      reinterpret_cast<void*>(static_cast<Uefi::InstallMultipleProtocolInterfacesFn>(
          &ProtocolDatabase::InstallMultipleProtocolInterfaces));

  SystemTableInstance = {};
  SystemTableInstance.Hdr = {Uefi::SYSTEM_TABLE_SIGNATURE, Uefi::REVISION_2_70,
                             sizeof(Uefi::SystemTable), 0, 0};
  SystemTableInstance.FirmwareVendor = FirmwareVendor;
  SystemTableInstance.BootServicesTable = &BootServicesTable;
  ProtocolDatabase::Install(&ConsoleHandle, &Uefi::SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID,
                            ConsoleOut::Instance());
  SystemTableInstance.ConsoleOutHandle = SystemTableInstance.StandardErrorHandle = ConsoleHandle;
  SystemTableInstance.ConOut = SystemTableInstance.StdErr = ConsoleOut::Instance();
  if (AcpiRootPointer != nullptr) {
    ConfigurationTable[0] = {Acpi::ACPI_20_TABLE_GUID, AcpiRootPointer};
    SystemTableInstance.ConfigurationTable = ConfigurationTable;
    SystemTableInstance.NumberOfTableEntries = 1;
  }
  return &SystemTableInstance;
}

uint64_t UnexpectedCalls() {
  return UnexpectedCount + ConsoleOut::UnexpectedCalls();
}

} // namespace SystemTables
