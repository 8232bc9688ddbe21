#!/usr/bin/env bash
# The picture of a run: Tools/run-driver.sh --plot writes a well-formed SVG whose two per-tick
# panels hold one marker for every tick the serial log records, under a title that names the run.
#   tick-plot.sh BUILD_DIR
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD_DIR=$(cd "${1:?usage: tick-plot.sh BUILD_DIR}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$ROOT/Tools/run-driver.sh" --build-dir "$BUILD_DIR" --x2apic --period 5000 --plot "$work/ticks.svg" \
  >"$work/run.log" 2>&1 || { tail -n 30 "$work/run.log"; exit 1; }
ticks=$(grep -ac '^\[pc\] tick=' "$BUILD_DIR/emulated-pc/serial.log")

python3 - "$work/ticks.svg" "$ticks" <<'CHECK'
import sys
import xml.etree.ElementTree as ElementTree
SVG = "{http://www.w3.org/2000/svg}"
root, ticks = ElementTree.parse(sys.argv[1]).getroot(), int(sys.argv[2])  # parse fails if malformed
failures = [f"the run recorded {ticks} ticks"] if ticks < 2 else []
# gnuplot groups each series under its key title; the key's own sample is the one extra marker.
for series in ("interval", "deadline - arrival"):
    groups = [g for g in root.iter(SVG + "g") if g.findtext(SVG + "title") == series]
    markers = sum(1 for g in groups for _ in g.iter(SVG + "use"))
    if len(groups) != 1 or markers != ticks + 1:
        failures.append(f"'{series}': {len(groups)} groups, {markers} markers for {ticks} ticks")
text = " ".join(t.text or "" for t in root.iter() if t.tag in (SVG + "text", SVG + "tspan"))
failures += [f"no '{w}' in the title" for w in ("x2APIC", "period 5000 x 100 ns", f"{ticks} ticks") if w not in text]
print("\n".join("FAIL: " + f for f in failures) or f"picture: one marker per tick for {ticks} ticks")
sys.exit(1 if failures else 0)
CHECK
