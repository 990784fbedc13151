"""sidecar-watch: its model of a watch, its output files, and the live view
in a real terminal (tmux)."""

from __future__ import annotations

import contextlib
import itertools
import json
import os
import shlex
import re
import shutil
import signal
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
from sidecar_client.watch.terminal import KeyRouter, OutputSplitter
from sidecar_client.watch.view import lifetime_text, sparkline

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


def test_cpu_comes_from_cpu_time_differences() -> None:
    """The area under the tree's CPU curve is the CPU time measured: a process
    that appears counts what it already used in its first interval, one that
    was there before the watch does not, and ended ones stay in the total."""
    model = WatchModel()
    model.add(snapshot(1, 10_000, [sample(10, 1, cpu_time_ms=7000)]))  # used before the watch
    model.add(snapshot(2, 11_000, [sample(10, 1, cpu_time_ms=7500), sample(11, 10, cpu_time_ms=300, cpu_percent=0.0)]))
    model.add(snapshot(3, 13_000, [sample(10, 1, cpu_time_ms=8000), sample(11, 10, cpu_time_ms=1300)]))
    model.add(snapshot(4, 14_000, [sample(10, 1, cpu_time_ms=8000)]))  # 11 has ended
    assert [round(p.cpu_percent, 6) for p in model.timeline] == [0.0, 80.0, 75.0, 0.0]
    area_ms = sum(p.cpu_percent * 10 * (p.sampled_at_unix_ms - q.sampled_at_unix_ms) / 1000
                  for q, p in zip(model.timeline, model.timeline[1:]))
    assert round(area_ms) == model.total_cpu_time_ms == 1000 + 1300
    assert model.records[(11, 1_000_000)].measured_cpu_ms == 1300
    assert model.running() == {(10, 1_000_000)}


def test_programs_group_by_label_and_lifetimes_keep_to_the_second() -> None:
    """Rows group by the program that the command line names where the name is
    stale (seen before its exec) or cut at 15 bytes."""
    model = WatchModel(ignored_pids=frozenset({1}))
    cc1 = {"name": "cc1plus", "command": "/usr/lib/gcc/cc1plus -quiet a.cpp"}
    gxx = {"name": "x86_64-linux-gn", "command": "/usr/bin/x86_64-linux-gnu-g++-12 -c a.cpp"}
    model.add(snapshot(1, 1_000_400, [sample(1, 0), sample(10, 1, **cc1, resident_bytes=5000)]))
    model.add(snapshot(2, 1_001_900, [sample(10, 1, **cc1, cpu_time_ms=900),
                                       sample(11, 1, name="bash", command="/usr/lib/gcc/cc1plus b.cpp",
                                              cpu_time_ms=400, resident_bytes=9000),
                                       sample(12, 1, name="make", command="make -j2", cpu_time_ms=100),
                                       sample(13, 1, **gxx, cpu_time_ms=50),
                                       sample(14, 1, name="script.py", command="/usr/bin/python3 ./script.py")]))
    assert all(p.pid != 1 for p in model.latest.processes)  # type: ignore[union-attr]
    account = model.cpu_account()
    assert [(r.label, r.processes, r.cpu_ms, r.peak_resident_bytes) for r in account.rows] == [
        ("cc1plus", 2, 1300, 9000), ("make", 1, 100, 1000), ("x86_64-linux-gnu-g++-12", 1, 50, 1000),
        ("script.py", 1, 0, 1000)]
    assert (account.total_ms, account.exact) == (1450, False)  # a running tree: CPU since the watch began
    assert [lifetime_text(ms) for ms in (0, 999, 1900, 59_999, 61_000)] == ["<1 s", "<1 s", "1 s", "59 s", "1m01s"]


