"""Fixtures: the real sidecar binary, clients of it, process trees to watch,
and stand-in programs that misbehave in ways the real sidecar does not."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from typing import Callable, Iterator

import pytest

CLIENT_ROOT = Path(__file__).resolve().parents[1]
REPO_ROOT = CLIENT_ROOT.parents[1]
if str(CLIENT_ROOT) not in sys.path:  # run by hand without PYTHONPATH
    sys.path.insert(0, str(CLIENT_ROOT))

from sidecar_client import SidecarClient  # noqa: E402


@pytest.fixture(scope="session")
def sidecar_binary() -> Path:
    """The sidecar under test: $SIDECAR_BINARY, else build/sidecar."""
    path = Path(os.environ.get("SIDECAR_BINARY") or REPO_ROOT / "build" / "sidecar")
    if not os.access(path, os.X_OK):
        pytest.fail(f"no sidecar executable at {path}; build it or set SIDECAR_BINARY")
    return path


@pytest.fixture
def client(sidecar_binary: Path) -> Iterator[SidecarClient]:
    # Generous: the sidecar may be a sanitizer build on a loaded machine.
    with SidecarClient(sidecar_binary, timeout=60) as sidecar:
        yield sidecar


def _wait_for_exec(pid: int, name: str, timeout: float = 10.0) -> None:
    """Waits until `pid` runs `name`. A child the shell has forked runs the
    shell until it execs; a record made before that keeps the shell's name
    (a process's name is taken once), so a test that checks names waits."""
    comm = Path(f"/proc/{pid}/comm")
    if not comm.parent.exists():  # no /proc: give the exec a moment
        time.sleep(0.2)
        return
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if comm.read_text().strip() == name:
                return
        except OSError:
            return  # gone: the test will say so
        time.sleep(0.005)
    raise AssertionError(f"process {pid} did not exec {name} within {timeout} s")


def _wait_until_asleep(pid: int, timeout: float = 10.0) -> None:
    """Waits until `pid` sleeps. A sleep just exec'd still runs for a moment,
    long enough on a loaded machine to be sampled as running."""
    stat = Path(f"/proc/{pid}/stat")
    deadline = time.monotonic() + timeout
    while stat.parent.exists() and time.monotonic() < deadline:
        try:
            if stat.read_text().rpartition(")")[2].split()[0] == "S":
                return
        except OSError:
            return  # gone: the test will say so
        time.sleep(0.005)


class Tree:
    """A shell with ``children`` sleeping children, all started by the test."""

    def __init__(self, children: int) -> None:
        script = "".join("sleep 600 & echo $!; " for _ in range(children)) + "wait"
        self.root = subprocess.Popen(["sh", "-c", script], stdout=subprocess.PIPE, text=True)
        assert self.root.stdout is not None
        self.children = [int(self.root.stdout.readline()) for _ in range(children)]
        for pid in self.children:
            _wait_for_exec(pid, "sleep")
            _wait_until_asleep(pid)

    @property
    def pids(self) -> set[int]:
        return {self.root.pid, *self.children}

    def end(self) -> None:
        """Kill the children, then the shell, each by its pid, and reap the shell."""
        for pid in [*self.children, self.root.pid]:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.root.wait()
        if self.root.stdout is not None:
            self.root.stdout.close()


@pytest.fixture
def make_tree() -> Iterator[Callable[[int], Tree]]:
    trees: list[Tree] = []

    def make(children: int = 2) -> Tree:
        trees.append(Tree(children))
        return trees[-1]

    yield make
    for tree in trees:
        tree.end()


GREETING = (
    '{"version":3,"type":"hello","sidecarVersion":"0.1.0","sidecarPid":1,"platform":"linux",'
    '"arch":"x86_64","capabilities":{"cumulativeCpuTime":true,"currentCpuPercent":true,'
    '"residentMemory":true,"virtualMemory":true,"ioBytes":true,"processStartTime":true,'
    '"processTree":true}}'
)


@pytest.fixture
def fake_sidecar(tmp_path: Path) -> Callable[[str], Path]:
    """Write a stand-in sidecar: a Python program whose body is given.

    The body sees ``GREETING``, ``out(line)`` (write one line and flush) and
    ``commands()`` (iterate over the input lines).
    """

    def make(body: str) -> Path:
        path = tmp_path / "fake-sidecar"
        prelude = textwrap.dedent(
            f"""\
            #!{sys.executable}
            import sys, time, signal
            GREETING = {GREETING!r}
            def out(line):
                sys.stdout.write(line + "\\n")
                sys.stdout.flush()
            def commands():
                for line in sys.stdin:
                    yield line
            """
        )
        path.write_text(prelude + textwrap.dedent(body))
        path.chmod(0o755)
        return path

    return make
