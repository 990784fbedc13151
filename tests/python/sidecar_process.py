"""A sidecar child over pipes and a small process tree to watch, for the
black-box tests and for the script that captures the reference's examples.

Every read waits with a deadline, so a sidecar that stops answering fails
instead of hanging. Processes started here are ended here, each by its pid.
"""

import os
import pathlib
import queue
import signal
import subprocess
import threading
import time

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]

# How long one step (a line, an exit) may take before it counts as hung.
STEP_TIMEOUT = 20.0


def sidecar_binary():
    """The executable CTest names in SIDECAR_BINARY, else build/sidecar."""
    named = os.environ.get("SIDECAR_BINARY")
    return pathlib.Path(named) if named else REPO_ROOT / "build" / "sidecar"


class Sidecar:
    """One sidecar child with pipes on its three standard streams.

    Output is read on a thread of its own into a queue of whole lines, so
    that a test can wait for the next line with a timeout.
    """

    def __init__(self, binary, args=()):
        self.process = subprocess.Popen(
            [str(binary), *args],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        self._lines = queue.Queue()
        self._reader = threading.Thread(target=self._read_output, daemon=True)
        self._reader.start()

    @property
    def pid(self):
        return self.process.pid

    def _read_output(self):
        for raw in self.process.stdout:
            self._lines.put(raw)
        self._lines.put(None)

    def send(self, line):
        """Writes one command line; `line` is text or bytes, without its line feed."""
        data = line if isinstance(line, bytes) else line.encode()
        self.send_raw(data + b"\n")

    def send_raw(self, data):
        """Writes bytes as they are. A sidecar that has already ended (after an
        accepted shutdown, say) closes its input, and lines written after that
        are lost as they would be for any parent: the broken pipe is not an
        error here, and what the sidecar wrote is checked instead."""
        try:
            self.process.stdin.write(data)
            self.process.stdin.flush()
        except BrokenPipeError:
            pass

    def read_line(self, timeout=STEP_TIMEOUT):
        """The next output line as text without its line feed; None at the end of output."""
        try:
            raw = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError(f"no output line within {timeout} s") from None
        if raw is None:
            self._lines.put(None)
            return None
        assert raw.endswith(b"\n"), f"unterminated last line: {raw[:200]!r}"
        return raw[:-1].decode("utf-8")

    def no_line_within(self, seconds):
        """True when no line (and no end of output) arrives within `seconds`."""
        try:
            raw = self._lines.get(timeout=seconds)
        except queue.Empty:
            return True
        self._lines.put(raw)  # keeps it, but out of order: callers stop reading here
        return False

    def rest_of_output(self, timeout=STEP_TIMEOUT):
        lines = []
        while (line := self.read_line(timeout)) is not None:
            lines.append(line)
        return lines

    def close_input(self):
        if not self.process.stdin.closed:
            try:
                self.process.stdin.close()
            except BrokenPipeError:
                pass  # bytes still buffered for a sidecar that has ended

    def wait(self, timeout=STEP_TIMEOUT):
        return self.process.wait(timeout=timeout)

    def stderr_text(self):
        return self.process.stderr.read().decode("utf-8", "replace")

    def end(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
            self.process.wait()
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            try:
                stream.close()
            except OSError:
                pass


def _descendants(pid):
    found = []
    try:
        children = pathlib.Path(f"/proc/{pid}/task/{pid}/children").read_text().split()
    except OSError:
        return found
    for child in map(int, children):
        found.append(child)
        found.extend(_descendants(child))
    return found


class ProcessTree:
    """A small tree of sleeping processes: a shell and its two children."""

    SCRIPT = "sleep 60 & sleep 60 & wait"

    def __init__(self):
        self.process = subprocess.Popen(["sh", "-c", self.SCRIPT])
        self.root = self.process.pid
        deadline = time.monotonic() + STEP_TIMEOUT
        while len(_descendants(self.root)) < 2:
            assert time.monotonic() < deadline, "the tree did not start"
            time.sleep(0.01)
        self.children = sorted(_descendants(self.root))

    def end(self):
        for pid in [*_descendants(self.root), self.root]:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        self.process.wait(timeout=STEP_TIMEOUT)
