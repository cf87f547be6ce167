#!/usr/bin/env python3
"""The checks the Windows suite's cases recorded for the Linux side.

usage: linux_side_checks.py --clear FOLDER   empties FOLDER (before the cases run)
       linux_side_checks.py FOLDER           runs every recorded check

A Windows test program under wine cannot start the Linux suite's checkers
(tests/zip_check.py, tests/transcript_check.py, unzip), so each of its
checks is left in FOLDER/<case>/<n>/: copies of the files to check and
check.txt, one "key<TAB>value" a line:

  case      the case's full name, as CTest lists it
  checker   a script of tests/ (run with this Python) or a program on PATH
  file      the next argument: a file of this folder (run with it as the
            working folder, so files may name each other by name)
  argument  the next argument, as it is
  status    the exit code expected
  output    the whole output expected (less the newlines at its end), or
  contains  a text the output must hold

Every check runs here, with the real checker; each mismatch is reported with
its case, and the exit code is 1 when there was one.
"""
import os
import shutil
import subprocess
import sys

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TIMEOUT = 300


def read_check(path):
    check = {"arguments": []}
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("\t")
            if key in ("file", "argument"):
                check["arguments"].append(value)
            else:
                check[key] = value
    return check


def run_check(folder, check):
    """None when the check gives the expected result, else what it gave."""
    checker = check["checker"]
    if checker.endswith(".py"):
        command = [sys.executable, os.path.join(TESTS, checker)]
    else:
        command = [checker]
    command += check["arguments"]
    done = subprocess.run(command, cwd=folder, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=TIMEOUT)
    output = done.stdout.decode("utf-8", "replace")
    if "output" in check:
        matches = output.rstrip("\r\n") == check["output"]
    else:
        matches = check["contains"] in output
    if done.returncode == int(check["status"]) and matches:
        return None
    expected = ("only %r" % check["output"]) if "output" in check else \
        ("%r somewhere" % check["contains"])
    return "%s ended with %d (%s expected) and printed, where %s was expected:\n%s" % (
        " ".join(command), done.returncode, check["status"], expected, output)


def main(argv):
    if len(argv) == 3 and argv[1] == "--clear":
        shutil.rmtree(argv[2], ignore_errors=True)
        os.makedirs(argv[2])
        print("cleared %s" % argv[2])
        return 0
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    root = argv[1]
    checks = []
    for dirpath, _, filenames in os.walk(root):
        if "check.txt" in filenames:
            checks.append(dirpath)
    failures = 0
    for folder in sorted(checks):
        check = read_check(os.path.join(folder, "check.txt"))
        problem = run_check(folder, check)
        where = "%s (%s)" % (check.get("case", "?"), os.path.relpath(folder, root))
        if problem is None:
            print("ok    %s: %s" % (where, check["checker"]))
        else:
            failures += 1
            print("FAIL  %s: %s" % (where, problem))
    print("%d recorded checks, %d gave another result" % (len(checks), failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
