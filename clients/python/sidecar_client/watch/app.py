"""sidecar-watch's command line and its main loop.

The view and the summary go to standard error, as ``time`` does; the
watched command keeps standard output (on a pseudo-terminal when it is a
terminal, so that the command still sees one).  Every option is checked
before the command starts.
"""

from __future__ import annotations

import argparse
import collections
import os
import queue
import select
import shlex
import shutil
import signal
import sys
import termios
import time
import tty
from pathlib import Path
from typing import Callable, Optional, Sequence

from rich.console import Console
from rich.live import Live
from rich.text import Text

from .. import SidecarClient, SidecarClientError, Snapshot, __version__, decode_line
from .command import Command, become_subreaper
from .model import WatchModel
from .view import SORTS, ViewOptions, live_view, summary_view

PLOT_SUFFIXES = (".svg", ".png", ".pdf")
PID_MAX = 2**31 - 1
KEYS = {"c": "cpu", "m": "mem", "p": "pid", "t": "tree"}


def writable_file(text: str, *, suffixes: Sequence[str] = ()) -> Path:
    """An argparse type: a file that can be created or replaced."""
    path = Path(text)
    if suffixes and path.suffix.lower() not in suffixes:
        raise argparse.ArgumentTypeError(f"{text}: the name must end in {', '.join(suffixes)}")
    directory = path.parent if str(path.parent) else Path(".")
    if not directory.is_dir():
        raise argparse.ArgumentTypeError(f"{text}: no directory {directory}")
    if path.is_dir():
        raise argparse.ArgumentTypeError(f"{text}: is a directory")
    if not os.access(path if path.exists() else directory, os.W_OK):
        raise argparse.ArgumentTypeError(f"{text}: not writable")
    return path


def plot_file(text: str) -> Path:
    return writable_file(text, suffixes=PLOT_SUFFIXES)


def pid_number(text: str) -> int:
    try:
        pid = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a process id") from None
    if not 1 <= pid <= PID_MAX:
        raise argparse.ArgumentTypeError(f"{text} is not a process id (1 to {PID_MAX})")
    return pid


def default_sidecar() -> Optional[str]:
    """The installed launcher names the sidecar beside it; else ``sidecar`` on PATH."""
    return os.environ.get("SIDECAR_WATCH_SIDECAR") or shutil.which("sidecar")


def parse_arguments(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="sidecar-watch",
        usage="%(prog)s [options] (--pid PID | -- COMMAND [ARGS...])\n       %(prog)s plot RECORD -o FILE.svg",
        description="Watch a process tree live through the sidecar. The view and the summary go to standard "
                    "error; the command keeps standard output.",
        epilog="Keys while watching: c, m, p, t sort by CPU, memory, pid or tree; f folds processes of one name. "
               "Examples: sidecar-watch --pid 1234; sidecar-watch --record run.jsonl --plot run.svg -- make -j4",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument("--pid", type=pid_number, help="watch the running process PID and its descendants")
    parser.add_argument("--interval", type=int, default=1000, metavar="MS",
                        help="sample interval in milliseconds, 250 to 60000 (default 1000)")
    parser.add_argument("--sidecar", metavar="PATH",
                        help="the sidecar executable (default: the one installed beside sidecar-watch, else PATH)")
    parser.add_argument("--record", type=writable_file, metavar="FILE", help="write every snapshot to FILE as JSON lines")
    parser.add_argument("--plot", type=plot_file, metavar="FILE.svg",
                        help="write a timeline of the tree's CPU and memory (.svg, .png or .pdf)")
    parser.add_argument("--sort", choices=SORTS, default="tree", help="order of the live view (default tree)")
    parser.add_argument("--no-fold", dest="fold", action="store_false",
                        help="one row per process, even where many share a name")
    parser.add_argument("--processes", action="store_true", help="list every process in the summary, not only names")
    parser.add_argument("command", nargs=argparse.REMAINDER, metavar="-- COMMAND [ARGS...]",
                        help="after --: a command to start and watch; sidecar-watch exits with its status")
    args = parser.parse_args(argv)
    if args.command[:1] == ["--"]:
        args.command = args.command[1:]
    if (args.pid is None) == (not args.command):
        parser.error("give either --pid PID or -- COMMAND [ARGS...]")
    if not 250 <= args.interval <= 60000:
        parser.error("--interval must lie between 250 and 60000 ms")
    args.sidecar = args.sidecar or default_sidecar()
    if args.sidecar is None:
        parser.error("no 'sidecar' executable on PATH; name one with --sidecar PATH")
    if not (os.path.isfile(args.sidecar) and os.access(args.sidecar, os.X_OK)):
        parser.error(f"--sidecar {args.sidecar}: no such executable")
    if args.command and shutil.which(args.command[0]) is None:
        parser.error(f"cannot start {args.command[0]}: no such command")
    return args


def plot_again(argv: Sequence[str]) -> int:
    """``sidecar-watch plot RECORD -o FILE``: the timeline of a recording."""
    parser = argparse.ArgumentParser(prog="sidecar-watch plot", description="Plot a recording of sidecar-watch again.")
    parser.add_argument("record", type=Path, metavar="RECORD", help="a file written by --record")
    parser.add_argument("-o", "--output", type=plot_file, required=True, metavar="FILE.svg",
                        help="the plot to write (.svg, .png or .pdf)")
    parser.add_argument("--title", help="the plot's title (default: the record's name)")
    args = parser.parse_args(argv)
    model = WatchModel()
    try:
        with open(args.record, encoding="utf-8") as lines:
            for number, line in enumerate(lines, 1):
                message = decode_line(line)
                if not isinstance(message, Snapshot):
                    parser.error(f"{args.record}:{number}: not a snapshot")
                model.add(message)
    except (OSError, ValueError) as exc:
        parser.error(f"{args.record}: {exc}")
    from .plot import write_plot

    write_plot(model, args.output, title=args.title or args.record.name)
    print(f"timeline written to {args.output}", file=sys.stderr)
    return 0


class Signals:
    """SIGINT, SIGTERM and SIGHUP as flags the main loop reads; SIGWINCH as a resize flag."""

    def __init__(self) -> None:
        self.pending: list[int] = []
        self.resized = False
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, lambda number, _frame: self.pending.append(number))
        signal.signal(signal.SIGWINCH, lambda _n, _f: setattr(self, "resized", True))

    def take(self) -> list[int]:
        taken, self.pending = self.pending, []
        return taken


