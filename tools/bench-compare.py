#!/usr/bin/env python3
"""Compares two builds of a benchmark program in one run: the two binaries
take turns, ROUNDS times each, and each benchmark's median CPU time of either
is printed side by side with their ratio, as a Markdown table. Benchmarks only
one of them has are listed with a dash for the other.

usage: bench-compare.py BEFORE AFTER [--rounds N] [extra benchmark flags...]
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile

args = sys.argv[1:]
if len(args) < 2:
    sys.exit(__doc__)
before, after, rest = args[0], args[1], args[2:]
rounds = 5
if "--rounds" in rest:
    i = rest.index("--rounds")
    rounds = int(rest[i + 1])
    del rest[i:i + 2]

home = tempfile.mkdtemp(prefix="kelmix-bench-compare-")
env = dict(os.environ, XDG_CONFIG_HOME=home, XDG_RUNTIME_DIR=home)
flags = ["--benchmark_format=json", "--benchmark_min_time=0.2"]
scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}
times = {before: {}, after: {}}
order = []
for _ in range(rounds):
    for binary in (before, after):
        out = subprocess.run([binary, *flags, *rest], check=True, capture_output=True,
                             text=True, env=env).stdout
        for b in json.loads(out)["benchmarks"]:
            name = b.get("run_name", b["name"])
            if name not in order:
                order.append(name)
            times[binary].setdefault(name, []).append(b["cpu_time"] * scale[b["time_unit"]])


def fmt(ns):
    if ns is None:
        return "-"
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} µs"
    return f"{ns:.1f} ns"


print(f"Medians of {rounds} alternating runs; load average {os.getloadavg()[0]:.1f} at the end.\n")
print("| benchmark | before | after | after / before |")
print("|---|---:|---:|---:|")
for name in order:
    b = times[before].get(name)
    a = times[after].get(name)
    mb = statistics.median(b) if b else None
    ma = statistics.median(a) if a else None
    ratio = f"{ma / mb:.2f}" if mb and ma else "-"
    print(f"| {name} | {fmt(mb)} | {fmt(ma)} | {ratio} |")
