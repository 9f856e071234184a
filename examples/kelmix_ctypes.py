#!/usr/bin/env python3
"""A Python host: counts its launches in a store through ctypes and reads back
the text and double the previous launch left.

usage: kelmix_ctypes.py [LIBRARY]

LIBRARY defaults to the 8-bit library (libkelmix_x64.so; kelmix2.dll on
Windows, whose wchar_t is UTF-16). On Linux the UTF-16 library (libkelmix2.so)
takes char16_t text, which ctypes has no type for: it is passed as UTF-16
bytes here.
"""
import ctypes
import os
import sys

STORE = "KelmixPythonExample"


class Kelmix:
    """The exports this host uses, with their C types declared."""

    def __init__(self, path):
        name = os.path.basename(path)
        self.wide = "kelmix2" in name
        if sys.platform == "win32":
            lib = ctypes.WinDLL(path)  # stdcall exports
            text = ctypes.c_wchar_p if self.wide else ctypes.c_char_p
        else:
            lib = ctypes.CDLL(path)
            text = ctypes.c_char_p  # UTF-8, or UTF-16 bytes for kelmix2
        self.lib, self.text_type = lib, text
        handle = ctypes.c_int
        for export, restype, argtypes in [
            ("KXInit", handle, [text]),
            ("KXClose", ctypes.c_int, [handle]),
            ("KXString", ctypes.c_int, [handle, text, text]),
            ("KXValue", ctypes.c_int, [handle, text, ctypes.c_int]),
            ("KXDouble", ctypes.c_int, [handle, text, ctypes.c_double]),
            # The store owns returned strings: keep them as addresses, copy, release.
            ("KXGetString", ctypes.c_void_p, [handle, text]),
            ("KXGetValue", ctypes.c_int, [handle, text]),
            ("KXGetDouble", ctypes.c_double, [handle, text]),
            ("KXError", ctypes.c_int, [handle]),
            ("KXRelease", ctypes.c_int, [handle]),
            ("KXVersion", ctypes.c_void_p, []),
            ("UnixTime", ctypes.c_int64, []),
        ]:
            function = getattr(lib, export)
            function.restype, function.argtypes = restype, argtypes

    def encode(self, s):
        if self.text_type is ctypes.c_wchar_p:
            return s
        return (s + "\0").encode("utf-16-le") if self.wide else s.encode("utf-8")

    def decode(self, address):
        if not address:
            return ""
        if not self.wide:
            return ctypes.string_at(address).decode("utf-8", "replace")
        units = ctypes.cast(address, ctypes.POINTER(ctypes.c_uint16))
        n = 0
        while units[n]:
            n += 1
        return ctypes.string_at(address, 2 * n).decode("utf-16-le", "replace")

    def open(self, name):
        handle = self.lib.KXInit(self.encode(name))
        if handle < 0x10000:
            raise OSError(f"cannot open store {name} (error {handle})")
        return handle

    def text(self, handle, name):
        """The text, or None when missing; the store's copy is freed."""
        address = self.lib.KXGetString(handle, self.encode(name))
        if self.lib.KXError(handle) != 0:
            return None
        value = self.decode(address)
        self.lib.KXRelease(handle)
        return value


def default_library():
    if sys.platform == "win32":
        return "kelmix2.dll"
    return "libkelmix_x64.so"


def main():
    kx = Kelmix(sys.argv[1] if len(sys.argv) > 1 else default_library())
    e = kx.encode
    print(f"kelmix {kx.decode(kx.lib.KXVersion())} through ctypes")
    store = kx.open(STORE)
    try:
        launch = kx.lib.KXGetValue(store, e("launches")) + 1  # 0 when missing
        print(f"launch {launch}")
        note = kx.text(store, "note")
        if note is not None:
            ratio = kx.lib.KXGetDouble(store, e("ratio"))
            print(f"text from the last launch: {note}")
            print(f"double from the last launch: {ratio!r}")
        kx.lib.KXValue(store, e("launches"), launch)
        kx.lib.KXString(store, e("note"), e(f"written by launch {launch} \u00e9\u4e2d"))
        kx.lib.KXDouble(store, e("ratio"), launch / 3)
        kx.lib.KXDouble(store, e("written_at"), float(kx.lib.UnixTime()))
    finally:
        rc = kx.lib.KXClose(store)  # writes what is still queued
    return 0 if rc == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
