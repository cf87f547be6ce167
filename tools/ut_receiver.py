#!/usr/bin/env python3
"""tvUT local receiver: a stand-in usage server on 127.0.0.1.

usage: ut_receiver.py --store DIR [--port N] [--tls] [--tls-max-version 1.0]
                      [--script FILE | --script-json TEXT] [--ready-file FILE]
                      [--exit-with-parent]

Accepts usage uploads (HTTP POST of multipart/form-data, on any path), checks
each one as the usage server does, stores what it received and answers with
the XML reply document. Listens on 127.0.0.1 only; --port 0 (the default)
takes a free port. Once listening it prints
"tvUT local receiver listening on URL", where URL is the value a ReceivingHost
setting takes (http(s)://127.0.0.1:PORT/BRIMReceiver; the component appends
"/receiver.aspx").

Checks: a Content-Type multipart/form-data with a boundary; a body that parses
into parts; every descriptive field present once, with a value of the right
form; PAYLOAD_PRESENT 1 exactly when a UsageFile part is there; the archive a
sound ZIP whose .utt entries are scrambled and unscramble into XML that parses.
An archive whose entries unpack to more than 64 MiB in all is not unpacked
(a problem line says so). The store is created for its owner alone (0700).

A request that fails a check is stored with its problems listed and answered
with REQ_STATUS_CODE -100 ("lacks required parameters") unless a script entry
says otherwise.

Store (DIR):
  requests/NNNN/        one folder a request (0001, 0002, ... in arrival order)
    body                the request body as received
    fields/NAME         each text field's exact bytes
    payload.zip         the archive as received, if any
    transcripts/E.xml   each .utt entry E unscrambled to plain XML
    logs/E              every other entry (diagnostic logs)
    summary.txt         written last and atomically, "key value" lines: index,
                        path, body_bytes, start_ns, end_ns (CLOCK_MONOTONIC,
                        from the request line to the reply fully sent or the
                        connection dropped), archive ok|corrupt|none,
                        payload_name, transcripts N, problems N,
                        problem TEXT (one line each), reply DESCRIPTION
  arrivals.txt          "NNNN MONOTONIC_NS" as soon as a request's body has
                        been read, before any scripted hold or delay
  release               create it to end every scripted "hold"
  tls/cert.pem, key.pem the self-signed certificate of --tls (cert.pem is the
                        CA file a client trusts)

--ready-file FILE is written atomically once the receiver listens, with the
lines "url URL", "port N", "pid N" and, with --tls, "ca_file PATH".

--tls serves HTTPS with a fresh self-signed certificate for 127.0.0.1 and
localhost (made with the openssl command). --tls-max-version 1.0 (implies
--tls) makes a server that speaks TLS 1.0 only.

Scripted replies (--script FILE or --script-json TEXT): a JSON array of
objects; request k of this run uses entry k; after the array, the last entry
marked "default": true, or else the normal reply. Keys, all optional:
  status      REQ_STATUS_CODE (int or string; null omits the element)
  ext_dep     EXT_DEP_STATUS_CODE (int or string; null omits the element)
  ext_dep_msg EXT_DEP_EXCEPTION_MSG text (null omits the element)
  session_id  REQ_SESSION_ID text ("" gives an empty element; null omits it)
  http        HTTP status to send instead of 200 (with "body", or a short text)
  body        raw text sent as the whole body instead of the XML document
  body_file   path of a file whose bytes are sent as the whole body (a
              large or binary reply)
  empty       true: HTTP 200 with an empty body
  oversize    N: HTTP 200 whose body is an XML start padded to N bytes
  delay       seconds to wait before replying
  hold        true: wait until DIR/release exists before replying
  hang        true: never answer; keep the connection until the client closes
  reset       "before": TCP reset instead of a reply; "mid": headers that
              promise more than is sent, half the body, then a TCP reset
  default     true: use this entry for every request after the array
Order: hold, then delay, then the reply. Unknown keys are reported and
ignored. Example: [{"status": 120}, {"hold": true}, {"http": 500}]

The normal reply: HTTP 200, Content-Type text/xml, REQ_STATUS_CODE 199
(-100 when a check failed), EXT_DEP_STATUS_CODE 183, a fresh REQ_SESSION_ID.

SIGTERM or SIGINT: stops accepting, ends every waiting request, exits 0.
--exit-with-parent: also stops when the process that started it is gone.
"""

import argparse
import collections
import io
import json
import os
import re
import select
import signal
import socket
import socketserver
import ssl
import struct
import subprocess
import sys
import threading
import time
import uuid
import warnings
import zipfile
import zlib
import xml.parsers.expat
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from xml.sax.saxutils import escape

# Every byte of a stored transcript is XORed with KEY[offset % 17].
KEY = bytes([0x5A, 0x3C, 0x91, 0x17, 0xE4, 0x2B, 0x6D, 0xB8, 0x0F,
             0xC3, 0x74, 0x9E, 0x21, 0xD6, 0x58, 0xAF, 0x33])

