// The protocols the firmware offers to the timer driver, and the one the driver installs.
#pragma once

#include "Uefi/UefiTypes.h"

namespace Uefi {

// ---- CPU Architectural Protocol ----
constexpr Guid CPU_ARCH_PROTOCOL_GUID = {
    0x26BACCB1, 0x6F42, 0x11D4, {0xBC, 0xE7, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}};

using ExceptionType = int64_t;
// The handler gets a pointer to the interrupted context; this firmware passes its own saved frame.
using InterruptHandlerFn = void(FIRMWARE_API*)(ExceptionType InterruptType, void* SystemContext);

struct CpuArchProtocol;
using CpuFlushDataCacheFn = Status(FIRMWARE_API*)(CpuArchProtocol* This, uint64_t Start,
                                                  uint64_t Length, uint32_t FlushType);
using CpuInterruptSwitchFn = Status(FIRMWARE_API*)(CpuArchProtocol* This);
using CpuGetInterruptStateFn = Status(FIRMWARE_API*)(CpuArchProtocol* This, uint8_t* State);
using CpuInitFn = Status(FIRMWARE_API*)(CpuArchProtocol* This, uint32_t InitType);
using CpuRegisterInterruptHandlerFn = Status(FIRMWARE_API*)(CpuArchProtocol* This,
                                                            ExceptionType InterruptType,
                                                            InterruptHandlerFn Handler);
using CpuGetTimerValueFn = Status(FIRMWARE_API*)(CpuArchProtocol* This, uint32_t TimerIndex,
                                                 uint64_t* TimerValue, uint64_t* TimerPeriod);
using CpuSetMemoryAttributesFn = Status(FIRMWARE_API*)(CpuArchProtocol* This, uint64_t Base,
                                                       uint64_t Length, uint64_t Attributes);

struct CpuArchProtocol {
  CpuFlushDataCacheFn FlushDataCache;
  CpuInterruptSwitchFn EnableInterrupt;
  CpuInterruptSwitchFn DisableInterrupt;
  CpuGetInterruptStateFn GetInterruptState;
  CpuInitFn Init;
  CpuRegisterInterruptHandlerFn RegisterInterruptHandler;
  CpuGetTimerValueFn GetTimerValue;
  CpuSetMemoryAttributesFn SetMemoryAttributes;
  uint32_t NumberOfTimers;
  uint32_t DmaBufferAlignment;
};
static_assert(offsetof(CpuArchProtocol, RegisterInterruptHandler) == 40,
              "RegisterInterruptHandler is the sixth member");
static_assert(sizeof(CpuArchProtocol) == 72, "CPU protocol size");

// ---- Timer Architectural Protocol ----
constexpr Guid TIMER_ARCH_PROTOCOL_GUID = {
    0x26BACCB3, 0x6F42, 0x11D4, {0xBC, 0xE7, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}};

struct TimerArchProtocol;
using TimerNotifyFn = void(FIRMWARE_API*)(uint64_t Time);
using TimerRegisterHandlerFn = Status(FIRMWARE_API*)(TimerArchProtocol* This,
                                                     TimerNotifyFn NotifyFunction);
using TimerSetPeriodFn = Status(FIRMWARE_API*)(TimerArchProtocol* This, uint64_t TimerPeriod);
using TimerGetPeriodFn = Status(FIRMWARE_API*)(TimerArchProtocol* This, uint64_t* TimerPeriod);
using TimerSoftInterruptFn = Status(FIRMWARE_API*)(TimerArchProtocol* This);

struct TimerArchProtocol {
  TimerRegisterHandlerFn RegisterHandler;
  TimerSetPeriodFn SetTimerPeriod;
  TimerGetPeriodFn GetTimerPeriod;
  TimerSoftInterruptFn GenerateSoftInterrupt;
};
static_assert(sizeof(TimerArchProtocol) == 32, "timer protocol is four service pointers");

// ---- Platform configuration database ----
constexpr Guid PCD_PROTOCOL_GUID = {
    0x11B34006, 0xD85B, 0x4D0A, {0xA2, 0x90, 0xD5, 0xA5, 0x71, 0x31, 0x0E, 0xF7}};

using PcdGet8Fn = uint8_t(FIRMWARE_API*)(uint64_t TokenNumber);
using PcdGet16Fn = uint16_t(FIRMWARE_API*)(uint64_t TokenNumber);
using PcdGet32Fn = uint32_t(FIRMWARE_API*)(uint64_t TokenNumber);
using PcdGet64Fn = uint64_t(FIRMWARE_API*)(uint64_t TokenNumber);

// The table opens with the SKU selector and the 8-, 16-, 32- and 64-bit readers by token number.
struct PcdProtocol {
  void* SetSku;
  PcdGet8Fn Get8;
  PcdGet16Fn Get16;
  PcdGet32Fn Get32;
  PcdGet64Fn Get64;
};
static_assert(offsetof(PcdProtocol, Get32) == 24, "Get32 is the fourth entry");

} // namespace Uefi
