#!/usr/bin/env python3
"""Runs an example host twice over a fresh data directory: each run must
succeed and its output match its pattern (re.search, DOTALL), so the second
run shows what the first one stored.

usage: run_twice.py DATA_DIR FIRST_PATTERN SECOND_PATTERN -- COMMAND [ARGS...]
The test points XDG_CONFIG_HOME and XDG_RUNTIME_DIR into DATA_DIR.
"""
import os
import re
import shutil
import subprocess
import sys


def main():
    data, first, second, dashes, *command = sys.argv[1:]
    assert dashes == "--" and command, __doc__
    shutil.rmtree(data, ignore_errors=True)
    os.makedirs(data, mode=0o700)
    for run, pattern in ((1, first), (2, second)):
        result = subprocess.run(command, capture_output=True, text=True, errors="replace")
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
