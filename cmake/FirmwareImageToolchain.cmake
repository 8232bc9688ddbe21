# Cross-compiles the driver into COFF objects for x86-64. The Cygwin flavour of the Windows target
# keeps the Microsoft x64 calling convention and COFF output, and its stack protector copies a
# global guard value into the frame as it is (the MSVC flavours mix the stack pointer into it).
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET x86_64-pc-windows-cygnus)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(VESK_FIRMWARE_IMAGE ON)
