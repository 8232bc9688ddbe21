#!/usr/bin/env bash
# Judges one serial log of the emulated PC: the driver's own lines, word for word, and the test
# firmware's "[pc] ..." report against what a working timer driver must produce.
#
#   judge-serial-log.sh --expect timer|unsupported|halted|stack-fault|overflow|livelock
#                       [--apic xapic|x2apic]
#                       [--low-half-wraps] [--map FILE] LOG
#
#   timer            the driver installs its timer; every tick of the counting window is judged
#   unsupported      a CPU without TSC-deadline: the driver declines and leaves nothing behind
#   halted           a timer was there before the driver: it reports its assertion and halts
#   stack-fault      the firmware overwrote the guard copy in the entry's frame: the entry reports
#                    the stack fault before it returns, and halts
#   overflow         a period shorter than the handler's path: the interrupt stack runs out
#   livelock         a period shorter than the interrupt path: ticks come back to back
#   --low-half-wraps the low half of the TSC must wrap during the counting window
#   --map FILE       the image's linker map: the halt must be found in HaltUntilReleased, and a
#                    stack fault must name a place in LapicTimerDriverEntry
#
# Prints one line per failed check, the figures it judged, and a verdict; exits 0 when every
# check holds.
set -uo pipefail

EXPECT= APIC=xapic LOG= LOW_HALF_WRAPS=0 MAP=
while [ $# -gt 0 ]; do
  case "$1" in
    --expect) EXPECT=$2; shift 2 ;;
    --apic) APIC=$2; shift 2 ;;
    --low-half-wraps) LOW_HALF_WRAPS=1; shift ;;
    --map) MAP=$2; shift 2 ;;
    *) LOG=$1; shift ;;
  esac
done
if [ -z "$LOG" ] || [ ! -f "$LOG" ] || [[ ! "$EXPECT" =~ ^(timer|unsupported|halted|stack-fault|overflow|livelock)$ ]]; then
  sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi

# ---- what the driver prints, exactly
GREETING="Initializing LAPIC Timer Driver"
UNSUPPORTED_LINE="LAPIC TSC-deadine mode is not supported. Unload LAPIC timer driver."
ASSERTION_TEXT="&gEfiTimerArchProtocolGuid already installed in database"
ASSERTION_SOURCE=VeskLapicTimerDxe/VeskLapicTimer.cpp
HALT_FUNCTION=HaltUntilReleased
STACK_FAULT_LINE="STACK FAULT: Buffer Overflow in function VeskLapicTimerDxe+0x"
GUARDED_ENTRY=LapicTimerDriverEntry
# ---- status codes
SUCCESS=0x0000000000000000
INVALID_PARAMETER=0x8000000000000002
UNSUPPORTED=0x8000000000000003
DEVICE_ERROR=0x8000000000000007
ALREADY_STARTED=0x8000000000000014
# ---- the driver's fixed settings and the machine's
DEFAULT_PERIOD=1000000
TIMER_VECTOR=0x0000000000000040
TPL_APPLICATION=4
LVT_VECTOR_MASK=0xFF
LVT_MASKED=$((1 << 16))
LVT_TIMER_MODE_SHIFT=17
LVT_TIMER_MODE_TSC_DEADLINE=2
SPURIOUS_APIC_ENABLE=$((1 << 8))
UNITS_PER_SECOND=10000000
# ---- tolerances
# The TSC rate the board states (the emulator's instructions per second) against the one the
# firmware measures with the 8254 interval timer, an independent clock.
TSC_FREQUENCY_TOLERANCE_PERCENT=1
# The deadlines themselves need none: the driver reads the TSC between the interrupt's arrival at
# the dispatcher and the notify call, so each deadline lies between those two TSC values plus one
# period, exactly; the first one between the TSC values read around SetTimerPeriod plus one period.
# From its deadline to the dispatcher an interrupt takes about 35 TSC ticks on this machine; one
# that takes longer than this was held off, or the machine's deadline timer is off its TSC.
DELIVERY_LATENCY_MAX_TSC=1000
# Each period is re-armed from the TSC read inside the handler, so the interrupt latency adds to
# every period: the mean interval may exceed the period by this much, never fall below it, and
# as many fewer ticks fit into the window.
TICK_LATENCY_PERCENT=5
TICK_LATENCY_MIN_TSC=1000
# The default period's window is 2.5 periods long: two or three interrupts, wherever it starts.
DEFAULT_WINDOW_MIN_INTERRUPTS=2
DEFAULT_WINDOW_MAX_INTERRUPTS=3
# The restart window is a few periods long; the first tick comes one period after the restart,
# and the window is closed at any point of the last period.
RESTART_MISSING_MAX=2
# A nested interrupt is one that found another one's handler running.
OVERFLOW_MIN_DEPTH=2

