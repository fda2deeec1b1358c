#!/usr/bin/env python3
"""Writes the seed corpus in fuzz/corpus/ (committed; rerun after changing it).

The layout of an input is described at the top of velquist_fuzz.cpp.
"""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus")

REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 0, 1, 2, 3, 4, 7
# System selector (bits 1-3 of the flags byte).
AMD64, INTEL, IA64, ARM64, IA32_ON_WIN64, ARM, AMD64_OLD, INTEL_OLD = range(8)
UNINSTALL, ICON, SERVICE = 0, 1, 2

PROG = "C:\\Program Files\\Example Driver\\"


def utf16(text, terminator=True):
    data = text.encode("utf-16-le")
    return data + (b"\0\0" if terminator else b"")


def text_seed(text):
    return b"\0" + utf16(text, terminator=False)


def reg_seed(target, system, fix=True, v32=None, v64=None, write_fails=False,
             open32_refused=False, key32=False, key64=False, create_fails=False,
             no_kernel32=False):
    """v32/v64: (type, bytes) seeded in that view, or None."""
    flags = (1 if fix else 0) | (system << 1)
    flags |= (0x10 if v32 else 0) | (0x20 if v64 else 0)
    flags |= (0x40 if write_fails else 0) | (0x80 if open32_refused else 0)
    keys = (1 if key32 else 0) | (2 if key64 else 0)
    keys |= (4 if create_fails else 0) | (8 if no_kernel32 else 0)
    out = bytes([1, target, flags, keys])
    for value in (v32, v64):
        if value:
            vtype, data = value
            out += bytes([vtype]) + struct.pack("<H", len(data)) + data
    return out


TEXTS = {
    "uninstall-args": PROG + "setup.exe -uninstall",
    "icon-index": PROG + "setup.exe,0",
    "upper-ext": PROG + "svc.EXE",
    "mixed-ext": PROG + "svc.eXe /x",
    "quoted-arg": PROG + 'setup.exe "arg one"',
    "last-exe": "C:\\Tools\\run.exe -config C:\\Data Files\\x.exe",
    "exe-in-name": PROG + "a.executor\\run.bat",
    "already-quoted": '"' + PROG + 'setup.exe" -uninstall',
    "short-names": "C:\\PROGRA~1\\EXAMPL~1\\setup.exe -uninstall",
    "no-exe": "system32\\drivers\\example.sys",
    "empty": "",
    "leading-blank": " C:\\x.exe",
    "line-sep-after": PROG + "setup.exe\u2028-u\u2029",
    "lf-after": PROG + "setup.exe\n-u",
    "cr-before": "C:\\a\rb.exe",
    "quote-inside": 'C:\\Program Files\\a"b\\setup.exe',
    "ideographic-space": "C:\\Program\u3000Files\\setup.exe",
    "nbsp": "C:\\Program\u00a0Files\\setup.exe",
    "tab": "C:\\Program\tFiles\\setup.exe",
    "blanks-dots": (" ." * 130)[:260],
    "exe-then-break": (" " * 80) + (".exe" * 20) + ("x" * 99) + "\n",
    "exe-then-quote": (" .exe" * 51) + '"' + "x" * 4,
}

REGS = {
    "reg-fix-32": reg_seed(UNINSTALL, AMD64, v32=(REG_SZ, utf16(PROG + "setup.exe -u"))),
    "reg-scan-32": reg_seed(UNINSTALL, AMD64, fix=False,
                            v32=(REG_SZ, utf16(PROG + "setup.exe -u"))),
    "reg-fix-64-only": reg_seed(ICON, AMD64, v64=(REG_SZ, utf16(PROG + "setup.exe,0"))),
    "reg-64-on-32bit": reg_seed(ICON, INTEL, v64=(REG_SZ, utf16(PROG + "setup.exe,0"))),
    "reg-service-expand": reg_seed(SERVICE, AMD64,
                                   v32=(REG_EXPAND_SZ, utf16("%ProgramFiles%\\Ex Dr\\svc.exe"))),
    "reg-multi-sz": reg_seed(UNINSTALL, AMD64, v32=(
        REG_MULTI_SZ, utf16(PROG + "a.exe") + utf16("second b.exe") + b"\0\0")),
    "reg-odd-no-nul": reg_seed(UNINSTALL, INTEL, v32=(
        REG_SZ, utf16(PROG + "setup.exe x", terminator=False) + b"y")),
    "reg-embedded-nul": reg_seed(ICON, AMD64, v32=(
        REG_SZ, utf16("C:\\a b\\c.exe") + utf16("tail d.exe"))),
    "reg-259-units": reg_seed(UNINSTALL, AMD64, v32=(
        REG_SZ, utf16("C:\\" + "a b\\" * 62 + "xx.exe" + "z" * 2))),
    "reg-too-long-32-short-64": reg_seed(UNINSTALL, AMD64, v32=(
        REG_SZ, utf16("C:\\a b\\" + "c" * 249 + ".exe")), v64=(
        REG_SZ, utf16("D:\\x y.exe", terminator=False))),
    "reg-dword": reg_seed(SERVICE, AMD64, v32=(REG_DWORD, struct.pack("<I", 5))),
    "reg-binary": reg_seed(UNINSTALL, IA64, v32=(REG_BINARY, utf16("C:\\a b.exe"))),
    "reg-write-fails": reg_seed(SERVICE, AMD64, write_fails=True,
                                v32=(REG_EXPAND_SZ, utf16(PROG + "svc.exe"))),
    "reg-create-fails": reg_seed(ICON, INTEL, write_fails=True, create_fails=True,
                                 v32=(REG_SZ, utf16(PROG + "setup.exe,1"))),
    "reg-no-kernel32": reg_seed(ICON, AMD64, no_kernel32=True,
                                v64=(REG_SZ, utf16(PROG + "setup.exe,1"))),
    "reg-open-refused": reg_seed(UNINSTALL, AMD64, open32_refused=True,
                                 v64=(REG_SZ, utf16(PROG + "setup.exe /q"))),
    "reg-key-no-value": reg_seed(UNINSTALL, ARM64, key32=True, key64=True),
    "reg-no-native-info": reg_seed(ICON, AMD64_OLD, v64=(REG_SZ, utf16(PROG + "s.exe"))),
    "reg-wow64-arch": reg_seed(SERVICE, IA32_ON_WIN64, open32_refused=True,
                               v32=(REG_EXPAND_SZ, utf16(PROG + "svc.exe"))),
    "reg-empty": reg_seed(UNINSTALL, ARM, v32=(REG_SZ, b"")),
}


def main():
    shutil.rmtree(OUT, ignore_errors=True)
    os.makedirs(OUT)
    for name, text in TEXTS.items():
        assert len(text) <= 260, name
        with open(os.path.join(OUT, "text-" + name), "wb") as f:
            f.write(text_seed(text))
    for name, data in REGS.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
