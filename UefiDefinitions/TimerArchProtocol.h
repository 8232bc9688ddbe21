// The Timer Architectural Protocol: the platform's one system timer, which this driver provides.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

inline constexpr EFI_GUID gEfiTimerArchProtocolGuid = {
    0x26BACCB3, 0x6F42, 0x11D4, {0xBC, 0xE7, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}};

// Called on every tick with the period in 100 ns units.
typedef VOID(EFIAPI* EFI_TIMER_NOTIFY)(UINT64 Time);

struct EFI_TIMER_ARCH_PROTOCOL;
typedef EFI_STATUS(EFIAPI* EFI_TIMER_REGISTER_HANDLER)(EFI_TIMER_ARCH_PROTOCOL* This,
                                                       EFI_TIMER_NOTIFY NotifyFunction);
typedef EFI_STATUS(EFIAPI* EFI_TIMER_SET_TIMER_PERIOD)(EFI_TIMER_ARCH_PROTOCOL* This,
                                                       UINT64 TimerPeriod);
typedef EFI_STATUS(EFIAPI* EFI_TIMER_GET_TIMER_PERIOD)(EFI_TIMER_ARCH_PROTOCOL* This,
                                                       UINT64* TimerPeriod);
typedef EFI_STATUS(EFIAPI* EFI_TIMER_GENERATE_SOFT_INTERRUPT)(EFI_TIMER_ARCH_PROTOCOL* This);

struct EFI_TIMER_ARCH_PROTOCOL {
  EFI_TIMER_REGISTER_HANDLER RegisterHandler;
  EFI_TIMER_SET_TIMER_PERIOD SetTimerPeriod;
  EFI_TIMER_GET_TIMER_PERIOD GetTimerPeriod;
  EFI_TIMER_GENERATE_SOFT_INTERRUPT GenerateSoftInterrupt;
};
static_assert(sizeof(EFI_TIMER_ARCH_PROTOCOL) == 32, "four service pointers");
