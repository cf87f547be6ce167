#!/usr/bin/env python3
"""Whole sessions of the Windows build: the Windows sample host (tvUT.dll)
runs under wine and sends to the local receiver, which runs here, on Linux,
on 127.0.0.1; the files it leaves are read with the Linux tools (the
inspector and the transcript checker), since the formats are the same.

usage: session_check.py [unittest arguments, e.g. SessionCheck.test_crash]

Environment (scripts/test.sh --windows sets it through CTest):
  TVUT_WINDOWS_SAMPLE_HOST  the sample host, tvut_sample_host.exe
  TVUT_LINUX_INSPECT        the Linux build's tvut_inspect
  TVUT_SOURCE_DIR           the source tree (receiver, transcript checker)
  WINEPREFIX, WINEARCH      the suite's own 32-bit wine prefix
Every scratch folder is made here and removed at the end; nothing but
127.0.0.1 is ever reached.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
import xml.etree.ElementTree as ElementTree

SOURCE = os.environ.get("TVUT_SOURCE_DIR",
                        os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
RECEIVER = os.path.join(SOURCE, "tools", "ut_receiver.py")
TRANSCRIPT_CHECK = os.path.join(SOURCE, "tests", "transcript_check.py")
# A bounded wait for anything that runs under wine (a process start alone
# costs up to 0.3 s; a whole session a few seconds).
WINE_TIMEOUT = 120


def windows_path(path):
    """The path wine's Z: drive gives a Linux path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Receiver:
    """The local receiver, on a free port of 127.0.0.1, its store in folder.
    Its console goes to receiver.log through a thread of this object; the
    line "tvUT local receiver listening on URL" says it is ready."""

    def __init__(self, folder, *options):
        folder = tempfile.mkdtemp(prefix="receiver-", dir=folder)
        self.store = os.path.join(folder, "store")
        self.log = open(os.path.join(folder, "receiver.log"), "wb")
        self.url = None
        self.listening = threading.Event()
        self.process = subprocess.Popen(
            [sys.executable, RECEIVER, "--store", self.store, "--exit-with-parent"] +
            list(options),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.console = threading.Thread(target=self.copy_console, daemon=True)
        self.console.start()
        if not self.listening.wait(30) or self.url is None:
            self.stop()
            raise RuntimeError("the receiver did not come up")
        # The certificate of --tls, which a client trusts, is in the store.
        self.ca_file = (os.path.join(self.store, "tls", "cert.pem") if "--tls" in options
                        else None)

    def copy_console(self):
        for line in self.process.stdout:
            self.log.write(line)
            self.log.flush()
            found = re.search(rb"listening on (\S+)", line)
            if found and self.url is None:
                self.url = found.group(1).decode()
                self.listening.set()
        # Ended without listening: the waiter sees no URL.
        self.listening.set()

    def requests(self):
        """The stored requests: (summary lines, {entry: transcript XML})."""
        found = []
        folder = os.path.join(self.store, "requests")
        for name in sorted(os.listdir(folder)):
            summary = os.path.join(folder, name, "summary.txt")
            if not os.path.exists(summary):
                continue
            transcripts = {}
            tfolder = os.path.join(folder, name, "transcripts")
            if os.path.isdir(tfolder):
                for entry in sorted(os.listdir(tfolder)):
                    with open(os.path.join(tfolder, entry), "rb") as f:
                        transcripts[entry] = f.read()
            with open(summary) as f:
                found.append((f.read().splitlines(), transcripts))
        return found

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.console.join(10)
        self.process.stdout.close()
        self.log.close()


def statuses(output):
    """Call name -> status printed by the sample host ("Call -> N meaning")."""
    found = {}
    for line in output.splitlines():
        match = re.match(r"^(\S.*?)\s+-> (-?\d+)\s", line)
        if match:
            found.setdefault(match.group(1).strip(), []).append(int(match.group(2)))
    return found


class SessionCheck(unittest.TestCase):
    def setUp(self):
        self.host = os.environ.get("TVUT_WINDOWS_SAMPLE_HOST")
        if not self.host or not os.path.exists(self.host):
            self.fail("TVUT_WINDOWS_SAMPLE_HOST names no sample host")
        self.folder = tempfile.mkdtemp(prefix="tvut-wincheck-")
        self.root = os.path.join(self.folder, "root")
        self.receivers = []

    def tearDown(self):
        for receiver in self.receivers:
            receiver.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def receiver(self, *options):
        receiver = Receiver(self.folder, *options)
        self.receivers.append(receiver)
        return receiver

    def start_host(self, *arguments, root=None, ca_bundle=None):
        environment = dict(os.environ)
        environment.pop("UT_CA_BUNDLE", None)
        if ca_bundle:
            environment["UT_CA_BUNDLE"] = windows_path(ca_bundle)
        return subprocess.Popen(
            ["wine", self.host, "--root", windows_path(root or self.root), "--calls-only"] +
            list(arguments),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            env=environment)

    def run_host(self, *arguments, root=None, ca_bundle=None):
        process = self.start_host(*arguments, root=root, ca_bundle=ca_bundle)
        output, _ = process.communicate(timeout=WINE_TIMEOUT)
        text = output.decode("utf-8", "replace")
        self.assertEqual(process.returncode, 0, text)
        return text

    def files(self, suffix):
        found = []
        for folder, _, names in os.walk(self.root):
            found += [os.path.join(folder, n) for n in names if n.endswith(suffix)]
        return sorted(found)

    def assert_session(self, output, crash):
        codes = statuses(output)
        self.assertEqual(codes.get("InitUTComponent"), [100], output)
        self.assertEqual(codes.get("SetUserID"), [600], output)
        self.assertEqual(codes.get("LogUsageData"), [200], output)
        if crash:
            self.assertEqual(codes.get("OnCrash"), [400], output)
        self.assertEqual(codes.get("GetUBInformation (kormTRUE)"), [300], output)
        self.assertEqual(codes.get("CleanUp"), [500], output)

    @staticmethod
    def end_times(requests):
        """(session, isCrash) of every delivered transcript; a session's
        transcript is named after it, and may travel more than once."""
        found = []
        for _, transcripts in requests:
            for entry, xml in transcripts.items():
                end = ElementTree.fromstring(xml).find("usage_data/end_time")
                session = entry.split(".", 1)[0]
                found.append((session, end.get("isCrash") if end is not None else None))
        return found

    def assert_only_final_versions_left(self, sessions):
        """What stays is each session's last version (its end time, written by
        CleanUp after the send), for the next cycle: none but those."""
        left = {os.path.basename(p).split(".", 1)[0] for p in self.files(".utt")}
        self.assertLessEqual(left, set(sessions), (left, sessions))
        leftovers = [p for p in self.files("") if ".tmp" in os.path.basename(p)]
        self.assertEqual(leftovers, [])

    def test_session_with_a_crash_is_delivered_to_the_receiver(self):
        receiver = self.receiver()
        output = self.run_host("--server", receiver.url, "--crash", "--send-now")
        self.assert_session(output, crash=True)
        requests = receiver.requests()
        self.assertTrue(requests, output)
        for summary, _ in requests:
            self.assertIn("problems 0", summary, summary)
        delivered = self.end_times(requests)
        crashed = {session for session, flag in delivered if flag == "1"}
        self.assertEqual(len(crashed), 1, delivered)
        self.assert_only_final_versions_left(crashed)

    def test_two_processes_sending_at_once_lose_nothing(self):
        receiver = self.receiver()
        # One installer's settings for both, written before either starts.
        self.run_host("--server", receiver.url)
        before = len(self.end_times(receiver.requests()))
        hosts = [self.start_host("--server", receiver.url, "--crash", "--send-now")
                 for _ in range(2)]
        outputs = []
        for process in hosts:
            output, _ = process.communicate(timeout=WINE_TIMEOUT)
            outputs.append(output.decode("utf-8", "replace"))
            self.assertEqual(process.returncode, 0, outputs[-1])
        for output in outputs:
            self.assert_session(output, crash=True)
        delivered = self.end_times(receiver.requests())[before:]
        crashed = {session for session, flag in delivered if flag == "1"}
        # Both crashed sessions arrived, each under its own name.
        self.assertEqual(len(crashed), 2, delivered)
        self.assert_only_final_versions_left(crashed | {s for s, _ in delivered})

    def test_tls_is_verified_as_on_linux(self):
        """HTTPS: the receiver's own certificate as the bundle is trusted;
        another certificate, the system's store (which does not hold the
        receiver's) and a server below TLS 1.2 are refused, nothing sent."""
        trusted = self.receiver("--tls")
        stranger = self.receiver("--tls")
        old = self.receiver("--tls", "--tls-max-version", "1.0")
        cases = [
            ("the receiver's certificate", trusted, trusted.ca_file, 300),
            ("another certificate", trusted, stranger.ca_file, -301),
            ("the system's store", trusted, None, -301),
            ("TLS 1.0 only", old, old.ca_file, -301),
        ]
        for name, receiver, bundle, expected in cases:
            with self.subTest(name):
                root = tempfile.mkdtemp(prefix="root-", dir=self.folder)
                before = len(receiver.requests())
                output = self.run_host("--server", receiver.url, "--send-now", root=root,
                                       ca_bundle=bundle)
                self.assertEqual(statuses(output).get("GetUBInformation (kormTRUE)"), [expected],
                                 output)
                received = receiver.requests()[before:]
                if expected == 300:
                    self.assertTrue(received, output)
                else:
                    self.assertEqual(received, [], output)

    def test_files_left_behind_read_with_the_linux_tools(self):
        inspect = os.environ.get("TVUT_LINUX_INSPECT")
        if not inspect or not os.path.exists(inspect):
            self.fail("TVUT_LINUX_INSPECT names no inspector")
        # Nothing listens on port 1: the transcript stays for the tools.
        output = self.run_host("--server", "http://127.0.0.1:1/BRIMReceiver", "--crash")
        transcripts = self.files(".utt")
        self.assertEqual(len(transcripts), 1, output)
        check = subprocess.run([sys.executable, TRANSCRIPT_CHECK, "--values", transcripts[0]],
                               capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        values = dict(line.split("\t", 1) for line in check.stdout.splitlines() if "\t" in line)
        hex_of = lambda text: text.encode("utf-8").hex()
        self.assertEqual(values.get("transcript/usage_data/end_time@isCrash"), hex_of("1"))
        decoded = subprocess.run([inspect, "decode", transcripts[0]], capture_output=True)
        self.assertEqual(decoded.returncode, 0, decoded.stderr)
        ElementTree.fromstring(decoded.stdout)
        self.assertIn(b"SAMPLE", decoded.stdout)
        settings = [p for p in self.files(".cur") if "user" in os.path.relpath(p, self.root)]
        self.assertTrue(settings, self.files(""))
        for path in settings:
            decoded = subprocess.run([inspect, "decode", path], capture_output=True)
            self.assertEqual(decoded.returncode, 0, (path, decoded.stderr))
            ElementTree.fromstring(decoded.stdout)


if __name__ == "__main__":
    unittest.main()
