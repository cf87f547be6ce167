#!/usr/bin/env python3
"""Checks that tvUT.dll serves MSVC-built hosts by name: every function
that clang in MSVC mode (--target=i686-pc-windows-msvc) imports for a host
compiled from the public headers (exports_probe.cpp) is exported under that
name, at the same address as the MinGW name of the same function.

usage: exports_check.py TVUT_DLL INCLUDE_DIR
Needs clang, llvm-nm and llvm-undname (Debian's clang and llvm packages).
Prints one line per import and "OK", or the problems; exit 0 or 1.
"""
import os
import re
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def exports(dll):
    """Export name -> RVA of a PE32 file, read from its export directory."""
    with open(dll, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("%s is not a PE file" % dll)
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x10B:
        raise ValueError("%s is not PE32" % dll)
    export_rva = struct.unpack_from("<I", data, optional + 96)[0]
    table = optional + optional_size
    spans = []
    for i in range(sections):
        at = table + 40 * i
        size, rva, _, raw = struct.unpack_from("<IIII", data, at + 8)
        spans.append((rva, max(size, 1), raw))

    def offset(rva):
        for start, size, raw in spans:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("RVA %#x is in no section" % rva)

    directory = offset(export_rva)
    count_functions, count_names, functions, names, ordinals = struct.unpack_from(
        "<IIIII", data, directory + 20)
    found = {}
    for i in range(count_names):
        name_at = offset(struct.unpack_from("<I", data, offset(names) + 4 * i)[0])
        name = data[name_at:data.index(b"\0", name_at)].decode("ascii")
        ordinal = struct.unpack_from("<H", data, offset(ordinals) + 2 * i)[0]
        found[name] = struct.unpack_from("<I", data, offset(functions) + 4 * ordinal)[0]
    return found


def qualified(demangled):
    """"Class::Function" of a demangled name of either compiler."""
    match = re.search(r"([A-Za-z_][A-Za-z_0-9]*::[A-Za-z_][A-Za-z_0-9]*)\(", demangled)
    return match.group(1) if match else None


def main(argv):
    if len(argv) != 3:
        print(__doc__)
        return 2
    dll, include = argv[1], argv[2]
    with tempfile.TemporaryDirectory() as scratch:
        obj = os.path.join(scratch, "probe.obj")
        subprocess.run(["clang", "--target=i686-pc-windows-msvc", "-c", "-I", include,
                        os.path.join(HERE, "exports_probe.cpp"), "-o", obj], check=True)
        listing = subprocess.run(["llvm-nm", "--undefined-only", obj], check=True,
                                 capture_output=True, text=True).stdout
    imports = sorted(line.split()[-1][len("__imp_"):] for line in listing.splitlines()
                     if line.split() and line.split()[-1].startswith("__imp_"))
    table = exports(dll)
    mingw = {}
    for name, rva in table.items():
        if name.startswith("_Z"):
            demangled = subprocess.run(["c++filt", name], capture_output=True,
                                       text=True).stdout.strip()
            if qualified(demangled):
                mingw[qualified(demangled)] = (name, rva)
    problems = []
    if not imports:
        problems.append("the probe imports nothing: is TVUT_API dllimport for MSVC?")
    for name in imports:
        demangled = subprocess.run(["llvm-undname", name], capture_output=True,
                                   text=True).stdout.strip().splitlines()[-1]
        function = qualified(demangled)
        if name not in table:
            problems.append("not exported: %s (%s)" % (name, demangled))
        elif function not in mingw:
            problems.append("no MinGW name of %s" % function)
        elif mingw[function][1] != table[name]:
            problems.append("%s and %s are different functions" % (name, mingw[function][0]))
        else:
            print("%-28s %s = %s" % (function, name, mingw[function][0]))
    for problem in problems:
        print(problem)
    print("OK" if not problems else "%d problems" % len(problems))
    return 0 if not problems else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
