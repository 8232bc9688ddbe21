#!/usr/bin/env python3
"""Turns the format benchmark's JSON results into a table of ns per message and ratios."""
import json
import math
import sys

TARGET_RATIO_ANY = 1.3


def main(path):
    with open(path) as f:
        results = json.load(f)["benchmarks"]
    medians = {}
    for r in results:
        if r.get("aggregate_name") == "median":
            engine, kind = r["run_name"].split("/", 1)
            medians.setdefault(kind, {})[engine] = r["real_time"]

    print(f"{'message kind':<12} {'ours ns':>8} {'glibc ns':>9} {'stb ns':>7} {'ours/glibc':>11} {'ours/stb':>9}")
    glibc_ratios, stb_ratios = [], []
    for kind, t in medians.items():
        if "Glibc" in t:
            rg, rs = t["Ours"] / t["Glibc"], t["Ours"] / t["Stb"]
            glibc_ratios.append(rg)
            stb_ratios.append(rs)
            flag = "  <-- above 1.3x glibc" if rg > TARGET_RATIO_ANY else ""
            print(f"{kind:<12} {t['Ours']:8.1f} {t['Glibc']:9.1f} {t['Stb']:7.1f} {rg:10.2f}x {rs:8.2f}x{flag}")
        else:
            print(f"{kind:<12} {t['Ours']:8.1f} {'-':>9} {'-':>7}")

    def geomean(xs):
        return math.exp(sum(math.log(x) for x in xs) / len(xs))

    print(f"geometric mean: {geomean(glibc_ratios):.2f}x glibc, {geomean(stb_ratios):.2f}x stb_sprintf")
    if "Unsigned64" in medians and "Unsigned32" in medians:
        ratio = medians["Unsigned64"]["Ours"] / medians["Unsigned32"]["Ours"]
        print(f"64-bit %lu of the largest value costs {ratio:.2f}x a 32-bit %u")


if __name__ == "__main__":
    main(sys.argv[1])
