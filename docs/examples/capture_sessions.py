#!/usr/bin/python3
"""Runs the sessions whose lines docs/protocol.md shows, and prints them.

Each scenario prints a heading and its transcript: "→ " before a line the
parent wrote, "← " before a line the sidecar wrote. The examples of
protocol.md are pasted from this output (tests/python checks that every
example there still has the form the sidecar writes).

    /usr/bin/python3 docs/examples/capture_sessions.py [SCENARIO...]

The sidecar is build/sidecar, or the one SIDECAR_BINARY names. The
processTable scenario runs the sidecar in a PID namespace of its own (unshare,
as root) so that the whole table fits on a page; it is skipped otherwise.
"""

import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tests" / "python"))

from sidecar_process import ProcessTree, Sidecar, sidecar_binary  # noqa: E402

SPINNER_SOURCE = r"""
#include <thread>
int main() {
  auto spin = [] { for (volatile unsigned long n = 0;; n = n + 1) {} };
  std::thread a(spin), b(spin);
  a.join();
}
"""


class Transcript:
    def __init__(self, sidecar):
        self.sidecar = sidecar

    def send(self, command):
        line = command if isinstance(command, str) else json.dumps(command, separators=(",", ":"))
        print("→ " + line)
        self.sidecar.send(line)

    def receive(self, count=1, timeout=20.0):
        lines = []
        for _ in range(count):
            line = self.sidecar.read_line(timeout)
            if line is None:
                break
            print("← " + line)
            lines.append(json.loads(line))
        return lines


def started(show_greeting=False):
    sidecar = Sidecar(sidecar_binary())
    greeting = sidecar.read_line()
    if show_greeting:
        print("← " + greeting)
    return sidecar


def command(kind, **fields):
    return {"version": 3, "type": kind, **fields}


def scenario_greeting():
    sidecar = started(show_greeting=True)
    sidecar.close_input()
    print("(exit status", sidecar.wait(), ")")


def scenario_tree():
    """A shell with two sleeping children: sampleNow, streaming, history."""
    tree = ProcessTree()
    sidecar = started()
    t = Transcript(sidecar)
    try:
        t.send(command("configure", rootPid=tree.root, sampleIntervalMs=1000))
        t.send(command("sampleNow", requestId="s1"))
        t.receive()
        t.send(command("setStreaming", enabled=True))
        t.receive(2)
        t.send(command("setStreaming", enabled=False))
        t.send(command("readHistory", requestId="h1", windowMs=60000))
        t.receive()
        t.send(command("readHistory", requestId="h2", windowMs=0))
        t.receive()
        t.send(command("shutdown"))
        print("(exit status", sidecar.wait(), ")")
    finally:
        sidecar.end()
        tree.end()


def scenario_interval():
    """Streaming set before configure; an interval of 100 ms clamped to 250."""
    lone = subprocess.Popen(["sleep", "60"])
    sidecar = started()
    t = Transcript(sidecar)
    try:
        t.send(command("setStreaming", enabled=True))
        t.send(command("configure", rootPid=lone.pid, sampleIntervalMs=100))
        t.receive(3)
        t.send(command("setSampleInterval", sampleIntervalMs=0))
        time.sleep(0.1)
        t.send(command("readHistory", requestId="fence", windowMs=0))
        t.receive()
        print("(no line within 1 s:", sidecar.no_line_within(1.0), ")")
        t.send(command("shutdown"))
        sidecar.wait()
    finally:
        sidecar.end()
        lone.terminate()
        lone.wait()


def scenario_shutdown():
    """Commands behind a shutdown are not handled."""
    sidecar = started()
    t = Transcript(sidecar)
    try:
        t.send(command("shutdown"))
        t.send(command("sampleNow", requestId="late"))
        t.send(command("processTable", requestId="late"))
        print("(output:", sidecar.rest_of_output(), ", exit status", sidecar.wait(), ")")
    finally:
        sidecar.end()


def scenario_history():
    """History keeps sampleNow samples without their requestId, across a reconfigure."""
    first = subprocess.Popen(["sleep", "60"])
    second = subprocess.Popen(["sleep", "61"])
    sidecar = started()
    t = Transcript(sidecar)
    try:
        t.send(command("configure", rootPid=first.pid, sampleIntervalMs=0))
        t.send(command("sampleNow", requestId="a1"))
        t.receive()
        t.send(command("configure", rootPid=second.pid, sampleIntervalMs=0))
        t.send(command("sampleNow", requestId="b1"))
        t.receive()
        t.send(command("readHistory", requestId="h1", windowMs=60000))
        t.receive()
        t.send(command("shutdown"))
        sidecar.wait()
    finally:
        sidecar.end()
        for process in (first, second):
            process.terminate()
            process.wait()


def scenario_external():
    """External processes: whole-second matching, no start time, a mismatch."""
    tree = ProcessTree()
    other = subprocess.Popen(["sleep", "60"])
    sidecar = started()
    t = Transcript(sidecar)
    try:
        t.send(command("configure", rootPid=other.pid, sampleIntervalMs=0))
        t.send(command("sampleNow", requestId="find-start"))
        start = t.receive()[0]["processes"][0]["startTimeMs"]
        t.send(command("configure", rootPid=tree.root, sampleIntervalMs=0,
                       externalProcesses=[{"pid": other.pid, "startTimeMs": start + 999}]))
        t.send(command("sampleNow", requestId="x1"))
        t.receive()
        t.send(command("setExternalProcesses", processes=[{"pid": other.pid, "startTimeMs": start - 1}]))
        t.send(command("sampleNow", requestId="x2"))
        t.receive()
        t.send(command("setExternalProcesses", processes=[{"pid": other.pid}]))
        t.send(command("sampleNow", requestId="x3"))
        t.receive()
        t.send(command("shutdown"))
        sidecar.wait()
    finally:
        sidecar.end()
        other.terminate()
        other.wait()
        tree.end()


