// The CPU Architectural Protocol: this driver uses it only to hook its interrupt vector.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

inline constexpr EFI_GUID gEfiCpuArchProtocolGuid = {
    0x26BACCB1, 0x6F42, 0x11D4, {0xBC, 0xE7, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}};

typedef INTN EFI_EXCEPTION_TYPE;

// Pointer to the processor context the dispatcher saved; passed by value.
union EFI_SYSTEM_CONTEXT {
  VOID* SystemContextX64;
};
static_assert(sizeof(EFI_SYSTEM_CONTEXT) == 8, "EFI_SYSTEM_CONTEXT is one pointer");

typedef VOID(EFIAPI* EFI_CPU_INTERRUPT_HANDLER)(EFI_EXCEPTION_TYPE InterruptType,
                                                EFI_SYSTEM_CONTEXT SystemContext);

struct EFI_CPU_ARCH_PROTOCOL;
typedef EFI_STATUS(EFIAPI* EFI_CPU_REGISTER_INTERRUPT_HANDLER)(
    EFI_CPU_ARCH_PROTOCOL* This, EFI_EXCEPTION_TYPE InterruptType,
    EFI_CPU_INTERRUPT_HANDLER InterruptHandler);

struct EFI_CPU_ARCH_PROTOCOL {
  VOID* FlushDataCache;
  VOID* EnableInterrupt;
  VOID* DisableInterrupt;
  VOID* GetInterruptState;
  VOID* Init;
  EFI_CPU_REGISTER_INTERRUPT_HANDLER RegisterInterruptHandler;
  VOID* GetTimerValue;
  VOID* SetMemoryAttributes;
  UINT32 NumberOfTimers;
  UINT32 DmaBufferAlignment;
};
static_assert(offsetof(EFI_CPU_ARCH_PROTOCOL, RegisterInterruptHandler) == 40,
              "RegisterInterruptHandler slot");
