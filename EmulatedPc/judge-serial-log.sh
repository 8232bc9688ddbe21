#!/usr/bin/env bash
# Judges one serial log of the emulated PC: the driver's own lines, word for word, and the test
# firmware's "[pc] key=value" report against what a working timer driver must produce.
#
#   judge-serial-log.sh --expect timer|unsupported --apic xapic|x2apic LOG
#
# Prints one line per failed check and a verdict; exits 0 when every check holds.
set -uo pipefail

EXPECT= APIC=xapic LOG=
while [ $# -gt 0 ]; do
  case "$1" in
    --expect) EXPECT=$2; shift 2 ;;
    --apic) APIC=$2; shift 2 ;;
    *) LOG=$1; shift ;;
  esac
done
if [ -z "$LOG" ] || [ ! -f "$LOG" ] || { [ "$EXPECT" != timer ] && [ "$EXPECT" != unsupported ]; }; then
  sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi

# ---- what the driver prints, exactly
GREETING="Initializing LAPIC Timer Driver"
UNSUPPORTED_LINE="LAPIC TSC-deadine mode is not supported. Unload LAPIC timer driver."
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
# ---- tolerances
# The TSC rate the board states (the emulator's instructions per second) against the one the
# firmware measures with the 8254 interval timer, an independent clock.
TSC_FREQUENCY_TOLERANCE_PERCENT=1
# Each period is re-armed from the TSC read inside the handler, so the interrupt latency adds to
# every period: the mean interval may exceed the period by this much, never fall below it.
TICK_LATENCY_PERCENT=5
TICK_LATENCY_MIN_TSC=1000
# Ticks seen over the span lie between span / (period + latency) and span / period, give or take
# the one tick that the window's edges can cut or add.
TICK_COUNT_EDGE=1
# The default period's window is 2.5 periods long: two or three interrupts, wherever it starts.
DEFAULT_WINDOW_MIN_INTERRUPTS=2
DEFAULT_WINDOW_MAX_INTERRUPTS=3
# The restart window is a few periods long; the first tick comes one period after the restart.
RESTART_MISSING_MAX=2

failures=0
fail() { echo "  FAIL: $*"; failures=$((failures + 1)); }

fact() { # the value of the last "[pc] key=value" line for a key, or empty
  tr -d '\r' < "$LOG" | sed -n "s/^\[pc\] $1=//p" | tail -n 1
}
expect_fact() { # key expected-value
  local value; value=$(fact "$1")
  [ "$value" = "$2" ] || fail "$1 is '${value:-missing}', expected '$2'"
}
number() { local value; value=$(fact "$1"); [[ "$value" =~ ^[0-9]+$ ]] && echo "$value" || echo -1; }
expect_range() { # key low high
  local value; value=$(number "$1")
  if [ "$value" -lt "$2" ] || [ "$value" -gt "$3" ]; then
    fail "$1 is $value, expected between $2 and $3"
  fi
}

# The driver's lines are the ones without the firmware's prefix; each must end in CR LF.
driver_lines=$(grep -av '^\[pc\] ' "$LOG" || true)
expected_lines="$GREETING"
[ "$EXPECT" = unsupported ] && expected_lines="$GREETING"$'\n'"$UNSUPPORTED_LINE"
if [ "$(printf '%s\n' "$driver_lines" | tr -d '\r')" != "$expected_lines" ]; then
  fail "the driver's lines differ from the expected ones:"
  printf '%s\n' "$driver_lines" | tr -d '\r' | sed 's/^/        | /'
fi
if printf '%s\n' "$driver_lines" | grep -qv $'\r$'; then
  fail "a driver line does not end in carriage return and line feed"
fi

