# The firmware image: a freestanding PE32+ EFI boot-service driver linked by lld-link, and beside it
# the same link with its DWARF debug information, for turning fault addresses into source lines.
find_program(LLD_LINK NAMES lld-link lld-link-14 REQUIRED)

set(IMAGE_NAME VeskLapicTimerDxe)
option(VESK_IMAGE_DEBUG_INFO "Also link the image with its debug information beside it" ON)

add_library(DriverImageObjects OBJECT
  ${DRIVER_SOURCES} ${CMAKE_SOURCE_DIR}/HardwareAccess/RealInstructions.cpp)
target_include_directories(DriverImageObjects PRIVATE ${CMAKE_SOURCE_DIR} ${VESK_SETTINGS_INCLUDE_DIR})
# Debug information does not change the generated code; it only ever reaches the debug file. The
# prefix maps keep the build's folders out of it, so that it is as reproducible as the image.
target_compile_options(DriverImageObjects PRIVATE
  ${DRIVER_COMMON_FLAGS}
  -std=c++20 -Oz -flto
  -ffreestanding -nostdlib -fno-threadsafe-statics
  -fno-asynchronous-unwind-tables -fno-unwind-tables
  -mno-red-zone -mgeneral-regs-only -mno-stack-arg-probe
  -Werror=global-constructors -Werror=exit-time-destructors
  -gdwarf-4 -fdebug-prefix-map=${CMAKE_BINARY_DIR}=. -fdebug-prefix-map=${CMAKE_SOURCE_DIR}/=)

# Optimised for size across the whole image at link time. Sections keep their 4 KiB alignment in
# memory, so the firmware can protect each one, but are packed tightly in the file. A fixed time
# stamp instead of /Brepro: the same bytes every build, without a debug directory in the image.
# The linker map prints that stamp as a local time: UTC makes the map the same everywhere too.
set(CMAKE_CXX_LINK_EXECUTABLE
  "${CMAKE_COMMAND} -E env TZ=UTC ${LLD_LINK} /nologo /nodefaultlib /subsystem:efi_boot_service_driver /entry:LapicTimerDriverEntry /base:0 /timestamp:0 /opt:ref /filealign:32 <LINK_FLAGS> <OBJECTS> /out:<TARGET>")

# The settings the image is built with, beside it, for the ROM that carries it and for a release:
# one NAME=value line each, in canonical form (cmake/platform_settings.py). Rewritten only when they
# change.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/${IMAGE_NAME}.settings CONTENT "${VESK_SETTINGS_TEXT}" @ONLY)

add_executable(${IMAGE_NAME} $<TARGET_OBJECTS:DriverImageObjects>)
set_target_properties(${IMAGE_NAME} PROPERTIES SUFFIX ".efi" LINKER_LANGUAGE CXX)
target_link_options(${IMAGE_NAME} PRIVATE /map:${CMAKE_BINARY_DIR}/${IMAGE_NAME}.map)

# The same objects linked once more with their DWARF sections. Its loaded sections are the
# image's (its read-only data only gains the debug directory at the end), so its addresses are
# the image's addresses.
if(VESK_IMAGE_DEBUG_INFO)
  add_executable(${IMAGE_NAME}DebugInfo $<TARGET_OBJECTS:DriverImageObjects>)
  set_target_properties(${IMAGE_NAME}DebugInfo PROPERTIES
    OUTPUT_NAME ${IMAGE_NAME} SUFFIX ".debug" LINKER_LANGUAGE CXX)
  target_link_options(${IMAGE_NAME}DebugInfo PRIVATE /debug:dwarf /ignore:longsections)
endif()

# The image packed for a firmware volume: its dependency expression, its firmware file and a
# volume holding that file, written beside it by our packager. The packager runs on this machine,
# so it is built apart, with the host's compiler instead of this build's cross toolchain.
include(ExternalProject)
set(PACKAGER_BINARY_DIR ${CMAKE_BINARY_DIR}/FirmwareFilePackager)
ExternalProject_Add(FirmwareFilePackager
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/FirmwareFilePackager
  BINARY_DIR ${PACKAGER_BINARY_DIR}
  CMAKE_ARGS -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${PACKAGER_BINARY_DIR}/FirmwareFilePackager)

set(FILE_STEM ${CMAKE_BINARY_DIR}/${IMAGE_NAME})
add_custom_command(
  OUTPUT ${FILE_STEM}.depex ${FILE_STEM}.ffs ${FILE_STEM}.fv
  COMMAND ${PACKAGER_BINARY_DIR}/FirmwareFilePackager $<TARGET_FILE:${IMAGE_NAME}>
          ${VESK_DRIVER_FILE_GUID_VALUE} ${IMAGE_NAME} ${FILE_STEM}
  DEPENDS ${IMAGE_NAME} FirmwareFilePackager ${PACKAGER_BINARY_DIR}/FirmwareFilePackager
  COMMENT "Packing ${IMAGE_NAME}.efi into its depex, firmware file and firmware volume")
add_custom_target(${IMAGE_NAME}FirmwareFiles ALL
  DEPENDS ${FILE_STEM}.depex ${FILE_STEM}.ffs ${FILE_STEM}.fv)
