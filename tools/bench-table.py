#!/usr/bin/env python3
"""Runs the benchmarks and prints a Markdown table: each figure beside the
baseline measured in the same run, medians of interleaved repetitions, and the
machine they ran on. Writes the write and read figures beside their peers'
as docs/performance.svg where matplotlib is installed (python3-matplotlib).

usage: bench-table.py [BENCH_BINARY] [extra benchmark flags...]
"""
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile

binary = sys.argv[1] if len(sys.argv) > 1 else "build/linux/bin/kelmix_bench"
home = tempfile.mkdtemp(prefix="kelmix-bench-")
env = dict(os.environ, XDG_CONFIG_HOME=home, XDG_RUNTIME_DIR=home)
flags = ["--benchmark_format=json", "--benchmark_min_time=0.2", "--benchmark_repetitions=5",
         "--benchmark_enable_random_interleaving=true", "--benchmark_report_aggregates_only=true"]
load_before = os.getloadavg()[0]
# GSettings' dconf backend talks to its service over a session bus of its own.
bus = ["dbus-run-session", "--"] if shutil.which("dbus-run-session") else []
out = subprocess.run([*bus, binary, *flags, *sys.argv[2:]], check=True, capture_output=True,
                     text=True, env=env).stdout
runs = {}
for b in json.loads(out)["benchmarks"]:
    if b.get("aggregate_name", "median") == "median":
        runs[b.get("run_name", b["name"])] = b


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


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def os_name():
    try:
        with open("/etc/os-release") as f:
            fields = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        return f"{fields['PRETTY_NAME'].strip(chr(34))}, Linux {platform.release()}"
    except (OSError, KeyError):
        return platform.platform()


# (operation, benchmark, baseline, baseline benchmark, target ratio)
rows = [
    ("KXValue", "BM_KXValue", "bare append (integer)", "BM_BareAppend/text:0", "≤ 1.7x"),
    ("KXString, 32 characters", "BM_KXString32", "bare append (text)", "BM_BareAppend/text:1",
     "≤ 1.7x"),
    ("KXValue", "BM_KXValue", "synchronous registry write", "BM_SyncRegistryWrite", "≤ 1/100"),
    ("read, pending, 1 record", "BM_ReadPending/1", "direct query", "BM_DirectQuery", "-"),
    ("KXValue", "BM_KXValue", "QSettings::setValue (peer)", "BM_QSettingsSetValue", "≤ 0.8x"),
    ("read, pending, 1 record", "BM_ReadPending/1", "QSettings::value (peer)",
     "BM_QSettingsValue", "≤ 0.8x"),
    ("KXValue", "BM_KXValue", "g_settings_set_int over dconf (peer)", "BM_GSettingsSetValue",
     "-"),
    ("read, pending, 1 record", "BM_ReadPending/1", "g_settings_get_int over dconf (peer)",
     "BM_GSettingsValue", "-"),
    ("read, pending, 100 records", "BM_ReadPending/100", "read, pending, 1 record",
     "BM_ReadPending/1", "≤ 2x"),
    ("read, pending, 10,000 records", "BM_ReadPending/10000", "read, pending, 1 record",
     "BM_ReadPending/1", "≤ 2x"),
    ("read, pending, 100,000 records", "BM_ReadPending/100000", "read, pending, 1 record",
     "BM_ReadPending/1", "≤ 2x"),
    ("read from the registry", "BM_ReadRegistry", "direct query", "BM_DirectQuery", "≤ 1.5x"),
    ("KXCount", "BM_KXCount", "direct key query", "BM_DirectQueryInfoKey", "≤ 1.5x"),
    ("KXGetKey", "BM_KXGetKey", "direct enumeration", "BM_DirectEnumValue", "≤ 1.5x"),
    ("read of a stored value: KXGetValue", "BM_ReadRegistry", "QSettings::value, stored (peer)",
     "BM_QSettingsStoredValue", "≤ 0.8x"),
    ("KXGetDouble, stored", "BM_KXGetDoubleStored", "QSettings::value, stored (peer)",
     "BM_QSettingsStoredValue", "≤ 0.8x"),
    ("KXExists, stored", "BM_KXExistsStored", "QSettings::value, stored (peer)",
     "BM_QSettingsStoredValue", "≤ 0.8x"),
    ("KXGetString, stored, 32 characters", "BM_KXGetStringStored",
     "QSettings::value, stored (peer)", "BM_QSettingsStoredValue", "≤ 2x"),
    ("KXCount, unchanged key", "BM_KXCount", "QSettings::value, stored (peer)",
     "BM_QSettingsStoredValue", "≤ 2x"),
    ("KXGetKey, unchanged key", "BM_KXGetKey", "QSettings::value, stored (peer)",
     "BM_QSettingsStoredValue", "≤ 2x"),
    ("read of a stored value: KXGetValue", "BM_ReadRegistry",
     "g_settings_get_int over dconf, stored (peer)", "BM_GSettingsStoredValue", "-"),
    ("KXValue, 10 stores open", "BM_KXValueWithStoresOpen/10", "KXValue, 1 store open",
     "BM_KXValueWithStoresOpen/1", "-"),
    ("KXValue, 100 stores open", "BM_KXValueWithStoresOpen/100", "KXValue, 1 store open",
     "BM_KXValueWithStoresOpen/1", "-"),
    ("read, 10 stores open", "BM_ReadWithStoresOpen/10", "read, 1 store open",
     "BM_ReadWithStoresOpen/1", "-"),
    ("read, 100 stores open", "BM_ReadWithStoresOpen/100", "read, 1 store open",
     "BM_ReadWithStoresOpen/1", "-"),
]
load_after = os.getloadavg()[0]
print(f"{cpu_model()}, {os.cpu_count()} cores, {os_name()}. CPU time per call, median of "
      f"5 interleaved repetitions; load average {load_before:.1f} before the run, "
      f"{load_after:.1f} after.\n")
