#!/usr/bin/env python3
"""Checks an MSVC-format import library of a kelmix DLL. It must define the
import symbols MSVC's compiler emits for the header's declarations
(__imp__KXInit@4 on 32-bit x86, __imp_KXInit on x64), and a host compiled for
MSVC and linked against it must import the nineteen undecorated names from the
DLL. The host is built with clang and lld-link, with no MSVC runtime.

usage: check-import-lib.py LLVM_NM LIB ARCH INCLUDE_DIR [CLANG LLD_LINK OBJDUMP]
ARCH is i386 or x86-64.
"""
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from importlib import import_module  # noqa: E402

EXPORTS = import_module("check-dll").EXPORTS

# One call per export with arguments of the declared types.
HOST = r"""
#include "kelmix.h"
static const KXCHAR kName[] = {'k', 0};
int _fltused; /* normally the C runtime's: the code uses floating point */
__declspec(dllexport) double kx_all_exports(void) {
  KXHANDLE h = KXInit(kName);
  double sum = KXString(h, kName, kName) + KXValue(h, kName, 1) + KXDouble(h, kName, 1.5) +
               KXDel(h, kName) + KXGetValue(h, kName) + KXGetDouble(h, kName) +
               KXExists(h, kName) + KXCount(h) + KXDelPref(h, kName) + KXError(h) +
               KXRelease(h) + KXWipe(kName) + (double)UnixTime();
  sum += KXReleaseOne(h, KXGetString(h, kName)) + KXReleaseOne(h, KXGetKey(h, 0));
  sum += KXVersion()[0];
  return sum + KXClose(h);
}
"""


def run(*args):
    result = subprocess.run(args, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"{' '.join(args)} failed:\n{result.stdout}{result.stderr}")
    return result.stdout


def main():
    nm, lib, arch, include = sys.argv[1:5]
    tools = sys.argv[5:8]
    dll = os.path.splitext(os.path.basename(lib))[0] + ".dll"
    failures = []

    defined = set(re.findall(r"^\S*\s*[A-Z] (\S+)$", run(nm, lib), re.M))
    for name, _, arg_bytes in EXPORTS:
        wanted = (f"__imp__{name}@{arg_bytes}", f"_{name}@{arg_bytes}") if arch == "i386" \
            else (f"__imp_{name}", name)
        for symbol in wanted:
            if symbol not in defined:
                failures.append(f"{symbol} is not defined")

    if tools and not failures:
        clang, lld_link, objdump = tools
        target = "i686-pc-windows-msvc" if arch == "i386" else "x86_64-pc-windows-msvc"
        with tempfile.TemporaryDirectory() as tmp:
            source = os.path.join(tmp, "host.c")
            with open(source, "w") as f:
                if dll.startswith("kelmix_x64"):
                    f.write("#define KELMIX_NARROW\n")
                f.write(HOST)
            obj, out = os.path.join(tmp, "host.obj"), os.path.join(tmp, "host.dll")
            run(clang, f"--target={target}", "-c", "-O1", "-Werror", "-I", include, source,
                "-o", obj)
            run(lld_link, "/dll", "/noentry", "/nodefaultlib", f"/out:{out}", obj, lib)
            headers = run(objdump, "-p", out)
        # "DLL Name: kelmix2.dll" then "vma:  Hint/Ord Member-Name ..." rows.
        section = headers.split(f"DLL Name: {dll}", 1)
        imported = set(re.findall(r"^\s+[0-9a-f]+\s+\d+\s+(\S+)\s*$",
                                  re.split(r"\n\s*\n\s*\n|DLL Name:", section[-1])[0], re.M)) \
            if len(section) == 2 else set()
        expected = {name for name, _, _ in EXPORTS}
        if imported != expected:
            failures.append(f"a host linked against it imports {sorted(imported)} from {dll}, "
                            f"not exactly {sorted(expected)}")

    for f in failures:
        print(f"{lib}: {f}")
    print(f"{lib}: {'FAILED' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
