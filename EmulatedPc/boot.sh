#!/usr/bin/env bash
# Boots the emulated PC once: the test firmware ROM (which carries the driver image) on a bochs
# machine, headless, with the first serial port captured to a file.
#
#   boot.sh --rom FILE --video-rom FILE --serial FILE [--cpu MODEL] [--x2apic]
#           [--period UNITS] [--span PERIODS] [--ips N] [--tsc-start VALUE] [--timer-installed]
#           [--smash-entry-guard] [--timeout SECONDS] [--keep-dir DIR]
#
# The emulated clock follows the instruction count (clock sync=none), so a run repeats exactly;
# the TSC then advances by one per instruction and its frequency is the --ips value, which the
# firmware learns from the board settings this script writes into CMOS. --period and --tsc-start
# take any unsigned 64-bit value (decimal, or hexadecimal with 0x); the firmware lets the clock
# run to --tsc-start before it loads the driver (the emulator skips that idle time at about 2^33
# ticks a host second). The default timeout grows with the emulated time the run needs.
set -euo pipefail

CPU_MODEL=corei7_skylake_x
X2APIC=0
TIMER_INSTALLED=0
SMASH_ENTRY_GUARD=0
PERIOD=10000         # 100 ns units: 1 ms
SPAN_PERIODS=40
IPS=20000000         # emulated instructions, and TSC ticks, per second
TSC_START=$((1 << 32)) # where the clock runs to before the driver loads: every deadline has a high half
TIMEOUT=             # host seconds; by default from the run's length, below
ROM= VIDEO_ROM= SERIAL= KEEP_DIR=
# A fixed start date for the real-time clock, so that nothing differs from one run to the next.
RTC_START=946684800

usage() { sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }

while [ $# -gt 0 ]; do
  case "$1" in
    --rom) ROM=$2; shift 2 ;;
    --video-rom) VIDEO_ROM=$2; shift 2 ;;
    --serial) SERIAL=$2; shift 2 ;;
    --cpu) CPU_MODEL=$2; shift 2 ;;
    --x2apic) X2APIC=1; shift ;;
    --timer-installed) TIMER_INSTALLED=1; shift ;;
    --smash-entry-guard) SMASH_ENTRY_GUARD=1; shift ;;
    --period) PERIOD=$2; shift 2 ;;
    --span) SPAN_PERIODS=$2; shift 2 ;;
    --ips) IPS=$2; shift 2 ;;
    --tsc-start) TSC_START=$2; shift 2 ;;
    --timeout) TIMEOUT=$2; shift 2 ;;
    --keep-dir) KEEP_DIR=$2; shift 2 ;;
    -h|--help) usage ;;
    *) echo "boot.sh: unknown option $1" >&2; usage ;;
  esac
done
[ -n "$ROM" ] && [ -n "$VIDEO_ROM" ] && [ -n "$SERIAL" ] || usage
for number in "$SPAN_PERIODS" "$IPS" "${TIMEOUT:-1}"; do
  [[ "$number" =~ ^[1-9][0-9]{0,9}$ ]] || { echo "boot.sh: not a number in range: $number" >&2; exit 2; }
