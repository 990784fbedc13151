"""The command that sidecar-watch runs: in a process group of its own, on a
pseudo-terminal where the watcher's output is a terminal, signalled as a
group, and reaped with its exact CPU time.

The watcher makes itself a child subreaper on Linux before it starts the
command, so that a process whose parent ends is handed to the watcher
instead of to init: it stays in the tree the sidecar follows (rooted at the
watcher) and cannot escape the view or the summary.  Every child the
watcher reaps comes with its resource usage: the command's counts every
descendant that was waited for, an orphan's its own.

On a pseudo-terminal a small holder process (:data:`HOLDER`) leads the
terminal's session and starts the command in a process group of its own,
the terminal's foreground group.  The session's leader is therefore not the
command: when the command ends, the kernel does not hang up what it left
behind, and the holder hands the terminal back to its own group before it
leaves at the end of the watch.
"""

from __future__ import annotations

import ctypes
import errno
import fcntl
import os
import signal
import struct
import subprocess
import sys
import termios
import time
from dataclasses import dataclass
from typing import Callable, Optional, Sequence

PR_SET_CHILD_SUBREAPER = 36
GRACE_SECONDS = 5.0
NOT_FOUND, NOT_EXECUTABLE = 127, 126  # as shells report a command they cannot start

# Runs as ``python3 -I -S -c HOLDER REPORT_FD CONTROL_FD TTY_FD ARGV...`` in a
# session of its own.  It writes to REPORT_FD "started PID T", or "failed
# ERRNO", then "ended WAIT_STATUS CPU_SECONDS T" (T on the monotonic clock,
# which every process shares), and leaves once CONTROL_FD reads end of file.
HOLDER = r"""
import errno, fcntl, os, signal, sys, termios, time
report, control, tty = (int(a) for a in sys.argv[1:4])
argv = sys.argv[4:]
fcntl.ioctl(tty, termios.TIOCSCTTY, 0)
failure_r, failure_w = os.pipe()
started = time.monotonic()
pid = os.fork()
if pid == 0:
    try:
        os.setpgid(0, 0)
        signal.signal(signal.SIGTTOU, signal.SIG_IGN)
        os.tcsetpgrp(tty, os.getpid())
        for number in (signal.SIGTTOU, signal.SIGPIPE, signal.SIGXFSZ, signal.SIGINT):
            signal.signal(number, signal.SIG_DFL)
        os.closerange(3, failure_w)
        os.closerange(failure_w + 1, 65536)
        os.set_inheritable(failure_w, False)
        os.execvp(argv[0], argv)
    except OSError as exc:
        os.write(failure_w, str(exc.errno or errno.ENOENT).encode())
    os._exit(127)
os.close(failure_w)
failed = os.read(failure_r, 32)
os.write(report, (f"failed {failed.decode()}\n" if failed else f"started {pid} {started!r}\n").encode())
_, status, usage = os.wait4(pid, 0)
os.write(report, f"ended {status} {usage.ru_utime + usage.ru_stime!r} {time.monotonic()!r}\n".encode())
os.read(control, 1)
signal.signal(signal.SIGTTOU, signal.SIG_IGN)
try:
    os.tcsetpgrp(tty, os.getpgrp())  # what is left runs on, in a background group
except OSError:
    pass
"""


def become_subreaper() -> bool:
    """Make this process the reaper of its orphaned descendants (Linux only)."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        return libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0
    except (OSError, AttributeError):
        return False


def shell_status(wait_status: int) -> int:
    """A wait status as a shell reports it: the exit code, or 128 + N after signal N."""
    if os.WIFSIGNALED(wait_status):
        return 128 + os.WTERMSIG(wait_status)
    return os.WEXITSTATUS(wait_status)


def start_failure_status(error: int) -> int:
    """The shell's status for a command that could not be started with ``errno`` ``error``."""
    return NOT_FOUND if error in (errno.ENOENT, errno.ENOTDIR) else NOT_EXECUTABLE


def set_window_size(fd: int, columns: int, rows: int) -> None:
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))


@dataclass(frozen=True)
class Reaped:
    """A child the watcher reaped: its pid, its CPU time with that of every
    descendant it waited for (ms), and when (monotonic seconds)."""

    pid: int
    cpu_ms: float
    at: float


