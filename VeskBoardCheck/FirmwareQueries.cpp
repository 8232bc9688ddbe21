#include "VeskBoardCheck/FirmwareQueries.h"

#include "UefiDefinitions/LoadedImage.h"
#include "UefiDefinitions/PcdProtocol.h"
#include "UefiDefinitions/TimerArchProtocol.h"

VOID* LocateInterface(EFI_BOOT_SERVICES* BootServices, const EFI_GUID& Guid) {
  if (BootServices == nullptr || BootServices->LocateProtocol == nullptr) {
    return nullptr;
  }
  VOID* Interface = nullptr;
  if (EFI_ERROR(BootServices->LocateProtocol(&Guid, nullptr, &Interface))) {
    return nullptr;
  }
  return Interface;
}

LoadOptionsText ReadLoadOptions(EFI_BOOT_SERVICES* BootServices, EFI_HANDLE ImageHandle) {
  if (BootServices == nullptr || BootServices->HandleProtocol == nullptr) {
    return {nullptr, 0};
  }
  VOID* Interface = nullptr;
  if (EFI_ERROR(
          BootServices->HandleProtocol(ImageHandle, &gEfiLoadedImageProtocolGuid, &Interface)) ||
      Interface == nullptr) {
    return {nullptr, 0};
  }
  const EFI_LOADED_IMAGE_PROTOCOL* Image = static_cast<EFI_LOADED_IMAGE_PROTOCOL*>(Interface);
  if (Image->LoadOptions == nullptr) {
    return {nullptr, 0};
  }
  return {static_cast<const CHAR16*>(Image->LoadOptions), Image->LoadOptionsSize};
}

PcdReading ReadPcdRate(EFI_BOOT_SERVICES* BootServices, UINT64 Token) {
  PCD_PROTOCOL* Pcd = static_cast<PCD_PROTOCOL*>(LocateInterface(BootServices, gPcdProtocolGuid));
  if (Pcd == nullptr || Pcd->Get32 == nullptr) {
    return {PcdAnswer::NoDatabase, 0};
  }
  const UINT32 Hz = Pcd->Get32(Token);
  return {Hz == 0 ? PcdAnswer::NotAnswered : PcdAnswer::Answered, Hz};
}

PresentTimerReading ReadPresentTimer(EFI_BOOT_SERVICES* BootServices) {
  EFI_TIMER_ARCH_PROTOCOL* Timer = static_cast<EFI_TIMER_ARCH_PROTOCOL*>(
      LocateInterface(BootServices, gEfiTimerArchProtocolGuid));
  if (Timer == nullptr) {
    return {PresentTimer::None, 0};
  }
  UINT64 Period = 0;
  if (Timer->GetTimerPeriod == nullptr || EFI_ERROR(Timer->GetTimerPeriod(Timer, &Period))) {
    return {PresentTimer::PeriodRefused, 0};
  }
  return {PresentTimer::PeriodGiven, Period};
}
