# The firmware image: a freestanding PE32+ EFI boot-service driver linked by lld-link.
find_program(LLD_LINK NAMES lld-link lld-link-14 REQUIRED)

set(IMAGE_NAME VeskLapicTimerDxe)
add_executable(${IMAGE_NAME} ${DRIVER_SOURCES} ${CMAKE_SOURCE_DIR}/HardwareAccess/RealInstructions.cpp)
target_include_directories(${IMAGE_NAME} PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(${IMAGE_NAME} PRIVATE
  ${DRIVER_COMMON_FLAGS}
  -std=c++20 -Oz -flto
  -ffreestanding -nostdlib -fno-threadsafe-statics
  -fno-asynchronous-unwind-tables -fno-unwind-tables
  -mno-red-zone -mgeneral-regs-only -mno-stack-arg-probe
  -Werror=global-constructors -Werror=exit-time-destructors)

set(MAP_FILE ${CMAKE_BINARY_DIR}/${IMAGE_NAME}.map)
set_target_properties(${IMAGE_NAME} PROPERTIES SUFFIX ".efi" LINKER_LANGUAGE CXX)
# Optimised for size across the whole image at link time. Sections keep their 4 KiB alignment in
# memory, so the firmware can protect each one, but are packed tightly in the file.
set(CMAKE_CXX_LINK_EXECUTABLE
  "${LLD_LINK} /nologo /nodefaultlib /subsystem:efi_boot_service_driver /entry:LapicTimerDriverEntry /base:0 /Brepro /opt:ref /filealign:32 /map:${MAP_FILE} <OBJECTS> /out:<TARGET>")
