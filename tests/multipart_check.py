#!/usr/bin/env python3
"""Reads an upload request body with Python's email package and compares it
with expectations.

usage: multipart_check.py BODY EXPECTATIONS

EXPECTATIONS is a JSON file:
  {"boundary": "...",
   "fields": [["NAME", "value"], ...],          in body order
   "file": null | {"filename": "...", "content_type": "...", "source": "PATH"}}
where "source" names the file whose bytes the file part must carry.

Two readings: the email package's multipart parser (the parts, their names,
values and bytes), and a byte-for-byte comparison with the body that the
form-data layout gives for these fields. Prints "OK" and exits 0 when both
match; otherwise prints every difference and exits 1.
"""
import email
import json
import re
import sys


def expected_body(boundary, fields, file_part, file_bytes):
    delimiter = b"--" + boundary
    out = b""
    for name, value in fields:
        out += (delimiter + b"\r\n" + b'Content-Disposition: form-data; name="' + name +
                b'"\r\n\r\n' + value + b"\r\n")
    if file_part is not None:
        out += (delimiter + b"\r\n" + b'Content-Disposition: form-data; name="UsageFile"; '
                b'filename="' + file_part["filename"].encode("utf-8") + b'"\r\n' +
                b"Content-Type: " + file_part["content_type"].encode("utf-8") + b"\r\n\r\n" +
                file_bytes + b"\r\n")
    return out + delimiter + b"--"


def main():
    body_path, expectations_path = sys.argv[1], sys.argv[2]
    with open(body_path, "rb") as f:
        body = f.read()
    with open(expectations_path, encoding="utf-8") as f:
        expected = json.load(f)
    boundary = expected["boundary"].encode("ascii")
    fields = [(n.encode("utf-8"), v.encode("utf-8")) for n, v in expected["fields"]]
    file_part = expected["file"]
    file_bytes = None
    if file_part is not None:
        with open(file_part["source"], "rb") as f:
            file_bytes = f.read()
    problems = []

    if not body.endswith(b"--" + boundary + b"--"):
        problems.append("body does not end with the close delimiter: %r" % body[-80:])

    message = email.message_from_bytes(
        b'Content-Type: multipart/form-data; boundary="' + boundary + b'"\r\n\r\n' + body)
    if not message.is_multipart():
        problems.append("not read as multipart")
    else:
        if message.defects:
            problems.append("defects: %r" % message.defects)
        if message.epilogue:
            problems.append("bytes after the close delimiter: %r" % message.epilogue)
        parts = message.get_payload()
        names = [p.get_param("name", header="content-disposition") for p in parts]
        want_names = [n.decode() for n, _ in fields] + (["UsageFile"] if file_part else [])
        if names != want_names:
            problems.append("part names %r, expected %r" % (names, want_names))
        for part, (name, value) in zip(parts, fields):
            if part.get_content_disposition() != "form-data":
                problems.append("%s: disposition %r" % (name, part.get("content-disposition")))
            if part.get_filename() is not None or part.get("content-type") is not None:
                problems.append("%s: a text part with a file name or content type" % name)
            got = part.get_payload(decode=True)
            if got != value:
                problems.append("%s: value %r, expected %r" % (name.decode(), got, value))
        if file_part is not None and len(parts) == len(fields) + 1:
            part = parts[-1]
            # The header as it arrived (non-ASCII bytes as surrogate escapes),
            # back to bytes, then UTF-8.
            raw = dict((k.lower(), v) for k, v in part.raw_items())["content-disposition"]
            found = re.search(r'filename="([^"]*)"', raw)
            filename = found.group(1) if found else None
            if filename is not None:
                filename = filename.encode("ascii", "surrogateescape").decode("utf-8")
            if filename != file_part["filename"]:
                problems.append("file name %r, expected %r" % (filename, file_part["filename"]))
            if part.get("content-type") != file_part["content_type"]:
                problems.append("content type %r" % part.get("content-type"))
            got = part.get_payload(decode=True)
            if got != file_bytes:
                problems.append("file part: %d bytes, expected the %d bytes of the archive"
                                % (len(got or b""), len(file_bytes)))

    want = expected_body(boundary, fields, file_part, file_bytes)
    if body != want:
        at = next((i for i, (a, b) in enumerate(zip(body, want)) if a != b),
                  min(len(body), len(want)))
        problems.append("bytes differ from the form-data layout at %d: got %r, expected %r"
                        % (at, body[at:at + 60], want[at:at + 60]))

    if problems:
        print("\n".join(problems))
        return 1
    print("OK")
    return 0


if __name__ == "__main__":
    sys.exit(main())
