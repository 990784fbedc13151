"""The sidecar under tight resource limits, started the way a parent with
such limits would start it (`prlimit` in front of the executable): with few
descriptors every value is still right, and when memory runs out the run
ends with one `Error: ` line and status 1 instead of an abort."""

import json
import os
import pathlib
import shutil
import subprocess
import time

import pytest

from sidecar_process import STEP_TIMEOUT, Sidecar, sidecar_binary

pytestmark = pytest.mark.skipif(
    shutil.which("prlimit") is None or not pathlib.Path("/proc/self/stat").exists(),
    reason="needs prlimit and /proc (Linux)",
)

TREE_SIZE = 60


def command(kind, **fields):
    return json.dumps({"version": 3, "type": kind, **fields}, separators=(",", ":"))


def under_limits(*limits):
    """A sidecar started by prlimit with `limits` (e.g. "--nofile=4")."""
    return Sidecar("prlimit", [*limits, "--", str(sidecar_binary())])


def parent_of(pid):
    """The parent pid of `pid` from /proc, or None once it has gone."""
    try:
        stat = pathlib.Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return int(stat[stat.rindex(")") + 2:].split()[1])


def live_processes():
    """pid -> parent pid of every process listed in /proc now."""
    found = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            parent = parent_of(int(entry))
            if parent is not None:
                found[int(entry)] = parent
    return found


class SleepingTree:
    """A shell with TREE_SIZE - 1 sleeping children, each with a long
    command line, so that one sample reads many argument lists."""

    def __init__(self, size, argument_bytes=0):
        filler = "x" * argument_bytes
        script = "".join(f"sleep 120 {filler} & " for _ in range(size - 1)) + "wait"
        # The filler makes sleep fail at once; exec a shell that ignores it
        # instead, so that the long command line stays visible.
        if argument_bytes:
            script = "".join(f"sh -c 'sleep 120' {filler} & " for _ in range(size - 1)) + "wait"
        self.process = subprocess.Popen(["sh", "-c", script])
        self.root = self.process.pid
        deadline = time.monotonic() + STEP_TIMEOUT
        while True:
            children = self._children()
            if len(children) == size - 1 and all(self._has_exec(pid) for pid in children):
                break
            assert time.monotonic() < deadline, "the tree did not start"
            time.sleep(0.01)
        self.pids = sorted([self.root, *children])

    def _children(self):
        try:
            text = pathlib.Path(f"/proc/{self.root}/task/{self.root}/children").read_text()
        except OSError:
            return []
        return [int(pid) for pid in text.split()]

    @staticmethod
    def _has_exec(pid):
        """Whether the child runs its own program (no longer the forked shell)."""
        try:
            return pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().startswith((b"sleep", b"sh\0-c"))
        except OSError:
            return False

    def end(self):
        for pid in [*self._children(), self.root]:
            try:
                os.kill(pid, 9)
            except ProcessLookupError:
                pass
        self.process.wait(timeout=STEP_TIMEOUT)


@pytest.fixture
def tree():
    made = SleepingTree(TREE_SIZE)
    yield made
    made.end()


@pytest.mark.parametrize("limit", [4, 5, 6, 8])
def test_every_value_is_right_under_any_descriptor_limit(limit, tree):
    sidecar = under_limits(f"--nofile={limit}")
    try:
        assert json.loads(sidecar.read_line())["type"] == "hello"
        before = live_processes()
        sidecar.send(command("configure", rootPid=tree.root, sampleIntervalMs=0))
        sidecar.send(command("sampleNow", requestId="tree"))
        sidecar.send(command("processTable", requestId="table"))
        snapshot = json.loads(sidecar.read_line())
        table = json.loads(sidecar.read_line())
        after = live_processes()

        samples = {sample["pid"]: sample for sample in snapshot["processes"]}
        assert sorted(samples) == tree.pids
        for pid, sample in samples.items():
            assert sample["ppid"] == before[pid]
            assert sample["startTimeMs"] > 0
            assert sample["residentBytes"] > 0 and sample["virtualBytes"] > 0
            assert sample["command"].startswith("sleep 120" if pid != tree.root else "sh -c")
            assert sample["status"] == "Sleep"

        # Every process that lived before and after the table is in it, with
        # its parent, however few descriptors there are.
        listed = {entry["pid"]: entry["ppid"] for entry in table["processes"]}
        lasting = {pid: parent for pid, parent in before.items() if after.get(pid) == parent}
        missing = sorted(set(lasting) - set(listed))
        assert missing == [], f"{len(missing)} of {len(lasting)} processes missing from the table"
        wrong = sorted(pid for pid, parent in lasting.items() if listed[pid] != parent)
        assert wrong == [], f"{len(wrong)} processes listed with a wrong parent"

        sidecar.close_input()
        assert sidecar.rest_of_output() == []
        assert sidecar.wait() == 0
        assert sidecar.stderr_text() == ""
    finally:
        sidecar.end()
