#!/usr/bin/env python3
"""Runs the benchmarks and prints a Markdown table: each figure beside the
baseline measured in the same run.

usage: bench-table.py [BENCH_BINARY] [extra benchmark flags...]
"""
import json
import os
import platform
import subprocess
import sys
import tempfile

binary = sys.argv[1] if len(sys.argv) > 1 else "build/linux/bin/kelmix_bench"
home = tempfile.mkdtemp(prefix="kelmix-bench-")
env = dict(os.environ, XDG_CONFIG_HOME=home, XDG_RUNTIME_DIR=home)
out = subprocess.run([binary, "--benchmark_format=json", "--benchmark_min_time=0.2", *sys.argv[2:]],
                     check=True, capture_output=True, text=True, env=env).stdout
runs = {b["name"]: b for b in json.loads(out)["benchmarks"]}


def cpu_ns(name):
    b = runs.get(name)
    if not b:
        return None
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
    return b["cpu_time"] * scale


def fmt(ns):
    if ns is None:
        return "-"
    if ns >= 1e6:
        return f"{ns / 1e6:.1f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.1f} µs"
    return f"{ns:.0f} ns"


rows = [
    ("KXValue", "BM_KXValue", "bare append (integer)", "BM_BareAppend/text:0"),
    ("KXValue", "BM_KXValue", "synchronous registry write", "BM_SyncRegistryWrite"),
    ("KXString, 32 characters", "BM_KXString32/iterations:200000", "bare append (text)",
     "BM_BareAppend/text:1"),
    ("read, pending, 1 record", "BM_ReadPending/1", "direct query", "BM_DirectQuery"),
    ("read, pending, 100,000 records", "BM_ReadPending/100000", "read, pending, 1 record",
     "BM_ReadPending/1"),
    ("read from the registry", "BM_ReadRegistry", "direct query", "BM_DirectQuery"),
    ("KXCount", "BM_KXCount", "direct key query", "BM_DirectQueryInfoKey"),
    ("KXGetKey", "BM_KXGetKey", "direct enumeration", "BM_DirectEnumValue"),
    ("KXValue, 100 stores open", "BM_KXValueWithStoresOpen/100/iterations:200000",
     "KXValue, 1 store open", "BM_KXValueWithStoresOpen/1/iterations:200000"),
]
print(f"Measured on {platform.machine()}, {os.cpu_count()} cores, {platform.platform()}; CPU time per call.\n")
print("| operation | time | baseline | time | ratio |")
print("|---|---|---|---|---|")
for label, name, base_label, base in rows:
    a, b = cpu_ns(name), cpu_ns(base)
    ratio = f"{a / b:.2f}x" if a and b else "-"
    print(f"| {label} | {fmt(a)} | {base_label} | {fmt(b)} | {ratio} |")
drain = runs.get("BM_CloseDrain/100000/iterations:1")
if drain:
    print(f"| KXClose, 100,000 queued | {drain['real_time']:.0f} ms wall | target | 2000 ms | - |")
mem = runs.get("BM_MemoryPerRecord/iterations:1")
if mem:
    print(f"| memory per queued record | {mem['bytes/record']:.0f} bytes | target | 48 bytes | - |")
