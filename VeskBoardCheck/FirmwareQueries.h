// What the board check asks of the firmware. Each query copes with firmware that lacks the service
// or the protocol, and says so in its answer.
#pragma once

#include "UefiDefinitions/UefiSystemTable.h"
#include "VeskBoardCheck/Decisions.h"

// The interface installed for Guid, or null when there is none (or no way to ask).
VOID* LocateInterface(EFI_BOOT_SERVICES* BootServices, const EFI_GUID& Guid);

struct LoadOptionsText {
  const CHAR16* Text; // null when there are none
  UINT64 Size;        // in bytes
};
// The options the image was started with, from the Loaded Image protocol on its handle.
LoadOptionsText ReadLoadOptions(EFI_BOOT_SERVICES* BootServices, EFI_HANDLE ImageHandle);

// The configuration database's answer for Token; a database that answers 0 does not know it.
struct PcdReading {
  PcdAnswer Answer;
  UINT32 Hz;
};
PcdReading ReadPcdRate(EFI_BOOT_SERVICES* BootServices, UINT64 Token);

// The platform's present timer, when a Timer Architectural Protocol is installed.
enum class PresentTimer : UINT8 { None, PeriodGiven, PeriodRefused };
struct PresentTimerReading {
  PresentTimer Found;
  UINT64 Period; // 100 ns units
};
PresentTimerReading ReadPresentTimer(EFI_BOOT_SERVICES* BootServices);
