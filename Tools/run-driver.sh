#!/usr/bin/env bash
# Builds the driver image and the emulated PC's test firmware, boots the image on the emulated PC
# (bochs: local APIC in TSC-deadline mode, 16550 UART on COM1) and prints the serial log: the
# driver's own lines, then the test firmware's report of the ticks it saw ("[pc] ..." lines).
#
#   Tools/run-driver.sh [--x2apic] [--period UNITS] [--cpu MODEL] [--span PERIODS] [--ips N]
#                       [--tsc-start VALUE] [--timer-installed] [--timeout SECONDS]
#
#   --x2apic           switch the local APIC to x2APIC mode before the driver starts
#   --period UNITS     the tick period the firmware core asks for, in 100 ns units (default 10000;
#                      any unsigned 64-bit value)
#   --cpu MODEL        a bochs CPU model (default corei7_skylake_x; core2_penryn_t9600 has no
#                      TSC-deadline timer; `bochs -help cpu` lists them)
#   --span PERIODS     how many periods the ticks are counted for (default 40, at most 65535; a
#                      period counts for at most one second)
#   --ips N            emulated instructions per second, which is also the TSC frequency
#   --tsc-start VALUE  the TSC value the machine's clock runs to before the driver is loaded
#                      (default 2^32; 0 leaves it where it is)
#   --timer-installed  a timer protocol is there before the driver: it must assert and halt
#   --timeout SECONDS  host seconds before a run that does not power off is stopped (default 30,
#                      plus the run's emulated time at 10 million instructions a second)
set -euo pipefail
cd "$(dirname "$0")/.."

apic=xapic
expect=timer
for option in "$@"; do
  case "$option" in
    -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    --x2apic) apic=x2apic ;;
    --timer-installed) expect=halted ;;
  esac
done

Tools/install-prerequisites.sh
echo "== Building the driver image and the emulated PC's firmware"
EmulatedPc/build-roms.sh build
echo "   image: build/image/VeskLapicTimerDxe.efi, carried by build/emulated-pc/EmulatedPcRom.bin"

log=build/emulated-pc/serial.log
echo "== Booting the emulated PC; serial log (COM1):"
status=0
EmulatedPc/boot.sh --rom build/emulated-pc/EmulatedPcRom.bin \
  --video-rom build/emulated-pc/VideoRom.bin --serial "$log" "$@" || status=$?
tr -d '\r' < "$log"
[ "$status" -eq 0 ] || exit "$status"

# A CPU without the TSC-deadline timer must make the driver decline; any other must give ticks,
# or halt when a timer was there first.
grep -q '^\[pc\] cpu-tsc-deadline=0' "$log" && expect=unsupported
echo "== Judging the log (expecting: $expect, $apic)"
EmulatedPc/judge-serial-log.sh --expect "$expect" --apic "$apic" \
  --map build/image/VeskLapicTimerDxe.map "$log"
