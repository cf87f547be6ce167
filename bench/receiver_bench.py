#!/usr/bin/env python3
"""The local receiver's own goals, measured.

usage: receiver_bench.py [--runs N] [--requests N]

stop:  SIGTERM to exit of a receiver that holds one hanging connection and one
       connection stalled in the middle of its body (goal: under 1 s), over
       --runs fresh receivers.
round: one upload without payload, posted and answered on a fresh
       connection, --requests times in a row (a server that left Nagle's
       algorithm on would add about 40 ms to some of them).
Prints the median and the worst of each.
"""
import argparse
import http.client
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RECEIVER = os.path.join(HERE, "..", "tools", "ut_receiver.py")
BOUNDARY = "-------------------------------ceb3bc13bbea0941a04b2f8226f5d7ea"
FIELDS = [("TLVR_LOGIN", "NoValue"), ("PROD_LANG", "en"), ("SERIAL_NUM", ""),
          ("KORM_COUNTRY", "US"), ("RELEASE_TYPE", "F"), ("PROD_LINE_ID", "PL"),
          ("RELEASE_ID", "R"), ("LIC_PROD_LINE_ID", "PL"), ("LIC_RELEASE_ID", "R"),
          ("LIC_RELEASE_TYPE", "F"), ("PROGRAM_TYPE", "NoValue"), ("NT_LOGIN", "u"),
          ("OS_LOCALE_ID", "1033"), ("GMT_OFFSET", "0"), ("UT_COMP_VER", "1.0.0.0"),
          ("CLIENT_MODE", "0"), ("MACHINE_NAME", "m"), ("HIDDEN_PARAM_1", "UNKNOWN"),
          ("HIDDEN_PARAM_2", "UNKNOWN"), ("HIDDEN_PARAM_3", "UNKNOWN"),
          ("PAYLOAD_PRESENT", "0")]
BODY = ("".join('--%s\r\nContent-Disposition: form-data; name="%s"\r\n\r\n%s\r\n'
                % (BOUNDARY, name, value) for name, value in FIELDS)
        + "--%s--" % BOUNDARY).encode()
HEADERS = {"Content-Type": "multipart/form-data; boundary=" + BOUNDARY}


def start(store, script=None):
    ready = os.path.join(store, "ready")
    command = [sys.executable, RECEIVER, "--store", store, "--ready-file", ready]
    if script:
        command += ["--script-json", script]
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while not os.path.exists(ready):
        if process.poll() is not None or time.monotonic() > deadline:
            raise SystemExit("the receiver did not come up")
        time.sleep(0.005)
    values = dict(line.split(" ", 1) for line in open(ready).read().splitlines())
    return process, int(values["port"])


def wait_for(condition):
    deadline = time.monotonic() + 30
    while not condition():
        if time.monotonic() > deadline:
            raise SystemExit("gave up waiting")
        time.sleep(0.002)


def stop_time():
    with tempfile.TemporaryDirectory() as store:
        process, port = start(store, '[{"hang": true}]')
        hanging = http.client.HTTPConnection("127.0.0.1", port)
        hanging.request("POST", "/BRIMReceiver/receiver.aspx", BODY, HEADERS)
        wait_for(lambda: os.path.exists(os.path.join(store, "arrivals.txt")))
        stalled = socket.create_connection(("127.0.0.1", port))
        stalled.sendall(b"POST /x HTTP/1.1\r\nContent-Length: 100\r\n\r\nabc")
        wait_for(lambda: os.path.isdir(os.path.join(store, "requests", "0002")))
        began = time.monotonic()
        process.send_signal(signal.SIGTERM)
        code = process.wait()
        took = time.monotonic() - began
        hanging.close()
        stalled.close()
        if code != 0:
            raise SystemExit("the receiver exited with %d" % code)
        return took


def round_trips(count):
    times = []
    with tempfile.TemporaryDirectory() as store:
        process, port = start(store)
        try:
            for _ in range(count):
                began = time.monotonic()
                connection = http.client.HTTPConnection("127.0.0.1", port)
                connection.request("POST", "/BRIMReceiver/receiver.aspx", BODY, HEADERS)
                reply = connection.getresponse().read()
                connection.close()
                times.append(time.monotonic() - began)
                if b"<REQ_STATUS_CODE>199<" not in reply:
                    raise SystemExit("unexpected reply: %r" % reply[:200])
        finally:
            process.send_signal(signal.SIGTERM)
            process.wait()
    return times


def report(name, seconds):
    print("%-6s median %7.1f ms   worst %7.1f ms   (%d runs)"
          % (name, statistics.median(seconds) * 1000, max(seconds) * 1000, len(seconds)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--requests", type=int, default=200)
    args = parser.parse_args()
    report("stop", [stop_time() for _ in range(args.runs)])
    report("round", round_trips(args.requests))


if __name__ == "__main__":
    main()