class Reaper:
    """Reaps every ended child of the watcher except those it is told to leave
    (the sidecar, whose client waits for it), with their resource usage."""

    def __init__(self, leave: Callable[[int], bool]) -> None:
        self.leave = leave
        self.reaped: dict[int, Reaped] = {}
        self.statuses: dict[int, int] = {}
        self.fresh: list[Reaped] = []
        self._busy = False

    def reap(self) -> list[Reaped]:
        """The children reaped now; :attr:`fresh` gathers them until its reader empties it.

        Called from the SIGCHLD handler as well, so that a child's end is taken
        when it comes; a call that finds another under way leaves it the work.
        """
        if self._busy:
            return []
        self._busy = True
        try:
            return self._reap()
        finally:
            self._busy = False

    def reap_one(self, pid: int) -> None:
        """Reap the child ``pid`` if it has ended."""
        try:
            found, status, usage = os.wait4(pid, os.WNOHANG)
        except ChildProcessError:
            return
        if found:
            self.statuses[found] = status
            reaped = Reaped(found, (usage.ru_utime + usage.ru_stime) * 1000, time.monotonic())
            self.reaped[found] = reaped
            self.fresh.append(reaped)

    def _reap(self) -> list[Reaped]:
        now: list[Reaped] = []
        while True:
            try:
                info = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOHANG | os.WNOWAIT)
            except ChildProcessError:
                break
            if info is None or info.si_pid == 0 or self.leave(info.si_pid):
                break  # nothing ended, or the sidecar: its client collects it
            try:
                pid, status, usage = os.wait4(info.si_pid, os.WNOHANG)
            except ChildProcessError:
                continue
            if pid == 0:
                break
            self.statuses[pid] = status
            now.append(Reaped(pid, (usage.ru_utime + usage.ru_stime) * 1000, time.monotonic()))
        self.reaped.update((r.pid, r) for r in now)
        self.fresh += now
        return now