def test_cpu_account_adds_up_to_the_kernels_count() -> None:
    """The command (10) waited for its child (11), which was sampled once and then
    used more; an orphan (12) still runs at the end; another orphan (13) ended
    and was reaped; a zombie (14) of the running orphan was never reaped."""
    model = WatchModel(frozenset({5}), started_ms=10_000, command=["make"], cores=2)
    model.add(snapshot(1, 11_000, [sample(10, 5, cpu_time_ms=100), sample(11, 10, cpu_time_ms=200),
                                   sample(12, 10, cpu_time_ms=10), sample(13, 5, cpu_time_ms=30)]))
    model.add(snapshot(2, 12_000, [sample(10, 5, cpu_time_ms=300), sample(12, 5, cpu_time_ms=50),
                                   sample(14, 12, cpu_time_ms=7, status="Zombie")]))
    partial = model.cpu_account()
    assert (partial.exact, partial.total_ms) == (False, 300 + 200 + 50 + 30 + 7)  # not ended: the samples
    model.reaped(10, 900.0)  # the command with 11: 400 ms that no sample saw
    model.reaped(13, 45.0)
    model.finish(2, 12_500)
    account = model.cpu_account()
    assert account.exact and model.wall_ms == 2_500
    assert (account.unseen_ms, account.still_running_ms) == (900 - 500 + 45 - 30, 50 + 7)
    assert account.total_ms == 900 + 45 + 50 + 7 == sum(r.cpu_ms for r in account.rows) + account.unseen_ms
    assert [(r.label, r.processes, r.cpu_ms) for r in account.rows] == [
        ("p10", 1, 300), ("p11", 1, 200), ("p12", 1, 50), ("p13", 1, 30), ("p14", 1, 7)]


@pytest.mark.parametrize(
    "chunks, lines, pending, full_screen",
    [
        ([b"name? "], [], "name? ", False),  # a prompt without a line end
        ([b"name? ", b"bob\b\bil", b"l\r\n"], ["name? bill"], None, False),  # typed, with backspaces
        ([b"\r 10%", b"\r 50%\x1b[K", b"\r 90%"], [], " 90%", False),  # a progress bar
        ([b"[1/2] cc a.c\r\x1b[K[2/2] ld\r\n"], ["[2/2] ld"], None, False),
        ([b"before\r\n\x1b[?10", b"49hpage", b" 1\x1b[?1049lafter"],  # switches cut anywhere pass whole
         ["before", b"\x1b[?1049hpage", b" 1\x1b[?1049l"], "after", False),
        ([b"\x1b[?1049hpage"], [b"\x1b[?1049hpage"], None, True),
    ],
    ids=["prompt", "typed", "progress", "ninja", "alternate-screen", "still-alternate"],
)
def test_output_splitter(chunks: list[bytes], lines: list[str | bytes], pending: str | None, full_screen: bool) -> None:
    """Whole lines as a terminal shows them, the line being written, and the
    alternate screen's stretches passed on untouched (the bytes)."""
    splitter = OutputSplitter()
    events = [event for chunk in chunks for event in splitter.feed(chunk)]
    shown = [value for kind, value in events if kind in ("line", "raw")]
    assert (shown, splitter.pending(), splitter.full_screen) == (lines, pending, full_screen)


