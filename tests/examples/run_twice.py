#!/usr/bin/env python3
"""Runs an example host twice over a fresh data directory: each run must
succeed and its output match its pattern (re.search, DOTALL), so the second
run shows what the first one stored.

usage: run_twice.py DATA_DIR FIRST_PATTERN SECOND_PATTERN [--reset CMD...] -- COMMAND [ARGS...]
On Linux the test points XDG_CONFIG_HOME and XDG_RUNTIME_DIR into DATA_DIR.
A Wine prefix keeps its registry from one test run to the next: there RESET
(the kelmix tool's wipe) deletes the example's store first, and is allowed to
find none (exit 3). Windows' line ends are read as plain newlines.
"""
import os
import re
import shutil
import subprocess
import sys


def main():
    data, first, second, *rest = sys.argv[1:]
    reset = []
    if rest and rest[0] == "--reset":
        end = rest.index("--")
        reset, rest = rest[1:end], rest[end:]
    assert rest and rest[0] == "--" and rest[1:], __doc__
    command = rest[1:]
    shutil.rmtree(data, ignore_errors=True)
    os.makedirs(data, mode=0o700)
    if reset:
        result = subprocess.run(reset, capture_output=True, text=True, errors="replace")
        if result.returncode not in (0, 3):
            print(f"reset failed (exit {result.returncode}):\n{result.stdout}{result.stderr}")
            return 1
    for run, pattern in ((1, first), (2, second)):
        result = subprocess.run(command, capture_output=True, text=True, errors="replace")
        result.stdout = result.stdout.replace("\r\n", "\n")
        print(f"---- run {run} (exit {result.returncode})\n{result.stdout}{result.stderr}", end="")
        if result.returncode != 0:
            print(f"run {run} failed")
            return 1
        if not re.search(pattern, result.stdout, re.S):
            print(f"run {run}: output does not match {pattern!r}")
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