failures=0
fail() { echo "  FAIL: $*"; failures=$((failures + 1)); }
figure() { echo "  $*"; }
verdict() {
  if [ "$failures" -eq 0 ]; then
    echo "  verdict: pass"
    exit 0
  fi
  echo "  verdict: FAIL ($failures checks)"
  exit 1
}

# Every "[pc] key=value" line, read once; the last one of a key counts.
declare -A FACTS
while IFS='=' read -r key value; do
  FACTS[$key]=$value
done < <(tr -d '\r' < "$LOG" | sed -n 's/^\[pc\] \([a-z0-9-]*=\)/\1/p')
fact() { echo "${FACTS[$1]-}"; }
expect_fact() { # key expected-value
  local value=${FACTS[$1]-}
  [ "$value" = "$2" ] || fail "$1 is '${value:-missing}', expected '$2'"
}
# How the run ended: when not as expected, the rest of the report is missing or moot.
expect_result() {
  expect_fact result "$1"
  [ "${FACTS[result]-}" = "$1" ] || verdict
}
# Decimal facts, up to 2^64 - 1. Bash integers are signed 64-bit: it reads a decimal up to
# 2^64 - 1 into the same bit pattern as the unsigned value, so sums and differences come out
# right, and comparisons of values that may reach 2^63 go through ule.
number() { local value=${FACTS[$1]-}; [[ "$value" =~ ^[0-9]{1,20}$ ]] && echo $((value)) || echo -1; }
SIGN=$((1 << 63))
LARGEST=-1 # 2^64 - 1
ule() { (( ($1 ^ SIGN) <= ($2 ^ SIGN) )); }
add() { # variable a b: variable = a + b, saturated at 2^64 - 1
  local -n sum=$1
  sum=$(($2 + $3))
  ule "$2" "$sum" || sum=$LARGEST
}
udiv() { # unsigned a / b, 0 < b < 2^62
  local half=$((($1 >> 1) & ~SIGN))
  echo $((half / $2 * 2 + (half % $2 * 2 + ($1 & 1)) / $2))
}
quotient() { # unsigned a / b for a < 2^62, any b > 0
  if ule "$2" "$1"; then udiv "$1" "$2"; else echo 0; fi
}
hex() { printf '0x%016X' "$1"; }
u() { printf %u "$1"; }
expect_range() { # key low high (non-negative, below 2^63)
  local value; value=$(number "$1")
  if [ "$value" -lt "$2" ] || [ "$value" -gt "$3" ]; then
    fail "$1 is $value, expected between $2 and $3"
  fi
}

# A period in TSC ticks: period x frequency / 10^7 rounded down, saturated at 2^64 - 1, reckoned
# at whole seconds and the rest so that no product leaves 64 bits (frequency < 2^32).
period_tsc_of() {
  local seconds part
  seconds=$(udiv "$1" "$UNITS_PER_SECOND")
  part=$((($1 - seconds * UNITS_PER_SECOND) * $2 / UNITS_PER_SECOND))
  if [ "$seconds" -ne 0 ] && ! ule "$2" "$(udiv $((LARGEST - part)) "$seconds")"; then
    echo "$LARGEST"
  else
    echo $((seconds * $2 + part))
  fi
}