SERVLET_BASE = "/BRIMReceiver"
TEXT_FIELDS = [
    "TLVR_LOGIN", "PROD_LANG", "SERIAL_NUM", "KORM_COUNTRY", "RELEASE_TYPE",
    "PROD_LINE_ID", "RELEASE_ID", "LIC_PROD_LINE_ID", "LIC_RELEASE_ID",
    "LIC_RELEASE_TYPE", "PROGRAM_TYPE", "NT_LOGIN", "OS_LOCALE_ID",
    "GMT_OFFSET", "UT_COMP_VER", "CLIENT_MODE", "MACHINE_NAME",
    "HIDDEN_PARAM_1", "HIDDEN_PARAM_2", "HIDDEN_PARAM_3", "PAYLOAD_PRESENT",
]
FILE_FIELD = "UsageFile"
ARCHIVE_TYPE = b"application/x-zip-compressed"
INT32 = re.compile(rb"-?(0|[1-9][0-9]*)\Z")
HASH = (re.compile(rb"([0-9A-Fa-f]{64}|UNKNOWN)\Z"), "64 hexadecimal digits or \"UNKNOWN\"")
FIELD_FORMS = {
    "TLVR_LOGIN": (re.compile(rb".+\Z", re.S), "a login or \"NoValue\""),
    "PROGRAM_TYPE": (re.compile(rb".+\Z", re.S), "a program type or \"NoValue\""),
    "OS_LOCALE_ID": (re.compile(rb"1033\Z"), "\"1033\""),
    "GMT_OFFSET": (INT32, "a decimal integer"),
    "CLIENT_MODE": (INT32, "a decimal integer"),
    "UT_COMP_VER": (re.compile(rb"([0-9]+\.[0-9]+\.[0-9]+\.[0-9]+)?\Z"),
                    "four numbers joined by \".\" or nothing"),
    "HIDDEN_PARAM_1": HASH,
    "HIDDEN_PARAM_2": HASH,
    "HIDDEN_PARAM_3": HASH,
    "PAYLOAD_PRESENT": (re.compile(rb"[01]\Z"), "0 or 1"),
}
SAFE_NAME = re.compile(r"[A-Za-z0-9_{}()\-][A-Za-z0-9_{}()\-.]{0,199}\Z")

MAX_BODY = 256 * 1024 * 1024       # a larger upload is refused with HTTP 413
MAX_ENTRY = 64 * 1024 * 1024       # a larger unpacked entry is not unpacked
MAX_UNPACKED = 64 * 1024 * 1024    # nor an archive whose entries unpack to more
BOUNDARY_MAX = 70                  # the longest boundary multipart allows
READ_TIMEOUT = 120.0               # a client silent this long is dropped
HANDSHAKE_TIMEOUT = 30.0
POLL = 0.01                        # the hold's and hang's polling period
KNOWN_KEYS = {"status", "ext_dep", "ext_dep_msg", "session_id", "http", "body", "body_file",
              "empty", "oversize", "delay", "hold", "hang", "reset", "default"}


class Stopping(Exception):
    """The receiver is stopping: the request ends without a reply."""


class ClientGone(Exception):
    """The client closed the connection (or reset it)."""


def monotonic_ns():
    return time.monotonic_ns()


def printable(text):
    """One line of text for summary.txt and the console."""
    if isinstance(text, bytes):
        text = text.decode("utf-8", "backslashreplace")
    return "".join(c if c.isprintable() else "\\x%02x" % ord(c) if ord(c) < 256
                   else "\\u%04x" % ord(c) for c in text)


def write_atomically(path, data):
    # Readers see the old file or the whole new one; the store is scratch, so
    # surviving a power cut is not worth an fsync per request.
    temp = "%s.tmp.%d.%d" % (path, os.getpid(), threading.get_ident())
    with open(temp, "wb") as out:
        out.write(data)
    os.replace(temp, path)


