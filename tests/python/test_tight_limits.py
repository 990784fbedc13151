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


def stat_fields(pid):
    """The fields of /proc/PID/stat after the name (state first), or None
    once the process has gone."""
    try:
        stat = pathlib.Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return stat[stat.rindex(")") + 2:].split()


def state_of(pid):
    """The state letter of `pid` from /proc, or None once it has gone."""
    fields = stat_fields(pid)
    return None if fields is None else fields[0]


def parent_of(pid):
    """The parent pid of `pid` from /proc, or None once it has gone."""
    fields = stat_fields(pid)
    return None if fields is None else int(fields[1])


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
        if argument_bytes:
            # The filler travels in the environment (one argument may hold
            # at most 128 KiB) and becomes an argument of each child.
            script = f"for i in $(seq {size - 1}); do sh -c 'sleep 120' \"$FILLER\" & done; wait"
            env = {**os.environ, "FILLER": "x" * argument_bytes}
        else:
            script = "".join("sleep 120 & " for _ in range(size - 1)) + "wait"
            env = None
        self.process = subprocess.Popen(["sh", "-c", script], env=env)
        self.root = self.process.pid
        deadline = time.monotonic() + STEP_TIMEOUT
        while True:
            children = self._children()
            # Started, and asleep: a sleep just exec'd still runs for a
            # moment (long enough, on a loaded machine, to be sampled so).
            if len(children) == size - 1 and all(self._has_exec(pid) for pid in children) and all(
                state_of(pid) == "S" for pid in [self.root, *children]
            ):
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
            shown = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes()
        except OSError:
            return False
        return shown.startswith(b"sleep") or b"\0sleep 120\0" in shown

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


def sanitized(binary):
    """Whether `binary` was built with a sanitizer."""
    data = pathlib.Path(binary).read_bytes()
    return b"__asan_init" in data or b"__tsan_init" in data


@pytest.mark.skipif(
    sanitized(sidecar_binary()), reason="a sanitizer's own checks need descriptors that these limits take away"
)
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


needs_plain_build = pytest.mark.skipif(
    sanitized(sidecar_binary()), reason="a sanitizer build cannot run under an address-space limit"
)


def run_under_memory_limit(limit_bytes, data):
    """Runs the sidecar under `prlimit --as` with `data` as its whole input;
    returns (status, output lines, standard error)."""
    result = subprocess.run(
        ["prlimit", f"--as={limit_bytes}", "--", str(sidecar_binary())],
        input=data,
        capture_output=True,
        timeout=STEP_TIMEOUT,
    )
    return result.returncode, result.stdout.split(b"\n"), result.stderr


def assert_documented_end(status, lines, stderr, expected_answers):
    """Either the whole session, or some whole lines and then one `Error: `
    line and status 1; never a death by signal or half a line."""
    assert status >= 0, f"ended by signal {-status}: {stderr[-300:]!r}"
    assert lines[-1] == b"", "the last output line is unterminated"
    for line in lines[:-1]:
        json.loads(line)
    if status == 0:
        assert len(lines) - 1 == 1 + expected_answers and stderr == b""
        return
    if stderr.startswith(b"Error: failed to spawn thread") or b"error while loading shared libraries" in stderr:
        return  # too little memory to start at all
    assert status == 1, stderr[-300:]
    assert stderr.count(b"\n") == 1 and stderr.startswith(b"Error: "), stderr[-300:]


@needs_plain_build
def test_a_line_too_large_for_memory_ends_the_run_with_an_error():
    huge = b'{"version":3,"type":"sampleNow","requestId":"' + b"x" * 40_000_000 + b'"}\n'
    status, lines, stderr = run_under_memory_limit(30_000_000, huge)
    assert status == 1
    assert stderr == b"Error: out of memory: Cannot allocate memory (os error 12)\n"
    assert [json.loads(line)["type"] for line in lines[:-1]] == ["hello"]


@needs_plain_build
def test_wherever_memory_runs_out_the_run_ends_the_documented_way():
    # A watched tree whose processes have command lines far longer than the
    # command text: what the sidecar keeps of them stays small.
    tree = SleepingTree(20, argument_bytes=100_000)
    try:
        session = "".join(
            command(kind, **fields) + "\n"
            for kind, fields in [
                ("configure", {"rootPid": tree.root, "sampleIntervalMs": 0}),
                ("sampleNow", {"requestId": "a"}),
                ("processTable", {"requestId": "t"}),
                ("sampleNow", {"requestId": "b"}),
            ]
        ).encode()
        completed = 0
        for limit in range(6 * 1024 * 1024, 14 * 1024 * 1024, 256 * 1024):
            status, lines, stderr = run_under_memory_limit(limit, session)
            assert_documented_end(status, lines, stderr, expected_answers=3)
            if status == 0:
                completed += 1
                last = json.loads(lines[-2])
                long_lines = [s["command"] for s in last["processes"] if s["command"].startswith("sh -c sleep 120 x")]
                assert len(long_lines) == 19
                assert all(text == "sh -c sleep 120 " + "x" * (16384 - 16) for text in long_lines)
        assert completed > 0, "the session never completed under the largest limit"
    finally:
        tree.end()


@needs_plain_build
@pytest.mark.parametrize("stack", ["24576:", "24576:24576"], ids=["soft", "soft and hard"])
def test_a_stack_limit_of_a_few_kib_does_not_crash_the_run(stack, tree):
    # Below what the main thread's ordinary work needs: with the limit in
    # force a run crashed or not by where the randomised stack top fell, so
    # each limit is tried a number of times.
    data = "".join(
        command(kind, **fields) + "\n"
        for kind, fields in [
            ("configure", {"rootPid": tree.root, "sampleIntervalMs": 0}),
            ("sampleNow", {"requestId": "s"}),
            ("processTable", {"requestId": "t"}),
            ("sampleNow", {"requestId": "n"}),
        ]
    ).encode()
    for attempt in range(10):
        result = subprocess.run(
            ["prlimit", f"--stack={stack}", "--", str(sidecar_binary())],
            input=data,
            capture_output=True,
            timeout=STEP_TIMEOUT,
        )
        assert result.returncode == 0, f"attempt {attempt}: status {result.returncode}, {result.stderr[-300:]!r}"
        lines = result.stdout.split(b"\n")
        assert lines[-1] == b""
        kinds = [json.loads(line)["type"] for line in lines[:-1]]
        assert kinds == ["hello", "snapshot", "processTable", "snapshot"]
        assert result.stderr == b""
