"""The watcher's terminal, shared by the command and the live view.

Keystrokes go to the command's pseudo-terminal as typed; the view's own
keys follow a prefix, :data:`PREFIX` (Ctrl-]), which the view's last line
names.  The command's output appears as it is written: whole lines scroll
above the view, and the line being written (a prompt, a progress bar
rewritten with carriage returns, what is being typed) shows as the view's
first line until it ends.  A command that switches to the alternate screen
(``less``, an editor) gets the whole terminal, unchanged, until it switches
back; the view then returns.
"""

from __future__ import annotations

import os
import re
import select
import termios
from typing import Optional

PREFIX = b"\x1d"  # Ctrl-]
PREFIX_NAME = "Ctrl-]"
INTERRUPT = b"\x03"  # Ctrl-C
SUSPEND = b"\x1a"  # Ctrl-Z: nobody here could continue a stopped command
ALTERNATE_ON = re.compile(rb"\x1b\[\?(?:1049|1047|47)h")
ALTERNATE_OFF = re.compile(rb"\x1b\[\?(?:1049|1047|47)l")
LONGEST_SWITCH = 8  # bytes of the longest of those sequences
ERASE_LINE = re.compile(rb"\x1b\[[012]?K")  # the line is drawn afresh here anyway


class Keyboard:
    """Bytes typed at the terminal on ``fd``, read without waiting.

    ``raw`` passes every byte on, Ctrl-C and Ctrl-S included, and leaves
    echo and line editing to the command's own terminal; otherwise the
    terminal is in cbreak mode (single keys, Ctrl-C still a signal).  Output
    processing stays on, so the view's lines still end where they should.
    """

    def __init__(self, fd: int, *, raw: bool) -> None:
        self.fd = fd
        self.saved = termios.tcgetattr(fd)
        mode = termios.tcgetattr(fd)
        mode[3] &= ~(termios.ICANON | termios.ECHO)
        if raw:
            mode[0] &= ~(termios.ICRNL | termios.INLCR | termios.IGNCR | termios.IXON | termios.ISTRIP
                         | termios.BRKINT)
            mode[3] &= ~(termios.ISIG | termios.IEXTEN)
        mode[6][termios.VMIN] = 1
        mode[6][termios.VTIME] = 0
        termios.tcsetattr(fd, termios.TCSAFLUSH, mode)

    def read(self) -> bytes:
        if not select.select([self.fd], [], [], 0)[0]:
            return b""
        try:
            return os.read(self.fd, 1024)
        except OSError:
            return b""

    def close(self) -> None:
        termios.tcsetattr(self.fd, termios.TCSADRAIN, self.saved)


class KeyRouter:
    """Splits typed bytes into those for the command and the view's own keys.

    The byte after :data:`PREFIX` is the view's (the prefix twice sends one
    prefix to the command).  Ctrl-C is the watcher's while the view is shown,
    so that it can follow up on a command that ignores it; a command on the
    alternate screen gets it as typed, as it gets everything.
    """

    def __init__(self) -> None:
        self.after_prefix = False

    def route(self, data: bytes, *, full_screen: bool) -> tuple[bytes, str, bool]:
        """(bytes for the command, the view's keys, whether Ctrl-C was pressed for the watcher)."""
        to_command = bytearray()
        keys = []
        interrupt = False
        for byte in data:
            one = bytes([byte])
            if self.after_prefix:
                self.after_prefix = False
                if one == PREFIX:
                    to_command += one
                else:
                    keys.append(one.decode("latin-1"))
            elif one == PREFIX:
                self.after_prefix = True
            elif one == INTERRUPT and not full_screen:
                interrupt = True
            elif one == SUSPEND and not full_screen:
                continue
            else:
                to_command += one
        return bytes(to_command), "".join(keys), interrupt


def visible_line(line: bytes) -> str:
    """What a terminal shows of one line: after a carriage return the text
    written last (a progress bar's latest state), backspaces applied, the
    line end removed."""
    line = ERASE_LINE.sub(b"", line).rstrip(b"\r")
    if b"\r" in line:
        parts = [part for part in line.split(b"\r") if part]
        line = parts[-1] if parts else b""
    text = line.decode("utf-8", "replace")
    if "\b" in text:
        kept: list[str] = []
        for ch in text:
            if ch == "\b":
                if kept:
                    kept.pop()
            else:
                kept.append(ch)
        text = "".join(kept)
    return text


class OutputSplitter:
    """Cuts the command's terminal output into whole lines, the line being
    written, and stretches for the alternate screen, as they come."""

    def __init__(self) -> None:
        self.partial = b""
        self.full_screen = False
        self._tail = b""

    def feed(self, chunk: bytes) -> list[tuple[str, object]]:
        """Events in order: ("line", str), ("raw", bytes), ("enter", None), ("leave", None).

        The line being written is :meth:`pending` afterwards.
        """
        events: list[tuple[str, object]] = []
        while chunk:
            if self.full_screen:
                scan = self._tail + chunk
                found = ALTERNATE_OFF.search(scan)
                if found is None:
                    events.append(("raw", chunk))
                    self._tail = scan[-LONGEST_SWITCH:]
                    return events
                end = found.end() - len(self._tail)
                events.append(("raw", chunk[:end]))
                events.append(("leave", None))
                self.full_screen, self._tail, chunk = False, b"", chunk[end:]
                continue
            data = self.partial + chunk
            found = ALTERNATE_ON.search(data)
            before = data if found is None else data[:found.start()]
            *lines, self.partial = before.split(b"\n")
            events += [("line", visible_line(line)) for line in lines]
            if found is None:
                return events
            if self.partial:
                events.append(("line", visible_line(self.partial)))
                self.partial = b""
            events.append(("enter", None))
            self.full_screen = True
            chunk = data[found.start():]
            self._tail = b""
        return events

    def pending(self) -> Optional[str]:
        """The line being written, as shown; None when there is none."""
        if self.full_screen or not self.partial:
            return None
        return visible_line(self.partial)

    def flush(self) -> list[str]:
        """The line being written, taken as a whole line (the output has ended)."""
        text = self.pending()
        self.partial = b""
        return [text] if text else []
