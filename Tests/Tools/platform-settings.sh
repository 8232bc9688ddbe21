#!/usr/bin/env bash
# The platform settings are checked when the image build is configured: a value that cannot work
# stops cmake with a message that names the setting, the value and what is accepted. The extreme
# values that can work, in decimal or hex, reach the settings file in canonical form and build an
# image within its budget (the build checks it); with the messages off it keeps its assertion and
# stack-fault reports only.
#   platform-settings.sh
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build=$work/build
configure() { # settings... ; each run starts again from the defaults
  cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -U 'VESK_*' \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/FirmwareImageToolchain.cmake" "$@" >/dev/null 2>"$work/err"
}

status=0
for refused in VESK_TIMER_VECTOR=0x1F VESK_TIMER_VECTOR=0x100 VESK_DEFAULT_TIMER_PERIOD=0 \
  VESK_DEFAULT_TIMER_PERIOD=18446744073709551616 VESK_DEFAULT_TIMER_PERIOD=-1 \
  VESK_TSC_FREQUENCY_TOKEN=0x100000000 VESK_TSC_FREQUENCY_TOKEN=007 VESK_DEBUG_UART_PORT=COM1 \
  VESK_DEBUG_UART_PORT=0xFFF9 VESK_DEBUG_UART_BAUD=7 VESK_DEBUG_UART_BAUD=1 VESK_DEBUG_MESSAGES=maybe \
  VESK_TIMER_MODE=periodic \
  VESK_DRIVER_FILE_GUID=A3DEBDE2-D37C-48AC-8546-42859B647B5 VESK_DRIVER_FILE_GUID={A3DEBDE2-D37C-48AC-8546-42859B647B5E}; do
  if configure "-D$refused"; then
    echo "FAIL: $refused accepted"; status=1
  elif ! grep -qF "${refused%%=*}='${refused#*=}' cannot be used: accepted is" "$work/err"; then
    echo "FAIL: $refused refused without saying so:"; cat "$work/err"; status=1
  fi
done

configure -DVESK_TIMER_VECTOR=255 -DVESK_DEFAULT_TIMER_PERIOD=18446744073709551615 \
  -DVESK_TSC_FREQUENCY_TOKEN=0xffffffff -DVESK_DEBUG_UART_PORT=65528 -DVESK_DEBUG_UART_BAUD=2 \
  -DVESK_DEBUG_MESSAGES=off -DVESK_TIMER_MODE=One-Shot -DVESK_DRIVER_FILE_GUID=0123abcd-4567-89ab-cdef-0123456789ab || { cat "$work/err"; exit 1; }
cmake --build "$build" >"$work/build.log" 2>&1 || { tail -n 30 "$work/build.log"; exit 1; }
printf '%s\n' VESK_TIMER_VECTOR=0xFF VESK_DEFAULT_TIMER_PERIOD=18446744073709551615 \
  VESK_TSC_FREQUENCY_TOKEN=4294967295 VESK_DEBUG_UART_PORT=0xFFF8 VESK_DEBUG_UART_BAUD=2 \
  VESK_DEBUG_MESSAGES=OFF VESK_TIMER_MODE=one-shot VESK_DRIVER_FILE_GUID=0123ABCD-4567-89AB-CDEF-0123456789AB | diff - "$build/VeskLapicTimerDxe.settings" || status=1
image=$build/VeskLapicTimerDxe.efi
for text in "Initializing LAPIC Timer Driver" "Unload LAPIC timer driver" "ASSERT_EFI_ERROR"; do
  ! grep -qaF "$text" "$image" || { echo "FAIL: '$text' is in an image without messages"; status=1; }
done
for text in "ASSERT [%a] %a(%d): %a" "STACK FAULT: Buffer Overflow in function %a."; do
  grep -qaF "$text" "$image" || { echo "FAIL: '$text' left the image"; status=1; }
done
[ "$status" -ne 0 ] || echo "platform settings: checked at configure time, extremes build"
exit "$status"