expect_fact result done
expect_fact apic-mode "$APIC"
expect_fact tpl-violations 0
expect_fact unexpected-service-calls 0
expect_fact unhandled-interrupts 0
expect_fact tpl-final "$TPL_APPLICATION"
stated=$(number tsc-frequency)
allowance=$((stated * TSC_FREQUENCY_TOLERANCE_PERCENT / 100))
expect_range tsc-frequency-measured $((stated - allowance)) $((stated + allowance))
[ "$(fact tpl-raises)" = "$(fact tpl-restores)" ] ||
  fail "RaiseTPL called $(fact tpl-raises) times but RestoreTPL $(fact tpl-restores) times"

if [ "$EXPECT" = unsupported ]; then
  expect_fact cpu-tsc-deadline 0
  expect_fact entry-status "$DEVICE_ERROR"
  expect_fact timer-protocol absent
  expect_fact apic-touched-by-entry 0
  expect_fact cpu-handler-registrations 0
  expect_fact pcd-tsc-frequency-reads 0
else
  expect_fact cpu-tsc-deadline 1
  expect_fact entry-status "$SUCCESS"
  expect_fact timer-protocol installed
  expect_fact timer-on-new-handle 1
  expect_fact cpu-handler-registrations 1
  expect_fact cpu-handler-vector "$TIMER_VECTOR"
  expect_fact pcd-tsc-frequency-reads 1
  expect_fact pcd-other-reads 0

  # Left by the entry: the LVT timer on vector 0x40, TSC-deadline mode, running.
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

  # Ticks seen over the span against span / period.
  frequency=$(number tsc-frequency)
  period=$(number period)
  period_tsc=$(number period-tsc)
  span_tsc=$(number span-tsc)
  [ "$period_tsc" -eq $((period * frequency / 10000000)) ] ||
    fail "period-tsc $period_tsc is not period x frequency / 10^7"
  if [ "$period_tsc" -gt 0 ]; then
    expect_fact ticks-expected $((span_tsc / period_tsc))
    latency=$((period_tsc * TICK_LATENCY_PERCENT / 100))
    [ "$latency" -ge "$TICK_LATENCY_MIN_TSC" ] || latency=$TICK_LATENCY_MIN_TSC
    expect_range ticks-seen $((span_tsc / (period_tsc + latency) - TICK_COUNT_EDGE)) \
      $((span_tsc / period_tsc + TICK_COUNT_EDGE))
    expect_range tick-interval-mean-tsc "$period_tsc" $((period_tsc + latency))
  fi
  [ "$(fact handler-calls)" = "$(fact ticks-seen)" ] ||
    fail "handler ran $(fact handler-calls) times but the notify function $(fact ticks-seen) times"
  expect_fact notify-wrong-time 0
  expect_fact notify-below-high-tpl 0
  expect_fact notify-interrupts-enabled 0
  expect_fact deadline-not-rearmed 0
  expect_fact eoi-missing 0

  expect_fact soft-interrupt-status "$SUCCESS"
  expect_fact soft-interrupt-notifies 1
  expect_fact soft-interrupt-wrong-time 0

  expect_fact stop-status "$SUCCESS"
  expect_fact stopped-get-period 0
  expect_fact deadline-after-stop 0
  expect_fact ticks-after-stop 0
  expect_fact interrupts-after-stop 0
  expect_fact lvt-timer-masked-after-stop 1
  expect_fact stopped-soft-interrupt-status "$UNSUPPORTED"
  expect_fact stopped-soft-interrupt-notifies 0

  expect_fact restart-status "$SUCCESS"
  restart_periods=$(number restart-window-periods)
  expect_range ticks-after-restart $((restart_periods - RESTART_MISSING_MAX)) "$restart_periods"
  expect_fact restart-wrong-time 0

  expect_fact unregister-status "$SUCCESS"
  expect_fact unregister-again-status "$INVALID_PARAMETER"
fi

if [ "$failures" -eq 0 ]; then
  echo "  verdict: pass"
  exit 0
fi
echo "  verdict: FAIL ($failures checks)"
exit 1