# The driver's lines are the ones without the firmware's prefix; each must end in CR LF.
driver_lines=$(grep -av '^\[pc\] ' "$LOG" | tr -d '\r' || true)
expect_driver_lines() { # line ... (a line starting with ~ is a regular expression)
  local expected actual=() index=0 ok=1
  mapfile -t actual <<<"$driver_lines"
  [ ${#actual[@]} -eq $# ] || ok=0
  for expected in "$@"; do
    if [[ "$expected" == "~"* ]]; then
      [[ "${actual[index]-}" =~ ${expected:1} ]] || ok=0
    else
      [ "${actual[index]-}" = "$expected" ] || ok=0
    fi
    index=$((index + 1))
  done
  if [ "$ok" -eq 0 ]; then
    fail "the driver's lines differ from the expected ones:"
    printf '%s\n' "$driver_lines" | sed 's/^/        | /'
  fi
}
if grep -av '^\[pc\] ' "$LOG" | grep -qv $'\r$'; then
  fail "a driver line does not end in carriage return and line feed"
fi

# What the firmware counted over the whole boot, reported when it ran to the end.
judge_firmware_use() {
  expect_fact tpl-violations 0
  expect_fact unexpected-service-calls 0
  expect_fact unhandled-interrupts 0
  expect_fact tpl-final "$TPL_APPLICATION"
  [ "$(fact tpl-raises)" = "$(fact tpl-restores)" ] ||
    fail "RaiseTPL called $(fact tpl-raises) times but RestoreTPL $(fact tpl-restores) times"
  local stated allowance
  stated=$(number tsc-frequency)
  allowance=$((stated * TSC_FREQUENCY_TOLERANCE_PERCENT / 100))
  expect_range tsc-frequency-measured $((stated - allowance)) $((stated + allowance))
}

# Every tick of the counting window, from its "[pc] tick=" line, and the figures drawn from them.
judge_ticks() { # period-tsc
  local period=$1 opened closed first returned line count=0 early=0 before=0 late=0 misplaced=0
  local previous armed arrival deadline notify first_arrival=0 low high
  local shortest=$LARGEST longest=0 lead_min=$LARGEST lead_max=0
  opened=$(number set-period-tsc)
  returned=$(number set-period-return-tsc)
  first=$(number first-deadline-tsc)
  closed=$(number window-end-tsc)
  add low "$opened" "$period"
  add high "$returned" "$period"
  if ! ule "$low" "$first" || ! ule "$first" "$high"; then
    fail "the first deadline $(u "$first") is not one period ($(u "$period")) after the TSC read around SetTimerPeriod ($(u "$opened")..$(u "$returned"))"
  fi
  if [ "$LOW_HALF_WRAPS" -eq 1 ] && [ $((opened >> 32)) -eq $((closed >> 32)) ]; then
    fail "the low half of the TSC does not wrap in the window ($(hex "$opened")..$(hex "$closed"))"
  fi
  previous=$opened
  armed=$first
  while IFS= read -r line; do
    if [[ ! "$line" =~ ^\[pc\]\ tick=([0-9]+)\ arrival-tsc=([0-9]{1,20})\ deadline-tsc=([0-9]{1,20})\ notify-tsc=([0-9]{1,20})\ interval-tsc=(-?[0-9]+)\ lead-tsc=(-?[0-9]+)$ ]]; then
      fail "tick line $count is malformed: $line"
      return
    fi
    arrival=$((BASH_REMATCH[2])) deadline=$((BASH_REMATCH[3])) notify=$((BASH_REMATCH[4]))
    if [ "${BASH_REMATCH[1]}" -ne "$count" ] || [ "${BASH_REMATCH[5]}" -ne $((arrival - previous)) ] ||
      [ "${BASH_REMATCH[6]}" -ne $((deadline - arrival)) ]; then
      fail "tick line $count does not add up: $line"
    fi
    ule "$period" $((arrival - previous)) || early=$((early + 1))
    ule "$armed" "$arrival" || before=$((before + 1))
    add high "$armed" "$DELIVERY_LATENCY_MAX_TSC"
    ule "$arrival" "$high" || late=$((late + 1))
    add low "$arrival" "$period"
    add high "$notify" "$period"
    if ! ule "$low" "$deadline" || ! ule "$deadline" "$high"; then
      [ "$misplaced" -gt 0 ] ||
        fail "tick $count armed $(u "$deadline"), not one period ($(u "$period")) after its arrival $(u "$arrival") and before its notify call $(u "$notify") + period"
      misplaced=$((misplaced + 1))
    fi
    if [ "$count" -eq 0 ]; then
      first_arrival=$arrival
    else
      ule "$shortest" $((arrival - previous)) || shortest=$((arrival - previous))
      ule $((arrival - previous)) "$longest" || longest=$((arrival - previous))
    fi
    ule "$lead_min" $((deadline - arrival)) || lead_min=$((deadline - arrival))
    ule $((deadline - arrival)) "$lead_max" || lead_max=$((deadline - arrival))
    previous=$arrival
    armed=$deadline
    count=$((count + 1))
  done < <(tr -d '\r' < "$LOG" | grep '^\[pc\] tick=')

  [ "$misplaced" -eq 0 ] || fail "$misplaced ticks armed their deadline out of place"
  [ "$early" -eq 0 ] || fail "$early ticks came less than one period after the one before"
  [ "$before" -eq 0 ] || fail "$before ticks arrived before their deadline"
  [ "$late" -eq 0 ] || fail "$late ticks arrived more than $DELIVERY_LATENCY_MAX_TSC TSC ticks after their deadline"
  expect_fact tick-records "$count"
  expect_fact tick-records-dropped 0
  expect_fact early-ticks "$early"
  expect_fact ticks-before-deadline "$before"
  if [ "$count" -ge 2 ]; then
    expect_fact tick-interval-min-tsc "$shortest"
    expect_fact tick-interval-max-tsc "$longest"
    expect_fact tick-interval-spread-tsc $((longest - shortest))
    expect_fact tick-interval-mean-tsc $(((previous - first_arrival) / (count - 1)))
  fi

  figure "window: TSC $(hex "$opened")..$(hex "$closed"), $count ticks at period $(u "$period") TSC ticks"
  if [ "$count" -ge 2 ]; then
    figure "intervals: shortest $shortest, longest $longest, mean $(fact tick-interval-mean-tsc), spread $((longest - shortest)) TSC ticks"
  fi
  [ "$count" -eq 0 ] || figure "deadlines: $((lead_min - period))..$((lead_max - period)) TSC ticks more than a period after their interrupt's arrival"
  figure "first deadline: $(hex "$first"), $(u $((first - opened))) TSC ticks after the TSC read before SetTimerPeriod"
  figure "early ticks $early, before their deadline $before, late $late"
}

# The function of the image that holds an image offset: the last symbol of the code section
# ("0001:") of the linker map at or below it, by its image offset (the third column).
function_at() {
  local best=-1 holder= place name rva
  while read -r place name rva _; do
    if [[ "$place" == 0001:* && "$rva" =~ ^[0-9a-fA-F]{16}$ ]] && [ $((16#$rva)) -le "$1" ] &&
      [ $((16#$rva)) -ge "$best" ]; then
      best=$((16#$rva)) holder=$name
    fi
  done < "$MAP"
  echo "$holder"
}

# Where the samples found the halted driver: in its halt loop.
judge_halt_place() {
  [ -n "$MAP" ] || return 0
  local holder
  holder=$(function_at "$(($(fact halt-rip-offset)))")
  [[ "$holder" == *"$HALT_FUNCTION"* ]] ||
    fail "the halt was found at image offset $(fact halt-rip-offset), in ${holder:-no function}, not in $HALT_FUNCTION"
  figure "halt: image offset $(fact halt-rip-offset) in $holder, $(fact halt-rip-spread-bytes) bytes of spread"
}

expect_fact apic-mode "$APIC"
stated=$(number tsc-frequency)
case "$EXPECT" in
  unsupported)
    expect_driver_lines "$GREETING" "$UNSUPPORTED_LINE"
    expect_result done
    judge_firmware_use
    expect_fact cpu-tsc-deadline 0
    expect_fact entry-status "$DEVICE_ERROR"
    expect_fact timer-protocol absent
    expect_fact apic-touched-by-entry 0
    expect_fact cpu-handler-registrations 0
    expect_fact pcd-tsc-frequency-reads 0
    ;;
  halted)
    # The greeting, the assertion, and nothing more from the driver: its entry never returns.
    expect_driver_lines "$GREETING" \
      "~^ASSERT \[VeskLapicTimerDxe\] ([^ ]*/)?$ASSERTION_SOURCE\(([0-9]+)\): $ASSERTION_TEXT\$"
    expect_fact timer-preinstalled 1
    expect_result halted
    judge_halt_place
    ;;
  stack-fault)
    # The greeting, then the report of the guard that failed on the way out of the entry.
    expect_driver_lines "$GREETING" "~^${STACK_FAULT_LINE/+/\\+}[0-9A-F]+\\.\$"
    [[ "$(fact guard-smashed-at)" =~ ^0x ]] || fail "the firmware found no guard copy to overwrite"
    expect_result halted
    if [ -n "$MAP" ]; then
      place=$(printf '%s\n' "$driver_lines" | sed -n "s/^${STACK_FAULT_LINE}\\([0-9A-F]*\\)\\.\$/0x\\1/p")
      holder=$(function_at "$((place))")
      [[ "$holder" == *"$GUARDED_ENTRY"* ]] ||
        fail "the stack fault names image offset $place, in ${holder:-no function}, not in $GUARDED_ENTRY"
      figure "stack fault: image offset $place in $holder"
    fi
    judge_halt_place
    ;;
  overflow)
    expect_driver_lines "$GREETING"
    expect_result interrupt-stack-overflow
    depth=$(number interrupt-nesting-depth)
    [ "$depth" -ge "$OVERFLOW_MIN_DEPTH" ] || fail "the overflow came at nesting depth $depth"
    figure "overflow: interrupt nesting depth $depth, handler stack $(fact handler-stack-bytes) bytes used"
    ;;
  livelock)
    expect_driver_lines "$GREETING"
    expect_result interrupt-livelock
    figure "livelock: $(fact starved-outside-handlers-tsc) of $(fact starved-over-tsc) TSC ticks outside the handlers over $(fact starved-dispatches) interrupts"
    ;;
  timer)
    expect_driver_lines "$GREETING"
    expect_result done
    judge_firmware_use
    expect_fact cpu-tsc-deadline 1
    expect_fact entry-status "$SUCCESS"
    expect_fact timer-protocol installed
    expect_fact timer-on-new-handle 1
    expect_fact cpu-handler-registrations 1
    expect_fact cpu-handler-vector "$TIMER_VECTOR"
    expect_fact pcd-tsc-frequency-reads 1
    expect_fact pcd-other-reads 0

    # Left by the entry: the APIC enabled in software, the LVT timer on vector 0x40,
    # TSC-deadline mode, running.
    [ $(($(fact spurious-after-entry) & SPURIOUS_APIC_ENABLE)) -ne 0 ] ||
      fail "the local APIC is not enabled in software after the entry"
    lvt=$(($(fact lvt-timer-after-entry)))
    [ $((lvt & LVT_VECTOR_MASK)) -eq $((TIMER_VECTOR)) ] || fail "LVT timer vector is not 0x40"
    [ $(((lvt >> LVT_TIMER_MODE_SHIFT) & 3)) -eq $LVT_TIMER_MODE_TSC_DEADLINE ] ||
      fail "LVT timer is not in TSC-deadline mode"
    [ $((lvt & LVT_MASKED)) -eq 0 ] || fail "LVT timer still masked after the entry"

    # The driver's own first period, before anyone registered: 2.5 periods give 2 interrupts.
    expect_fact get-period-status "$SUCCESS"
    expect_fact default-period "$DEFAULT_PERIOD"
    expect_fact get-period-null-status "$INVALID_PARAMETER"
    expect_range default-window-interrupts $DEFAULT_WINDOW_MIN_INTERRUPTS $DEFAULT_WINDOW_MAX_INTERRUPTS

    expect_fact register-status "$SUCCESS"
    expect_fact register-again-status "$ALREADY_STARTED"
    expect_fact set-period-status "$SUCCESS"
    expect_fact get-period "$(fact period)"

    # Ticks seen over the window: no more than fit into it one period apart, and no fewer than
    # fit in at the period plus the latency.
    period=$(number period)
    period_tsc=$(number period-tsc)
    span_tsc=$(number span-tsc)
    [ "$period_tsc" = "$(period_tsc_of "$period" "$stated")" ] ||
      fail "period-tsc $(fact period-tsc) is not period x frequency / 10^7"
    # A period of no TSC ticks arms each deadline at the TSC just read: nothing is divided by it,
    # and the interrupts it brings end the run before this point.
    if [ "$period_tsc" -ne 0 ]; then
      latency=$(udiv "$period_tsc" $((100 / TICK_LATENCY_PERCENT)))
      ule "$TICK_LATENCY_MIN_TSC" "$latency" || latency=$TICK_LATENCY_MIN_TSC
      add slowest "$period_tsc" "$latency"
      expect_range ticks-seen $(($(quotient "$span_tsc" "$slowest") - 1)) \
        "$(quotient $(($(number window-end-tsc) - $(number set-period-tsc))) "$period_tsc")"
      judge_ticks "$period_tsc"
      restart_ticks=$(quotient "$(number restart-window-tsc)" "$period_tsc")
      expect_range ticks-after-restart $((restart_ticks - RESTART_MISSING_MAX)) "$restart_ticks"
    fi
    [ "$(fact handler-calls)" = "$(fact ticks-seen)" ] ||
      fail "handler ran $(fact handler-calls) times but the notify function $(fact ticks-seen) times"
    expect_fact notify-wrong-time 0
    expect_fact notify-below-high-tpl 0
    expect_fact notify-interrupts-enabled 0
    expect_fact notify-before-eoi 0
    expect_fact eoi-missing 0
    figure "handler: $(fact handler-cycles-mean) TSC ticks mean ($(fact handler-cycles-min)..$(fact handler-cycles-max)), $(fact notify-cycles-mean) of them in the notify function"

    expect_fact soft-interrupt-status "$SUCCESS"
    expect_fact soft-interrupt-notifies 1
    expect_fact soft-interrupt-wrong-time 0

    expect_fact stop-status "$SUCCESS"
    expect_fact stopped-get-period 0
    expect_fact deadline-after-stop 0
    expect_fact ticks-after-stop "$(fact stop-found-tick-pending)"
    expect_fact interrupts-after-stop "$(fact stop-found-tick-pending)"
    expect_fact lvt-timer-masked-after-stop 1
    expect_fact stopped-soft-interrupt-status "$UNSUPPORTED"
    expect_fact stopped-soft-interrupt-notifies 0

    expect_fact restart-status "$SUCCESS"
    expect_fact restart-wrong-time 0
    expect_fact restart-before-eoi 0

    expect_fact unregister-status "$SUCCESS"
    expect_fact unregister-again-status "$INVALID_PARAMETER"
    ;;
esac
verdict
