#include "Services/ProtocolDatabase.h"

namespace ProtocolDatabase {
namespace {

constexpr unsigned MAX_HANDLES = 8;
constexpr unsigned MAX_INTERFACES = 16;
constexpr unsigned MAX_INTERFACES_PER_CALL = 8;

// A handle is the address of one of these; its content only makes the addresses distinct.
struct HandleRecord {
  uint64_t Number;
};

struct InterfaceRecord {
  HandleRecord* Owner;
  Uefi::Guid Protocol;
  void* Interface;
};

HandleRecord Handles[MAX_HANDLES];
unsigned HandleCount = 0;
InterfaceRecord Interfaces[MAX_INTERFACES];
unsigned InterfaceCount = 0;
Counters Count = {0, 0};

bool IsKnownHandle(Uefi::Handle Candidate) {
  for (unsigned Index = 0; Index < HandleCount; ++Index) {
    if (Candidate == &Handles[Index]) {
      return true;
    }
  }
  return false;
}

const InterfaceRecord* FindRecord(const Uefi::Guid& Protocol, Uefi::Handle On) {
  for (unsigned Index = 0; Index < InterfaceCount; ++Index) {
    if (Uefi::SameGuid(Interfaces[Index].Protocol, Protocol) &&
        (On == nullptr || Interfaces[Index].Owner == On)) {
      return &Interfaces[Index];
    }
  }
  return nullptr;
}

} // namespace

Uefi::Status Install(Uefi::Handle* TargetHandle, const Uefi::Guid* Protocol, void* Interface) {
  if (TargetHandle == nullptr || Protocol == nullptr) {
    return Uefi::INVALID_PARAMETER;
  }
  if (*TargetHandle != nullptr && !IsKnownHandle(*TargetHandle)) {
    return Uefi::INVALID_PARAMETER;
  }
  if (*TargetHandle != nullptr && FindRecord(*Protocol, *TargetHandle) != nullptr) {
    return Uefi::INVALID_PARAMETER; // the protocol is already on this handle
  }
  if (InterfaceCount == MAX_INTERFACES ||
      (*TargetHandle == nullptr && HandleCount == MAX_HANDLES)) {
    return Uefi::OUT_OF_RESOURCES;
  }
  if (*TargetHandle == nullptr) {
    Handles[HandleCount].Number = HandleCount + 1;
    *TargetHandle = &Handles[HandleCount++];
  }
  Interfaces[InterfaceCount++] = {static_cast<HandleRecord*>(*TargetHandle), *Protocol, Interface};
  return Uefi::SUCCESS;
}

FIRMWARE_API Uefi::Status LocateProtocol(const Uefi::Guid* Protocol, void* /*Registration*/,
                                         void** Interface) {
  ++Count.LocateCalls;
  if (Protocol == nullptr || Interface == nullptr) {
    return Uefi::INVALID_PARAMETER;
  }
  const InterfaceRecord* Found = FindRecord(*Protocol, nullptr);
  if (Found == nullptr) {
    *Interface = nullptr;
    return Uefi::NOT_FOUND;
  }
  *Interface = Found->Interface;
  return Uefi::SUCCESS;
}

FIRMWARE_API Uefi::Status InstallMultipleProtocolInterfaces(Uefi::Handle* TargetHandle, ...) {
  ++Count.InstallMultipleCalls;
  if (TargetHandle == nullptr) {
    return Uefi::INVALID_PARAMETER;
  }
  // Collect the pairs first: either all of them are installed or none.
  const Uefi::Guid* Protocols[MAX_INTERFACES_PER_CALL];
  void* Pointers[MAX_INTERFACES_PER_CALL];
  unsigned Pairs = 0;
  __builtin_ms_va_list Arguments;
  __builtin_ms_va_start(Arguments, TargetHandle);
  for (;;) {
    const auto* Protocol = __builtin_va_arg(Arguments, const Uefi::Guid*);
    if (Protocol == nullptr) {
      break;
    }
    if (Pairs == MAX_INTERFACES_PER_CALL) {
      __builtin_ms_va_end(Arguments);
      return Uefi::OUT_OF_RESOURCES;
    }
    Protocols[Pairs] = Protocol;
    Pointers[Pairs] = __builtin_va_arg(Arguments, void*);
    ++Pairs;
  }
  __builtin_ms_va_end(Arguments);

  for (unsigned Index = 0; Index < Pairs; ++Index) {
    if (*TargetHandle != nullptr && FindRecord(*Protocols[Index], *TargetHandle) != nullptr) {
      return Uefi::ALREADY_STARTED;
    }
  }
  if (InterfaceCount + Pairs > MAX_INTERFACES) {
    return Uefi::OUT_OF_RESOURCES;
  }
  for (unsigned Index = 0; Index < Pairs; ++Index) {
    const Uefi::Status Result = Install(TargetHandle, Protocols[Index], Pointers[Index]);
    if (Uefi::IsError(Result)) {
      return Result;
    }
  }
  return Uefi::SUCCESS;
}

FIRMWARE_API Uefi::Status HandleProtocol(Uefi::Handle OnHandle, const Uefi::Guid* Protocol,
                                         void** Interface) {
  if (!IsKnownHandle(OnHandle) || Protocol == nullptr || Interface == nullptr) {
    return Uefi::INVALID_PARAMETER;
  }
  const InterfaceRecord* Found = FindRecord(*Protocol, OnHandle);
  *Interface = Found == nullptr ? nullptr : Found->Interface;
  return Found == nullptr ? Uefi::UNSUPPORTED : Uefi::SUCCESS;
}

void* Find(const Uefi::Guid& Protocol, Uefi::Handle* FoundOn) {
  const InterfaceRecord* Found = FindRecord(Protocol, nullptr);
  if (FoundOn != nullptr) {
    *FoundOn = Found == nullptr ? nullptr : Found->Owner;
  }
  return Found == nullptr ? nullptr : Found->Interface;
}

Counters Read() {
  return Count;
}

unsigned InstalledInterfaces() {
  return InterfaceCount;
}

} // namespace ProtocolDatabase
