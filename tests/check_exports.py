#!/usr/bin/env python3
"""Reads comrelay.dll's export and import directories straight from the PE file
and checks the export table entry by entry, and that only system DLLs are
imported. With --header, also that include/comrelay.h names the same exports
at the same ordinals and declares a pointer type for each.
Usage: check_exports.py [--header comrelay.h] DLL"""
import re
import struct
import sys

EXPECTED = ["Close", "open", "getport", "setport", "getstring", "sendstring", "GetData",
            "senddata", "getparity", "setparity", "getstopbit", "setstopbit", "getdatabit",
            "setdatabit", "getbaudrate", "setbaudrate", "Draw", "SetParentWindow",
            "CreateObject", "Interface", "HasIntDlg", "GetInfo", "GetShortInfo", "Copyright",
            "SetPath", "GetData", "SetData", "GetFile", "SetFile"]
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "winmm.dll", "msvcrt.dll"}


class PE:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0", "not a PE file"
        machine, nsections = struct.unpack_from("<HH", data, pe + 4)
        assert machine == 0x14C, "not i386"
        opt_size = struct.unpack_from("<H", data, pe + 20)[0]
        opt = pe + 24
        assert struct.unpack_from("<H", data, opt)[0] == 0x10B, "not PE32"
        self.dirs = [struct.unpack_from("<II", data, opt + 96 + 8 * i) for i in range(16)]
        self.sections = []
        sec = opt + opt_size
        for i in range(nsections):
            vsize, va, rawsize, raw = struct.unpack_from("<IIII", data, sec + 40 * i + 8)
            self.sections.append((va, max(vsize, rawsize), raw))

    def off(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return rva - va + raw
        raise ValueError("rva %#x outside every section" % rva)

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.off(rva))[0]

    def u16(self, rva):
        return struct.unpack_from("<H", self.data, self.off(rva))[0]

    def cstr(self, rva):
        o = self.off(rva)
        return self.data[o:self.data.index(b"\0", o)].decode("ascii")


def header_failures(path):
    """The header's ordinals and pointer types against the expected table."""
    text = open(path, encoding="ascii").read()
    failures = []
    ordinals = {int(n): name for name, n in re.findall(r"COMRELAY_ORDINAL_(\w+) = (\d+)", text)}
    # The second GetData entry needs a name of its own in a C enum.
    ordinals = {o: ("GetData" if n == "GetData2" else n) for o, n in ordinals.items()}
    if ordinals != dict(enumerate(EXPECTED, 1)):
        failures.append("header ordinals differ: %s" % sorted(
            set(ordinals.items()) ^ set(enumerate(EXPECTED, 1))))
    types = set(re.findall(r"\(COMRELAY_CALL\* comrelay_(\w+)_fn\)", text))
    if types != set(EXPECTED):
        failures.append("header pointer types differ: %s" % sorted(types ^ set(EXPECTED)))
    return failures


def main():
    pe = PE(open(sys.argv[-1], "rb").read())
    failures = []
    if "--header" in sys.argv:
        failures += header_failures(sys.argv[sys.argv.index("--header") + 1])
    exp_rva = pe.dirs[0][0]
    base, nfuncs, nnames, funcs, names, ords = (pe.u32(exp_rva + 16 + 4 * i) for i in range(6))
    if (base, nfuncs, nnames) != (1, 29, 29):
        failures.append("base/functions/names = %d/%d/%d" % (base, nfuncs, nnames))
    addresses = [pe.u32(funcs + 4 * i) for i in range(nfuncs)]
    by_ordinal = {}
    previous = b""
    for i in range(nnames):
        name = pe.cstr(pe.u32(names + 4 * i))
        if name.encode() < previous:
            failures.append("name pointers not sorted at %s" % name)
        previous = name.encode()
        by_ordinal.setdefault(pe.u16(ords + 2 * i) + base, []).append(name)
    for ordinal, name in enumerate(EXPECTED, 1):
        if by_ordinal.get(ordinal) != [name]:
            failures.append("ordinal %d: expected %s, found %s" % (ordinal, name,
                                                                 by_ordinal.get(ordinal)))
    if addresses[6] != addresses[25]:
        failures.append("GetData at 7 and 26 name different functions")
    if len(set(addresses)) != 28:
        failures.append("expected 28 distinct functions, found %d" % len(set(addresses)))

    imp_rva = pe.dirs[1][0]
    imports = []
    while pe.u32(imp_rva + 12):
        imports.append(pe.cstr(pe.u32(imp_rva + 12)))
        imp_rva += 20
    for dll in imports:
        if dll.lower() not in SYSTEM_DLLS:
            failures.append("imports a non-system DLL: %s" % dll)

    print("exports:", ", ".join("%d %s" % (o, n[0]) for o, n in sorted(by_ordinal.items())))
    print("imports:", ", ".join(imports))
    for f in failures:
        print("FAIL:", f)
    print("%d passed, %d failed" % (int(not failures), int(bool(failures))))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