@pytest.mark.parametrize(
    "typed, full_screen, to_command, keys, interrupt",
    [
        (b"abc\r", False, b"abc\r", "", False),
        (b"\x1dc\x1dfq", False, b"q", "cf", False),  # the view's keys after Ctrl-]
        (b"\x1d\x1d", False, b"\x1d", "", False),  # Ctrl-] twice: one for the command
        (b"x\x03", False, b"x", "", True),  # Ctrl-C: the watcher interrupts, and follows up
        (b"\x03\x1a", True, b"\x03\x1a", "", False),  # on the alternate screen, the command's
    ],
    ids=["plain", "prefix", "prefix-twice", "interrupt", "full-screen"],
)
def test_key_router(typed: bytes, full_screen: bool, to_command: bytes, keys: str, interrupt: bool) -> None:
    assert KeyRouter().route(typed, full_screen=full_screen) == (to_command, keys, interrupt)


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
    record, plot, out = tmp_path / "run.jsonl", tmp_path / plot_name, tmp_path / "out.txt"
    stop = tmp_path / "stop"

    def enough_recorded() -> bool:
        # Six samples, one of them with the whole tree: the tree then ends.
        whole = [decode_line(line) for line in recorded_lines(record)[1:]]  # after the watch's own first line
        return len(whole) >= 6 and any(isinstance(s, Snapshot) and len(s.processes) == 4 for s in whole)

    with open(out, "wb") as stdout:  # not a terminal: the command's output lands there untouched
        watch = subprocess.Popen(
            watch_command(sidecar_binary, "--interval", "250", "--record", str(record), "--plot", str(plot),
                          "--", sys.executable, str(BUSY_TREE), "1", str(stop)),
            env=watch_env(), stdout=stdout, stderr=subprocess.PIPE, text=True,
        )
        with killed_if_left(watch):
            wait_until(enough_recorded, "six samples of the whole tree")
            stop.touch()
            _, err = watch.communicate(timeout=120)
    assert watch.returncode == 3, err
    assert re.fullmatch(r"busy tree: \d+ \[\d+, \d+, \d+\]\nbusy tree done\n", out.read_text())
    assert re.search(r"Exit status +3", err) and "4 seen, 0 still running" in err
    first, *lines, last = record.read_text().splitlines()
    start, end = json.loads(first), json.loads(last)
    assert start["command"] == [sys.executable, str(BUSY_TREE), "1", str(stop)] and start["cores"] == os.cpu_count()
    assert end["status"] == 3 and "signal" not in end and end["endedUnixMs"] > start["startedUnixMs"]
    snapshots = [decode_line(line) for line in lines]
    assert len(snapshots) >= 6 and all(isinstance(s, Snapshot) for s in snapshots)
    sequences = [s.sequence for s in snapshots]
    assert sequences == list(range(sequences[0], sequences[0] + len(sequences)))  # none missing
    assert max(len(s.processes) for s in snapshots) == 4  # the tree, without the watcher and its sidecar
    # Streamed samples, then a last one taken on request once the command has ended.
    assert [s.request_id is None for s in snapshots] == [True] * (len(snapshots) - 1) + [False]
    assert snapshots[-1].processes == []  # the tree has ended
    again = tmp_path / ("again" + plot.suffix)
    replot = subprocess.run(watch_command(sidecar_binary, "plot", str(record), "-o", str(again))[:3] + [
                            "plot", str(record), "-o", str(again)], env=watch_env(), capture_output=True, text=True,
                            timeout=120)
    assert replot.returncode == 0, replot.stderr
    for path in (plot, again):
        if plot.suffix == ".svg":
            root = ElementTree.parse(path).getroot()
            assert root.tag.endswith("svg")
            text = path.read_text()
            assert "resident memory (MiB)" in text and "python3" in text and "after the last sample" in text
            assert f"{os.cpu_count()} processors" in text and "ended, status 3" in text
        else:
            assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    if plot.suffix == ".svg":  # titled with the command, the second time from the record
        assert all("busy_tree.py" in path.read_text() for path in (plot, again))


