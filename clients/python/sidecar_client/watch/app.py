"""sidecar-watch's command line and its main loop.

The view and the summary go to standard error, as ``time`` does; the
watched command keeps standard output (on a pseudo-terminal when it is a
terminal, so that the command still sees one).  Every option is checked
before the command starts.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Callable, Optional, Sequence

from .. import __version__

if TYPE_CHECKING:
    from rich.console import Console
    from rich.live import Live

    from .. import SidecarClient, Snapshot
    from .command import Command
    from .model import WatchModel

SORTS = ("tree", "cpu", "mem", "pid")

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
        epilog="Keys while watching a command: Ctrl-] then c, m, p, t sort by CPU, memory, pid or tree, "
               "f folds processes of one name; every other key goes to the command (with --pid: the keys alone). "
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
    if args.command:
        unstartable(parser, args.command[0])
    return args


def unstartable(parser: argparse.ArgumentParser, program: str) -> None:
    """Exit as a shell does for a command that cannot run: 127 not found, 126 not executable."""
    if shutil.which(program) is not None:
        return
    if "/" in program and os.path.exists(program):
        reason, status = ("is a directory" if os.path.isdir(program) else "not executable"), 126
    else:
        reason, status = "no such command", 127
    parser.exit(status, f"{parser.prog}: cannot start {program}: {reason}\n")


def plot_again(argv: Sequence[str]) -> int:
    """``sidecar-watch plot RECORD -o FILE``: the timeline of a recording."""
    parser = argparse.ArgumentParser(prog="sidecar-watch plot", description="Plot a recording of sidecar-watch again.")
    parser.add_argument("record", type=Path, metavar="RECORD", help="a file written by --record")
    parser.add_argument("-o", "--output", type=plot_file, required=True, metavar="FILE.svg",
                        help="the plot to write (.svg, .png or .pdf)")
    parser.add_argument("--title", help="the plot's title (default: the recorded command, else the record's name)")
    args = parser.parse_args(argv)
    from .record import RecordError, read_record

    try:
        model = read_record(args.record)
    except (OSError, RecordError) as exc:
        parser.error(f"{args.record}: {exc}")
    from .plot import write_plot

    title = args.title or (command_title(model.command) if model.command else args.record.name)
    write_plot(model, args.output, title=title)
    print(f"timeline written to {args.output}", file=sys.stderr)
    return 0


def command_title(command: Sequence[str]) -> str:
    import shlex

    return shlex.join(command)


class Signals:
    """SIGINT, SIGTERM and SIGHUP as flags the main loop reads; SIGWINCH as a
    resize flag; each of them and SIGCHLD also wake the main loop's wait
    (:attr:`wakeup`, readable after any of them)."""

    def __init__(self) -> None:
        import signal

        self.pending: list[int] = []
        self.resized = False
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, lambda number, _frame: self.pending.append(number))
        signal.signal(signal.SIGWINCH, lambda _n, _f: setattr(self, "resized", True))
        self.on_child: Optional[Callable[[], object]] = None
        signal.signal(signal.SIGCHLD, lambda _n, _f: self.on_child() if self.on_child else None)
        self.wakeup, write = os.pipe()
        for fd in (self.wakeup, write):
            os.set_blocking(fd, False)
        signal.set_wakeup_fd(write, warn_on_full_buffer=False)

    def take(self) -> list[int]:
        taken, self.pending = self.pending, []
        return taken

    def drain(self) -> None:
        try:
            while os.read(self.wakeup, 512):
                pass
        except BlockingIOError:
            pass


def left_behind(helpers: set[int]) -> bool:
    """Whether a child of this process other than ``helpers`` still exists (an
    orphan handed to us); True where Linux's list of children cannot be read."""
    try:
        tasks = os.listdir("/proc/self/task")
        children: set[int] = set()
        for task in tasks:
            with open(f"/proc/self/task/{task}/children", encoding="ascii") as listing:
                children.update(int(pid) for pid in listing.read().split())
    except (OSError, ValueError):
        return True
    return bool(children - helpers)


def unix_ms_of(monotonic: float) -> int:
    """A moment on the monotonic clock as Unix time, ms."""
    import time

    return int((time.time() - (time.monotonic() - monotonic)) * 1000)


