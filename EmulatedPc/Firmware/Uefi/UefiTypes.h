// The firmware side of the UEFI base types: what the driver image expects to receive from the
// firmware, laid out as the x64 binding of the interface defines it.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace Uefi {

using Status = uint64_t;
using Handle = void*;
using Tpl = uint64_t;

// Every service crossing the firmware/driver boundary uses the Microsoft x64 convention.
#define FIRMWARE_API __attribute__((ms_abi))

constexpr Status ERROR_BIT = 0x8000000000000000ULL;
constexpr Status SUCCESS = 0;
constexpr Status INVALID_PARAMETER = ERROR_BIT | 2;
constexpr Status UNSUPPORTED = ERROR_BIT | 3;
constexpr Status DEVICE_ERROR = ERROR_BIT | 7;
constexpr Status OUT_OF_RESOURCES = ERROR_BIT | 9;
constexpr Status NOT_FOUND = ERROR_BIT | 14;
constexpr Status ALREADY_STARTED = ERROR_BIT | 20;

constexpr bool IsError(Status Value) {
  return (Value & ERROR_BIT) != 0;
}

constexpr Tpl TPL_APPLICATION = 4;
constexpr Tpl TPL_CALLBACK = 8;
constexpr Tpl TPL_NOTIFY = 16;
constexpr Tpl TPL_HIGH_LEVEL = 31;

struct Guid {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(Guid) == 16, "a GUID is 16 bytes");
static_assert(offsetof(Guid, Data2) == 4 && offsetof(Guid, Data3) == 6 &&
                  offsetof(Guid, Data4) == 8,
              "GUID field offsets");

inline bool SameGuid(const Guid& Left, const Guid& Right) {
  const auto* A = reinterpret_cast<const uint8_t*>(&Left);
  const auto* B = reinterpret_cast<const uint8_t*>(&Right);
  for (size_t Index = 0; Index < sizeof(Guid); ++Index) {
    if (A[Index] != B[Index]) {
      return false;
    }
  }
  return true;
}

// Header shared by the system table and the service tables.
struct TableHeader {
  uint64_t Signature;
  uint32_t Revision;
  uint32_t HeaderSize;
  uint32_t Crc32;
  uint32_t Reserved;
};
static_assert(sizeof(TableHeader) == 24, "table header is 24 bytes");

constexpr uint32_t REVISION_2_70 = (2u << 16) | 70u;

} // namespace Uefi
