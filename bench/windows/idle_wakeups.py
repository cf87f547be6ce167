#!/usr/bin/env python3
"""What an idle tvUT.dll costs under wine: the context switches of every
thread that tvUT's session added to a Windows host, over a span in which
nothing is due. Goal: 0. Wine runs each Windows thread as a Linux thread, so
they are counted here, from /proc, the way the Linux bench counts its own.

usage: idle_wakeups.py BUILD_WIN32_DIR [seconds]    (30 when not given)

Runs build-win32/windows_idle_host.exe under wine in scratch roots whose
settings point uploads at the local receiver (tools/ut_receiver.py, started
here on 127.0.0.1) with the default timers otherwise: the session's first
send is delivered, and nothing is due for an hour after it (a failed send
would retry after 5 minutes). Asio's timers on Windows would wake every 5
minutes: give more than 300 seconds to see that they do not. Uses WINEPREFIX as set (scripts/test.sh --windows makes one in
build-win32/wine-prefix).
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

# The session checks' receiver and path form serve here too.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "tests", "windows"))
from session_check import Receiver, windows_path  # noqa: E402


def wine_pid(host_name):
    """The Linux pid of the wine process that runs host_name."""
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                command = f.read().split(b"\0")
        except OSError:
            continue
        if command and command[0].decode("utf-8", "replace").lower().endswith(host_name):
            return int(pid)
    return None


def threads(pid):
    """Thread id -> (name, context switches) of process pid."""
    found = {}
    folder = "/proc/%d/task" % pid
    for task in os.listdir(folder):
        try:
            with open(os.path.join(folder, task, "comm")) as f:
                name = f.read().strip()
            switches = 0
            with open(os.path.join(folder, task, "status")) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")):
                        switches += int(line.split(":")[1])
            found[int(task)] = (name, switches)
        except OSError:
            continue
    return found


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    build = os.path.abspath(argv[1])
    seconds = float(argv[2]) if len(argv) > 2 else 30.0
    host = os.path.join(build, "windows_idle_host.exe")
    sample = os.path.join(build, "tvut_sample_host.exe")
    scratch = tempfile.mkdtemp(prefix="tvut-idle-")
    receiver = None
    try:
        root = os.path.join(scratch, "root")
        receiver = Receiver(scratch)
        url = receiver.url
        # The sample host writes the machine settings an installer would.
        subprocess.run(["wine", sample, "--root", windows_path(root), "--calls-only", "--server",
                        url], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        environment = dict(os.environ, UT_MACHINE_DATA_DIR=windows_path(os.path.join(root, "machine")),
                           XDG_DATA_HOME=windows_path(os.path.join(root, "user")))
        process = subprocess.Popen(["wine", host], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   env=environment, text=True)
        if process.stdout.readline().strip() != "before":
            raise RuntimeError("the idle host did not start")
        pid = wine_pid("windows_idle_host.exe")
        if pid is None:
            raise RuntimeError("the idle host's wine process was not found")
        before = threads(pid)
        process.stdin.write("\n")
        process.stdin.flush()
        if process.stdout.readline().strip() != "ready":
            raise RuntimeError("the idle host's session did not start")
        # Whatever the start-up itself still does settles first.
        time.sleep(2)
        start = threads(pid)
        added = sorted(set(start) - set(before))
        time.sleep(seconds)
        end = threads(pid)
        process.stdin.write("\n")
        process.stdin.flush()
        done = process.stdout.readline().strip()
        process.wait(60)
        print("threads of the host before the session: %d; added by it: %d" % (len(before), len(added)))
        total = 0
        for task in added:
            name = start[task][0]
            if task in end:
                woke = end[task][1] - start[task][1]
                total += woke
                print("  %-8d %-16s %d context switches in %.0f s" % (task, name, woke, seconds))
            else:
                print("  %-8d %-16s ended" % (task, name))
        print("idle wakeups of tvUT's threads: %d in %.0f s (CleanUp: %s, exit %d)" %
              (total, seconds, done or "no answer", process.returncode))
        return 0 if done == "done" and process.returncode == 0 else 1
    finally:
        if receiver is not None:
            receiver.stop()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