def run(argv: Optional[Sequence[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["plot"]:
        return plot_again(argv[1:])
    args = parse_arguments(argv)
    import signal

    from .command import Command, Reaper, become_subreaper, start_failure_status

    try:
        record = open(args.record, "w", encoding="utf-8") if args.record else None
    except OSError as exc:
        print(f"sidecar-watch: cannot write {args.record}: {exc.strerror}", file=sys.stderr)
        return 2
    signals = Signals()
    command: Optional[Command] = None
    reaper: Optional[Reaper] = None
    sidecar_pid = 0
    if args.command:
        # Started first, before the sidecar and the view are ready: the command
        # does not wait for them. The tree is rooted here: the command and
        # whatever it leaves behind (handed to us as the subreaper), less us,
        # the session's holder and the sidecar.
        become_subreaper()
        reaper = Reaper(lambda pid: pid == sidecar_pid)
        signals.on_child = reaper.reap
        columns, rows = shutil.get_terminal_size()
        try:
            command = Command(args.command, reaper, columns=columns, rows=rows)
        except OSError as exc:
            print(f"sidecar-watch: cannot start {args.command[0]}: {exc.strerror}", file=sys.stderr)
            return start_failure_status(exc.errno or 0)

    from rich.console import Console
    from rich.text import Text

    from .. import SidecarClient, SidecarClientError, Snapshot
    from .model import WatchModel
    from .record import end_line, start_line
    from .view import summary_view

    console = Console(stderr=True)
    if command is not None:
        command.resize(console.width, console.height)
    model = WatchModel()
    status = 0
    title = command_title(args.command) if args.command else f"pid {args.pid}"
    say: Callable[[str], None] = lambda text: console.print(Text(f"sidecar-watch: {text}", style="yellow"))

    def collect() -> None:
        """Hand the kernel's counts of the orphans reaped so far to the model."""
        if reaper is None:
            return
        reaper.reap()
        for reaped in reaper.fresh:
            if command is not None and reaped.pid != command.pid and (
                    command.holder is None or reaped.pid != command.holder.pid):
                model.reaped(reaped.pid, reaped.cpu_ms)
        reaper.fresh.clear()

    try:
        with SidecarClient(args.sidecar) as client:
            sidecar_pid = client.pid
            if command is not None:
                ignored = {os.getpid(), client.pid} | ({command.holder.pid} if command.holder else set())
                model = WatchModel(frozenset(ignored), started_ms=unix_ms_of(command.started),
                                   command=list(args.command))
                root = os.getpid()
            else:
                root = args.pid
            if record is not None:
                record.write(start_line(model) + "\n")
            client.configure(root_pid=root, sample_interval_ms=args.interval)
            client.set_streaming(True)
            first = None
            if command is None:  # a running tree: is it there at all?
                first = client.sample_now()
                if client.root_gone(first):
                    say(f"no process {args.pid}")
                    return 1
                title = f"{first.process(root).name} (pid {root})"  # type: ignore[union-attr]

            def keep(snapshot: Snapshot) -> None:
                before = model.latest
                model.add(snapshot)
                if record is not None and model.latest is not before:  # not one older than the latest
                    record.write(model.latest.to_json() + "\n")  # type: ignore[union-attr]
                    record.flush()

            if first is not None:
                keep(first)
            stopped_by = watch(client, model, keep, command, console, signals, title, args, collect)
            if command is not None:
                status = command.status if command.status is not None else 128 + signal.SIGKILL
            elif stopped_by:
                status = 128 + stopped_by
            helpers = {client.pid} | ({command.holder.pid} if command is not None and command.holder else set())
            if command is None or model.latest is not None or left_behind(helpers):
                # A last sample: what is still there at the end, and its CPU so far.
                last = client.sample_now()
                while (late := client.poll_snapshot(0.0)) is not None:
                    if late.sequence < last.sequence:
                        keep(late)
                keep(last)
            collect()  # what ended before the last sample
            if command is not None:
                if command.cpu_ms is not None:
                    model.reaped(command.pid, command.cpu_ms)
                model.finish(status, unix_ms_of(command.ended if command.ended is not None else command.started))
                command.release()
    except (SidecarClientError, OSError) as exc:  # OSError: the sidecar cannot start, the record cannot be written
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
    finally:
        if command is not None:
            command.release()
        if record is not None:
            try:
                if model.end is not None:
                    record.write(end_line(model) + "\n")
                record.close()
            except OSError as exc:
                say(f"cannot write {args.record}: {exc.strerror}")
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.SIG_IGN)  # the summary and the plot are written whatever comes now
    if model.latest is not None or model.end is not None:
        console.print()
        console.print(summary_view(model, title=title, status=status, per_process=args.processes,
                                   command=command is not None))
    if args.plot:
        from .plot import write_plot

        try:
            write_plot(model, args.plot, title=title)
            say(f"timeline written to {args.plot}")
        except (OSError, ValueError) as exc:
            say(f"cannot write {args.plot}: {exc}")
    return status


def redraw_after_resize(live: Live, console: Console, recent: Sequence[str]) -> None:
    """Start the screen afresh after a resize: the terminal has rewrapped what it
    showed, and a picture drawn while it did so may sit anywhere in it, so clear
    the whole screen and print again the command's last lines that fit, with the
    picture below them."""
    from rich.text import Text

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
    collect: Callable[[], None],
) -> int:
    """Show the live view until the command or the root ends; returns the signal that ended a --pid watch."""
    import collections
    import select

    from rich.console import Group
    from rich.live import Live
    from rich.text import Text

    from .terminal import PREFIX_NAME, Keyboard, KeyRouter, OutputSplitter
    from .view import ViewOptions, live_view

    options = ViewOptions(sort=args.sort, fold=args.fold)
    shown = console.is_terminal  # a view only on a terminal: nothing of it in a file
    typed = command is not None and command.master is not None and os.isatty(0)
    if command is None:
        note = "keys: c m p t sort, f fold · Ctrl-C ends the watch"
    elif typed:
        note = f"keys go to the command · {PREFIX_NAME} then c m p t sort, f fold · Ctrl-C interrupts"
    else:
        note = "Ctrl-C interrupts the command"
    keys = {"c": "cpu", "m": "mem", "p": "pid", "t": "tree"}
    splitter = OutputSplitter()
    router = KeyRouter()
    keyboard: Optional[Keyboard] = None
    if typed:
        keyboard = Keyboard(0, raw=True)
    elif command is None and shown and os.isatty(0):
        keyboard = Keyboard(0, raw=False)

    def picture() -> object:
        return live_view(model, title=title, interval_ms=args.interval,
                         width=console.width, height=console.height - (1 if splitter.pending() else 0),
                         options=options, note=note)

    def say(text: str) -> None:
        if live is not None or not splitter.full_screen:
            console.print(Text(f"sidecar-watch: {text}", style="yellow"))

    drawn_size = console.size  # the terminal's size when the picture on it was drawn
    recent: collections.deque[str] = collections.deque(maxlen=200)  # the command's last lines, for a redraw
    current: list[object] = [Text("")]
    live: Optional[Live] = None

    def composed() -> object:
        pending = splitter.pending()
        if pending is None:
            return current[0]
        return Group(Text.from_ansi(pending, no_wrap=True, overflow="crop"), current[0])  # type: ignore[arg-type]

    def start_live() -> None:
        nonlocal live, drawn_size
        if shown:
            current[0] = picture()
            live = Live(composed(), console=console, auto_refresh=False, transient=False,
                        redirect_stdout=False, redirect_stderr=False)
            live.start()
            drawn_size = console.size

    def stop_live() -> None:
        """Take the view off the screen."""
        nonlocal live
        if live is not None:
            live.update(Text(""), refresh=True)
            live.stop()
            live = None

    def settle() -> bool:
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
        if live is not None:
            redraw_after_resize(live, console, recent)
        return True

    def raw(data: bytes) -> None:
        out = console.file if shown else sys.stdout
        out.flush()
        os.write(out.fileno(), data)

    def show_output(chunk: bytes) -> None:
        """Put what the command wrote on the screen."""
        if not shown:  # no view: the output as it came
            raw(chunk)
            return
        for kind, value in splitter.feed(chunk):
            if kind == "line":
                if live is not None:
                    settle()
                    recent.append(value)  # type: ignore[arg-type]
                    live.console.print(Text.from_ansi(value), highlight=False, markup=False)  # type: ignore[arg-type]
            elif kind == "raw":
                raw(value)  # type: ignore[arg-type]
            elif kind == "enter":
                stop_live()
            elif kind == "leave":
                start_live()
        if live is not None:
            live.update(composed(), refresh=True)

    def redraw() -> None:
        nonlocal drawn_size
        if live is None:
            return
        settle()
        size = console.size  # taken before drawing: a resize while drawing is seen next time
        current[0] = picture()
        live.update(composed(), refresh=True)
        drawn_size = size

    def read_output() -> bool:
        """Read what the command wrote, if anything; False at its end."""
        assert command is not None and command.master is not None
        try:
            chunk = os.read(command.master, 65536)
        except OSError:  # EIO: every holder of the terminal's other end has closed it
            chunk = b""
        if chunk:
            show_output(chunk)
        return bool(chunk)

    waits = [signals.wakeup]
    if keyboard is not None:
        waits.append(keyboard.fd)
    output_open = command is not None and command.master is not None
    if output_open:
        waits.append(command.master)  # type: ignore[union-attr,arg-type]
    start_live()
    try:
        while True:
            changed = settle()
            ready = select.select(waits, [], [], 0.05)[0]
            signals.drain()
            if output_open and command.master in ready:  # type: ignore[union-attr]
                if not read_output():
                    waits.remove(command.master)  # type: ignore[union-attr,arg-type]
                    output_open = False
            for sig in signals.take():
                if command is None:
                    return sig
                command.interrupt(sig, say)
            if keyboard is not None and keyboard.fd in ready:
                data = keyboard.read()
                if command is None:
                    pressed = data.decode("latin-1")
                else:
                    to_command, pressed, interrupt = router.route(data, full_screen=splitter.full_screen)
                    command.send(to_command)
                    if interrupt:
                        command.interrupt(2, say)  # SIGINT
                for key in pressed:
                    if key in keys:
                        options.sort, changed = keys[key], True
                    elif key == "f":
                        options.fold, changed = not options.fold, True
            if command is not None:
                command.escalate(say)
            collect()
            while (snapshot := client.poll_snapshot(0.0)) is not None:
                keep(snapshot)
                changed = True
            if changed:
                redraw()
            if command is not None and command.finished():
                while output_open and select.select([command.master], [], [], 0.05)[0]:  # what it wrote last
                    output_open = read_output()
                for line in splitter.flush():
                    show_output(line.encode() + b"\n")
                if splitter.full_screen:  # it ended on the alternate screen: back to the normal one
                    raw(b"\x1b[?1049l")
                return 0
            if command is None and model.latest is not None and client.root_gone(model.latest):
                return 0
    finally:
        stop_live()
        if keyboard is not None:
            keyboard.close()
