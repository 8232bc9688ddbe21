# The platform's build settings: cache values a platform engineer sets when configuring
# (cmake -DVESK_TIMER_VECTOR=0x41 ...), checked here before anything is built, and handed to the
# driver in one generated header, PlatformSettings.h. Included by the host build and the image
# build alike, before their project() call, so both check the same values the same way and a
# refusal comes before the compiler is even looked for.
#
# Any other VESK_ name in the cache is refused too, naming the closest known one: a mistyped
# setting must not build an image with the default in its place.
#
# Sets VESK_SETTINGS_INCLUDE_DIR (where the header is), VESK_SETTINGS (the names, in order) and
# VESK_SETTINGS_TEXT (one canonical NAME=value line per setting).

# The build's own VESK_ cache variables besides the settings: its switches and what it finds. A
# VESK_ option added to the build belongs here; a configure that meets one missing says so.
set(VESK_BUILD_OPTIONS
  VESK_SANITIZE VESK_BUILD_IMAGE VESK_COVERAGE VESK_BENCHMARKS VESK_IMAGE_DEBUG_INFO
  VESK_FIRMWARE_IMAGE VESK_PYTHON3)

set(VESK_TIMER_VECTOR 0x40 CACHE STRING "Interrupt vector of the timer, 0x20..0xFF")
set(VESK_DEFAULT_TIMER_PERIOD 1000000 CACHE STRING "First timer period in 100 ns units, 1..2^64-1")
set(VESK_TSC_FREQUENCY_TOKEN 7 CACHE STRING "Configuration database token of the TSC frequency")
set(VESK_DEBUG_UART_PORT 0x3F8 CACHE STRING "I/O port of the debug UART, 0..0xFFF8")
set(VESK_DEBUG_UART_BAUD 115200 CACHE STRING "Debug UART rate; must divide 115200 exactly")
option(VESK_DEBUG_MESSAGES "Write the driver's progress and error messages (not its assertions)" ON)
# tsc-deadline: the local APIC timer in TSC-deadline mode, or no timer where the processor lacks it;
# auto: TSC-deadline mode where the processor has it without an erratum, else one-shot mode;
# one-shot: one-shot mode always.
set(VESK_TIMER_MODE tsc-deadline CACHE STRING "How the timer ticks: tsc-deadline, auto or one-shot")
# The name of the driver's firmware file in a volume: a GUID made once for this driver alone.
# Platforms find and replace the driver by it, so it changes only for a platform's own fork.
set(VESK_DRIVER_FILE_GUID A3DEBDE2-D37C-48AC-8546-42859B647B5E CACHE STRING
  "The GUID that names the driver's firmware file, in registry format")
set(VESK_SETTINGS
  VESK_TIMER_VECTOR VESK_DEFAULT_TIMER_PERIOD VESK_TSC_FREQUENCY_TOKEN
  VESK_DEBUG_UART_PORT VESK_DEBUG_UART_BAUD VESK_DEBUG_MESSAGES VESK_TIMER_MODE VESK_DRIVER_FILE_GUID)

find_program(VESK_PYTHON3 python3 REQUIRED)
# The settings in their order, then every other VESK_ name given.
get_cmake_property(names_given CACHE_VARIABLES)
list(FILTER names_given INCLUDE REGEX "^VESK_")
list(REMOVE_ITEM names_given ${VESK_SETTINGS})
set(settings_given)
foreach(name IN LISTS VESK_SETTINGS names_given)
  list(APPEND settings_given "${name}=${${name}}")
endforeach()
list(JOIN VESK_BUILD_OPTIONS "," build_options)
execute_process(
  COMMAND ${VESK_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/platform_settings.py
          --build-options ${build_options} ${settings_given}
  OUTPUT_VARIABLE VESK_SETTINGS_TEXT ERROR_VARIABLE refusals RESULT_VARIABLE refused)
if(refused)
  # CMake saves its cache even after a failed configure: a name that means nothing must not stay
  # in it and be refused again on every later configure of this folder.
  list(REMOVE_ITEM names_given ${VESK_BUILD_OPTIONS})
  foreach(name IN LISTS names_given)
    unset(${name} CACHE)
  endforeach()
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

# The timer mode as the driver's sources name it.
if(VESK_TIMER_MODE_VALUE STREQUAL "tsc-deadline")
  set(VESK_TIMER_MODE_NAME TscDeadline)
elseif(VESK_TIMER_MODE_VALUE STREQUAL "auto")
  set(VESK_TIMER_MODE_NAME Auto)
else()
  set(VESK_TIMER_MODE_NAME OneShot)
endif()

set(VESK_SETTINGS_INCLUDE_DIR ${CMAKE_BINARY_DIR}/settings)
configure_file(${CMAKE_CURRENT_LIST_DIR}/PlatformSettings.h.in
  ${VESK_SETTINGS_INCLUDE_DIR}/PlatformSettings.h @ONLY)
# Run the check again when the checker changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/platform_settings.py)

# At the end of the configure, every VESK_ cache variable must be a setting or a build option:
# one the build declared without listing it would be refused the first time someone sets it.
function(vesk_check_build_options_listed)
  get_cmake_property(declared CACHE_VARIABLES)
  list(FILTER declared INCLUDE REGEX "^VESK_")
  list(REMOVE_ITEM declared ${VESK_SETTINGS} ${VESK_BUILD_OPTIONS})
  if(declared)
    foreach(name IN LISTS declared)
      unset(${name} CACHE)
    endforeach()
    message(FATAL_ERROR "${declared}: declared by the build but missing from VESK_BUILD_OPTIONS "
                        "in cmake/PlatformSettings.cmake")
  endif()
endfunction()
cmake_language(DEFER CALL vesk_check_build_options_listed)
