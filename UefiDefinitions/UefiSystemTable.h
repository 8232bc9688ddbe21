// The EFI system table and the boot services table, laid out as the firmware hands them over.
// Only the services this driver calls are typed; the others keep their slots as plain pointers.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24, "EFI_TABLE_HEADER is 24 bytes");

typedef EFI_TPL(EFIAPI* EFI_RAISE_TPL)(EFI_TPL NewTpl);
typedef VOID(EFIAPI* EFI_RESTORE_TPL)(EFI_TPL OldTpl);
typedef EFI_STATUS(EFIAPI* EFI_HANDLE_PROTOCOL)(EFI_HANDLE Handle, const EFI_GUID* Protocol,
                                                VOID** Interface);
typedef EFI_STATUS(EFIAPI* EFI_LOCATE_PROTOCOL)(const EFI_GUID* Protocol, VOID* Registration,
                                                VOID** Interface);
// Takes pairs of (const EFI_GUID*, VOID* interface) ended by a null GUID pointer.
typedef EFI_STATUS(EFIAPI* EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES)(EFI_HANDLE* Handle, ...);

struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_RAISE_TPL RaiseTPL;
  EFI_RESTORE_TPL RestoreTPL;
  VOID* AllocatePages;
  VOID* FreePages;
  VOID* GetMemoryMap;
  VOID* AllocatePool;
  VOID* FreePool;
  VOID* CreateEvent;
  VOID* SetTimer;
  VOID* WaitForEvent;
  VOID* SignalEvent;
  VOID* CloseEvent;
  VOID* CheckEvent;
  VOID* InstallProtocolInterface;
  VOID* ReinstallProtocolInterface;
  VOID* UninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL HandleProtocol;
  VOID* Reserved;
  VOID* RegisterProtocolNotify;
  VOID* LocateHandle;
  VOID* LocateDevicePath;
  VOID* InstallConfigurationTable;
  VOID* LoadImage;
  VOID* StartImage;
  VOID* Exit;
  VOID* UnloadImage;
  VOID* ExitBootServices;
  VOID* GetNextMonotonicCount;
  VOID* Stall;
  VOID* SetWatchdogTimer;
  VOID* ConnectController;
  VOID* DisconnectController;
  VOID* OpenProtocol;
  VOID* CloseProtocol;
  VOID* OpenProtocolInformation;
  VOID* ProtocolsPerHandle;
  VOID* LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL LocateProtocol;
  EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES InstallMultipleProtocolInterfaces;
  VOID* UninstallMultipleProtocolInterfaces;
  VOID* CalculateCrc32;
  VOID* CopyMem;
  VOID* SetMem;
  VOID* CreateEventEx;
};
static_assert(offsetof(EFI_BOOT_SERVICES, RaiseTPL) == 24, "RaiseTPL slot");
static_assert(offsetof(EFI_BOOT_SERVICES, RestoreTPL) == 32, "RestoreTPL slot");
static_assert(offsetof(EFI_BOOT_SERVICES, HandleProtocol) == 152, "HandleProtocol slot");
static_assert(offsetof(EFI_BOOT_SERVICES, LocateProtocol) == 320, "LocateProtocol slot");
static_assert(offsetof(EFI_BOOT_SERVICES, InstallMultipleProtocolInterfaces) == 328,
              "InstallMultipleProtocolInterfaces slot");
static_assert(sizeof(EFI_BOOT_SERVICES) == 376, "EFI_BOOT_SERVICES size");

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL; // UefiDefinitions/SimpleTextOutput.h

// One entry of the list of tables the firmware publishes (ACPI, SMBIOS, ...).
struct EFI_CONFIGURATION_TABLE {
  EFI_GUID VendorGuid;
  VOID* VendorTable;
};
static_assert(sizeof(EFI_CONFIGURATION_TABLE) == 24, "EFI_CONFIGURATION_TABLE size");

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16* FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  VOID* ConIn;
  EFI_HANDLE ConsoleOutHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* ConOut;
  EFI_HANDLE StandardErrorHandle;
  VOID* StdErr;
  VOID* RuntimeServices;
  EFI_BOOT_SERVICES* BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE* ConfigurationTable;
};
static_assert(offsetof(EFI_SYSTEM_TABLE, ConOut) == 64, "ConOut slot");
static_assert(offsetof(EFI_SYSTEM_TABLE, BootServices) == 96, "BootServices slot");
static_assert(offsetof(EFI_SYSTEM_TABLE, NumberOfTableEntries) == 104 &&
                  offsetof(EFI_SYSTEM_TABLE, ConfigurationTable) == 112,
              "configuration table slots");
static_assert(sizeof(EFI_SYSTEM_TABLE) == 120, "EFI_SYSTEM_TABLE size");
