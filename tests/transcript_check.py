#!/usr/bin/env python3
"""Checks transcript files with Python's XML parser (expat), independently of
the component's code.

usage: transcript_check.py FILE...            prints "OK" or every problem
       transcript_check.py --values FILE      also prints every value

Each file must be stored scrambled (not plain XML), unscramble with the
component's fixed key into UTF-8 text that expat parses, carry the XML
declaration, and hold exactly the elements and attributes of the transcript
layout below, in that order, with CDATA where the layout says so and values
of the right form. With --values, every attribute and text is printed as one
line "path<TAB>hex of its UTF-8 bytes" (for example "transcript@guid" or
"transcript/header/os/name"), so that callers get the exact text whatever it
holds. Exit code 0 when every file is sound, 1 otherwise, 2 for bad usage.
"""
import re
import sys
import xml.etree.ElementTree as ElementTree
import xml.parsers.expat

# The scrambling key: every byte of a stored file is XORed with
# KEY[offset % 17].
KEY = bytes([0x5A, 0x3C, 0x91, 0x17, 0xE4, 0x2B, 0x6D, 0xB8, 0x0F,
             0xC3, 0x74, 0x9E, 0x21, 0xD6, 0x58, 0xAF, 0x33])

GUID = r"\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}"
INTEGER = r"-?(0|[1-9][0-9]*)"
HASH = r"[0-9A-F]{64}|UNKNOWN"

# path, kind, attributes in order (name, pattern or None), children in order.
# Kinds: "parent" (elements only), "empty" (nothing inside), "text" (one
# ordinary text, possibly empty), "cdata" (one CDATA text, whitespace around).
LAYOUT = [
    ("transcript", "parent", [("guid", GUID), ("session", GUID)],
     ["header", "usage_data"]),
    ("transcript/header", "parent", [],
     ["client", "nt_login", "tlvr_login", "domain", "machine_name", "product",
      "country_code", "gmt_offset", "runtime_locale_id", "os"]),
    ("transcript/header/client", "empty",
     [("version", r"([0-9]+\.[0-9]+\.[0-9]+\.[0-9]+)?"), ("mode", INTEGER),
      ("lastSendTimestamp", INTEGER)], []),
    ("transcript/header/nt_login", "text", [], []),
    ("transcript/header/tlvr_login", "empty", [("id", None)], []),
    ("transcript/header/domain", "text", [], []),
    ("transcript/header/machine_name", "text", [], []),
    ("transcript/header/product", "parent", [],
     ["product_line_id", "release_id", "serial_num", "language", "release_type",
      "platform", "license_product_line_id", "license_product_release_id",
      "license_product_release_type", "program_type"]),
    ("transcript/header/product/product_line_id", "text", [], []),
    ("transcript/header/product/release_id", "text", [], []),
    ("transcript/header/product/serial_num", "text", [], []),
    ("transcript/header/product/language", "text", [], []),
    ("transcript/header/product/release_type", "text", [], []),
    ("transcript/header/product/platform", "text", [], [], "32"),
    ("transcript/header/product/license_product_line_id", "text", [], []),
    ("transcript/header/product/license_product_release_id", "text", [], []),
    ("transcript/header/product/license_product_release_type", "text", [], []),
    ("transcript/header/product/program_type", "text", [], []),
    ("transcript/header/country_code", "text", [], []),
    ("transcript/header/gmt_offset", "text", [], [], INTEGER),
    ("transcript/header/runtime_locale_id", "text", [], [], "0"),
    ("transcript/header/os", "parent", [],
     ["name", "platform", "locale_id", "service_pack", "hash_os_product_id",
      "hash_system_volume_serial", "hash_os_user_name"]),
    ("transcript/header/os/name", "cdata", [], []),
    ("transcript/header/os/platform", "text", [], [], "32|64|0"),
    ("transcript/header/os/locale_id", "text", [], [], r"[0-9]*"),
    ("transcript/header/os/service_pack", "cdata", [], []),
    ("transcript/header/os/hash_os_product_id", "cdata", [], [], HASH),
    ("transcript/header/os/hash_system_volume_serial", "cdata", [], [], HASH),
    ("transcript/header/os/hash_os_user_name", "cdata", [], [], HASH),
    ("transcript/usage_data", "parent", [], ["start_time", "end_time"]),
    ("transcript/usage_data/start_time", "text", [], [], INTEGER),
    ("transcript/usage_data/end_time", "text", [("isCrash", "0|1")], [], INTEGER),
]


class Node:
    def __init__(self, path, attributes):
        self.path = path
        self.attributes = attributes  # list of (name, value) in document order
        self.children = []            # names in order
        self.pieces = []              # (in_cdata, text)