print("| operation | time | baseline | time | ratio | target |")
print("|---|---|---|---|---|---|")
for label, name, base_label, base, target in rows:
    a, b = cpu_ns(name), cpu_ns(base)
    ratio = "-" if not (a and b) else f"{a / b:.2f}x" if a / b >= 0.1 else f"1/{b / a:.0f}"
    print(f"| {label} | {fmt(a)} | {base_label} | {fmt(b)} | {ratio} | {target} |")
# Reads in all per second, so a ratio above 1 is the gain.
one = runs.get("BM_ReadStoredThreads/real_time/threads:1")
two = runs.get("BM_ReadStoredThreads/real_time/threads:2")
if one and two:
    a, b = two["items_per_second"], one["items_per_second"]
    print(f"| reads of stored values in all, 2 threads on 2 stores | {a / 1e6:.1f} M/s | "
          f"1 thread | {b / 1e6:.1f} M/s | {a / b:.2f}x | ≥ 1.6x |")
drain = runs.get("BM_CloseDrain/100000/iterations:1")
if drain:
    print(f"| KXClose, 100,000 queued | {drain['real_time']:.0f} ms wall | - | - | - | "
          f"< 2000 ms |")
mem = runs.get("BM_MemoryPerRecord/iterations:1")
if mem:
    print(f"| memory per queued record, names distinct | {mem['bytes/record']:.1f} bytes | - | - "
          f"| - | ≤ 48 bytes |")
for values in (100, 10000):
    copy = runs.get(f"BM_CopyMemoryPerValue/{values}/iterations:1")
    if copy:
        print(f"| memory of a store's copy per value read, {values:,} values | "
              f"{copy['bytes/value']:.0f} bytes | - | - | - | - |")
idle = runs.get("BM_IdleStores/100/iterations:1")
if idle:
    print(f"| 100 stores open and idle for 1 s | {idle['cpu_ms']:.1f} ms CPU | - | - | - | ≈ 0 |")


def write_chart(path):
    """One log-scale chart: a queued write and a read of a value just written,
    kelmix beside its peers and the bare registry call."""
    try:
        import matplotlib
        matplotlib.use("svg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(f"bench-table: no matplotlib (apt-get install python3-matplotlib): {path} "
              "not written", file=sys.stderr)
        return
    plt.rcParams["svg.hashsalt"] = "kelmix"  # the same ids each run: small diffs
    peers = [("kelmix", "BM_KXValue", "BM_ReadPending/1"),
             ("QSettings (INI file)", "BM_QSettingsSetValue", "BM_QSettingsValue"),
             ("GSettings over dconf", "BM_GSettingsSetValue", "BM_GSettingsValue"),
             ("bare registry call (stand-in, synchronous)", "BM_SyncRegistryWrite",
              "BM_DirectQuery")]
    ops = ["write an integer\n(kelmix: queued)", "read a value\njust written"]
    fig, ax = plt.subplots(figsize=(8, 4))
    height = 0.8 / len(peers)
    for i, (label, write, read) in enumerate(peers):
        figures = [cpu_ns(write), cpu_ns(read)]
        ys = [op + (i - (len(peers) - 1) / 2) * height for op in range(len(ops))]
        shown = [(y, ns) for y, ns in zip(ys, figures) if ns]
        if not shown:
            continue
        bars = ax.barh([y for y, _ in shown], [ns for _, ns in shown], height, label=label)
        ax.bar_label(bars, [fmt(ns) for _, ns in shown], padding=3, fontsize=8)
    ax.set_xscale("log")
    ax.set_xlim(10, ax.get_xlim()[1] * 4)  # room for the labels
    ax.set_yticks(range(len(ops)), ops)
    ax.invert_yaxis()
    ax.set_xlabel("CPU time per call, ns (log scale)")
    ax.set_title("Linux: kelmix beside its peers", fontsize=10)
    ax.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.2), ncol=2, frameon=False)
    fig.tight_layout()
    os.makedirs(os.path.dirname(path), exist_ok=True)
    fig.savefig(path, metadata={"Date": None})


write_chart(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs",
                         "performance.svg"))