done
# Bash integers are signed 64-bit: an unsigned 64-bit value is kept as its bit pattern, which is
# all that the CMOS bytes below need.
unsigned64() {
  local text=$1 digits
  if [[ "$text" =~ ^0[xX][0-9a-fA-F]{1,16}$ ]]; then echo $((text)); return; fi
  if [[ "$text" =~ ^0*([0-9]+)$ ]]; then
    digits=${BASH_REMATCH[1]}
    if [ ${#digits} -lt 20 ] || { [ ${#digits} -eq 20 ] && [[ ! "$digits" > 18446744073709551615 ]]; }; then
      echo $((10#$digits))
      return
    fi
  fi
  echo "boot.sh: not an unsigned 64-bit number: $text" >&2
  return 1
}
PERIOD=$(unsigned64 "$PERIOD") && TSC_START=$(unsigned64 "$TSC_START") || exit 2
[ "$PERIOD" -ne 0 ] || { echo "boot.sh: period out of range" >&2; exit 2; }
[ "$IPS" -ge 1000000 ] && [ "$IPS" -le 4294967295 ] || { echo "boot.sh: ips out of range" >&2; exit 2; }
[ "$SPAN_PERIODS" -ge 2 ] && [ "$SPAN_PERIODS" -le 65535 ] || { echo "boot.sh: span out of range" >&2; exit 2; }

# ---- the default timeout: a fixed allowance for start-up, plus the run's emulated time at the
# slowest host we allow for, plus the idle time up to the TSC start.
if [ -z "$TIMEOUT" ]; then
  BASE_TIMEOUT=30
  HOST_IPS_FLOOR=10000000 # emulated instructions a host second; bochs ran about 65 million here
  IDLE_SKIP_SHIFT=31      # idle TSC ticks skipped a host second, as a power of 2 (2^33 here)
  UNITS_PER_SECOND=10000000
  # Emulated time, in 100 ns units: 2.5 default periods of 100 ms; the counting and the stop
  # window (span periods each), the wait before the stop (2 periods) and the restart window (5
  # periods), each no longer than the firmware's cap of one second per period of the span; the
  # report at 115200 baud, a line of about 130 characters for each tick and 5000 characters more.
  DEFAULT_WINDOW_UNITS=2500000 TICK_LINE_UNITS=120000 REPORT_UNITS=5000000
  window_cap=$((SPAN_PERIODS * UNITS_PER_SECOND))
  window() { # periods x PERIOD, capped; PERIOD may lie beyond the signed range
    if [ "$PERIOD" -lt 0 ] || [ "$PERIOD" -gt "$window_cap" ] ||
      [ $(($1 * PERIOD)) -gt "$window_cap" ]; then
      echo "$window_cap"
    else
      echo $(($1 * PERIOD))
    fi
  }
  units=$((DEFAULT_WINDOW_UNITS + 2 * $(window "$SPAN_PERIODS") + $(window 2) + $(window 5) +
    SPAN_PERIODS * TICK_LINE_UNITS + REPORT_UNITS))
  instructions=$((units / 1000 * IPS / (UNITS_PER_SECOND / 1000)))
  idle_seconds=$(((TSC_START >> IDLE_SKIP_SHIFT) & ((1 << (64 - IDLE_SKIP_SHIFT)) - 1)))
  TIMEOUT=$((BASE_TIMEOUT + instructions / HOST_IPS_FLOOR + idle_seconds))
fi

if [ -n "$KEEP_DIR" ]; then
  WORK=$KEEP_DIR; mkdir -p "$WORK"
else
  WORK=$(mktemp -d); trap 'rm -rf "$WORK"' EXIT
fi

# ---- board settings in CMOS bytes 0x60..0x79 (see Firmware/Platform/BoardSettings.h)
CMOS_SIZE=128
CMOS_SETTINGS_OFFSET=$((0x60))
byte() { printf "\\$(printf '%03o' "$1")"; }
little_endian() { local value=$1 count=$2; for ((i = 0; i < count; i++)); do byte $(((value >> (8 * i)) & 0xFF)); done; }
{
  head -c "$CMOS_SETTINGS_OFFSET" /dev/zero
  printf 'VT'
  byte $((X2APIC | TIMER_INSTALLED << 1 | SMASH_ENTRY_GUARD << 2)); byte 0
  little_endian "$IPS" 4
  little_endian "$PERIOD" 8
  little_endian "$SPAN_PERIODS" 2
  little_endian "$TSC_START" 8
} > "$WORK/cmos.bin"
head -c $((CMOS_SIZE - $(stat -c %s "$WORK/cmos.bin"))) /dev/zero >> "$WORK/cmos.bin"

cat > "$WORK/bochsrc" <<CONFIG
megs: 64
romimage: file="$(readlink -f "$ROM")"
vgaromimage: file="$(readlink -f "$VIDEO_ROM")"
cpu: model=$CPU_MODEL, count=1, ips=$IPS, reset_on_triple_fault=0
clock: sync=none, time0=$RTC_START
cmosimage: file="$WORK/cmos.bin", rtc_init=time0
com1: enabled=1, mode=file, dev="$WORK/serial.log"
port_e9_hack: enabled=1
display_library: sdl2
mouse: enabled=0
log: "$WORK/bochs.log"
panic: action=fatal
error: action=report
info: action=ignore
debug: action=ignore
CONFIG

# The built-in debugger stops before the first instruction until it reads "c".
status=0
echo c | SDL_VIDEODRIVER=dummy timeout "$TIMEOUT" bochs -q -f "$WORK/bochsrc" > "$WORK/bochs.out" 2>&1 || status=$?
if [ "$status" = 124 ]; then
  echo "boot.sh: the emulated PC did not power off within $TIMEOUT s" >&2
fi
touch "$WORK/serial.log"
cp "$WORK/serial.log" "$SERIAL"
# bochs leaves through its shutdown port with a "panic" message; anything else is worth seeing.
if ! grep -q "Shutdown port: shutdown requested" "$WORK/bochs.out"; then
  echo "boot.sh: bochs stopped without the firmware's power-off; its last words:" >&2
  grep -hE "PANIC|ERROR|exiting" "$WORK/bochs.out" "$WORK/bochs.log" 2>/dev/null | tail -5 >&2 || true
  exit 1
fi