def run(argv: Optional[Sequence[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["plot"]:
        return plot_again(argv[1:])
    args = parse_arguments(argv)
    console = Console(stderr=True)
    try:
        record = open(args.record, "w", encoding="utf-8") if args.record else None
    except OSError as exc:
        console.print(f"sidecar-watch: cannot write {args.record}: {exc.strerror}", markup=False)
        return 2
    signals = Signals()
    started = time.monotonic()
    command: Optional[Command] = None
    model = WatchModel()
    status = 0
    title = shlex.join(args.command) if args.command else f"pid {args.pid}"
    say: Callable[[str], None] = lambda text: console.print(Text(f"sidecar-watch: {text}", style="yellow"))
    try:
        with SidecarClient(args.sidecar) as client:
            if args.command:
                # The tree is rooted here: the command and whatever it leaves
                # behind (handed to us as the subreaper), less us and the sidecar.
                become_subreaper()
                model = WatchModel(frozenset({os.getpid(), client.pid}), started_ms=int(time.time() * 1000))
                root = os.getpid()
                try:
                    command = Command(args.command, columns=console.width, rows=console.height)
                except OSError as exc:
                    say(f"cannot start {args.command[0]}: {exc.strerror}")
                    return 127
            else:
                root = args.pid
            client.configure(root_pid=root, sample_interval_ms=args.interval)
            client.set_streaming(True)
            first = client.sample_now()
            if command is None and client.root_gone(first):
                say(f"no process {args.pid}")
                return 1
            if command is None:
                title = f"{first.process(root).name} (pid {root})"  # type: ignore[union-attr]

            def keep(snapshot: Snapshot) -> None:
                before = model.latest
                model.add(snapshot)
                if record is not None and model.latest is not before:  # not one older than the latest
                    record.write(model.latest.to_json() + "\n")  # type: ignore[union-attr]
                    record.flush()

            keep(first)
            stopped_by = watch(client, model, keep, command, console, signals, title, args)
            if command is not None:
                status = command.status if command.status is not None else 128 + signal.SIGKILL
            elif stopped_by:
                status = 128 + stopped_by
            last = client.sample_now()
            while (late := client.poll_snapshot(0.0)) is not None:
                if late.sequence < last.sequence:
                    keep(late)
            keep(last)
    except SidecarClientError as exc:
        say(str(exc))
        status = 1
        if command is not None and command.status is None:
            say(f"waiting for the command (pid {command.pid}) to end")
            while not command.finished():
                for sig in signals.take():
                    command.interrupt(sig, say)
                command.escalate(say)
                signal.sigtimedwait([signal.SIGCHLD], 0.2)
            status = command.status or 0
    except OSError as exc:  # the sidecar cannot be started, the record cannot be written
        say(str(exc))
        status = 1
    finally:
        if record is not None:
            record.close()
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.SIG_IGN)  # the summary and the plot are written whatever comes now
    if model.latest is not None:
        console.print()
        console.print(summary_view(model, title=title, status=status, wall_ms=int((time.monotonic() - started) * 1000),
                                   per_process=args.processes, command=command is not None))
    if args.plot:
        from .plot import write_plot

        try:
            write_plot(model, args.plot, title=title)
            say(f"timeline written to {args.plot}")
        except (OSError, ValueError) as exc:
            say(f"cannot write {args.plot}: {exc}")
    return status


class Keys:
    """Single keys from a terminal on standard input, in cbreak mode while watching."""

    def __init__(self) -> None:
        self.fd = sys.stdin.fileno() if sys.stdin and sys.stdin.isatty() else None
        self.saved = None
        if self.fd is not None:
            self.saved = termios.tcgetattr(self.fd)
            tty.setcbreak(self.fd)

    def read(self) -> str:
        if self.fd is None or not select.select([self.fd], [], [], 0)[0]:
            return ""
        return os.read(self.fd, 64).decode("utf-8", "replace")

    def close(self) -> None:
        if self.fd is not None and self.saved is not None:
            termios.tcsetattr(self.fd, termios.TCSADRAIN, self.saved)


class OutputLines:
    """The command's terminal output, cut into lines to print above the live view."""

    def __init__(self) -> None:
        self.partial = b""

    def feed(self, chunk: bytes) -> list[str]:
        data = self.partial + chunk
        *lines, self.partial = data.split(b"\n")
        if not chunk and self.partial:  # the end: what is left is a line too
            lines, self.partial = [*lines, self.partial], b""
        # A carriage return rewrites its line (progress bars): keep what shows last.
        return [line.rstrip(b"\r").rsplit(b"\r", 1)[-1].decode("utf-8", "replace") for line in lines]


def redraw_after_resize(live: Live, console: Console, recent: Sequence[str]) -> None:
    """Start the screen afresh after a resize: the terminal has rewrapped what it
    showed, and a picture drawn while it did so may sit anywhere in it, so clear
    the whole screen and print again the command's last lines that fit, with the
    picture below them."""
    console.file.write("\x1b[H\x1b[2J")  # home, then clear the screen
    console.file.flush()
    live._live_render._shape = None  # nothing of the last picture is left to move over
    lines = list(recent)[-max(0, console.height - 1):]
    if lines:
        live.console.print(Text("\n").join(Text.from_ansi(line) for line in lines), highlight=False, markup=False)


def watch(
    client: SidecarClient,
    model: WatchModel,
    keep: Callable[[Snapshot], None],
    command: Optional[Command],
    console: Console,
    signals: Signals,
    title: str,
    args: argparse.Namespace,
) -> int:
    """Show the live view until the command or the root ends; returns the signal that ended a --pid watch."""
    options = ViewOptions(sort=args.sort, fold=args.fold)
    note = "keys: c m p t sort, f fold · Ctrl-C " + ("interrupts the command" if command else "ends the watch")
    lines = OutputLines()

    def picture() -> object:
        window_ms = 40 * args.interval
        return live_view(model, client.read_history(window_ms), title=title, interval_ms=args.interval,
                         width=console.width, height=console.height, options=options, note=note)

    def say(text: str) -> None:
        console.print(Text(f"sidecar-watch: {text}", style="yellow"))

    keys = Keys() if console.is_terminal else None
    drawn_size = console.size  # the terminal's size when the picture on it was drawn
    recent: collections.deque[str] = collections.deque(maxlen=200)  # the command's last lines, for a redraw

    def settle(live: Live) -> bool:
        """Start the screen afresh if the terminal was resized since the picture was
        drawn. Done right before anything is written: Live moves the cursor up by
        the picture's old height, which after a rewrap would leave its top rows behind."""
        nonlocal drawn_size
        if not signals.resized and console.size == drawn_size:
            return False
        signals.resized = False
        drawn_size = console.size
        if command is not None:
            command.resize(console.width, console.height)
        redraw_after_resize(live, console, recent)
        return True

    def show(live: Live, line: str) -> None:
        if console.is_terminal:
            settle(live)
            recent.append(line)
            live.console.print(Text.from_ansi(line), highlight=False, markup=False)
        else:
            os.write(1, line.encode() + b"\n")

    def redraw(live: Live) -> None:
        nonlocal drawn_size
        settle(live)
        size = console.size  # taken before drawing: a resize while drawing is seen next time
        live.update(picture(), refresh=True)
        drawn_size = size

    try:
        with Live(picture(), console=console, auto_refresh=False, transient=False,
                  redirect_stdout=False, redirect_stderr=False) as live:
            while True:
                changed = settle(live)
                if command is not None:
                    while not command.output.empty():
                        chunk = command.output.get_nowait()
                        for line in lines.feed(chunk):
                            show(live, line)
                for sig in signals.take():
                    if command is None:
                        return sig
                    command.interrupt(sig, say)
                if command is not None:
                    command.escalate(say)
                for key in keys.read() if keys else "":
                    if key in KEYS:
                        options.sort, changed = KEYS[key], True
                    elif key == "f":
                        options.fold, changed = not options.fold, True
                snapshot = client.poll_snapshot(0.1)
                if snapshot is not None:
                    keep(snapshot)
                    changed = True
                if changed:
                    redraw(live)
                if command is not None and command.finished():
                    rest = b""  # what the command wrote last, if its terminal is not held open
                    while command.master is not None:
                        try:
                            chunk = command.output.get(timeout=0.2)
                        except queue.Empty:
                            break
                        rest += chunk
                        if not chunk:
                            break
                    for line in lines.feed(rest) + lines.feed(b""):
                        show(live, line)
                    return 0
                if command is None and snapshot is not None and client.root_gone(snapshot):
                    return 0
    finally:
        if keys:
            keys.close()
