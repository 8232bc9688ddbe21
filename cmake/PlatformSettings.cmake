# The platform's build settings: cache values a platform engineer sets when configuring
# (cmake -DVESK_TIMER_VECTOR=0x41 ...), checked here before anything is built, and handed to the
# driver in one generated header, PlatformSettings.h. Included by the host build and the image
# build alike, so both check the same values the same way.
#
# Sets VESK_SETTINGS_INCLUDE_DIR (where the header is), VESK_SETTINGS (the names, in order) and
# VESK_SETTINGS_TEXT (one canonical NAME=value line per setting).

set(VESK_TIMER_VECTOR 0x40 CACHE STRING "Interrupt vector of the timer, 0x20..0xFF")
set(VESK_DEFAULT_TIMER_PERIOD 1000000 CACHE STRING "First timer period in 100 ns units, 1..2^64-1")
set(VESK_TSC_FREQUENCY_TOKEN 7 CACHE STRING "Configuration database token of the TSC frequency")
set(VESK_DEBUG_UART_PORT 0x3F8 CACHE STRING "I/O port of the debug UART, 0..0xFFF8")
set(VESK_DEBUG_UART_BAUD 115200 CACHE STRING "Debug UART rate; must divide 115200 exactly")
option(VESK_DEBUG_MESSAGES "Write the driver's progress and error messages (not its assertions)" ON)
# The name of the driver's firmware file in a volume: a GUID made once for this driver alone.
# Platforms find and replace the driver by it, so it changes only for a platform's own fork.
set(VESK_DRIVER_FILE_GUID A3DEBDE2-D37C-48AC-8546-42859B647B5E CACHE STRING
  "The GUID that names the driver's firmware file, in registry format")
set(VESK_SETTINGS
  VESK_TIMER_VECTOR VESK_DEFAULT_TIMER_PERIOD VESK_TSC_FREQUENCY_TOKEN
  VESK_DEBUG_UART_PORT VESK_DEBUG_UART_BAUD VESK_DEBUG_MESSAGES VESK_DRIVER_FILE_GUID)

find_program(VESK_PYTHON3 python3 REQUIRED)
set(settings_given)
foreach(setting IN LISTS VESK_SETTINGS)
  list(APPEND settings_given "${setting}=${${setting}}")
endforeach()
execute_process(
  COMMAND ${VESK_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/platform_settings.py ${settings_given}
  OUTPUT_VARIABLE VESK_SETTINGS_TEXT ERROR_VARIABLE refusals RESULT_VARIABLE refused)
if(refused)
  # Indented, so that CMake prints each line as it is instead of wrapping it.
  string(STRIP "${refusals}" refusals)
  string(REPLACE "\n" "\n  " refusals "  ${refusals}")
  message(FATAL_ERROR "Platform settings refused:\n${refusals}")
endif()

# The canonical forms, as VESK_..._VALUE, for the header.
string(REGEX MATCHALL "[^\n]+" canonical_lines "${VESK_SETTINGS_TEXT}")
foreach(line IN LISTS canonical_lines)
  string(REGEX MATCH "^([A-Z0-9_]+)=(.*)$" _ "${line}")
  set(${CMAKE_MATCH_1}_VALUE "${CMAKE_MATCH_2}")
endforeach()
if(VESK_DEBUG_MESSAGES_VALUE STREQUAL "ON")
  set(VESK_DEBUG_MESSAGES_VALUE TRUE)
else()
  set(VESK_DEBUG_MESSAGES_VALUE FALSE)
endif()

set(VESK_SETTINGS_INCLUDE_DIR ${CMAKE_BINARY_DIR}/settings)
configure_file(${CMAKE_CURRENT_LIST_DIR}/PlatformSettings.h.in
  ${VESK_SETTINGS_INCLUDE_DIR}/PlatformSettings.h @ONLY)
# Run the check again when the checker changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/platform_settings.py)
