#!/usr/bin/env python3
"""Reads an archive with Python's zipfile and compares it with expectations.

usage: zip_check.py ARCHIVE EXPECTATIONS

EXPECTATIONS is a UTF-8 text file with one line per entry, in archive order:
name, compression method, external attributes (hex) and the source file whose
bytes the entry must hold, separated by tabs. Prints "OK" and exits 0 when the
archive matches; otherwise prints every difference and exits 1.
"""
import sys
import zipfile


def main():
    archive, expectations = sys.argv[1], sys.argv[2]
    with open(expectations, encoding="utf-8") as f:
        expected = [line.rstrip("\n").split("\t") for line in f if line.strip()]
    problems = []
    with zipfile.ZipFile(archive) as z:
        bad = z.testzip()  # reads every entry and checks its CRC-32
        if bad is not None:
            problems.append("bad entry: %r" % bad)
        infos = z.infolist()
        if len(infos) != len(expected):
            problems.append("%d entries, expected %d" % (len(infos), len(expected)))
        for info, (name, method, attributes, source) in zip(infos, expected):
            where = repr(info.filename)
            if info.filename != name:
                problems.append("name %s, expected %r" % (where, name))
            if info.compress_type != int(method):
                problems.append("%s: method %d, expected %s" % (where, info.compress_type, method))
            if info.external_attr != int(attributes, 16):
                problems.append("%s: attributes %#x, expected %s"
                                % (where, info.external_attr, attributes))
            if info.flag_bits & ~0x800:
                problems.append("%s: flags %#x" % (where, info.flag_bits))
            if (info.create_system, info.create_version, info.extract_version) != (11, 0x17, 20):
                problems.append("%s: versions %d %d %d" % (
                    where, info.create_system, info.create_version, info.extract_version))
            with open(source, "rb") as s:
                if z.read(info) != s.read():
                    problems.append("%s: bytes differ from %s" % (where, source))
    print("\n".join(problems) if problems else "OK")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
