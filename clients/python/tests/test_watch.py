"""sidecar-watch: its model of a watch, its output files, and the live view
in a real terminal (tmux)."""

from __future__ import annotations

import itertools
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree
from dataclasses import replace
from pathlib import Path
from typing import Any, Callable, Iterator

import pytest

from sidecar_client import ProcessSample, Snapshot, decode_line
from sidecar_client.watch.model import WatchModel, tree_order
from sidecar_client.watch.view import sparkline

HERE = Path(__file__).resolve().parent
CLIENT_ROOT = HERE.parent
BUSY_TREE = HERE / "busy_tree.py"


def sample(pid: int, ppid: int, **changes: Any) -> ProcessSample:
    base = ProcessSample(pid, ppid, 1_000_000, 0, f"p{pid}", f"p{pid}", "Sleep", 0.0, 0, 1000, 2000, 0, 0, "storage")
    return replace(base, **changes)


def snapshot(sequence: int, at_ms: int, processes: list[ProcessSample]) -> Snapshot:
    return Snapshot(3, sequence, at_ms, 0, 0, len(processes), 0, None, [], processes)


@pytest.mark.parametrize(
    "links, expected",
    [
        ([(10, 1), (11, 10), (12, 10), (13, 11)],
         ["p10", "├─ p11", "│  └─ p13", "└─ p12"]),
        ([(5, 20), (20, 1), (30, 1)],  # sorted by pid: the root is not first
         ["p20", "└─ p5", "p30"]),
        ([(7, 8), (8, 7), (9, 1)],  # parent links in a cycle
         ["p9", "p7", "└─ p8"]),
    ],
    ids=["nested", "root-not-first", "cycle"],
)
def test_tree_order(links: list[tuple[int, int]], expected: list[str]) -> None:
    processes = sorted((sample(pid, ppid) for pid, ppid in links), key=lambda p: p.pid)
    assert [guide + p.name for guide, p in tree_order(processes)] == expected


def test_model_rates_peaks_and_pid_reuse() -> None:
    model = WatchModel()
    model.add(snapshot(1, 10_000, [sample(10, 1, resident_bytes=5000), sample(11, 10, io_write_bytes=0)]))
    model.add(snapshot(2, 12_000, [sample(10, 1, resident_bytes=3000), sample(11, 10, io_write_bytes=4000)]))
    reused = sample(11, 10, start_time_ms=2_000_000, io_write_bytes=9000)
    model.add(snapshot(3, 13_000, [sample(10, 1), reused]))
    model.add(snapshot(2, 14_000, []))  # out of order: ignored
    assert model.rates(reused) is None  # another process with the same pid
    assert len(model.records) == 3
    assert model.records[(10, 1_000_000)].peak_resident_bytes == 5000
    assert model.peak_resident_bytes == 6000
    assert model.total_written_bytes == 4000 + 9000
    previous = WatchModel()
    previous.add(snapshot(1, 10_000, [sample(11, 10, io_write_bytes=0)]))
    later = sample(11, 10, io_write_bytes=4000)
    previous.add(snapshot(2, 12_000, [later]))
    rates = previous.rates(later)
    assert rates is not None and (rates.read, rates.write) == (0, 2000)


@pytest.mark.parametrize(
    "values, width, top, expected",
    [([], 5, None, ""), ([0, 0], 5, None, "▁▁"), ([0, 50, 100], 5, 100, "▁▅█"), ([1, 2, 3, 4], 2, None, "▆█")],
)
def test_sparkline(values: list[float], width: int, top: float | None, expected: str) -> None:
    assert sparkline(values, width, top) == expected


def watch_command(sidecar_binary: Path, *args: str) -> list[str]:
    return [sys.executable, "-m", "sidecar_client.watch", "--sidecar", str(sidecar_binary), *args]


def watch_env() -> dict[str, str]:
    return {**os.environ, "PYTHONPATH": str(CLIENT_ROOT)}


