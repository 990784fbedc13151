"""The command that sidecar-watch runs: in a process group of its own, on a
pseudo-terminal where the watcher's output is a terminal, signalled as a
group, and reaped by the watcher.

The watcher makes itself a child subreaper on Linux before it starts the
command, so that a process whose parent ends is handed to the watcher
instead of to init: it stays in the tree the sidecar follows (rooted at the
watcher) and cannot escape the view or the summary.
"""

from __future__ import annotations

import ctypes
import fcntl
import os
import queue
import signal
import struct
import subprocess
import sys
import termios
import threading
import time
from typing import Callable, Optional, Sequence

PR_SET_CHILD_SUBREAPER = 36
GRACE_SECONDS = 5.0


def become_subreaper() -> bool:
    """Make this process the reaper of its orphaned descendants (Linux only)."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        return libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0
    except (OSError, AttributeError):
        return False


def shell_status(code: int, status: int) -> int:
    """A ``waitid`` result as a shell reports it: 128 + N after signal N."""
    return status if code == os.CLD_EXITED else 128 + status


def set_window_size(fd: int, columns: int, rows: int) -> None:
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))


class Command:
    """One watched command.

    Its standard streams that are terminals here become the slave of a
    pseudo-terminal whose master this object reads (:attr:`output`); the
    others are inherited untouched.
    """

    def __init__(self, argv: Sequence[str], *, columns: int, rows: int) -> None:
        on_terminal = [os.isatty(fd) for fd in (0, 1, 2)]
        self.master: Optional[int] = None
        slave: Optional[int] = None
        if on_terminal[1] or on_terminal[2]:
            self.master, slave = os.openpty()
            set_window_size(self.master, columns, rows)

        def own_terminal() -> None:  # runs in the child, after setsid
            if slave is not None:
                fcntl.ioctl(slave, termios.TIOCSCTTY, 0)

        streams = [slave if tty and slave is not None else None for tty in on_terminal]
        try:
            self.process = subprocess.Popen(
                list(argv), stdin=streams[0], stdout=streams[1], stderr=streams[2],
                start_new_session=True, preexec_fn=own_terminal if slave is not None else None,
            )
        finally:
            if slave is not None:
                os.close(slave)
        self.pid = self.process.pid
        self.status: Optional[int] = None
        self.output: queue.SimpleQueue[bytes] = queue.SimpleQueue()
        self._signals: list[int] = []
        self._next_at = 0.0
        if self.master is not None:
            threading.Thread(target=self._pump, args=(self.master,), daemon=True).start()

    def _pump(self, fd: int) -> None:
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:  # EIO: every holder of the slave has closed it
                chunk = b""
            self.output.put(chunk)
            if not chunk:
                return

    def resize(self, columns: int, rows: int) -> None:
        if self.master is not None:
            set_window_size(self.master, columns, rows)

    def reap(self) -> None:
        """Collect every ended child of the command's group, the command's status among them."""
        while True:
            try:
                info = os.waitid(os.P_PGID, self.pid, os.WEXITED | os.WNOHANG)
            except ChildProcessError:
                return
            if info is None or info.si_pid == 0:
                return
            if info.si_pid == self.pid:
                self.status = shell_status(info.si_code, info.si_status)
                self.process.returncode = self.status

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
