#!/usr/bin/env bash
# The picture of a run: Tools/run-driver.sh --plot writes a well-formed SVG whose two per-tick
# panels hold one marker for every tick the serial log records, and whose title names the run.
#
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
picture, ticks = sys.argv[1], int(sys.argv[2])
root = ElementTree.parse(picture).getroot()  # raises on a malformed file
failures = []
if ticks < 2:
    failures.append(f"the run recorded {ticks} ticks; a picture needs some")
# gnuplot puts each plotted series in a group titled with its key entry; the key's own sample
# marker is the one marker beyond the ticks.
for series in ("interval", "deadline - arrival"):
    groups = [g for g in root.iter(SVG + "g") if g.findtext(SVG + "title") == series]
    markers = sum(1 for g in groups for _ in g.iter(SVG + "use"))
    if len(groups) != 1 or markers != ticks + 1:
        failures.append(f"'{series}': {len(groups)} groups, {markers} markers for {ticks} ticks")
text = " ".join(t.text or "" for t in root.iter(SVG + "tspan")) + " ".join(t.text or "" for t in root.iter(SVG + "text"))
for wanted in ("x2APIC", "period 5000 x 100 ns = 10000 TSC ticks", f"{ticks} ticks"):
    if wanted not in text:
        failures.append(f"the title lacks '{wanted}'")
for failure in failures:
    print("FAIL:", failure)
if failures:
    sys.exit(1)
print(f"picture: {ticks} ticks, one marker each in both per-tick panels")
CHECK
