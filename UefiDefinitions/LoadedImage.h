// The Loaded Image protocol the firmware puts on every image's handle: where the image lies and the
// options it was started with.
#pragma once

#include "UefiDefinitions/UefiSystemTable.h"

inline constexpr EFI_GUID gEfiLoadedImageProtocolGuid = {
    0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

struct EFI_LOADED_IMAGE_PROTOCOL {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE* SystemTable;
  EFI_HANDLE DeviceHandle;
  VOID* FilePath;
  VOID* Reserved;
  // In bytes. UCS-2 text from a shell or a boot option, not necessarily ended by a zero within it.
  UINT32 LoadOptionsSize;
  VOID* LoadOptions;
  VOID* ImageBase;
  UINT64 ImageSize;
  UINT32 ImageCodeType;
  UINT32 ImageDataType;
  VOID* Unload;
};
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, LoadOptionsSize) == 48 &&
                  offsetof(EFI_LOADED_IMAGE_PROTOCOL, LoadOptions) == 56,
              "load options slots");
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageSize) == 72 &&
                  offsetof(EFI_LOADED_IMAGE_PROTOCOL, Unload) == 88,
              "image slots");
static_assert(sizeof(EFI_LOADED_IMAGE_PROTOCOL) == 96, "EFI_LOADED_IMAGE_PROTOCOL size");