class Command:
    """One watched command.

    Its standard streams that are terminals here become the slave of a
    pseudo-terminal whose master (:attr:`master`) the watcher reads, and
    writes to with :meth:`send`; the others are inherited untouched.  After it
    ends, :attr:`status` is its shell status, :attr:`cpu_ms` its exact CPU
    time with every descendant it waited for, and :attr:`ended` when it was
    reaped (monotonic seconds); :attr:`started` is when it was started.

    Raises:
        OSError: it could not be started; :func:`start_failure_status` gives
            the status a shell would report.
    """

    def __init__(self, argv: Sequence[str], reaper: Reaper, *, columns: int, rows: int) -> None:
        on_terminal = [os.isatty(fd) for fd in (0, 1, 2)]
        self.reaper = reaper
        self.master: Optional[int] = None
        self.status: Optional[int] = None
        self.cpu_ms: Optional[float] = None
        self.ended: Optional[float] = None
        self.holder: Optional[subprocess.Popen[bytes]] = None
        self._signals: list[int] = []
        self._next_at = 0.0
        self._report = b""
        self.started = time.monotonic()
        if on_terminal[1] or on_terminal[2]:
            self._start_held(argv, on_terminal, columns, rows)
        else:
            self.process = subprocess.Popen(list(argv), start_new_session=True)
            self.pid = self.process.pid

    def _start_held(self, argv: Sequence[str], on_terminal: list[bool], columns: int, rows: int) -> None:
        self.master, slave = os.openpty()
        set_window_size(self.master, columns, rows)
        report_r, report_w = os.pipe()
        self._control_r, self._control_w = os.pipe()
        os.set_blocking(report_r, False)
        streams = [slave if tty else None for tty in on_terminal]
        try:
            self.holder = subprocess.Popen(
                [sys.executable, "-I", "-S", "-c", HOLDER, str(report_w), str(self._control_r), str(slave), *argv],
                stdin=streams[0], stdout=streams[1], stderr=streams[2], start_new_session=True,
                pass_fds=(report_w, self._control_r, slave),
            )
        finally:
            for fd in (slave, report_w, self._control_r):
                os.close(fd)
        self._report_fd = report_r
        words = self._read_report(lambda: True)  # "started PID T" or "failed ERRNO"
        if words[0] == "failed":
            self.release()
            self.holder.wait()
            error = int(words[1])
            raise OSError(error, os.strerror(error), argv[0])
        self.pid = int(words[1])
        self.started = float(words[2])

    def _read_report(self, block: Callable[[], bool]) -> list[str]:
        """The holder's next line, waiting for it while ``block()``; [] if none yet."""
        while b"\n" not in self._report:
            try:
                chunk = os.read(self._report_fd, 256)
            except BlockingIOError:
                if not block():
                    return []
                time.sleep(0.005)
                continue
            if not chunk:
                return ["ended", str(9), "0", repr(time.monotonic())]  # the holder died: as if killed
            self._report += chunk
        line, self._report = self._report.split(b"\n", 1)
        return line.decode().split()

    def send(self, data: bytes) -> None:
        """Write ``data`` to the command's terminal, as if typed."""
        if self.master is None:
            return
        try:
            os.write(self.master, data)
        except OSError:
            pass

    def resize(self, columns: int, rows: int) -> None:
        if self.master is not None:
            set_window_size(self.master, columns, rows)

    def reap(self) -> None:
        """Collect the command's end once it has come (and every other ended child)."""
        self.reaper.reap()
        if self.holder is not None and self.holder.returncode is None and self.holder.pid in self.reaper.reaped:
            self.holder.returncode = shell_status(self.reaper.statuses[self.holder.pid])
        if self.status is not None:
            return
        if self.holder is not None:
            words = self._read_report(lambda: False)
            if words and words[0] == "ended":
                self.status = shell_status(int(words[1]))
                self.cpu_ms = float(words[2]) * 1000
                self.ended = float(words[3])
        else:
            if self.pid not in self.reaper.reaped:
                self.reaper.reap_one(self.pid)  # also when an ended sidecar stands first in line
            reaped = self.reaper.reaped.get(self.pid)
            if reaped is not None:
                self.status = shell_status(self.reaper.statuses[reaped.pid])
                self.process.returncode = self.status
                self.cpu_ms, self.ended = reaped.cpu_ms, reaped.at

    def release(self) -> None:
        """End the watch of the command: its session holder, if any, leaves."""
        if self.holder is not None and self._control_w >= 0:
            os.close(self._control_w)
            self._control_w = -1

    def group_alive(self) -> bool:
        """Whether a process of the command's group still exists."""
        self.reap()
        try:
            os.killpg(self.pid, 0)
        except ProcessLookupError:
            return False
        except PermissionError:
            return True
        return True

    def signal_group(self, sig: int) -> None:
        try:
            os.killpg(self.pid, sig)
        except (ProcessLookupError, PermissionError):
            pass

    def interrupt(self, sig: int, say: Callable[[str], None]) -> None:
        """Pass ``sig`` to the whole group; :meth:`escalate` follows up if it does not end."""
        self.signal_group(sig)
        if not self._signals:
            self._signals = [signal.SIGTERM, signal.SIGKILL] if sig != signal.SIGTERM else [signal.SIGKILL]
            self._next_at = time.monotonic() + GRACE_SECONDS
            say(f"sent {signal.Signals(sig).name} to the command's process group {self.pid}; "
                f"{signal.Signals(self._signals[0]).name} follows in {GRACE_SECONDS:g} s if it does not end")

    @property
    def interrupted(self) -> bool:
        return bool(self._signals) or self._next_at > 0

    def escalate(self, say: Callable[[str], None]) -> None:
        """After an interrupt, send the next, harder signal once the grace period is over."""
        if not self._signals or time.monotonic() < self._next_at or not self.group_alive():
            return
        sig = self._signals.pop(0)
        say(f"the command's process group {self.pid} is still there; sending {signal.Signals(sig).name}")
        self.signal_group(sig)
        self._next_at = time.monotonic() + GRACE_SECONDS

    def finished(self) -> bool:
        """Whether the watch of the command is over: it has ended, and after an
        interrupt its whole group has ended too (or had SIGKILL)."""
        self.reap()
        if self.status is None:
            return False
        if not self.interrupted:
            return True
        return not self.group_alive() or (not self._signals and time.monotonic() >= self._next_at)
