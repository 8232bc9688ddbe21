// Handles and the protocol interfaces installed on them: a fixed-size table, enough for the few
// protocols of this machine.
#pragma once

#include "Uefi/UefiTypes.h"

namespace ProtocolDatabase {

// Installs one interface; a null *TargetHandle gets a new handle.
Uefi::Status Install(Uefi::Handle* TargetHandle, const Uefi::Guid* Protocol, void* Interface);

FIRMWARE_API Uefi::Status LocateProtocol(const Uefi::Guid* Protocol, void* Registration,
                                         void** Interface);
FIRMWARE_API Uefi::Status InstallMultipleProtocolInterfaces(Uefi::Handle* TargetHandle, ...);
FIRMWARE_API Uefi::Status HandleProtocol(Uefi::Handle OnHandle, const Uefi::Guid* Protocol,
                                         void** Interface);

// Lookup for the firmware itself, without counting it as a driver's call.
void* Find(const Uefi::Guid& Protocol, Uefi::Handle* FoundOn = nullptr);

struct Counters {
  uint64_t LocateCalls;
  uint64_t InstallMultipleCalls;
};
Counters Read();
// Interfaces installed now, by anyone.
unsigned InstalledInterfaces();

} // namespace ProtocolDatabase