def test_a_plot_of_nothing_says_so(sidecar_binary: Path, tmp_path: Path) -> None:
    record, plot = tmp_path / "empty.jsonl", tmp_path / "empty.svg"
    record.write_text("")
    done = subprocess.run(watch_command(sidecar_binary)[:3] + ["plot", str(record), "-o", str(plot)],
                          env=watch_env(), capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "nothing was measured" in plot.read_text()


@pytest.mark.parametrize(
    "args, status, text",
    [
        ([], 2, "give either --pid PID or -- COMMAND"),
        (["--interval", "100"], 2, "--interval must lie between"),
        (["--pid", str(2**31 - 1)], 1, "no process 2147483647"),
        (["--pid", "-5"], 2, "-5 is not a process id"),
        (["--pid", "0"], 2, "0 is not a process id"),
        (["--pid", str(2**32)], 2, "is not a process id"),
        (["--pid", "x"], 2, "'x' is not a process id"),
        (["--plot", "{tmp}/x.txt"], 2, "must end in .svg, .png, .pdf"),
        (["--plot", "/no/such/dir/x.svg"], 2, "no directory /no/such/dir"),
        (["--record", "/no/such/dir/r.jsonl"], 2, "no directory /no/such/dir"),
        (["--record", "{tmp}"], 2, "is a directory"),
        (["--sidecar", "/nonexistent/sidecar"], 2, "no such executable"),
        (["--", "/nonexistent/command"], 127, "cannot start /nonexistent/command: no such command"),
        (["--", "no-such-command-here"], 127, "cannot start no-such-command-here: no such command"),
        (["--", "{tmp}"], 126, "is a directory"),
        (["--version"], 0, "sidecar-watch 0.1.0"),
    ],
)
def test_options_are_checked_before_the_command_starts(
    sidecar_binary: Path, tmp_path: Path, args: list[str], status: int, text: str
) -> None:
    marker = tmp_path / "ran"
    args = [a.replace("{tmp}", str(tmp_path)) for a in args]
    if "--pid" not in args and "--" not in args and "--version" not in args and args:
        args += ["--", "touch", str(marker)]  # would show that the command ran
    done = subprocess.run(watch_command(sidecar_binary, *args), env=watch_env(), capture_output=True, text=True,
                          timeout=30)
    assert (done.returncode, text in done.stdout + done.stderr) == (status, True), done.stdout + done.stderr
    assert "Traceback" not in done.stderr and not marker.exists()


def test_a_missing_module_is_one_sentence() -> None:
    code = ("import sys; sys.modules['rich'] = None\nfrom sidecar_client.watch import main\n"
            f"raise SystemExit(main(['--sidecar', {sys.executable!r}, '--', 'true']))")
    done = subprocess.run([sys.executable, "-c", code], env=watch_env(), capture_output=True, text=True, timeout=30)
    assert done.returncode == 1
    assert done.stderr.strip().count("\n") == 0 and "install the Debian package python3-rich" in done.stderr


# A command that ignores SIGINT and leaves a child behind that ignores it too
# (ignored signals are inherited): it takes the signals that follow to end it.
STUBBORN = """
import os, signal, subprocess, sys, time
signal.signal(signal.SIGINT, signal.SIG_IGN)
child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(600)"])
open(sys.argv[1], "w").write(str(child.pid))
print("stubborn started", flush=True)
time.sleep(600)
"""


def gone(pid: int) -> bool:
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return True
    return state == "Z"


def recorded_lines(record: Path) -> list[str]:
    """The whole lines of a record being written (the last may be half written)."""
    try:
        text = record.read_text()
    except FileNotFoundError:
        return []
    return text.splitlines()[: text.count("\n")]


@contextlib.contextmanager
def killed_if_left(process: subprocess.Popen[str]) -> Iterator[None]:
    """Kills and reaps PROCESS if it still runs when the block ends, as it does when a wait fails."""
    try:
        yield
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()


def wait_until(ready: Callable[[], bool], what: str, timeout: float = 90) -> None:
    deadline = time.monotonic() + timeout
    while not ready():
        if time.monotonic() > deadline:
            pytest.fail(f"timed out waiting for {what}")
        time.sleep(0.05)


@pytest.mark.parametrize("sig, status", [(signal.SIGTERM, 143), (signal.SIGHUP, 129), (signal.SIGINT, 143)],
                         ids=["TERM", "HUP", "INT-escalates"])
def test_a_signal_ends_the_whole_group_and_the_summary_follows(
    sidecar_binary: Path, tmp_path: Path, sig: int, status: int
) -> None:
    script, child_file, plot, record = (tmp_path / n for n in ("stubborn.py", "child", "p.svg", "r.jsonl"))
    script.write_text(STUBBORN)
    watch = subprocess.Popen(
        watch_command(sidecar_binary, "--interval", "250", "--plot", str(plot), "--record", str(record),
                      "--", sys.executable, str(script), str(child_file)),
        env=watch_env(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
    )
    with killed_if_left(watch):
        wait_until(lambda: child_file.exists() and child_file.read_text() != "", "the command's child")
        child = int(child_file.read_text())
        wait_until(lambda: "".join(recorded_lines(record)).count('"python3') >= 2, "a sample of the tree")
        watch.send_signal(sig)
        _, err = watch.communicate(timeout=120)
    assert watch.returncode == status, err
    assert f"Exit status  {status}" in err and "Processes" in err
    assert ElementTree.parse(plot).getroot().tag.endswith("svg") and record.read_text().endswith("\n")
    wait_until(lambda: gone(child), "the command's child to end")
    if sig == signal.SIGINT:
        assert "sending SIGTERM" in err  # SIGINT was ignored: the watcher escalated


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="a subreaper is Linux's")
def test_processes_left_behind_stay_in_the_summary(sidecar_binary: Path, tmp_path: Path) -> None:
    left = tmp_path / "left"
    done = subprocess.run(
        watch_command(sidecar_binary, "--interval", "250", "--processes", "--",
                      "sh", "-c", f"sleep 300 2>/dev/null & echo $! > {shlex.quote(str(left))}; sleep 1"),
        env=watch_env(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=120,
    )
    pid = int(left.read_text())
    try:
        assert done.returncode == 0, done.stderr
        # (its name may still be the shell's: the fork is seen before its exec)
        assert re.search(rf"still running: \w+ \({pid}\)", done.stderr), done.stderr
        assert re.search(rf"{pid} .* \d+ s \+", done.stderr), done.stderr  # in the per-process list, running
    finally:
        os.kill(pid, signal.SIGKILL)


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
                              check=True, timeout=60).stdout

    def start(self, command: str, columns: int = 120, rows: int = 32) -> None:
        self.tmux("-f", "/dev/null", "new-session", "-d", "-x", str(columns), "-y", str(rows), "-s", "w", command)

    def resize(self, columns: int, rows: int) -> None:
        self.tmux("resize-window", "-t", "w", "-x", str(columns), "-y", str(rows))

    def keys(self, *keys: str) -> None:
        self.tmux("send-keys", "-t", "w", *keys)

    def screen(self) -> str:
        return self.tmux("capture-pane", "-p", "-t", "w")

    def wait_for(self, ready: Callable[[str], bool], timeout: float = 90) -> str:
        deadline = time.monotonic() + timeout
        while True:
            screen = self.screen()
            if ready(screen):
                return screen
            if time.monotonic() > deadline:
                pytest.fail(f"the terminal never showed what was expected; it shows:\n{screen}")
            time.sleep(0.2)

    def kill(self) -> None:
        subprocess.run(["tmux", "-L", self.name, "kill-server"], env=self.env, capture_output=True, timeout=60)
        shutil.rmtree(self.directory, ignore_errors=True)


_servers = itertools.count()


@pytest.fixture
def terminal() -> Iterator[Terminal]:
    if shutil.which("tmux") is None:
        pytest.fail("tmux is not installed (scripts/install-deps installs it)")
    term = Terminal(f"sidecar-watch-test-{os.getpid()}-{next(_servers)}")
    yield term
    term.kill()


def written(status_file: Path) -> bool:
    """Whether the shell has written the watch's status: the file is made before
    the status is written into it."""
    try:
        return status_file.read_text().endswith("\n")
    except FileNotFoundError:
        return False


def shell_line(argv: list[str], status_file: Path) -> str:
    env = f"PYTHONPATH={shlex.quote(str(CLIENT_ROOT))}"
    # Keep the window open after the watch ends so its last screen can be read.
    return f"env {env} {shlex.join(argv)}; echo $? > {shlex.quote(str(status_file))}; sleep 600"


def test_live_view_at_two_sizes(sidecar_binary: Path, tmp_path: Path, terminal: Terminal) -> None:
    status, stop = tmp_path / "status", tmp_path / "stop"
    # The tree runs until the test has read both pictures: a loaded machine cannot end it first.
    command = watch_command(sidecar_binary, "--interval", "250", "--no-fold", "--",
                            sys.executable, str(BUSY_TREE), "2", str(stop))
    terminal.start(shell_line(command, status), 160, 45)
    headings = ("Process", "PID", "State", "CPU%", "CPU time", "RSS", "Read/s", "Write/s", "CPU 0–", "RSS 0–",
                "Arguments")

    def full_view(screen: str) -> bool:
        # A whole picture, not one half drawn: every part of it is on the screen.
        return (
            screen.count("python") >= 4  # the tree: the root and its three children
            and "├─ python" in screen and "└─ python" in screen
            and " Run " in screen  # the spinning child
            and "tree total" in screen
            and any(ch in screen for ch in "▃▄▅▆▇█")  # sparklines with something in them
            and all(heading in screen for heading in headings)
            and "busy_tree.py" in screen  # the title and the root's arguments
            and "busy tree:" in screen
        )

    wide = terminal.wait_for(full_view)
    assert wide.index("busy tree:") < wide.index("Process")  # the command's own output, above the view
    terminal.resize(80, 24)

    def narrow_view(screen: str) -> bool:
        # Redrawn for 80 columns (no sparkline columns) with the numbers in full, below
        # the command's output, and nothing left of the wide picture: one picture,
        # however long the wait.
        return (
            screen.count("tree total") == 1 and screen.count("State") == 1
            and screen.count("busy tree:") == 1 and screen.index("busy tree:") < screen.index("State")
            and "CPU 0–" not in screen and "▁" not in screen
            and re.search(r"tree total +\d+\.\d +[\d.]+ m?s +[\d.]+[KMG]", screen) is not None
        )

    terminal.wait_for(narrow_view)
    stop.touch()
    final = terminal.wait_for(lambda s: written(status) and "Exit status" in s)
    assert re.search(r"Exit status +3", final) and "4 seen, 0 still running" in final
    assert status.read_text().strip() == "3"


def test_keys_sort_and_fold(sidecar_binary: Path, tmp_path: Path, terminal: Terminal, make_tree: Any) -> None:
    tree = make_tree(3)
    status = tmp_path / "status"
    terminal.start(shell_line(watch_command(sidecar_binary, "--interval", "250", "--pid", str(tree.root.pid)), status))
    terminal.wait_for(lambda s: "sleep ×3" in s and "sort tree" in s)
    terminal.keys("p")  # by pid: one row each
    terminal.wait_for(lambda s: "sort pid" in s and s.count("sleep") >= 3)
    terminal.keys("c")
    terminal.wait_for(lambda s: "sort cpu" in s and "sleep ×3" in s)
    terminal.keys("f")
    terminal.wait_for(lambda s: "sort cpu" in s and "folded" not in s and s.count("sleep") >= 3)
    terminal.keys("C-c")
    final = terminal.wait_for(lambda s: written(status) and "still running" in s)
    assert "4 seen, 4 still running" in final
    assert status.read_text().strip() == "130"
    assert tree.root.poll() is None  # Ctrl-C ended the watch, not the watched tree


def test_the_command_has_a_terminal(sidecar_binary: Path, tmp_path: Path, terminal: Terminal) -> None:
    status = tmp_path / "status"
    program = "import os, time; print('stdout is a tty:', os.isatty(1), os.isatty(2)); time.sleep(600)"
    terminal.start(shell_line(watch_command(sidecar_binary, "--interval", "250", "--", sys.executable, "-c", program),
                              status))
    # Printed, without a flush, while the program still runs: a terminal's line buffering.
    terminal.wait_for(lambda s: "stdout is a tty: True True" in s and "tree total" in s)
    terminal.keys("C-c")
    final = terminal.wait_for(lambda s: written(status) and "Exit status" in s)
    assert status.read_text().strip() == "130" and "1 seen, 0 still running" in final


def test_pid_watch_ends_with_its_root(sidecar_binary: Path, tmp_path: Path, make_tree: Any) -> None:
    tree = make_tree(1)
    record = tmp_path / "run.jsonl"
    watch = subprocess.Popen(
        watch_command(sidecar_binary, "--interval", "250", "--record", str(record), "--pid", str(tree.root.pid)),
        env=watch_env(), stderr=subprocess.PIPE, text=True,
    )
    with killed_if_left(watch):
        wait_until(lambda: len(recorded_lines(record)) >= 2, "the watch to see the tree twice")
        tree.end()
        _, err = watch.communicate(timeout=120)
    assert watch.returncode == 0
    assert "2 seen, 0 still running" in err
    # Not the parent: every CPU figure is what the samples saw since the watch began, and says so.
    assert "used since the watch began" in err and "CPU time since the watch began" in err
    assert "after the last sample" not in err


def test_ctrl_c_reaches_the_whole_group(sidecar_binary: Path, tmp_path: Path, terminal: Terminal) -> None:
    """Ctrl-C at the terminal, to a command that ignores it and has a child that does too."""
    script, child_file, status = tmp_path / "stubborn.py", tmp_path / "child", tmp_path / "status"
    script.write_text(STUBBORN)
    terminal.start(shell_line(watch_command(sidecar_binary, "--interval", "250", "--",
                                            sys.executable, str(script), str(child_file)), status))
    terminal.wait_for(lambda s: "stubborn started" in s and "tree total" in s and s.count("python") >= 2)
    child = int(child_file.read_text())
    terminal.keys("C-c")
    final = terminal.wait_for(lambda s: written(status) and "Exit status" in s)
    assert "sent SIGINT" in final and "sending SIGTERM" in final
    assert status.read_text().strip() == "143"
    wait_until(lambda: gone(child), "the command's child to end")


def test_less_scrolls_searches_and_quits(sidecar_binary: Path, tmp_path: Path, terminal: Terminal) -> None:
    """A full-screen program gets the terminal and every key, and gives it back."""
    text, status = tmp_path / "big.txt", tmp_path / "status"
    text.write_text("".join(f"line {n}\n" for n in range(1, 3001)))
    terminal.start(shell_line(watch_command(sidecar_binary, "--interval", "250", "--", "less", str(text)), status))
    terminal.wait_for(lambda s: s.startswith("line 1\n") and "tree total" not in s)
    terminal.keys("Space")  # a page on
    terminal.wait_for(lambda s: re.search(r"^line 40$", s, re.M) is not None and "line 1\n" not in s)
    terminal.keys("/1500", "Enter")
    terminal.wait_for(lambda s: s.startswith("line 1500\n"))
    terminal.keys("q")
    final = terminal.wait_for(lambda s: written(status) and "Exit status" in s)
    assert status.read_text().strip() == "0" and re.search(r"Processes +[01] seen, 0 still running", final)


@pytest.mark.parametrize("piped", [False, True], ids=["typed", "piped"])
def test_a_prompt_shows_and_reads_a_line(sidecar_binary: Path, tmp_path: Path, terminal: Terminal,
                                         piped: bool) -> None:
    status = tmp_path / "status"
    script = 'printf "name? "; read name; echo "hello [$name]"'
    line = shell_line(watch_command(sidecar_binary, "--interval", "250", "--", "sh", "-c", script), status)
    if piped:
        terminal.start("printf 'from a pipe\\n' | " + line)
        final = terminal.wait_for(lambda s: written(status) and "Exit status" in s)
        assert "name? hello [from a pipe]" in final
    else:
        terminal.start(line)
        # The prompt, without a line end, above the view while the command waits.
        terminal.wait_for(lambda s: re.search(r"^name\? ?$", s, re.M) is not None and "tree total" in s)
        terminal.keys("bob")
        terminal.wait_for(lambda s: "name? bob" in s)
        terminal.keys("Enter")
        final = terminal.wait_for(lambda s: written(status) and "Exit status" in s)
        assert "name? bob\nhello [bob]" in final
    assert status.read_text().strip() == "0"


PROGRESS = """
import os, sys, time
count = 0
while not os.path.exists(sys.argv[1]):
    count += 1
    sys.stdout.write(f"\\rprogress {count}")
    sys.stdout.flush()
    time.sleep(0.02)
print("\\rdone", flush=True)
"""


def test_a_progress_bar_shows_while_it_runs(sidecar_binary: Path, tmp_path: Path, terminal: Terminal) -> None:
    status, stop = tmp_path / "status", tmp_path / "stop"
    terminal.start(shell_line(watch_command(sidecar_binary, "--interval", "250", "--",
                                            sys.executable, "-c", PROGRESS, str(stop)), status))
    counts = []

    def progress(screen: str) -> bool:
        found = re.search(r"^progress (\d+)$", screen, re.M)
        if found and "tree total" in screen:
            counts.append(int(found.group(1)))
        return len(set(counts)) >= 2  # rewritten in place: two states, one line

    terminal.wait_for(progress)
    stop.touch()
    final = terminal.wait_for(lambda s: written(status) and "Exit status" in s)
    assert not re.search(r"^progress \d+$", final, re.M) and re.search(r"^done$", final, re.M)


ORPHAN = """
import os, signal, sys, time
for name in sys.argv[2:]:
    signal.signal(getattr(signal, "SIG" + name), signal.SIG_IGN)
with open(sys.argv[1] + ".part", "w") as out:
    out.write(str(os.getpid()))
os.rename(sys.argv[1] + ".part", sys.argv[1])
time.sleep(600)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="a subreaper is Linux's")
@pytest.mark.parametrize("ignored", [["INT"], ["INT", "HUP"]], ids=["INT", "INT-HUP"])
def test_an_orphan_outlives_the_command_on_its_terminal(sidecar_binary: Path, tmp_path: Path, terminal: Terminal,
                                                          ignored: list[str]) -> None:
    """The command's end does not hang up what it left on its terminal: the
    orphan is listed as still running and lives on after the watch."""
    status, left, script = tmp_path / "status", tmp_path / "left", tmp_path / "orphan.py"
    script.write_text(ORPHAN)
    shell = (f"{shlex.quote(sys.executable)} {shlex.quote(str(script))} {shlex.quote(str(left))} {' '.join(ignored)} &"
             f" while [ ! -e {shlex.quote(str(left))} ]; do sleep 0.05; done; echo parent leaves")
    terminal.start(shell_line(watch_command(sidecar_binary, "--interval", "250", "--", "sh", "-c", shell), status))
    try:
        final = terminal.wait_for(lambda s: written(status) and "Exit status" in s)
        pid = int(left.read_text())
        assert re.search(rf"1 still running: python3 \({pid}\)", final), final
        assert not gone(pid)
    finally:
        if left.exists():
            os.kill(int(left.read_text()), signal.SIGKILL)


BUSY = """
import os, resource, subprocess, sys, time
def spin(seconds):
    end = time.process_time() + seconds
    while time.process_time() < end:
        pass
def cpu(who):
    usage = resource.getrusage(who)
    return usage.ru_utime + usage.ru_stime
if sys.argv[1] == "child":
    spin(0.35)
    os._exit(0)
children = [subprocess.Popen([sys.executable, __file__, "child"]) for _ in range(6)]
for child in children:
    child.wait()
# The children's CPU as the kernel counted it at their reaping (their exits
# included, which cost more on a loaded machine), and the parent's own so far.
out = os.open(sys.argv[2], os.O_WRONLY | os.O_APPEND)
os.write(out, f"{len(children)} {cpu(resource.RUSAGE_CHILDREN)!r} {cpu(resource.RUSAGE_SELF)!r}\\n".encode())
os._exit(0)  # nothing after the measure but the parent's own exit
"""


@pytest.mark.parametrize("on_terminal", [False, True], ids=["plain", "terminal"])
def test_the_total_is_the_cpu_the_processes_measure(sidecar_binary: Path, tmp_path: Path, terminal: Terminal,
                                                    on_terminal: bool) -> None:
    """Six short busy processes, shorter than one sample interval: the samples see
    little of them, the total is what the kernel counted for them at their reaping
    and what the parent measured of itself, within 1 %."""
    script, measured, summary, status = (tmp_path / n for n in ("busy.py", "measured", "summary", "status"))
    script.write_text(BUSY)
    measured.write_text("")
    command = watch_command(sidecar_binary, "--", sys.executable, str(script), "parent", str(measured))
    if on_terminal:  # the command on a terminal (through its session's holder), the summary in a file
        terminal.start(f"env PYTHONPATH={shlex.quote(str(CLIENT_ROOT))} {shlex.join(command)} "
                       f"2> {shlex.quote(str(summary))}; echo $? > {shlex.quote(str(status))}")
        wait_until(lambda: written(status) and status.read_text().endswith("\n"), "the watch to end")
        assert status.read_text().strip() == "0"
        err = summary.read_text()
    else:
        done = subprocess.run(command, env=watch_env(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                              timeout=300)
        assert done.returncode == 0, done.stderr
        err = done.stderr
    count, reaped, parent = measured.read_text().split()
    assert count == "6" and float(reaped) >= 6 * 0.35
    found = re.search(r"CPU time +([\d.]+) s \(exact", err)
    assert found, err
    assert float(found.group(1)) == pytest.approx(float(reaped) + float(parent), rel=0.01), err
    assert "\x1b[" not in err and "tree total" not in err  # nothing of the view in a file