def unscramble(data):
    key = (KEY * (len(data) // len(KEY) + 1))[:len(data)]
    return bytes(a ^ b for a, b in zip(data, key))


def parses_as_xml(data):
    """None when data parses as an XML document, else the parser's complaint."""
    parser = xml.parsers.expat.ParserCreate()
    try:
        parser.Parse(data, True)
    except xml.parsers.expat.ExpatError as error:
        return str(error)
    return None


# ---------------------------------------------------------------- the script

class Script:
    """The scripted replies; shared by every connection thread (read only)."""

    def __init__(self, entries, warn):
        if not isinstance(entries, list) or not all(isinstance(e, dict) for e in entries):
            raise ValueError("the script must be a JSON array of objects")
        for number, entry in enumerate(entries, 1):
            for key in sorted(set(entry) - KNOWN_KEYS):
                warn("script entry %d: unknown key %r ignored" % (number, key))
            reset = entry.get("reset")
            if reset not in (None, "before", "mid"):
                raise ValueError("script entry %d: reset must be \"before\" or \"mid\"" % number)
            for key in ("http", "oversize"):
                if key in entry and not isinstance(entry[key], int):
                    raise ValueError("script entry %d: %s must be an integer" % (number, key))
            if "body_file" in entry and not os.path.isfile(str(entry["body_file"])):
                raise ValueError("script entry %d: body_file is not a file" % number)
            if "delay" in entry and not isinstance(entry["delay"], (int, float)):
                raise ValueError("script entry %d: delay must be a number" % number)
        self.entries = entries
        defaults = [e for e in entries if e.get("default") is True]
        self.default = defaults[-1] if defaults else {}

    def entry_for(self, k):
        return self.entries[k - 1] if k <= len(self.entries) else self.default


# ----------------------------------------------------------- request checking

def content_type_boundary(value, problems):
    """The boundary of a multipart/form-data Content-Type, or None."""
    if value is None:
        problems.append("no Content-Type header")
        return None
    kind, _, params = value.partition(";")
    if kind.strip().lower() != "multipart/form-data":
        problems.append("Content-Type is %s, not multipart/form-data" % printable(kind.strip()))
        return None
    match = re.search(r'(?:^|;)\s*boundary=("([^"]*)"|[^;\s]*)', params, re.I)
    if not match or not (match.group(2) if match.group(2) is not None else match.group(1)):
        problems.append("Content-Type has no boundary")
        return None
    boundary = match.group(2) if match.group(2) is not None else match.group(1)
    if len(boundary) > BOUNDARY_MAX:
        problems.append("boundary longer than %d characters" % BOUNDARY_MAX)
    return boundary.encode("latin-1", "replace")


def header_params(value):
    """(disposition type, {param: value}) of a Content-Disposition value."""
    kind, _, rest = value.partition(b";")
    params = {}
    for match in re.finditer(rb';?\s*([A-Za-z0-9_*-]+)="((?:[^"\\]|\\.)*)"|;?\s*([A-Za-z0-9_*-]+)=([^;\s]*)',
                             rest):
        if match.group(1) is not None:
            params[match.group(1).lower()] = re.sub(rb"\\(.)", rb"\1", match.group(2))
        else:
            params[match.group(3).lower()] = match.group(4)
    return kind.strip().lower(), params


def split_multipart(body, boundary, problems):
    """The raw parts (headers and content) between the delimiters."""
    delimiter = b"--" + boundary
    separator = b"\r\n" + delimiter
    if body.startswith(delimiter):
        position = len(delimiter)
    else:
        found = body.find(separator)
        if found < 0:
            problems.append("the body holds no boundary delimiter")
            return []
        problems.append("%d bytes before the first boundary delimiter" % found)
        position = found + len(separator)
    parts = []
    while True:
        if body[position:position + 2] == b"--":
            if position + 2 != len(body):
                problems.append("%d bytes after the close delimiter" % (len(body) - position - 2))
            return parts
        if body[position:position + 2] != b"\r\n":
            problems.append("a boundary delimiter is not followed by CR LF")
            return parts
        start = position + 2
        end = body.find(separator, start)
        if end < 0:
            problems.append("the body ends without the close delimiter")
            parts.append(body[start:])
            return parts
        parts.append(body[start:end])
        position = end + len(separator)


# One form part: its field name, its filename and Content-Type (bytes or
# None) and its content.
Part = collections.namedtuple("Part", "name filename content_type content")


def parse_part(raw, problems):
    head, found, content = raw.partition(b"\r\n\r\n")
    if not found:
        if raw.startswith(b"\r\n"):
            head, content = b"", raw[2:]
        else:
            problems.append("a part has no blank line after its headers")
            return None
    disposition = content_type = None
    for line in head.split(b"\r\n") if head else []:
        key, colon, value = line.partition(b":")
        if not colon:
            problems.append("a part header is not a header: %s" % printable(line[:80]))
            continue
        key = key.strip().lower()
        if key == b"content-disposition":
            disposition = value.strip()
        elif key == b"content-type":
            content_type = value.strip()
    if disposition is None:
        problems.append("a part has no Content-Disposition")
        return None
    kind, params = header_params(disposition)
    if kind != b"form-data" or b"name" not in params:
        problems.append("a part's Content-Disposition is not form-data with a name: %s"
                        % printable(disposition[:120]))
        return None
    try:
        name = params[b"name"].decode("ascii")
    except UnicodeDecodeError:
        problems.append("a field name is not ASCII: %s" % printable(params[b"name"]))
        name = params[b"name"].decode("latin-1")
    return Part(name, params.get(b"filename"), content_type, content)


def check_fields(parts, problems):
    """{name: value} of the text parts, and the file part (or None)."""
    fields = {}
    archive = None
    for part in parts:
        if part.name == FILE_FIELD:
            if archive is not None:
                problems.append("more than one %s part" % FILE_FIELD)
                continue
            archive = part
            if part.filename is None:
                problems.append("the %s part has no filename" % FILE_FIELD)
            elif not part.filename or b"/" in part.filename or b"\\" in part.filename:
                problems.append("the %s part's filename is not a bare file name: %s"
                                % (FILE_FIELD, printable(part.filename)))
            if part.content_type is None or part.content_type.lower() != ARCHIVE_TYPE:
                problems.append("the %s part's Content-Type is %s, not %s"
                                % (FILE_FIELD, printable(part.content_type or b"missing"),
                                   ARCHIVE_TYPE.decode()))
            continue
        if part.filename is not None:
            problems.append("field %s is sent as a file" % printable(part.name))
        if part.name in fields:
            problems.append("field %s is sent more than once" % printable(part.name))
            continue
        if part.name not in TEXT_FIELDS:
            problems.append("unexpected field %s" % printable(part.name))
        fields[part.name] = part.content
    for name in TEXT_FIELDS:
        if name not in fields:
            problems.append("missing field %s" % name)
            continue
        value = fields[name]
        try:
            value.decode("utf-8")
        except UnicodeDecodeError:
            problems.append("field %s is not UTF-8" % name)
        form = FIELD_FORMS.get(name)
        if form and not form[0].match(value):
            problems.append("field %s is %s, not %s" % (name, printable(value[:80]), form[1]))
    present = fields.get("PAYLOAD_PRESENT")
    if present == b"1" and archive is None:
        problems.append("PAYLOAD_PRESENT is 1 but there is no %s part" % FILE_FIELD)
    if present == b"0" and archive is not None:
        problems.append("PAYLOAD_PRESENT is 0 but a %s part is there" % FILE_FIELD)
    return fields, archive


def safe_name(name, problems, what):
    """A file name to store name under; unsafe names are reported and replaced."""
    if SAFE_NAME.match(name):
        return name
    problems.append("%s %s is not a safe file name" % (what, printable(name)))
    return "_" + re.sub(r"[^A-Za-z0-9_{}()\-.]", "_", name)[:200]


# --------------------------------------------------------------- the record

class Record:
    """What one request brought and what it was answered; summary.txt at the end."""

    def __init__(self, index, folder, path, start_ns):
        self.index = index
        self.folder = folder
        self.path = path
        self.start_ns = start_ns
        self.end_ns = None
        self.body_bytes = 0
        self.archive = "none"
        self.payload_name = None
        self.transcripts = 0
        self.entries = 0
        self.problems = []
        self.reply = "none"

    def store(self, relative, data):
        target = os.path.join(self.folder, relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as out:
            out.write(data)

    def unpack(self, data):
        """Stores the archive's entries; sets archive and transcripts."""
        try:
            archive = zipfile.ZipFile(io.BytesIO(data))
            infos = archive.infolist()
            if not infos:
                self.problems.append("the archive holds no entries")
            for info in infos:
                if info.file_size > MAX_ENTRY:
                    raise zipfile.BadZipFile("entry %s unpacks to %d bytes"
                                             % (info.filename, info.file_size))
            # Each entry is read no further than the size it declares, so the
            # declared sizes bound what the store takes in.
            unpacked = sum(info.file_size for info in infos)
            if unpacked > MAX_UNPACKED:
                raise zipfile.BadZipFile("the archive unpacks to %d bytes, more than the %d a"
                                         " receiver unpacks" % (unpacked, MAX_UNPACKED))
            bad = archive.testzip()
            if bad is not None:
                raise zipfile.BadZipFile("entry %s fails its CRC check" % bad)
        except (zipfile.BadZipFile, zipfile.LargeZipFile, zlib.error, EOFError, ValueError,
                NotImplementedError, RuntimeError, OSError) as error:
            self.archive = "corrupt"
            self.problems.append("the archive is corrupt: %s" % printable(str(error)))
            return
        self.archive = "ok"
        seen = set()
        for info in infos:
            if info.is_dir():
                self.problems.append("the archive holds a folder %s" % printable(info.filename))
                continue
            self.entries += 1
            name = safe_name(info.filename, self.problems, "archive entry")
            if name in seen:
                self.problems.append("archive entry %s appears twice" % printable(name))
                continue
            seen.add(name)
            content = archive.read(info)
            if not name.endswith(".utt"):
                self.store(os.path.join("logs", name), content)
                continue
            self.transcripts += 1
            plain = unscramble(content)
            self.store(os.path.join("transcripts", name + ".xml"), plain)
            if parses_as_xml(content) is None:
                self.problems.append("transcript %s is stored unscrambled" % name)
                continue
            complaint = parses_as_xml(plain)
            if complaint is not None:
                self.problems.append("transcript %s does not unscramble into XML: %s"
                                     % (name, complaint))

    def check(self, content_type, body):
        """Checks and stores the request body."""
        boundary = content_type_boundary(content_type, self.problems)
        parts = []
        if boundary is not None:
            for raw in split_multipart(body, boundary, self.problems):
                part = parse_part(raw, self.problems)
                if part is not None:
                    parts.append(part)
        fields, archive = check_fields(parts, self.problems)
        for name, value in fields.items():
            self.store(os.path.join("fields", safe_name(name, self.problems, "field name")),
                       value)
        if archive is not None:
            self.payload_name = archive.filename
            self.store("payload.zip", archive.content)
            self.unpack(archive.content)

    def write_summary(self):
        lines = ["index %d" % self.index,
                 "path %s" % printable(self.path),
                 "body_bytes %d" % self.body_bytes,
                 "start_ns %d" % self.start_ns,
                 "end_ns %d" % (self.end_ns if self.end_ns is not None else monotonic_ns()),
                 "archive %s" % self.archive]
        if self.payload_name is not None:
            lines.append("payload_name %s" % printable(self.payload_name))
        lines.append("transcripts %d" % self.transcripts)
        lines.append("problems %d" % len(self.problems))
        lines.extend("problem %s" % printable(p) for p in self.problems)
        lines.append("reply %s" % printable(self.reply))
        write_atomically(os.path.join(self.folder, "summary.txt"),
                         ("\n".join(lines) + "\n").encode("utf-8"))


# ---------------------------------------------------------------- the replies

def reply_document(entry, problems):
    """The XML reply and its description."""
    status = entry["status"] if "status" in entry else (-100 if problems else 199)
    ext_dep = entry.get("ext_dep", 183)
    session = entry["session_id"] if "session_id" in entry else "{%s}" % str(uuid.uuid4()).upper()
    message = entry.get("ext_dep_msg", "")
    elements = [("REQ_SESSION_ID", session), ("REQ_STATUS_CODE", status),
                ("EXT_DEP_STATUS_CODE", ext_dep), ("EXT_DEP_EXCEPTION_MSG", message)]
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', "<RESPONSE>"]
    described = []
    for name, value in elements:
        if value is None:
            described.append("%s=(omitted)" % name)
            continue
        text = escape(str(value))
        lines.append("  <%s>%s</%s>" % (name, text, name) if text else "  <%s/>" % name)
        if name != "EXT_DEP_EXCEPTION_MSG":
            described.append("%s=%s" % (name, value))
    lines.append("</RESPONSE>")
    return ("\n".join(lines) + "\n").encode("utf-8"), "xml " + " ".join(described)


def response_head(code, length, content_type="text/xml"):
    try:
        reason = HTTPStatus(code).phrase
    except ValueError:
        reason = "Status"
    return ("HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %d\r\n"
            "Connection: close\r\n\r\n" % (code, reason, content_type, length)).encode("ascii")


# ---------------------------------------------------------------- the server

class Handler(BaseHTTPRequestHandler):
    """One connection, one request: reads it, stores it, answers as scripted.

    Runs on its connection's thread; every reply closes the connection. A
    client that goes away ends the request with what it had (ClientGone).
    """

    protocol_version = "HTTP/1.1"
    server_version = "tvUTReceiver"

    def parse_request(self):
        self.start_ns = monotonic_ns()
        return super().parse_request()

    def log_message(self, format, *args):  # noqa: A002 (the base class's name)
        self.server.receiver.say("%s %s" % (self.address_string(), format % args))

    def do_GET(self):
        self.close_connection = True
        self.send_error(HTTPStatus.METHOD_NOT_ALLOWED, "uploads are POSTed")

    do_PUT = do_HEAD = do_DELETE = do_GET

    def do_POST(self):
        self.close_connection = True
        self.server.receiver.handle_post(self)

    # The socket helpers the replies use.
    def send_bytes(self, data):
        try:
            self.connection.sendall(data)
        except (OSError, ValueError) as error:
            raise ClientGone(str(error))

    def reset(self):
        """Ends the connection with a TCP reset."""
        try:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
        except OSError:
            pass
        self.rfile.close()
        self.wfile.close()
        self.connection.close()
        # The request loop flushes and closes these once more.
        self.rfile = io.BytesIO()
        self.wfile = io.BytesIO()


class Receiver:
    """The receiver: the server, the store, the script and the stop switch.

    Each connection runs on a thread of its own, so overlapping uploads are
    handled (and recorded) overlapping. The index counter, the console and
    the set of open connections are guarded by locks; everything else a
    request touches is its own. Stop() ends every waiting request and closes
    every connection, so that the process can exit without leaving threads.
    A failure inside one request is logged and ends that request only.
    """

    def __init__(self, args, stop_event):
        self.store = os.path.abspath(args.store)
        self.script = None
        self.stop_event = stop_event
        self.lock = threading.Lock()
        self.console = threading.Lock()
        self.connections = {}
        self.threads = set()
        self.count = 0
        self.tls_context = None
        self.ca_file = None
        for folder in (self.store, os.path.join(self.store, "requests")):
            os.makedirs(folder, mode=0o700, exist_ok=True)
            if not os.path.isdir(folder) or os.path.islink(folder):
                raise OSError("%s is not a folder" % folder)
        existing = [int(n) for n in os.listdir(os.path.join(self.store, "requests"))
                    if n.isdigit()]
        self.base = max(existing, default=0)
        self.release = os.path.join(self.store, "release")
        if os.path.lexists(self.release):
            os.remove(self.release)
        if args.script is not None or args.script_json is not None:
            try:
                if args.script is not None:
                    with open(args.script, "rb") as f:
                        text = f.read().decode("utf-8")
                else:
                    text = args.script_json
                self.script = Script(json.loads(text), self.say)
            except (OSError, ValueError) as error:
                raise ValueError("bad script: %s" % error)
        else:
            self.script = Script([], self.say)
        if args.tls or args.tls_max_version:
            self.tls_context = self.make_tls(args.tls_max_version)
        receiver = self

        class Server(ThreadingHTTPServer):
            daemon_threads = True
            allow_reuse_address = True

            def server_bind(self):
                # Without the base class's reverse lookup of the address, which
                # a machine without a working resolver answers only slowly.
                socketserver.TCPServer.server_bind(self)
                self.server_name, self.server_port = "127.0.0.1", self.server_address[1]

            def process_request(self, request, client_address):
                receiver.start_connection(request, client_address)

            def handle_error(self, request, client_address):
                receiver.say("connection %s: %s" % (client_address, sys.exc_info()[1]))

        self.server = Server(("127.0.0.1", args.port), Handler)
        self.server.receiver = self
        self.port = self.server.server_address[1]
        scheme = "https" if self.tls_context else "http"
        self.url = "%s://127.0.0.1:%d%s" % (scheme, self.port, SERVLET_BASE)

    def say(self, line):
        with self.console:
            try:
                sys.stdout.write(line + "\n")
                sys.stdout.flush()
            except (OSError, ValueError):
                pass  # nobody reads the console any more; the store still records all

    def make_tls(self, max_version):
        folder = os.path.join(self.store, "tls")
        os.makedirs(folder, exist_ok=True)
        cert = os.path.join(folder, "cert.pem")
        key = os.path.join(folder, "key.pem")
        temp_cert, temp_key = cert + ".tmp", key + ".tmp"
        command = ["openssl", "req", "-x509", "-newkey", "ec",
                   "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                   "-keyout", temp_key, "-out", temp_cert, "-days", "2",
                   "-subj", "/CN=127.0.0.1",
                   "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"]
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=60)
        if result.returncode != 0:
            raise OSError("openssl could not make a certificate: %s"
                          % result.stdout.decode("utf-8", "replace").strip())
        os.replace(temp_key, key)
        os.replace(temp_cert, cert)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        if max_version == "1.0":
            # OpenSSL 3 refuses TLS 1.0 at its default security level. Python
            # warns that TLS 1.0 is deprecated: an old server is the point here.
            context.set_ciphers("DEFAULT:@SECLEVEL=0")
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                context.minimum_version = ssl.TLSVersion.TLSv1
                context.maximum_version = ssl.TLSVersion.TLSv1
        context.load_cert_chain(cert, key)
        self.ca_file = cert
        return context

    def write_ready_file(self, path):
        lines = ["url %s" % self.url, "port %d" % self.port, "pid %d" % os.getpid()]
        if self.ca_file:
            lines.append("ca_file %s" % self.ca_file)
        write_atomically(path, ("\n".join(lines) + "\n").encode("utf-8"))

    # Connections ---------------------------------------------------------

    def start_connection(self, sock, address):
        thread = threading.Thread(target=self.serve_connection, args=(sock, address),
                                  daemon=True)
        with self.lock:
            if self.stop_event.is_set():
                sock.close()
                return
            # Registered before the thread runs, so that a stop that comes
            # first still shuts this connection down.
            self.threads.add(thread)
            self.connections[sock.fileno()] = address
        thread.start()

    def serve_connection(self, sock, address):
        fd = sock.fileno()
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if self.tls_context is not None:
                sock.settimeout(HANDSHAKE_TIMEOUT)
                try:
                    sock = self.tls_context.wrap_socket(sock, server_side=True)
                except (OSError, ssl.SSLError) as error:
                    self.say("connection %s:%d: TLS handshake failed: %s"
                             % (address[0], address[1], error))
                    return
            sock.settimeout(READ_TIMEOUT)
            Handler(sock, address, self.server)
        except Exception as error:  # one bad connection must not end the receiver
            self.say("connection %s:%d: %s: %s"
                     % (address[0], address[1], type(error).__name__, error))
        finally:
            with self.lock:
                self.connections.pop(fd, None)
                try:
                    sock.close()
                except OSError:
                    pass
                self.threads.discard(threading.current_thread())

    def next_index(self):
        with self.lock:
            self.count += 1
            return self.count

    # One request ---------------------------------------------------------

    def read_body(self, handler, record):
        """The request body (Content-Length or chunked); raises ClientGone."""
        rfile = handler.rfile
        chunked = "chunked" in (handler.headers.get("Transfer-Encoding") or "").lower()
        lengths = set(v.strip() for v in handler.headers.get_all("Content-Length") or [])
        length = next(iter(lengths)) if len(lengths) == 1 else None
        if not chunked:
            if len(lengths) > 1:
                record.problems.append("conflicting Content-Length headers")
                return None
            if length is None or not length.isdigit():
                record.problems.append("no usable Content-Length")
                return None
            length = int(length)
            if length > MAX_BODY:
                record.problems.append("a body of %d bytes is more than %d" % (length, MAX_BODY))
                record.body_bytes = -1
                return None
        pieces = []
        received = 0

        def read(count):
            nonlocal received
            data = b""
            while len(data) < count:
                piece = rfile.read1(min(count - len(data), 1 << 20))
                if not piece:
                    record.body_bytes = received
                    raise ClientGone("the client closed the connection after %d body bytes"
                                     % received)
                data += piece
                received += len(piece)
            return data

        if not chunked:
            pieces.append(read(length))
        else:
            while True:
                line = rfile.readline(1024)
                if not line.endswith(b"\n"):
                    raise ClientGone("the client closed the connection inside a chunk header")
                size = int(line.split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while rfile.readline(8192) not in (b"\r\n", b"\n", b""):
                        pass
                    break
                if received + size > MAX_BODY:
                    record.problems.append("a chunked body of more than %d bytes" % MAX_BODY)
                    record.body_bytes = -1
                    return None
                pieces.append(read(size))
                rfile.readline(8)
        body = b"".join(pieces)
        record.body_bytes = len(body)
        return body

    def handle_post(self, handler):
        k = self.next_index()
        index = self.base + k
        folder = os.path.join(self.store, "requests", "%04d" % index)
        os.makedirs(folder, exist_ok=True)
        record = Record(index, folder, handler.path, getattr(handler, "start_ns", monotonic_ns()))
        try:
            try:
                body = self.read_body(handler, record)
            except (ClientGone, OSError, ValueError) as error:
                record.problems.append("the request body is incomplete: %s" % error)
                record.reply = ("none (receiver stopped)" if self.stop_event.is_set()
                                else "none (client gone while sending the body)")
                self.say("%04d: %s" % (index, error))
                return
            self.arrived(index)
            if body is None:
                code = 413 if record.body_bytes < 0 else 411
                data = b"request refused\n"
                record.reply = "http %d" % code
                handler.send_bytes(response_head(code, len(data), "text/plain") + data)
                return
            record.store("body", body)
            try:
                record.check(handler.headers.get("Content-Type"), body)
            except Exception as error:  # a receiver fault must still be recorded
                record.problems.append("receiver error while checking: %s: %s"
                                       % (type(error).__name__, error))
            self.answer(handler, self.script.entry_for(k), record)
        except ClientGone as error:
            record.reply += " (client gone: %s)" % error
        except Stopping:
            record.reply = "none (receiver stopped)"
        finally:
            record.end_ns = monotonic_ns()
            record.write_summary()
            self.say("%04d %s %d bytes, %d entries, reply %s"
                     % (index, printable(record.path), record.body_bytes, record.entries,
                        record.reply))

    def arrived(self, index):
        """One line in arrivals.txt; one write, so lines never interleave."""
        line = ("%04d %d\n" % (index, monotonic_ns())).encode("ascii")
        try:
            # Non-blocking: a FIFO put in its place must not stall the request.
            fd = os.open(os.path.join(self.store, "arrivals.txt"),
                         os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC | os.O_NONBLOCK,
                         0o644)
            try:
                os.write(fd, line)
            finally:
                os.close(fd)
        except OSError as error:
            self.say("%04d: cannot record the arrival: %s" % (index, error))

    def wait(self, seconds):
        if self.stop_event.wait(seconds):
            raise Stopping()

    def answer(self, handler, entry, record):
        """Sends the scripted reply; record.reply describes it before it goes out."""
        if entry.get("hold"):
            while not os.path.exists(self.release):
                self.wait(POLL)
        if entry.get("delay"):
            self.wait(float(entry["delay"]))
        if entry.get("reset") == "before":
            record.reply = "reset before"
            handler.reset()
        elif entry.get("hang"):
            record.reply = "hang"
            record.reply = self.hang(handler)
        elif "http" in entry and entry["http"] != 200:
            text = entry.get("body", "HTTP %d from the tvUT local receiver\n" % entry["http"])
            data = str(text).encode("utf-8")
            record.reply = "http %d" % entry["http"]
            handler.send_bytes(response_head(entry["http"], len(data), "text/plain") + data)
        elif entry.get("empty"):
            record.reply = "empty"
            handler.send_bytes(response_head(200, 0))
        elif "body" in entry or "body_file" in entry:
            if "body_file" in entry:
                with open(str(entry["body_file"]), "rb") as source:
                    data = source.read()
            else:
                data = str(entry["body"]).encode("utf-8")
            record.reply = "body %d bytes" % len(data)
            handler.send_bytes(response_head(200, len(data)) + data)
        elif "oversize" in entry:
            record.reply = "oversize %d bytes" % entry["oversize"]
            self.oversize(handler, entry["oversize"])
        else:
            document, record.reply = reply_document(entry, record.problems)
            if entry.get("reset") == "mid":
                half = len(document) // 2
                record.reply = "reset mid (%d of %d promised bytes)" % (half, len(document) * 2)
                handler.send_bytes(response_head(200, len(document) * 2) + document[:half])
                handler.reset()
            else:
                handler.send_bytes(response_head(200, len(document)) + document)

    def oversize(self, handler, total):
        start = b'<?xml version="1.0" encoding="UTF-8"?>\n<RESPONSE><REQ_STATUS_CODE>199'
        start = start[:max(total, 0)]
        handler.send_bytes(response_head(200, max(total, 0)) + start)
        sent = len(start)
        padding = b"9" * 65536
        while sent < total:
            if self.stop_event.is_set():
                raise Stopping()
            piece = padding[:total - sent]
            handler.send_bytes(piece)
            sent += len(piece)

    def hang(self, handler):
        """Keeps the connection open, unanswered, until the client or the receiver ends it."""
        sock = handler.connection
        while not self.stop_event.is_set():
            try:
                readable = (isinstance(sock, ssl.SSLSocket) and sock.pending()) or \
                    select.select([sock], [], [], 0.05)[0]
                if readable and not sock.recv(4096):
                    break
            except (OSError, ValueError):
                break
        # Stopping shuts the connection down, which looks like a client leaving.
        return "hang (receiver stopped)" if self.stop_event.is_set() else "hang (client closed)"

    # Lifecycle -----------------------------------------------------------

    def run(self, ready_file, exit_with_parent):
        parent = os.getppid()
        serving = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05})
        serving.start()
        self.say("tvUT local receiver listening on %s" % self.url)
        if ready_file:
            self.write_ready_file(ready_file)
        while not self.stop_event.wait(0.1):
            if exit_with_parent and os.getppid() != parent:
                self.say("the parent process is gone; stopping")
                break
        self.stop(serving)

    def stop(self, serving):
        self.stop_event.set()
        self.server.shutdown()
        serving.join()
        self.server.server_close()
        with self.lock:
            for fd in list(self.connections):
                try:
                    peer = socket.socket(fileno=os.dup(fd))
                    try:
                        peer.shutdown(socket.SHUT_RDWR)
                    finally:
                        peer.close()
                except OSError:
                    pass
            threads = list(self.threads)
        deadline = time.monotonic() + 0.8
        for thread in threads:
            thread.join(max(0.0, deadline - time.monotonic()))
        left = [t for t in threads if t.is_alive()]
        if left:
            self.say("%d connection(s) still busy at exit" % len(left))


def main():
    # What products upload (account and machine names, transcripts) and the
    # TLS key are for the receiver's user alone: everything it creates is.
    os.umask(0o077)
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=__doc__.split("\n\n", 2)[2])
    parser.add_argument("--store", required=True, help="the folder that receives the requests")
    parser.add_argument("--port", type=int, default=0, help="the port (0: a free one)")
    parser.add_argument("--tls", action="store_true", help="serve HTTPS, self-signed")
    parser.add_argument("--tls-max-version", choices=["1.0"], help="speak only TLS 1.0")
    scripts = parser.add_mutually_exclusive_group()
    scripts.add_argument("--script", help="a JSON file with the scripted replies")
    scripts.add_argument("--script-json", help="the scripted replies as JSON text")
    parser.add_argument("--ready-file", help="written once the receiver listens")
    parser.add_argument("--exit-with-parent", action="store_true",
                        help="stop when the starting process is gone")
    args = parser.parse_args()

    # A stop asked for while the certificate is made still ends in a clean exit.
    stop_event = threading.Event()

    def on_signal(_number, _frame):
        stop_event.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    try:
        receiver = Receiver(args, stop_event)
    except (OSError, ValueError, subprocess.SubprocessError) as error:
        sys.stderr.write("ut_receiver: %s\n" % error)
        return 2
    receiver.run(args.ready_file, args.exit_with_parent)
    return 0


if __name__ == "__main__":
    sys.exit(main())
