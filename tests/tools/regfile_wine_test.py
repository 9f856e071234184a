#!/usr/bin/env python3
"""kelmix export/import against Wine's own reg.exe, under the win64 preset.

regfile_wine_test.py --work DIR --kelmix KELMIX.EXE [--linux-kelmix PATH] -- EMULATOR...

Values written by the Windows library go through `reg export` and `kelmix
import`; `kelmix export` goes through `reg import`; the dumps of both sides
must hold the same types and bytes. When the Linux tool is built, its export
of the same values goes through `reg import` too.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys

# Every form a file has: what dword, hex:, quoted text, @= and hex(N) hold.
VALUES = [
    {"name": "", "type": "string", "value": "default"},
    {"name": "int", "type": "int", "value": -2147483648},
    {"name": "double", "type": "double", "value": 0.1, "bits": "3fb999999999999a"},
    {"name": "nan", "type": "double", "value": None, "bits": "7ff8000000000123"},
    {"name": "text", "type": "string", "value": "Grüße 𝄞 \"q\" \\ 名前"},
    {"name": "empty", "type": "string", "value": ""},
    {"name": "na\"me\\", "type": "string", "value": "x"},
    {"name": "lines", "type": "string", "value": "a\r\nb"},
    {"name": "unterminated", "type": "raw", "reg_type": 1, "hex": "610062006300"},
    {"name": "nul", "type": "raw", "reg_type": 1, "hex": "6100000062000000"},
    {"name": "dword2", "type": "raw", "reg_type": 4, "hex": "0102"},
    {"name": "qword", "type": "raw", "reg_type": 11, "hex": "0807060504030201"},
    {"name": "expand", "type": "raw", "reg_type": 2, "hex": "2500410025000000"},
    {"name": "multi", "type": "raw", "reg_type": 7, "hex": "61000000620000000000"},
    {"name": "bin0", "type": "raw", "reg_type": 3, "hex": ""},
    {"name": "long", "type": "raw", "reg_type": 3, "hex": "ab" * 200},
]


# What Wine's reg export does not write exactly: a DWORD of 2 bytes as 4,
# and text without its last unit, or up to a zero inside.
NOT_BY_REG_EXPORT = {"dword2", "unterminated", "nul"}
# What Wine's reg import does not keep: text written without a terminator
# gets one, as the registry adds it when a zero follows in memory.
NOT_BY_REG_IMPORT = {"unterminated"}


class Runner:
    def __init__(self, work, emulator, kelmix):
        self.work, self.emulator, self.kelmix = work, emulator, kelmix
        self.failures = 0

    def run(self, *args, check=True, env=None):
        p = subprocess.run(list(args), cwd=self.work, capture_output=True, env=env)
        if check and p.returncode != 0:
            sys.exit(f"FAILED ({p.returncode}): {' '.join(args)}\n"
                     f"{p.stdout.decode(errors='replace')}{p.stderr.decode(errors='replace')}")
        return p

    def wine(self, *args, check=True):
        return self.run(*self.emulator, *args, check=check)

    def tool(self, *args, check=True):
        return self.wine(self.kelmix, *args, check=check)

    def dump(self, store):
        # The emulator puts stdout and stderr together: the JSON is what lies
        # between the outer braces.
        out = self.tool("dump", store).stdout.decode()
        return json.loads(out[out.index("{"):out.rindex("}") + 1])["values"]

    def expect(self, what, got, want):
        if got != want:
            self.failures += 1
            print(f"MISMATCH: {what}\n  got:  {got!r}\n  want: {want!r}")
        else:
            print(f"ok: {what}")


def without(values, names):
    return {k: v for k, v in values.items() if k not in names}


def by_name(values, leave_out=()):
    return without({v.get("name", v.get("name_utf16le")): v for v in values}, leave_out)


def key(store):
    return "HKEY_CURRENT_USER\\Software\\Kelmix\\" + store


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--kelmix", required=True)
    parser.add_argument("--linux-kelmix")
    parser.add_argument("emulator", nargs="+")
    a = parser.parse_args()
    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)
    r = Runner(a.work, a.emulator, a.kelmix)
    tag = str(os.getpid())
    src, via_reg, via_kelmix, from_linux = (f"kx_regexe_{n}_{tag}" for n in
                                            ("src", "reg", "kelmix", "linux"))
    with open(os.path.join(a.work, "values.json"), "w", encoding="utf-8") as f:
        json.dump({"values": VALUES}, f, ensure_ascii=False)
    try:
        r.tool("load", src, "values.json")
        want = by_name(r.dump(src))
        r.expect("the library wrote the values", sorted(want), sorted(by_name(VALUES)))

        # Wine's reg export, then kelmix import into another store.
        r.wine("reg", "export", key(src), "reg.reg", "/y")
        r.tool("import", "reg.reg", via_reg)
        r.expect("reg export -> kelmix import", by_name(r.dump(via_reg), NOT_BY_REG_EXPORT),
                 without(want, NOT_BY_REG_EXPORT))

        # kelmix export, then Wine's reg import, retargeted to another store.
        r.tool("export", src, "kelmix.reg")
        with open(os.path.join(a.work, "kelmix.reg"), "rb") as f:
            data = f.read()
        data = data.replace(src.encode("utf-16-le"), via_kelmix.encode("utf-16-le"))
        with open(os.path.join(a.work, "kelmix-other.reg"), "wb") as f:
            f.write(data)
        r.wine("reg", "import", "kelmix-other.reg")
        r.expect("kelmix export -> reg import", by_name(r.dump(via_kelmix), NOT_BY_REG_IMPORT),
                 without(want, NOT_BY_REG_IMPORT))

        # Where the forms agree, the files are the same bytes: a store without
        # what reg export writes wrongly, nor text with line ends (reg export
        # escapes them inside quotes, which regedit does not read; hex(1) here).
        for name in NOT_BY_REG_EXPORT | {"lines"}:
            r.tool("del", src, name)
        r.wine("reg", "export", key(src), "reg-common.reg", "/y")
        r.tool("export", src, "kelmix-common.reg")
        with open(os.path.join(a.work, "reg-common.reg"), "rb") as f:
            theirs = f.read()
        with open(os.path.join(a.work, "kelmix-common.reg"), "rb") as f:
            ours = f.read()
        r.expect("kelmix export writes the bytes reg export writes",
                 ours.decode("utf-16"), theirs.decode("utf-16"))

        linux = a.linux_kelmix
        # The linux preset's tool, when it is built and as new as this one.
        usable = linux and os.path.exists(linux) and "export" in subprocess.run(
            [linux, "--help"], capture_output=True, text=True).stdout
        if usable:
            env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(a.work, "linux-config"),
                       XDG_RUNTIME_DIR=os.path.join(a.work, "linux-run"))
            os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
            r.run(linux, "load", from_linux, "values.json", env=env)
            r.run(linux, "export", from_linux, "linux.reg", env=env)
            r.wine("reg", "import", "linux.reg")
            r.expect("Linux kelmix export -> reg import",
                     by_name(r.dump(from_linux), NOT_BY_REG_IMPORT),
                     without(want, NOT_BY_REG_IMPORT))
        else:
            print("skipped: no Linux kelmix with export at", linux)
    finally:
        for store in (src, via_reg, via_kelmix, from_linux):
            r.tool("wipe", store, check=False)
    return 1 if r.failures else 0


if __name__ == "__main__":
    sys.exit(main())
