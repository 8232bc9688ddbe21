#include "SimulatedMachine/SimulatedFirmware.h"

#include <cstring>

namespace {
constexpr UINTN HANDLE_BASE = 0x5A000000;
constexpr UINTN HANDLE_STRIDE = 0x10;
constexpr EFI_EXCEPTION_TYPE LAST_VECTOR = 255;
// Guards the variadic walk against a list whose null terminator is missing.
constexpr int MAX_INSTALL_PAIRS = 16;
// Stands in for the processor context the CPU protocol's dispatcher saves.
UINT64 SavedContext[32];

void Misuse(const std::string& What) {
  Firmware().Misuses.push_back(What);
}

EFI_TPL EFIAPI RaiseTplService(EFI_TPL NewTpl) {
  SimulatedFirmware& F = Firmware();
  EFI_TPL Old = F.CurrentTpl;
  Machine().Record(AccessKind::RaiseTpl, NewTpl, Old);
  if (NewTpl < Old) {
    Misuse("RaiseTPL(" + std::to_string(NewTpl) + ") would lower TPL " + std::to_string(Old));
  }
  if (NewTpl > TPL_HIGH_LEVEL) {
    Misuse("RaiseTPL(" + std::to_string(NewTpl) + ") above TPL_HIGH_LEVEL");
  }
  F.OpenRaises.push_back(Old);
  F.CurrentTpl = NewTpl;
  return Old;
}

VOID EFIAPI RestoreTplService(EFI_TPL OldTpl) {
  SimulatedFirmware& F = Firmware();
  Machine().Record(AccessKind::RestoreTpl, OldTpl, F.CurrentTpl);
  if (F.OpenRaises.empty()) {
    Misuse("RestoreTPL(" + std::to_string(OldTpl) + ") without a raise");
  } else {
    if (F.OpenRaises.back() != OldTpl) {
      Misuse("RestoreTPL(" + std::to_string(OldTpl) + ") but the raise returned " +
             std::to_string(F.OpenRaises.back()));
    }
    F.OpenRaises.pop_back();
  }
  if (OldTpl > F.CurrentTpl) {
    Misuse("RestoreTPL(" + std::to_string(OldTpl) + ") would raise TPL " +
           std::to_string(F.CurrentTpl));
  }
  F.CurrentTpl = OldTpl;
}

EFI_STATUS EFIAPI LocateProtocolService(const EFI_GUID* Protocol, VOID* Registration,
                                        VOID** Interface) {
  SimulatedFirmware& F = Firmware();
  EFI_STATUS Status = EFI_SUCCESS;
  if (Protocol == nullptr || Interface == nullptr) {
    Misuse("LocateProtocol with a null GUID or result pointer");
    Status = EFI_INVALID_PARAMETER;
  } else {
    F.LocateRequests.push_back(*Protocol);
    if (Registration != nullptr) {
      Misuse("LocateProtocol with a registration key");
    }
    *Interface = nullptr;
    std::optional<EFI_STATUS> Failure;
    for (const auto& Configured : F.LocateFailures) {
      if (SameGuid(Configured.Guid, *Protocol)) {
        Failure = Configured.Status;
      }
    }
    std::optional<VOID*> Found = F.Find(*Protocol);
    if (Failure) {
      Status = *Failure;
    } else if (Found) {
      *Interface = *Found;
    } else {
      Status = EFI_NOT_FOUND;
    }
  }
  F.Call(FirmwareService::LocateProtocol, Status);
  return Status;
}

EFI_STATUS EFIAPI InstallMultipleProtocolInterfacesService(EFI_HANDLE* Handle, ...) {
  SimulatedFirmware& F = Firmware();
  EFI_STATUS Status = F.InstallStatus;
  if (Handle == nullptr) {
    Misuse("InstallMultipleProtocolInterfaces with a null handle pointer");
    Status = EFI_INVALID_PARAMETER;
  }
  if (!EFI_ERROR(Status)) {
    std::vector<InstalledInterface> Pairs;
    __builtin_ms_va_list Arguments;
    __builtin_ms_va_start(Arguments, Handle);
    for (int Pair = 0;; ++Pair) {
      if (Pair == MAX_INSTALL_PAIRS) {
        Misuse("InstallMultipleProtocolInterfaces: no null GUID ends the list");
        Status = EFI_INVALID_PARAMETER;
        break;
      }
      const EFI_GUID* Guid = __builtin_va_arg(Arguments, const EFI_GUID*);
      if (Guid == nullptr) {
        break;
      }
      VOID* Interface = __builtin_va_arg(Arguments, VOID*);
      Pairs.push_back({nullptr, *Guid, Interface});
    }
    __builtin_ms_va_end(Arguments);
    if (*Handle != nullptr) {
      for (const auto& Pair : Pairs) {
        for (const auto& Entry : F.Database) {
          if (Entry.Handle == *Handle && SameGuid(Entry.Guid, Pair.Guid)) {
            Status = EFI_INVALID_PARAMETER; // already on that handle
          }
        }
      }
    }
    if (!EFI_ERROR(Status) && !Pairs.empty()) {
      if (*Handle == nullptr) {
        *Handle = F.NewHandle();
      }
      for (auto& Pair : Pairs) {
        Pair.Handle = *Handle;
        F.InstallProtocol(Pair.Guid, Pair.Interface, *Handle);
        F.Installed.push_back(Pair);
      }
    }
  }
  F.Call(FirmwareService::InstallMultipleProtocolInterfaces, Status);
  return Status;
}

EFI_STATUS EFIAPI RegisterInterruptHandlerService(EFI_CPU_ARCH_PROTOCOL* This,
                                                  EFI_EXCEPTION_TYPE InterruptType,
                                                  EFI_CPU_INTERRUPT_HANDLER InterruptHandler) {
  SimulatedFirmware& F = Firmware();
  EFI_STATUS Status = F.RegisterInterruptStatus;
  if (This != &F.CpuArch) {
    Misuse("RegisterInterruptHandler called with another protocol instance");
  }
  if (!EFI_ERROR(Status)) {
    bool Registered = F.InterruptHandlers.count(InterruptType) != 0;
    if (InterruptType < 0 || InterruptType > LAST_VECTOR) {
      Status = EFI_UNSUPPORTED;
    } else if (InterruptHandler != nullptr && Registered) {
      Status = EFI_ALREADY_STARTED;
    } else if (InterruptHandler == nullptr && !Registered) {
      Status = EFI_INVALID_PARAMETER;
    } else if (InterruptHandler == nullptr) {
      F.InterruptHandlers.erase(InterruptType);
    } else {
      F.InterruptHandlers[InterruptType] = InterruptHandler;
    }
  }
  F.Call(FirmwareService::RegisterInterruptHandler, Status);
  return Status;
}

EFI_STATUS EFIAPI OutputStringService(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, CHAR16* String) {
  SimulatedFirmware& F = Firmware();
  if (This != &F.ConsoleOut || String == nullptr) {
    Misuse("OutputString with another console or no text");
    return EFI_INVALID_PARAMETER;
  }
  F.ConsoleWritten += String;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI HandleProtocolService(EFI_HANDLE Handle, const EFI_GUID* Protocol,
                                        VOID** Interface) {
  SimulatedFirmware& F = Firmware();
  EFI_STATUS Status = EFI_UNSUPPORTED;
  if (Handle == F.ImageHandle && Protocol != nullptr && Interface != nullptr &&
      SameGuid(*Protocol, gEfiLoadedImageProtocolGuid)) {
    *Interface = &F.LoadedImage;
    Status = EFI_SUCCESS;
  }
  F.Call(FirmwareService::HandleProtocol, Status);
  return Status;
}

UINT32 EFIAPI PcdGet32Service(UINTN TokenNumber) {
  SimulatedFirmware& F = Firmware();
  UINT32 Value = 0;
  F.PcdRequests.push_back(TokenNumber);
  auto Found = F.Pcd32.find(TokenNumber);
  if (Found == F.Pcd32.end()) {
    Misuse("PCD token " + std::to_string(TokenNumber) + " is not configured");
  } else {
    Value = Found->second;
  }
  F.Call(FirmwareService::PcdGet32, Value);
  return Value;
}
} // namespace

bool SameGuid(const EFI_GUID& Left, const EFI_GUID& Right) {
  return std::memcmp(&Left, &Right, sizeof(EFI_GUID)) == 0;
}

SimulatedFirmware& Firmware() {
  static SimulatedFirmware Instance;
  return Instance;
}

void SimulatedFirmware::Reset() {
  *this = SimulatedFirmware();
  BootServices.RaiseTPL = RaiseTplService;
  BootServices.RestoreTPL = RestoreTplService;
  BootServices.LocateProtocol = LocateProtocolService;
  BootServices.InstallMultipleProtocolInterfaces = InstallMultipleProtocolInterfacesService;
  SystemTableData.BootServices = &BootServices;
  CpuArch.RegisterInterruptHandler = RegisterInterruptHandlerService;
  Pcd.Get32 = PcdGet32Service;
  ConsoleOut.OutputString = OutputStringService;
  SystemTableData.ConOut = &ConsoleOut;
  BootServices.HandleProtocol = HandleProtocolService;
  LoadedImage.SystemTable = &SystemTableData;
  Pcd32[TSC_FREQUENCY_TOKEN] = DEFAULT_TSC_FREQUENCY;
  ImageHandle = NewHandle();
  InstallProtocol(gEfiCpuArchProtocolGuid, &CpuArch);
  InstallProtocol(gPcdProtocolGuid, &Pcd);
}

std::string SimulatedFirmware::ConsoleText() const {
  return std::string(ConsoleWritten.begin(), ConsoleWritten.end());
}

void SimulatedFirmware::SetLoadOptions(const std::u16string& Text, std::optional<UINT32> Size) {
  LoadOptions = Text;
  LoadedImage.LoadOptions = LoadOptions.data();
  LoadedImage.LoadOptionsSize = Size.value_or(static_cast<UINT32>(Text.size() * sizeof(CHAR16)));
}

void SimulatedFirmware::PublishTables() {
  SystemTableData.ConfigurationTable = ConfigurationTables.data();
  SystemTableData.NumberOfTableEntries = ConfigurationTables.size();
}

EFI_HANDLE SimulatedFirmware::NewHandle() {
  return reinterpret_cast<EFI_HANDLE>(HANDLE_BASE + HANDLE_STRIDE * ++NextHandle);
}

EFI_HANDLE SimulatedFirmware::InstallProtocol(const EFI_GUID& Guid, VOID* Interface,
                                              EFI_HANDLE Handle) {
  if (Handle == nullptr) {
    Handle = NewHandle();
  }
  Database.push_back({Handle, Guid, Interface});
  return Handle;
}

std::optional<VOID*> SimulatedFirmware::Find(const EFI_GUID& Guid) const {
  for (const auto& Entry : Database) {
    if (SameGuid(Entry.Guid, Guid)) {
      return Entry.Interface;
    }
  }
  return std::nullopt;
}

bool SimulatedFirmware::DeliverInterrupt(EFI_EXCEPTION_TYPE Vector) {
  auto Found = InterruptHandlers.find(Vector);
  if (Found == InterruptHandlers.end()) {
    return false;
  }
  Machine().Record(AccessKind::Interrupt, static_cast<UINT64>(Vector), 0);
  EFI_SYSTEM_CONTEXT Context;
  Context.SystemContextX64 = SavedContext;
  Found->second(Vector, Context);
  return true;
}
