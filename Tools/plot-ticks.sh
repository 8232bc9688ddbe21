#!/usr/bin/env bash
# Draws the ticks of one emulated-PC run from its serial log into an SVG picture with gnuplot:
# every tick's interval against the requested period, each armed deadline's distance from the
# interrupt that armed it, and a histogram of the intervals, under a title with the scenario and
# the run's figures. Tools/run-driver.sh --plot calls it.
#
#   Tools/plot-ticks.sh LOG SVG
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 2 ] ||
  { echo "plot-ticks.sh: usage: Tools/plot-ticks.sh LOG SVG (LOG an existing serial log)" >&2; exit 2; }
[ -f "$1" ] || { echo "plot-ticks.sh: there is no serial log $1 to draw" >&2; exit 2; }
LOG=$1
SVG=$2

"$ROOT/Tools/install-prerequisites.sh" gnuplot-nox

fact() { tr -d '\r' < "$LOG" | sed -n "s/^\[pc\] $1=//p" | tail -n 1; }

data=$(mktemp)
trap 'rm -f "$data"' EXIT
# "[pc] tick=I ... interval-tsc=X lead-tsc=Y" -> "I X Y"
tr -d '\r' < "$LOG" | awk '/^\[pc\] tick=/ {
    for (i = 2; i <= NF; ++i) { split($i, pair, "="); field[pair[1]] = pair[2] }
    print field["tick"], field["interval-tsc"], field["lead-tsc"]
  }' > "$data"
ticks=$(wc -l < "$data")
if [ "$ticks" -eq 0 ]; then
  echo "plot-ticks.sh: $LOG has no tick records (result: $(fact result))" >&2
  exit 1
fi

mode=$(fact apic-mode)
mode=${mode/xapic/xAPIC}
mode=${mode/x2apic/x2APIC}
period_tsc=$(fact period-tsc)
title="$mode, period $(fact period) x 100 ns = $period_tsc TSC ticks at $(fact tsc-frequency) Hz"
title+=", counted from TSC $(fact set-period-tsc)"$'\n'
title+="$ticks ticks; interval min $(fact tick-interval-min-tsc), mean $(fact tick-interval-mean-tsc),"
title+=" max $(fact tick-interval-max-tsc), spread $(fact tick-interval-spread-tsc);"
title+=" early $(fact early-ticks); handler $(fact handler-cycles-max) TSC ticks at most"
# Passed as arguments, never spliced into gnuplot commands: any file name is safe.
gnuplot -c "$ROOT/Tools/tick-plot.gp" "$data" "$SVG" "$title" "$period_tsc" "$(fact handler-cycles-max)"
echo "Picture of $ticks ticks: $SVG"