def scenario_spinner():
    """cpuPercent of one process with two busy threads."""
    with tempfile.TemporaryDirectory() as folder:
        source = pathlib.Path(folder, "spinner.cpp")
        source.write_text(SPINNER_SOURCE)
        subprocess.run(["c++", "-O1", "-pthread", "-o", "spinner", "spinner.cpp"], cwd=folder, check=True)
        spinner = subprocess.Popen(["./spinner"], cwd=folder)
        sidecar = started()
        t = Transcript(sidecar)
        try:
            t.send(command("configure", rootPid=spinner.pid, sampleIntervalMs=0))
            for n in range(1, 4):
                time.sleep(0.8)
                t.send(command("sampleNow", requestId=f"c{n}"))
                t.receive()
            t.send(command("shutdown"))
            sidecar.wait()
        finally:
            sidecar.end()
            spinner.kill()
            spinner.wait()


REFUSED = [
    command("sampleNow", requestId="early"),
    command("readHistory", requestId="early", windowMs=1000),
    command("setSampleInterval", sampleIntervalMs=1000),
    command("setExternalProcesses", processes=[]),
    '{"version":2,"type":"shutdown"}',
    '{"version":3,"type":"configure","rootPid":1,"sampleIntervalMs":1000.0}',
    '{"version":3,"type":"configure","rootPid":1,"sampleIntervalMs":1e3}',
    '{"version":3,"type":"configure","rootPid":-1,"sampleIntervalMs":0}',
    '{"version":3,"type":"configure","rootPid":1}',
    '{"version":3,"type":"configure","rootPid":1,"sampleIntervalMs":0,"externalProcesses":null}',
    '{"version":3,"type":"setStreaming","enabled":1}',
    '{"version":3,"type":"sampleNow","requestId":7}',
    '{"version":3,"type":"launch"}',
    '{"version":3}',
    '{"version":3,"type":"shutdown"} x',
    '{"version":3,"type":"shutdown",}',
    '{"version":3,"type":"shutdown","version":3}',
    '["shutdown"]',
]


def scenario_errors():
    sidecar = started()
    t = Transcript(sidecar)
    try:
        for line in REFUSED:
            t.send(line)
            t.receive()
        t.send('{"version":3,"type":"shutdown","note":"unknown keys are skipped"}')
        print("(exit status", sidecar.wait(), ")")
    finally:
        sidecar.end()


def scenario_utf8():
    sidecar = started()
    t = Transcript(sidecar)
    try:
        t.send(command("configure", rootPid=1, sampleIntervalMs=1000))
        print("→ <bytes C3 28>")
        sidecar.send_raw(b"\xc3\x28\n")
        t.receive()
        print("(end of output:", sidecar.read_line() is None, ", exit status", sidecar.wait(), ")")
    finally:
        sidecar.end()


def scenario_table():
    if shutil.which("unshare") is None or os.geteuid() != 0:
        print("(skipped: needs unshare as root)")
        return
    sidecar = Sidecar("unshare", ["--pid", "--fork", "--mount-proc", "sh", "-c",
                                  f"sleep 60 & exec {sidecar_binary()}"])
    print("← " + sidecar.read_line())
    t = Transcript(sidecar)
    try:
        t.send(command("processTable", requestId="t1"))
        t.receive()
        t.send(command("shutdown"))
        sidecar.wait()
    finally:
        sidecar.end()


def scenario_chunks():
    """33 samples: two history chunks (shown by their sizes only)."""
    tree = ProcessTree()
    sidecar = started()
    try:
        sidecar.send(json.dumps(command("configure", rootPid=tree.root, sampleIntervalMs=0)))
        for n in range(33):
            sidecar.send(json.dumps(command("sampleNow", requestId=f"n{n}")))
        for n in range(33):
            sidecar.read_line()
        sidecar.send(json.dumps(command("readHistory", requestId="all", windowMs=3600000)))
        while True:
            line = sidecar.read_line()
            chunk = json.loads(line)
            print(f"chunk: {len(line)} bytes, done={chunk['done']}, snapshots={len(chunk['snapshots'])}, "
                  f"sequences {chunk['snapshots'][0]['sequence']}..{chunk['snapshots'][-1]['sequence']}")
            if chunk["done"]:
                break
        sidecar.send(json.dumps(command("shutdown")))
        sidecar.wait()
    finally:
        sidecar.end()
        tree.end()


SCENARIOS = {
    "greeting": scenario_greeting,
    "tree": scenario_tree,
    "interval": scenario_interval,
    "shutdown": scenario_shutdown,
    "history": scenario_history,
    "external": scenario_external,
    "spinner": scenario_spinner,
    "errors": scenario_errors,
    "utf8": scenario_utf8,
    "table": scenario_table,
    "chunks": scenario_chunks,
}


def main(names):
    for name in names or SCENARIOS:
        print(f"## {name}")
        SCENARIOS[name]()
        print()


if __name__ == "__main__":
    main(sys.argv[1:])
