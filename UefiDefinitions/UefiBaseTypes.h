// Basic UEFI data types, status codes and the firmware calling convention.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int8_t INT8;
typedef int16_t INT16;
typedef int32_t INT32;
typedef int64_t INT64;
typedef uint64_t UINTN;
typedef int64_t INTN;
typedef char CHAR8;
typedef char16_t CHAR16;
typedef unsigned char BOOLEAN;
typedef void VOID;

constexpr BOOLEAN TRUE = 1;
constexpr BOOLEAN FALSE = 0;

// Every service the firmware calls, and every service of the firmware we call, uses the
// Microsoft x64 calling convention, whatever the build.
#define EFIAPI __attribute__((ms_abi))

typedef UINTN EFI_STATUS;
typedef VOID* EFI_HANDLE;
typedef UINTN EFI_TPL;

constexpr UINT64 EFI_ERROR_BIT = 0x8000000000000000ULL;

constexpr EFI_STATUS EFI_SUCCESS = 0;
constexpr EFI_STATUS EFI_INVALID_PARAMETER = EFI_ERROR_BIT | 2;
constexpr EFI_STATUS EFI_UNSUPPORTED = EFI_ERROR_BIT | 3;
constexpr EFI_STATUS EFI_DEVICE_ERROR = EFI_ERROR_BIT | 7;
constexpr EFI_STATUS EFI_NOT_FOUND = EFI_ERROR_BIT | 14;
constexpr EFI_STATUS EFI_ALREADY_STARTED = EFI_ERROR_BIT | 20;

// A status is an error when its top bit is set; warnings are positive and count as success.
constexpr bool EFI_ERROR(EFI_STATUS Status) {
  return (Status & EFI_ERROR_BIT) != 0;
}

constexpr EFI_TPL TPL_APPLICATION = 4;
constexpr EFI_TPL TPL_CALLBACK = 8;
constexpr EFI_TPL TPL_NOTIFY = 16;
constexpr EFI_TPL TPL_HIGH_LEVEL = 31;

struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16, "EFI_GUID is 16 bytes");
static_assert(offsetof(EFI_GUID, Data2) == 4 && offsetof(EFI_GUID, Data3) == 6 &&
                  offsetof(EFI_GUID, Data4) == 8,
              "EFI_GUID field offsets");

struct EFI_TIME {
  UINT16 Year;
  UINT8 Month;
  UINT8 Day;
  UINT8 Hour;
  UINT8 Minute;
  UINT8 Second;
  UINT8 Pad1;
  UINT32 Nanosecond;
  INT16 TimeZone;
  UINT8 Daylight;
  UINT8 Pad2;
};
static_assert(sizeof(EFI_TIME) == 16, "EFI_TIME is 16 bytes");
static_assert(offsetof(EFI_TIME, Month) == 2 && offsetof(EFI_TIME, Day) == 3 &&
                  offsetof(EFI_TIME, Hour) == 4 && offsetof(EFI_TIME, Minute) == 5 &&
                  offsetof(EFI_TIME, Nanosecond) == 8 && offsetof(EFI_TIME, TimeZone) == 12,
              "EFI_TIME field offsets");
