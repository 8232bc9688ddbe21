# The firmware images: the driver, a freestanding PE32+ EFI boot-service driver linked by lld-link,
# and beside it the same link with its DWARF debug information, for turning fault addresses into
# source lines; and the board check, an EFI application linked from the same library objects.
find_program(LLD_LINK NAMES lld-link lld-link-14 REQUIRED)

set(IMAGE_NAME VeskLapicTimerDxe)
set(BOARD_CHECK_NAME VeskBoardCheck)
option(VESK_IMAGE_DEBUG_INFO "Also link the image with its debug information beside it" ON)

# Debug information does not change the generated code; it only ever reaches the debug file. The
# prefix maps keep the build's folders out of it, so that it is as reproducible as the image.
set(IMAGE_COMPILE_OPTIONS
  ${DRIVER_COMMON_FLAGS}
  -std=c++20 -Oz -flto
  -ffreestanding -nostdlib -fno-threadsafe-statics
  -fno-asynchronous-unwind-tables -fno-unwind-tables
  -mno-red-zone -mgeneral-regs-only -mno-stack-arg-probe
  -Werror=global-constructors -Werror=exit-time-destructors
  -gdwarf-4 -fdebug-prefix-map=${CMAKE_BINARY_DIR}=. -fdebug-prefix-map=${CMAKE_SOURCE_DIR}/=)

add_library(DriverImageObjects OBJECT
  ${DRIVER_SOURCES} ${CMAKE_SOURCE_DIR}/HardwareAccess/RealInstructions.cpp)
target_include_directories(DriverImageObjects PRIVATE ${CMAKE_SOURCE_DIR} ${VESK_SETTINGS_INCLUDE_DIR})
target_compile_options(DriverImageObjects PRIVATE ${IMAGE_COMPILE_OPTIONS})

# Optimised for size across the whole image at link time. Sections keep their 4 KiB alignment in
# memory, so the firmware can protect each one, but are packed tightly in the file. A fixed time
# stamp instead of /Brepro: the same bytes every build, without a debug directory in the image.
# The linker map prints that stamp as a local time: UTC makes the map the same everywhere too.
# Each image names its subsystem and entry point in its own link options.
set(CMAKE_CXX_LINK_EXECUTABLE
  "${CMAKE_COMMAND} -E env TZ=UTC ${LLD_LINK} /nologo /nodefaultlib /base:0 /timestamp:0 /opt:ref /filealign:32 <LINK_FLAGS> <OBJECTS> /out:<TARGET>")
set(DRIVER_LINK_OPTIONS /subsystem:efi_boot_service_driver /entry:LapicTimerDriverEntry)

# The settings the image is built with, beside it, for the ROM that carries it and for a release:
# one NAME=value line each, in canonical form (cmake/platform_settings.py). Rewritten only when they
# change.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/${IMAGE_NAME}.settings CONTENT "${VESK_SETTINGS_TEXT}" @ONLY)

add_executable(${IMAGE_NAME} $<TARGET_OBJECTS:DriverImageObjects>)
set_target_properties(${IMAGE_NAME} PROPERTIES SUFFIX ".efi" LINKER_LANGUAGE CXX)
target_link_options(${IMAGE_NAME} PRIVATE ${DRIVER_LINK_OPTIONS} /map:${CMAKE_BINARY_DIR}/${IMAGE_NAME}.map)

# What each image may take on disk. A driver that may tick in one-shot mode carries the errata
# table, the rate measurement and the arming of counts besides TSC-deadline mode.
# Kept in the cache, where Tools/size-report.sh reads them.
set(DRIVER_IMAGE_BUDGET 8192 CACHE INTERNAL "")
if(NOT VESK_TIMER_MODE_VALUE STREQUAL "tsc-deadline")
  set(DRIVER_IMAGE_BUDGET 10240 CACHE INTERNAL "")
endif()
set(BOARD_CHECK_IMAGE_BUDGET 20480 CACHE INTERNAL "")
function(vesk_check_image_size target budget)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DIMAGE=$<TARGET_FILE:${target}> -DBUDGET=${budget}
            -P ${CMAKE_SOURCE_DIR}/cmake/CheckImageSize.cmake)
endfunction()
vesk_check_image_size(${IMAGE_NAME} ${DRIVER_IMAGE_BUDGET})

# The same objects linked once more with their DWARF sections. Its loaded sections are the
# image's (its read-only data only gains the debug directory at the end), so its addresses are
# the image's addresses.
if(VESK_IMAGE_DEBUG_INFO)
  add_executable(${IMAGE_NAME}DebugInfo $<TARGET_OBJECTS:DriverImageObjects>)
  set_target_properties(${IMAGE_NAME}DebugInfo PROPERTIES
    OUTPUT_NAME ${IMAGE_NAME} SUFFIX ".debug" LINKER_LANGUAGE CXX)
  target_link_options(${IMAGE_NAME}DebugInfo PRIVATE ${DRIVER_LINK_OPTIONS} /debug:dwarf /ignore:longsections)
endif()

# The board check: its own sources and the driver's library and hardware objects, the very objects
# the driver is linked from, without the driver's own.
add_library(BoardCheckImageObjects OBJECT ${BOARD_CHECK_SOURCES})
target_include_directories(BoardCheckImageObjects PRIVATE ${CMAKE_SOURCE_DIR} ${VESK_SETTINGS_INCLUDE_DIR})
target_compile_options(BoardCheckImageObjects PRIVATE ${IMAGE_COMPILE_OPTIONS})
add_executable(${BOARD_CHECK_NAME}
  $<FILTER:$<TARGET_OBJECTS:DriverImageObjects>,EXCLUDE,/VeskLapicTimerDxe/>
  $<TARGET_OBJECTS:BoardCheckImageObjects>)
add_dependencies(${BOARD_CHECK_NAME} DriverImageObjects)
set_target_properties(${BOARD_CHECK_NAME} PROPERTIES SUFFIX ".efi" LINKER_LANGUAGE CXX)
target_link_options(${BOARD_CHECK_NAME} PRIVATE /subsystem:efi_application /entry:BoardCheckEntry
  /map:${CMAKE_BINARY_DIR}/${BOARD_CHECK_NAME}.map)
vesk_check_image_size(${BOARD_CHECK_NAME} ${BOARD_CHECK_IMAGE_BUDGET})

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