@pytest.mark.parametrize("plot_name", ["timeline.svg", "timeline.png"])
def test_record_and_plot(sidecar_binary: Path, tmp_path: Path, plot_name: str) -> None:
    record, plot = tmp_path / "run.jsonl", tmp_path / plot_name
    done = subprocess.run(
        watch_command(sidecar_binary, "--interval", "250", "--record", str(record), "--plot", str(plot),
                      "--", sys.executable, str(BUSY_TREE), "2"),
        env=watch_env(), capture_output=True, text=True, timeout=60,
    )
    assert done.returncode == 3, done.stdout + done.stderr
    assert "busy tree done" in done.stdout and "Summary" in done.stdout
    snapshots = [decode_line(line) for line in record.read_text().splitlines()]
    assert len(snapshots) >= 6 and all(isinstance(s, Snapshot) for s in snapshots)
    sequences = [s.sequence for s in snapshots]
    assert sequences == list(range(sequences[0], sequences[0] + len(sequences)))  # none missing
    assert max(len(s.processes) for s in snapshots) == 4
    # Streamed samples between a first and a last one taken on request.
    assert [s.request_id is None for s in snapshots] == [False] + [True] * (len(snapshots) - 2) + [False]
    assert snapshots[-1].processes == []  # the tree has ended
    if plot.suffix == ".svg":
        root = ElementTree.parse(plot).getroot()
        assert root.tag.endswith("svg")
        text = plot.read_text()
        assert "busy_tree.py" in text and "resident memory (MiB)" in text
    else:
        assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize(
    "args, status, text",
    [
        ([], 2, "give either --pid PID or -- COMMAND"),
        (["--interval", "100", "--", "true"], 2, "--interval must lie between"),
        (["--pid", str(2**32 - 1)], 1, "no process 4294967295"),
        (["--", "/nonexistent/command"], 127, "cannot start /nonexistent/command"),
        (["--sidecar", "/nonexistent/sidecar", "--pid", "1"], 1, "No such file or directory"),
    ],
)
def test_usage_errors(sidecar_binary: Path, args: list[str], status: int, text: str) -> None:
    done = subprocess.run(watch_command(sidecar_binary, *args), env=watch_env(), capture_output=True, text=True, timeout=30)
    assert done.returncode == status
    assert text in done.stdout + done.stderr


# --- in a real terminal --------------------------------------------------------


