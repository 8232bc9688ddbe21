// What an application finds beside the boot services: the Loaded Image protocol on its own image
// handle, with the options it was started with, and the console in the system table.
#pragma once

#include "Uefi/UefiTypes.h"

namespace Uefi {

// ---- Loaded Image protocol ----
constexpr Guid LOADED_IMAGE_PROTOCOL_GUID = {
    0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
constexpr uint32_t LOADED_IMAGE_REVISION = 0x1000;
// The memory types of an application's code and data.
constexpr uint32_t MEMORY_LOADER_CODE = 1;
constexpr uint32_t MEMORY_LOADER_DATA = 2;

struct LoadedImageProtocol {
  uint32_t Revision;
  Handle ParentHandle;
  void* SystemTable;
  Handle DeviceHandle;
  void* FilePath;
  void* Reserved;
  uint32_t LoadOptionsSize; // bytes
  void* LoadOptions;
  void* ImageBase;
  uint64_t ImageSize;
  uint32_t ImageCodeType;
  uint32_t ImageDataType;
  void* Unload;
};
static_assert(offsetof(LoadedImageProtocol, LoadOptionsSize) == 48 &&
                  offsetof(LoadedImageProtocol, LoadOptions) == 56 &&
                  offsetof(LoadedImageProtocol, ImageSize) == 72 &&
                  offsetof(LoadedImageProtocol, Unload) == 88,
              "loaded image protocol layout");
static_assert(sizeof(LoadedImageProtocol) == 96, "loaded image protocol size");

// ---- Simple Text Output protocol ----
constexpr Guid SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID = {
    0x387477C2, 0x69C7, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

struct SimpleTextOutputMode {
  int32_t MaxMode;
  int32_t Mode;
  int32_t Attribute;
  int32_t CursorColumn;
  int32_t CursorRow;
  uint8_t CursorVisible;
};
static_assert(sizeof(SimpleTextOutputMode) == 24, "text output mode size");

struct SimpleTextOutputProtocol;
using TextOutputStringFn = Status(FIRMWARE_API*)(SimpleTextOutputProtocol* This,
                                                 const char16_t* String);

// Reset, OutputString, TestString, QueryMode, SetMode, SetAttribute, ClearScreen,
// SetCursorPosition, EnableCursor, then the mode. Only OutputString is typed: this console
// offers nothing else.
struct SimpleTextOutputProtocol {
  void* Reset;
  TextOutputStringFn OutputString;
  void* Others[7];
  SimpleTextOutputMode* Mode;
};
static_assert(offsetof(SimpleTextOutputProtocol, OutputString) == 8 &&
                  offsetof(SimpleTextOutputProtocol, Mode) == 72,
              "text output protocol layout");

} // namespace Uefi