def read_nodes(xml_bytes):
    """Parses with expat; returns (declaration, nodes by path, duplicates)."""
    nodes = {}
    duplicates = []
    stack = []
    state = {"cdata": False, "declaration": None}
    parser = xml.parsers.expat.ParserCreate()
    parser.ordered_attributes = True
    parser.buffer_text = True

    def start(name, attributes):
        path = (stack[-1].path + "/" if stack else "") + name
        if stack:
            stack[-1].children.append(name)
        node = Node(path, list(zip(attributes[0::2], attributes[1::2])))
        if path in nodes:
            duplicates.append(path)
        nodes[path] = node
        stack.append(node)

    def end(_name):
        stack.pop()

    def data(text):
        if stack:
            stack[-1].pieces.append((state["cdata"], text))

    def start_cdata():
        state["cdata"] = True

    def end_cdata():
        state["cdata"] = False

    def declaration(version, encoding, _standalone):
        state["declaration"] = (version, encoding)

    parser.StartElementHandler = start
    parser.EndElementHandler = end
    parser.CharacterDataHandler = data
    parser.StartCdataSectionHandler = start_cdata
    parser.EndCdataSectionHandler = end_cdata
    parser.XmlDeclHandler = declaration
    parser.Parse(xml_bytes, True)
    return state["declaration"], nodes, duplicates


def node_value(kind, node, problems):
    """The text of a text or CDATA element."""
    if kind == "cdata":
        outside = "".join(t for in_cdata, t in node.pieces if not in_cdata)
        if outside.strip():
            problems.append("%s: text outside CDATA: %r" % (node.path, outside))
        if not any(in_cdata for in_cdata, _ in node.pieces):
            problems.append("%s: no CDATA section" % node.path)
        return "".join(t for in_cdata, t in node.pieces if in_cdata)
    if any(in_cdata for in_cdata, _ in node.pieces):
        problems.append("%s: CDATA where ordinary text belongs" % node.path)
    return "".join(t for _, t in node.pieces)


def check(path, values):
    problems = []
    with open(path, "rb") as f:
        stored = f.read()
    if stored.lstrip().startswith(b"<"):
        problems.append("stored as plain XML, not scrambled")
        return problems
    plain = bytes(b ^ KEY[i % len(KEY)] for i, b in enumerate(stored))
    try:
        plain.decode("utf-8", errors="strict")
        ElementTree.fromstring(plain)
        declaration, nodes, duplicates = read_nodes(plain)
    except (UnicodeDecodeError, ElementTree.ParseError, xml.parsers.expat.ExpatError) as e:
        problems.append("not well-formed: %s" % e)
        return problems
    if declaration != ("1.0", "UTF-8"):
        problems.append("declaration %r" % (declaration,))
    for duplicate in duplicates:
        problems.append("%s: more than once" % duplicate)
    known = set()
    for entry in LAYOUT:
        where, kind, attributes, children = entry[:4]
        pattern = entry[4] if len(entry) > 4 else None
        known.add(where)
        node = nodes.get(where)
        if node is None:
            problems.append("%s: missing" % where)
            continue
        names = [name for name, _ in node.attributes]
        if names != [name for name, _ in attributes]:
            problems.append("%s: attributes %r, expected %r"
                            % (where, names, [name for name, _ in attributes]))
        for (name, value), (_, value_pattern) in zip(node.attributes, attributes):
            values.append(("%s@%s" % (where, name), value))
            if value_pattern is not None and not re.fullmatch(value_pattern, value):
                problems.append("%s@%s: %r is not of the form %s"
                                % (where, name, value, value_pattern))
        if node.children != children:
            problems.append("%s: children %r, expected %r" % (where, node.children, children))
        if kind in ("parent", "empty"):
            text = "".join(t for _, t in node.pieces)
            if kind == "empty" and text:
                problems.append("%s: should be empty, holds %r" % (where, text))
            elif text.strip():
                problems.append("%s: stray text %r" % (where, text))
            continue
        value = node_value(kind, node, problems)
        values.append((where, value))
        if pattern is not None and not re.fullmatch(pattern, value):
            problems.append("%s: %r is not of the form %s" % (where, value, pattern))
    for extra in sorted(set(nodes) - known):
        problems.append("%s: not part of a transcript" % extra)
    return problems


def main(argv):
    show_values = len(argv) > 1 and argv[1] == "--values"
    files = argv[2:] if show_values else argv[1:]
    if not files or (show_values and len(files) != 1):
        print(__doc__, file=sys.stderr)
        return 2
    failed = False
    for path in files:
        values = []
        problems = check(path, values)
        if problems:
            failed = True
            for problem in problems:
                print("%s: %s" % (path, problem))
        elif show_values:
            for name, value in values:
                print("%s\t%s" % (name, value.encode("utf-8").hex()))
    if not failed:
        print("OK")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
