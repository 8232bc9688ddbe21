// The boot services table. Only the services the timer driver and the board check call are typed;
// every other slot is a pointer to a stub that records the unexpected call.
#pragma once

#include "Uefi/UefiTypes.h"

namespace Uefi {

// "BOOTSERV" read as a little-endian 64-bit number.
constexpr uint64_t BOOT_SERVICES_SIGNATURE = 0x56524553544F4F42ULL;

using RaiseTplFn = Tpl(FIRMWARE_API*)(Tpl NewTpl);
using RestoreTplFn = void(FIRMWARE_API*)(Tpl OldTpl);
using HandleProtocolFn = Status(FIRMWARE_API*)(Handle OnHandle, const Guid* Protocol,
                                               void** Interface);
using LocateProtocolFn = Status(FIRMWARE_API*)(const Guid* Protocol, void* Registration,
                                               void** Interface);
// Pairs of (GUID pointer, interface pointer), ended by a null GUID pointer.
using InstallMultipleProtocolInterfacesFn = Status(FIRMWARE_API*)(Handle* TargetHandle, ...);
using UnexpectedServiceFn = Status(FIRMWARE_API*)();

// Slot numbers of the services after the header, in the table's order.
enum BootServiceSlot : unsigned {
  SLOT_RAISE_TPL = 0,
  SLOT_RESTORE_TPL = 1,
  SLOT_HANDLE_PROTOCOL = 16,
  SLOT_LOCATE_PROTOCOL = 37,
  SLOT_INSTALL_MULTIPLE_PROTOCOL_INTERFACES = 38,
  BOOT_SERVICE_SLOT_COUNT = 44,
};

struct BootServices {
  TableHeader Hdr;
  void* Slots[BOOT_SERVICE_SLOT_COUNT];
};
constexpr size_t BootServiceOffset(unsigned Slot) {
  return sizeof(TableHeader) + Slot * 8;
}
// Offsets of the x64 binding: RaiseTPL and RestoreTPL open the table, HandleProtocol follows the
// event and protocol-interface services, LocateProtocol and InstallMultipleProtocolInterfaces
// follow the handle-buffer services, CreateEventEx closes it.
static_assert(BootServiceOffset(SLOT_RAISE_TPL) == 24, "RaiseTPL offset");
static_assert(BootServiceOffset(SLOT_RESTORE_TPL) == 32, "RestoreTPL offset");
static_assert(BootServiceOffset(SLOT_HANDLE_PROTOCOL) == 152, "HandleProtocol offset");
static_assert(BootServiceOffset(SLOT_LOCATE_PROTOCOL) == 320, "LocateProtocol offset");
static_assert(BootServiceOffset(SLOT_INSTALL_MULTIPLE_PROTOCOL_INTERFACES) == 328,
              "InstallMultipleProtocolInterfaces offset");
static_assert(sizeof(BootServices) == 376, "boot services table size");

} // namespace Uefi