class Terminal:
    """A tmux server of our own: its own socket name in a directory of its own,
    one window of 120 x 32."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.directory = tempfile.mkdtemp(prefix="sw-")  # short: socket paths are limited
        self.env = {**os.environ, "TMUX_TMPDIR": self.directory}
        self.env.pop("TMUX", None)

    def tmux(self, *args: str) -> str:
        return subprocess.run(["tmux", "-L", self.name, *args], env=self.env, capture_output=True, text=True,
                              check=True, timeout=10).stdout

    def start(self, command: str) -> None:
        self.tmux("-f", "/dev/null", "new-session", "-d", "-x", "120", "-y", "32", "-s", "w", command)

    def screen(self) -> str:
        return self.tmux("capture-pane", "-p", "-t", "w")

    def wait_for(self, ready: Callable[[str], bool], timeout: float = 30) -> str:
        deadline = time.monotonic() + timeout
        while True:
            screen = self.screen()
            if ready(screen):
                return screen
            if time.monotonic() > deadline:
                pytest.fail(f"the terminal never showed what was expected; it shows:\n{screen}")
            time.sleep(0.2)

    def kill(self) -> None:
        subprocess.run(["tmux", "-L", self.name, "kill-server"], env=self.env, capture_output=True, timeout=10)
        shutil.rmtree(self.directory, ignore_errors=True)


_servers = itertools.count()


@pytest.fixture
def terminal() -> Iterator[Terminal]:
    if shutil.which("tmux") is None:
        pytest.fail("tmux is not installed (scripts/install-deps installs it)")
    term = Terminal(f"sidecar-watch-test-{os.getpid()}-{next(_servers)}")
    yield term
    term.kill()


def shell_line(argv: list[str], status_file: Path) -> str:
    env = f"PYTHONPATH={shlex.quote(str(CLIENT_ROOT))}"
    # Keep the window open after the watch ends so its last screen can be read.
    return f"env {env} {shlex.join(argv)}; echo $? > {shlex.quote(str(status_file))}; sleep 600"


def test_live_view_of_a_command(sidecar_binary: Path, tmp_path: Path, terminal: Terminal) -> None:
    status = tmp_path / "status"
    terminal.start(shell_line(watch_command(sidecar_binary, "--interval", "250", "--", sys.executable, str(BUSY_TREE), "3"), status))

    def full_view(screen: str) -> bool:
        return (
            screen.count("python") >= 4  # the tree: the root and its three children
            and " Run " in screen  # the spinning child
            and "tree total" in screen
            and any(ch in screen for ch in "▃▄▅▆▇█")  # sparklines with something in them
        )

    live = terminal.wait_for(full_view)
    for heading in ("Process", "PID", "State", "CPU%", "CPU time", "RSS", "Read/s", "Write/s", "CPU trend", "RSS trend"):
        assert heading in live
    assert "├─ python" in live and "└─ python" in live
    assert "busy_tree.py" in live  # the title
    assert "busy tree:" in live  # the command's own output, above the view
    final = terminal.wait_for(lambda s: status.exists() and "Summary" in s)
    assert "Lifetime" in final and "Peak resident" in final and "4 processes" in final
    assert status.read_text().strip() == "3"


def test_ctrl_c_ends_a_pid_watch(sidecar_binary: Path, tmp_path: Path, terminal: Terminal, make_tree: Any) -> None:
    tree = make_tree(2)
    status = tmp_path / "status"
    terminal.start(shell_line(watch_command(sidecar_binary, "--interval", "250", "--pid", str(tree.root.pid)), status))
    terminal.wait_for(lambda s: s.count("sleep") >= 2 and "tree total" in s)
    terminal.tmux("send-keys", "-t", "w", "C-c")
    final = terminal.wait_for(lambda s: status.exists() and "Summary" in s)
    assert "3 processes" in final
    assert status.read_text().strip() == "130"
    assert tree.root.poll() is None  # Ctrl-C ended the watch, not the watched tree


def test_pid_watch_ends_with_its_root(sidecar_binary: Path, tmp_path: Path, make_tree: Any) -> None:
    tree = make_tree(1)
    record = tmp_path / "run.jsonl"
    watch = subprocess.Popen(
        watch_command(sidecar_binary, "--interval", "250", "--record", str(record), "--pid", str(tree.root.pid)),
        env=watch_env(), stdout=subprocess.PIPE, text=True,
    )
    deadline = time.monotonic() + 30
    while not (record.exists() and record.read_text().count("\n") >= 2) and time.monotonic() < deadline:
        time.sleep(0.1)  # until the watch has seen the tree twice
    tree.end()
    out, _ = watch.communicate(timeout=30)
    assert watch.returncode == 0
    assert "Summary" in out and "2 processes" in out


def test_ctrl_c_interrupts_the_command(sidecar_binary: Path, tmp_path: Path, terminal: Terminal) -> None:
    status = tmp_path / "status"
    terminal.start(shell_line(watch_command(sidecar_binary, "--interval", "250", "--", "sleep", "60"), status))
    terminal.wait_for(lambda s: "sleep 60" in s and "tree total" in s)
    terminal.tmux("send-keys", "-t", "w", "C-c")  # reaches the command too, not the sidecar
    final = terminal.wait_for(lambda s: status.exists() and "Summary" in s)
    assert "1 process " in final
    assert status.read_text().strip() == "130"  # the command's status: ended by SIGINT
