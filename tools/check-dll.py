#!/usr/bin/env python3
"""Checks a built kelmix DLL from its bytes: it exports exactly the nineteen
undecorated names at their fixed ordinals, imports only Windows system DLLs,
and (32-bit) each export pops the argument bytes stdcall requires.

usage: check-dll.py OBJDUMP DLL
"""
import re
import subprocess
import sys

# name, ordinal, bytes of arguments under stdcall on 32-bit x86
EXPORTS = [
    ("KXInit", 1, 4), ("KXClose", 2, 4), ("KXString", 3, 12), ("KXValue", 4, 12),
    ("KXDouble", 5, 16), ("KXDel", 6, 8), ("KXGetString", 7, 8), ("KXGetValue", 8, 8),
    ("KXGetDouble", 9, 8), ("KXExists", 10, 8), ("KXCount", 11, 4), ("KXGetKey", 12, 8),
    ("KXDelPref", 13, 8), ("KXError", 14, 4), ("KXRelease", 15, 4), ("KXReleaseOne", 16, 8),
    ("KXWipe", 17, 4), ("KXVersion", 18, 0), ("UnixTime", 19, 0),
]
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "shlwapi.dll", "msvcrt.dll", "user32.dll",
               "ntdll.dll"}


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def main():
    objdump, dll = sys.argv[1], sys.argv[2]
    failures = []
    headers = run(objdump, "-p", dll)

    image_base = int(re.search(r"^ImageBase\s+([0-9a-fA-F]+)", headers, re.M).group(1), 16)
    ordinal_base = int(re.search(r"Ordinal Base\s+(\d+)", headers).group(1))
    # "[   0] +base[   1] 1c50 Export RVA" gives each ordinal's address.
    rvas = {int(o): int(r, 16) for o, r in
            re.findall(r"\+base\[\s*(\d+)\]\s+([0-9a-fA-F]+) Export RVA", headers)}
    # "[   0] KXInit" under the name table gives each name's ordinal index.
    names = {}
    table = headers.split("[Ordinal/Name Pointer] Table", 1)[-1]
    for index, name in re.findall(r"^\s+\[\s*(\d+)\]\s+(\S+)\s*$", table, re.M):
        names[name] = int(index) + ordinal_base
    expected = {name: ordinal for name, ordinal, _ in EXPORTS}
    if names != expected:
        failures.append(f"exports {sorted(names.items(), key=lambda x: x[1])} "
                        f"are not exactly {sorted(expected.items(), key=lambda x: x[1])}")

    imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", headers)}
    foreign = imports - SYSTEM_DLLS
    if foreign:
        failures.append(f"imports non-system DLLs: {sorted(foreign)}")

    if "pei-i386" in run(objdump, "-f", dll):
        disassembly = run(objdump, "-d", "--no-show-raw-insn", dll)
        # Split into functions at each label "<addr> <name>:".
        blocks = re.split(r"^([0-9a-f]+) <[^>]+>:$", disassembly, flags=re.M)
        functions = {int(blocks[i], 16): blocks[i + 1] for i in range(1, len(blocks) - 1, 2)}
        for name, _, arg_bytes in EXPORTS:
            ordinal = expected[name]
            address = image_base + rvas.get(ordinal, 0)
            body = functions.get(address)
            if body is None and len(functions) == 1:
                # Stripped (as packaged): no labels, so from the entry to its first ret.
                m = re.search(rf"^ *{address:x}:.*?\tret\b[^\n]*$", disassembly, re.M | re.S)
                body = m.group(0) if m else None
            if body is None:
                failures.append(f"{name}: no code at {address:#x}")
                continue
            pops = set()
            for m in re.finditer(r"\tret\s*(\$0x[0-9a-f]+)?\s*$", body, re.M):
                pops.add(int(m.group(1)[1:], 16) if m.group(1) else 0)
            if pops != {arg_bytes}:
                failures.append(f"{name}: returns popping {sorted(pops)} bytes, "
                                f"stdcall needs {arg_bytes}")

    for f in failures:
        print(f"{dll}: {f}")
    print(f"{dll}: {'FAILED' if failures else 'ok'} ({len(names)} exports, "
          f"imports {sorted(imports)})")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
