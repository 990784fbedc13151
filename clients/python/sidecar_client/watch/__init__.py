"""sidecar-watch: a live terminal view of a process tree, built on the client.

::

    sidecar-watch --pid PID              # watch a running tree
    sidecar-watch -- COMMAND [ARGS...]   # run a command and watch its tree

The view shows the tree indented by parent, per process its status, CPU %,
CPU time, resident memory and I/O rates, sparklines of CPU and memory taken
from the sidecar's history, and the tree's totals.  When the command ends,
the root goes away, or on Ctrl-C, a summary table follows.  ``--record``
keeps every snapshot as JSON lines, ``--plot`` writes a timeline.

Everything about the protocol is the client's; this module only arranges
what the client returns.  It needs ``rich`` (and ``matplotlib`` for
``--plot``).
"""

from __future__ import annotations

import argparse
import queue
import shlex
import subprocess
import threading
from pathlib import Path
from typing import IO, Callable, Optional, Sequence

from rich.console import Console
from rich.live import Live
from rich.text import Text

from .. import SidecarClient, SidecarClientError, Snapshot
from .model import WatchModel
from .view import live_view, summary_view

def spark_width(console: Console) -> int:
    """Points in each sparkline, so that the live table fits the terminal's width."""
    return max(6, min(30, (console.width - 80) // 2 - 1))


def parse_arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="sidecar-watch",
        usage="%(prog)s [options] (--pid PID | -- COMMAND [ARGS...])",
        description="Watch a process tree live through the sidecar.",
        epilog="Examples: sidecar-watch --pid 1234; sidecar-watch --record run.jsonl -- make -j4",
    )
    parser.add_argument("--pid", type=int, help="watch the running process PID and its descendants")
    parser.add_argument("--interval", type=int, default=1000, metavar="MS",
                        help="sample interval in milliseconds, 250 to 60000 (default 1000)")
    parser.add_argument("--sidecar", metavar="PATH", help="the sidecar executable (default: 'sidecar' on PATH)")
    parser.add_argument("--record", type=Path, metavar="FILE", help="write every snapshot to FILE as JSON lines")
    parser.add_argument("--plot", type=Path, metavar="FILE.svg",
                        help="write a timeline of the tree's CPU and memory (.svg, .png or .pdf)")
    parser.add_argument("command", nargs=argparse.REMAINDER, metavar="-- COMMAND [ARGS...]",
                        help="after --: a command to start and watch; sidecar-watch exits with its status")
    args = parser.parse_args(argv)
    if args.command[:1] == ["--"]:
        args.command = args.command[1:]
    if (args.pid is None) == (not args.command):
        parser.error("give either --pid PID or -- COMMAND [ARGS...]")
    if not 250 <= args.interval <= 60000:
        parser.error("--interval must lie between 250 and 60000 ms")
    return args


class CommandOutput:
    """The watched command's output, read on a thread so the view can print it above itself."""

    def __init__(self, stream: IO[bytes]) -> None:
        self.lines: queue.SimpleQueue[str] = queue.SimpleQueue()
        self._thread = threading.Thread(target=self._pump, args=(stream,), daemon=True)
        self._thread.start()

    def _pump(self, stream: IO[bytes]) -> None:
        for line in stream:
            self.lines.put(line.decode("utf-8", "replace").rstrip("\n"))

    def drain(self, console: Console) -> None:
        while True:
            try:
                line = self.lines.get_nowait()
            except queue.Empty:
                return
            console.print(Text(line), highlight=False, markup=False)

    def finish(self, console: Console) -> None:
        self._thread.join(1.0)
        self.drain(console)


def exit_status(returncode: int) -> int:
    """A child's status as a shell reports it: 128 + N after signal N."""
    return 128 - returncode if returncode < 0 else returncode


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run sidecar-watch; returns the exit status."""
    args = parse_arguments(argv)
    console = Console()
    record = open(args.record, "w", encoding="utf-8") if args.record else None
    model = WatchModel()

    def keep(snapshot: Snapshot) -> None:
        model.add(snapshot)
        if record is not None:
            record.write(snapshot.to_json() + "\n")
            record.flush()

    child: Optional[subprocess.Popen[bytes]] = None
    output: Optional[CommandOutput] = None
    status = 0
    try:
        with SidecarClient(args.sidecar) as client:
            if args.command:
                try:
                    child = subprocess.Popen(args.command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                except OSError as exc:
                    console.print(f"sidecar-watch: cannot start {args.command[0]}: {exc.strerror}")
                    return 127
                assert child.stdout is not None
                output = CommandOutput(child.stdout)
                root, title = child.pid, shlex.join(args.command)
            else:
                root, title = args.pid, f"pid {args.pid}"
            client.configure(root_pid=root, sample_interval_ms=args.interval)
            client.set_streaming(True)
            first = client.sample_now()
            if child is None and client.root_gone(first):
                console.print(f"sidecar-watch: no process {args.pid}")
                return 1
            if child is None:
                title = f"{first.process(root).name} (pid {root})"  # type: ignore[union-attr]
            keep(first)
            interrupted = watch(client, model, keep, child, output, console, title, args.interval)
            if child is not None:
                status = finish_command(child, interrupted, console)
            elif interrupted:
                status = 130
            # What is left of the tree at the end, after the streamed samples
            # still queued: every one taken before this answer came before it.
            last = client.sample_now()
            while (late := client.poll_snapshot(0.0)) is not None:
                if late.sequence < last.sequence:
                    keep(late)
            keep(last)
            if output is not None:
                output.finish(console)
    except SidecarClientError as exc:
        console.print(f"sidecar-watch: {exc}")
        if child is not None and child.poll() is None:
            console.print(f"sidecar-watch: waiting for the command (pid {child.pid}) to end")
            return finish_command(child, False, console)
        return 1
    except OSError as exc:  # the sidecar cannot be started, the record cannot be written
        console.print(f"sidecar-watch: {exc}")
        return 1
    finally:
        if record is not None:
            record.close()
    console.print()
    console.print(summary_view(model, title=f"Summary: {title}"))
    if args.plot:
        from .plot import write_plot

        write_plot(model, args.plot, title=title)
        console.print(f"timeline written to {args.plot}")
    return status


def watch(
    client: SidecarClient,
    model: WatchModel,
    keep: Callable[[Snapshot], None],
    child: Optional[subprocess.Popen[bytes]],
    output: Optional[CommandOutput],
    console: Console,
    title: str,
    interval_ms: int,
) -> bool:
    """Show the live view until the command or the root ends; True after Ctrl-C."""
    note = "Ctrl-C ends the watch" + (" and interrupts the command" if child else "")
    width = spark_width(console)
    window_ms = width * interval_ms

    def picture() -> object:
        history = client.read_history(window_ms)
        return live_view(model, history, title=title, interval_ms=interval_ms, spark_width=width, note=note)

    try:
        with Live(picture(), console=console, auto_refresh=False, transient=False) as live:
            while True:
                if output is not None:
                    output.drain(live.console)
                snapshot = client.poll_snapshot(0.1)
                if snapshot is not None:
                    keep(snapshot)
                    live.update(picture(), refresh=True)
                if child is not None and child.poll() is not None:
                    return False
                if child is None and snapshot is not None and client.root_gone(snapshot):
                    return False
    except KeyboardInterrupt:
        return True


def finish_command(child: subprocess.Popen[bytes], interrupted: bool, console: Console) -> int:
    """Wait for the watched command (it had Ctrl-C too); end it if it lingers."""
    try:
        return exit_status(child.wait(5.0 if interrupted else None))
    except subprocess.TimeoutExpired:
        console.print(f"sidecar-watch: the command did not end after Ctrl-C; terminating pid {child.pid}")
        child.terminate()
        try:
            return exit_status(child.wait(5.0))
        except subprocess.TimeoutExpired:
            child.kill()
            return exit_status(child.wait())
