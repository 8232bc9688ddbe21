// The platform configuration database protocol. The driver reads one 32-bit value through the
// fourth entry of its function table; the entries after it are not used and not described here.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

inline constexpr EFI_GUID gPcdProtocolGuid = {
    0x11B34006, 0xD85B, 0x4D0A, {0xA2, 0x90, 0xD5, 0xA5, 0x71, 0x31, 0x0E, 0xF7}};

typedef UINT32(EFIAPI* PCD_PROTOCOL_GET32)(UINTN TokenNumber);

struct PCD_PROTOCOL {
  VOID* SetSku;
  VOID* Get8;
  VOID* Get16;
  PCD_PROTOCOL_GET32 Get32;
};
static_assert(offsetof(PCD_PROTOCOL, Get32) == 24, "Get32 is the fourth entry");
