"""The sidecar client: starts the sidecar and speaks its protocol.

One :class:`SidecarClient` owns one sidecar process and one reader thread.
The reader thread decodes every output line once and sorts it: streamed
snapshots go to a bounded queue that :meth:`SidecarClient.snapshots` drains,
everything else answers the oldest outstanding command.  Calling threads
write commands; a write lock keeps the order in which commands are written
equal to the order in which they are recorded, which is what ties answers
and errors to commands.

Answers and errors are tied to the commands they belong to by the
:class:`~sidecar_client.ledger.CommandLedger` (see there how).  Every method
raises the refusal of its own command: the client checks every value before
sending, so the only refusal possible is ``not-configured``, which it knows
in advance (a command that needs a configuration, sent before any
``configure``); such a call waits for the refusal and raises it.  Commands
that are never acknowledged otherwise return at once.
"""

from __future__ import annotations

import json
import os
import select
import shutil
import subprocess
import threading
import time
import uuid
from collections import deque
from typing import IO, Any, Iterable, Iterator, Optional, Union

from .cursor import Delivered, HistoryCursor, HistoryRead, SessionEnd, SessionInfo, check_cursor
from .errors import (
    SidecarClientError,
    SidecarClosedError,
    SidecarError,
    SidecarProtocolError,
    SidecarTimeoutError,
)
from .ledger import CommandLedger, Outstanding
from .messages import (
    PROTOCOL_VERSION,
    ErrorMessage,
    ExternalProcess,
    Hello,
    Message,
    ProcessTableEntry,
    Snapshot,
    decode_line,
)

_U32_MAX = 2**32 - 1
_U64_MAX = 2**64 - 1

ExternalProcessLike = Union[ExternalProcess, int]
"""An external process, or a bare pid (no start-time check)."""


def _check_uint(name: str, value: object, maximum: int) -> int:
    if type(value) is not int:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not 0 <= value <= maximum:
        raise ValueError(f"{name} must lie in 0..{maximum}, got {value}")
    return value


def _external_list(processes: Iterable[ExternalProcessLike]) -> list[dict[str, Any]]:
    wire = []
    for entry in processes:
        if not isinstance(entry, ExternalProcess):
            entry = ExternalProcess(entry)
        item: dict[str, Any] = {"pid": _check_uint("pid", entry.pid, _U32_MAX)}
        if entry.start_time_ms is not None:
            item["startTimeMs"] = _check_uint("start_time_ms", entry.start_time_ms, _U64_MAX)
        wire.append(item)
    return wire


class SidecarClient:
    """One sidecar child process and its session.

    Starts the sidecar, reads its greeting and is then ready for commands.
    Use it as a context manager, or call :meth:`close`::

        with SidecarClient() as sidecar:
            sidecar.configure(root_pid=os.getpid(), sample_interval_ms=0)
            snapshot = sidecar.sample_now()

    Methods may be called from several threads; answers are delivered to the
    caller that sent the command.

    Args:
        executable: path of the sidecar; ``None`` looks ``sidecar`` up on
            ``PATH``.
        timeout: default seconds to wait for the greeting and for each
            answer; every waiting method takes its own ``timeout`` as well.
        stream_buffer: most streamed snapshots kept while nobody reads
            them; older ones are dropped (counted in
            :attr:`dropped_snapshots`).
        env: environment of the sidecar (default: this process's).

    Raises:
        FileNotFoundError: no sidecar at the path or on ``PATH``.
        SidecarTimeoutError: no greeting within ``timeout``.
        SidecarClosedError: the sidecar ended before greeting.
        SidecarProtocolError: the first line is not a greeting.
    """

    def __init__(
        self,
        executable: Union[str, os.PathLike[str], None] = None,
        *,
        timeout: float = 10.0,
        stream_buffer: int = 4096,
        env: Optional[dict[str, str]] = None,
    ) -> None:
        if executable is None:
            found = shutil.which("sidecar")
            if found is None:
                raise FileNotFoundError("no 'sidecar' executable on PATH")
            executable = found
        self.timeout = timeout
        self._lock = threading.Condition()
        self._write_lock = threading.Lock()
        self._ledger = CommandLedger()
        self._stream: deque[Snapshot] = deque(maxlen=stream_buffer)
        self._dropped = 0
        self._failure: Optional[SidecarClientError] = None
        self._hello: Optional[Hello] = None
        self._session: Optional[SessionInfo] = None
        self._delivered = Delivered()
        self._request_counter = 0
        self._shutdown_sent = False
        self._closed = False
        self._root_pid: Optional[int] = None
        self._root_start_ms: Optional[int] = None
        # A session of its own keeps the terminal's Ctrl-C away from the
        # sidecar, so the parent decides when it ends.
        self._proc = subprocess.Popen(
            [os.fspath(executable)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            start_new_session=True,
            env=env,
        )
        assert self._proc.stdin and self._proc.stdout
        self._stdin: IO[bytes] = self._proc.stdin
        # Written without buffering and without blocking, so that every
        # write can have a deadline (see _write_line).
        self._stdin_fd = self._stdin.fileno()
        os.set_blocking(self._stdin_fd, False)
        self._reader = threading.Thread(
            target=self._read_loop, args=(self._proc.stdout,), name="sidecar-reader", daemon=True
        )
        self._reader.start()
        try:
            self._wait_until(lambda: self._hello is not None, timeout, "the greeting")
        except BaseException:
            self._stdin.close()
            self._terminate(1.0)
            raise

    # --- properties -------------------------------------------------------

    @property
    def hello(self) -> Hello:
        """The sidecar's greeting."""
        assert self._hello is not None
        return self._hello

    @property
    def session(self) -> SessionInfo:
        """This session: its id and the sidecar's pid."""
        assert self._session is not None
        return self._session

    @property
    def end(self) -> Optional[SessionEnd]:
        """How the session ended, once the sidecar has ended and its output is read; else ``None``."""
        if self._reader.is_alive():
            return None
        failure = self._failure
        if isinstance(failure, SidecarClosedError):
            return SessionEnd(failure.returncode, failure.stderr)
        return SessionEnd(self._proc.poll())

    @property
    def end_asked(self) -> bool:
        """Whether the end was asked for (:meth:`shutdown` or :meth:`close`) rather than unexpected."""
        return self._shutdown_sent or self._closed

    def wait_ended(self, timeout: Optional[float] = None) -> bool:
        """Wait up to ``timeout`` s (``None``: without limit) until the sidecar has
        ended and its output is read; return whether it has."""
        self._reader.join(timeout)
        return not self._reader.is_alive()

    @property
    def pid(self) -> int:
        """Process id of the sidecar."""
        return self._proc.pid

    @property
    def returncode(self) -> Optional[int]:
        """Exit status of the sidecar once it has ended, else ``None``."""
        return self._proc.poll()

    @property
    def root_pid(self) -> Optional[int]:
        """The root pid of the last :meth:`configure`, or ``None``."""
        return self._root_pid

    @property
    def dropped_snapshots(self) -> int:
        """Streamed snapshots dropped because the queue was full."""
        with self._lock:
            return self._dropped

    # --- commands -----------------------------------------------------------

    def configure(
        self,
        root_pid: int,
        sample_interval_ms: int,
        external_processes: Iterable[ExternalProcessLike] = (),
    ) -> None:
        """Send ``configure``: what to watch and how often (no answer).

        Replaces any earlier configuration whole; history, streaming and
        sample numbering carry over.

        Args:
            root_pid: root of the watched tree; it is watched with all its
                descendants as long as some process has this pid.
            sample_interval_ms: period of periodic samples in ms; 0 for
                none; other values are clamped by the sidecar to 250..60000.
            external_processes: further processes to watch with their
                descendants (see :class:`ExternalProcess`).
        """
        fields = {
            "rootPid": _check_uint("root_pid", root_pid, _U32_MAX),
            "sampleIntervalMs": _check_uint("sample_interval_ms", sample_interval_ms, _U64_MAX),
            "externalProcesses": _external_list(external_processes),
        }
        self._send("configure", fields)
        self._root_pid = root_pid
        self._root_start_ms = None

    def set_external_processes(self, processes: Iterable[ExternalProcessLike]) -> None:
        """Send ``setExternalProcesses``: replace the external processes (no answer).

        Raises:
            SidecarError: sent before any :meth:`configure` (``not-configured``);
                the call waits for the refusal.
        """
        self._settle_unanswered(self._send("setExternalProcesses", {"processes": _external_list(processes)}))

    def set_sample_interval(self, sample_interval_ms: int) -> None:
        """Send ``setSampleInterval`` (no answer).

        0 stops periodic sampling; any other value (clamped to 250..60000
        ms) restarts it, the next sample one full interval from now.

        Raises:
            SidecarError: sent before any :meth:`configure` (``not-configured``);
                the call waits for the refusal.
        """
        ms = _check_uint("sample_interval_ms", sample_interval_ms, _U64_MAX)
        self._settle_unanswered(self._send("setSampleInterval", {"sampleIntervalMs": ms}))

    def set_streaming(self, enabled: bool) -> None:
        """Send ``setStreaming``: write periodic samples out or not (no answer).

        Streamed samples are read with :meth:`snapshots`.  Accepted before
        :meth:`configure` as well, and needed there to receive the first
        periodic sample: a ``configure`` with an interval takes it before
        the sidecar handles the next command.
        """
        if type(enabled) is not bool:
            raise TypeError("enabled must be a bool")
        self._send("setStreaming", {"enabled": enabled})

    def sample_now(self, *, timeout: Optional[float] = None) -> Snapshot:
        """Send ``sampleNow`` and return the sample.

        The sample is also kept in the history (there without request id)
        and does not move the periodic schedule.  A sample less than 200 ms
        after the previous one (or after :meth:`configure`) waits for the
        rest of those 200 ms.

        Raises:
            SidecarError: not configured.
        """
        pending = self._send("sampleNow", {"requestId": self._next_request_id()})
        return self._delivered.add(self._wait_for(pending, timeout))

    def read_history(
        self, window_ms: int, *, after: Optional[HistoryCursor] = None, timeout: Optional[float] = None
    ) -> HistoryRead:
        """Send ``readHistory`` and return the snapshots of the last ``window_ms`` ms.

        The sidecar keeps at most one hour (3600 samples, 20000 process
        entries, about 64 MiB); a longer window is cut to one hour.  The
        chunks of the answer are joined into one list, oldest first.  The
        list's ``cursor`` is the place after its newest snapshot: pass it
        as ``after`` to the next read to get only what is new.

        Args:
            after: only samples after this cursor (``history.cursor`` of an
                earlier read, or :meth:`cursor_after`).

        Raises:
            SidecarError: not configured.
            SidecarCursorError: ``after`` belongs to another session.
        """
        fields = {
            "requestId": self._next_request_id(),
            "windowMs": _check_uint("window_ms", window_ms, _U64_MAX),
        }
        start = HistoryCursor(self.session, 0) if after is None else check_cursor(after, self.session)
        snapshots: list[Snapshot] = self._wait_for(self._send("readHistory", fields), timeout)
        read = HistoryRead((s for s in snapshots if s.sequence > start.sequence), start)
        for snapshot in read:
            self._delivered.add(snapshot)
        return read

    def cursor_after(self, snapshot: Snapshot) -> HistoryCursor:
        """The cursor after ``snapshot``, a snapshot this session gave (answered,
        streamed or read from the history).

        Raises:
            TypeError: ``snapshot`` is a copy, or of another session.
        """
        if snapshot not in self._delivered:
            raise TypeError(
                "cursor_after() takes a snapshot this session gave "
                "(a copy, or a snapshot of an earlier session, has no place in its history)"
            )
        return HistoryCursor(self.session, snapshot.sequence)

    def process_table(self, *, timeout: Optional[float] = None) -> list[ProcessTableEntry]:
        """Send ``processTable`` and return every process of the system, sorted by pid."""
        pending = self._send("processTable", {"requestId": self._next_request_id()})
        return self._wait_for(pending, timeout)

    def shutdown(self) -> None:
        """Send ``shutdown``: the sidecar ends with status 0 (no answer).

        No command can be sent afterwards; :meth:`close` waits for the end.
        """
        self._send("shutdown", {})

    def sync(self, *, timeout: Optional[float] = None) -> None:
        """Wait until the sidecar has handled every command sent so far.

        It sends a ``readHistory`` of an empty window, whose answer (or
        ``not-configured`` refusal) marks the point.  Raises a refusal that
        no call has raised yet (only possible for lines the client did not
        check itself).
        """
        fields = {"requestId": self._next_request_id(), "windowMs": 0}
        pending = self._send("readHistory", fields)
        try:
            self._wait_for(pending, timeout)
        except SidecarError as exc:
            if exc.command is not pending.command:
                raise
        self._raise_deferred()

    # --- streamed samples ---------------------------------------------------

    def snapshots(self, *, timeout: Optional[float] = None) -> Iterator[Snapshot]:
        """Iterate over streamed (periodic) snapshots as they arrive.

        Streaming must be on (:meth:`set_streaming`) and an interval set.
        The iteration ends when the sidecar ends after :meth:`shutdown`.

        Args:
            timeout: most seconds to wait for each snapshot; ``None`` waits
                without limit.

        Raises:
            SidecarTimeoutError: no snapshot within ``timeout``.
            SidecarClosedError: the sidecar ended without :meth:`shutdown`.
        """
        while True:
            try:
                snapshot = self._next_snapshot(timeout)
            except SidecarClosedError:
                if self._shutdown_sent:
                    return
                raise
            if snapshot is None:
                raise SidecarTimeoutError(f"no streamed snapshot within {timeout} s")
            yield snapshot

    def poll_snapshot(self, timeout: float = 0.0) -> Optional[Snapshot]:
        """The next streamed snapshot, or ``None`` if none comes within ``timeout`` s.

        Raises:
            SidecarClosedError: the sidecar has ended and none is left.
        """
        return self._next_snapshot(timeout)

    # --- what the protocol leaves to the parent -----------------------------

    def root_gone(self, snapshot: Snapshot) -> bool:
        """Whether the configured root process has ended, as ``snapshot`` shows.

        The root is gone when its pid is absent from the snapshot, or when
        the pid now belongs to a process with another start time than the
        root had in the first snapshot given to this method after
        :meth:`configure` (the sidecar follows the root by pid alone).
        """
        if self._root_pid is None:
            raise RuntimeError("root_gone() needs a configure() first")
        sample = snapshot.process(self._root_pid)
        if sample is None:
            return True
        if self._root_start_ms is None:
            self._root_start_ms = sample.start_time_ms
        return sample.start_time_ms != self._root_start_ms

    # --- ending -------------------------------------------------------------

    def close(self, timeout: float = 5.0) -> Optional[int]:
        """End the sidecar cleanly and return its exit status.

        Sends ``shutdown`` (unless sent already), closes the sidecar's
        input, and waits up to ``timeout`` seconds for it to exit; a sidecar
        still running then is killed (that pid only).  Errors of unanswered
        commands not raised yet are dropped.  Calling it again does nothing.
        """
        if self._closed:
            return self._proc.returncode
        self._closed = True
        with self._lock:
            self._ledger.deferred.clear()
        if not self._shutdown_sent and self._failure is None:
            try:
                self.shutdown()
            except SidecarClientError:
                pass
        try:
            self._stdin.close()
        except OSError:
            pass
        status = self._terminate(timeout)
        with self._lock:
            if self._failure is None:
                self._failure = SidecarClosedError("the client is closed", status)
            self._lock.notify_all()
        return status

    def __enter__(self) -> "SidecarClient":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # --- internals ------------------------------------------------------------

    def _next_request_id(self) -> str:
        with self._lock:
            self._request_counter += 1
            return f"r{self._request_counter}"

    def _settle_unanswered(self, pending: Outstanding) -> None:
        """Wait for the refusal of an unacknowledged command that is certain to be refused."""
        if pending.awaited:
            self._wait_for(pending, None)

    def _raise_deferred(self) -> None:
        with self._lock:
            if self._ledger.deferred:
                raise self._ledger.deferred.popleft()

    def _send(self, kind: str, fields: dict[str, Any], *, checked: bool = True) -> Outstanding:
        """Write one command and record it in the ledger.

        ``checked`` says that the fields were checked for type and range, so
        the sidecar cannot refuse the line as invalid; only tests of the
        ledger send unchecked lines.
        """
        data = json.dumps({"type": kind, "version": PROTOCOL_VERSION, **fields}, separators=(",", ":"))
        with self._write_lock:  # recording order = writing order
            with self._lock:
                if self._ledger.deferred:
                    raise self._ledger.deferred.popleft()
                if self._failure is not None:
                    raise self._failure.with_traceback(None)
                if self._shutdown_sent:
                    raise SidecarClosedError("shutdown was sent; no further commands")
                pending = self._ledger.record(kind, fields, checked=checked)
                # Set before the line goes out: the sidecar may end at once,
                # and the reader must know that the end was asked for.
                self._shutdown_sent = kind == "shutdown"
            line = data.encode("ascii") + b"\n"
            written = 0
            try:
                for written in self._write_line(line):
                    pass
            except BaseException as exc:
                if written == len(line):
                    raise  # the whole line went out: it stays recorded
                if written == 0:
                    # Nothing of the line went out: as if it was never sent.
                    self._forget(pending)
                    if isinstance(exc, OSError):
                        failure = self._failure or SidecarClosedError("the sidecar no longer reads commands")
                        raise failure.with_traceback(None) from None
                    raise
                # A cut line would spoil the next one: end the session.
                self._break(SidecarClosedError(f"a command was cut off while being written ({exc!r})"))
                raise
        return pending

    def _write_line(self, data: bytes) -> Iterator[int]:
        """Write ``data`` to the sidecar's input, yielding the bytes written so far.

        Waits at most :attr:`timeout` seconds in all for the sidecar to take
        the line (it stops reading only while its queue of 64 commands is
        full, during a sample).
        """
        view = memoryview(data)
        done = 0
        deadline = time.monotonic() + self.timeout
        while done < len(data):
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise SidecarTimeoutError(f"the sidecar took no command for {self.timeout} s")
            _, writable, _ = select.select([], [self._stdin_fd], [], remaining)
            if writable:
                try:
                    done += os.write(self._stdin_fd, view[done:])
                except BlockingIOError:
                    continue
                yield done

    def _break(self, error: SidecarClientError) -> None:
        """Make the session unusable and end the sidecar's input, so that it ends."""
        with self._lock:
            if self._failure is None:
                self._failure = error
        try:
            self._stdin.close()
        except OSError:
            pass

    def _forget(self, pending: Outstanding) -> None:
        with self._lock:
            self._ledger.forget(pending)

    def _wait_until(self, ready: Any, timeout: Optional[float], what: str) -> None:
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        with self._lock:
            while not ready():
                if self._failure is not None:
                    raise self._failure.with_traceback(None)
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise SidecarTimeoutError(f"no {what} in time")
                self._lock.wait(remaining)

    def _wait_for(self, pending: Outstanding, timeout: Optional[float]) -> Any:
        limit = self.timeout if timeout is None else timeout
        deadline = time.monotonic() + limit
        with self._lock:
            while not pending.done:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise SidecarTimeoutError(f"no answer to {pending.command.type} within {limit} s")
                self._lock.wait(remaining)
        if pending.error is not None:
            raise pending.error.with_traceback(None)
        return pending.result

    def _next_snapshot(self, timeout: Optional[float]) -> Optional[Snapshot]:
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._lock:
            while True:
                if self._stream:
                    return self._delivered.add(self._stream.popleft())
                if self._failure is not None:
                    raise self._failure.with_traceback(None)
                if deadline is None:
                    self._lock.wait()
                else:
                    remaining = deadline - time.monotonic()
                    if remaining <= 0:
                        return None
                    self._lock.wait(remaining)

    def _terminate(self, timeout: float = 5.0) -> Optional[int]:
        """Wait for the sidecar to exit, kill its pid after ``timeout`` s, release the pipes."""
        try:
            status = self._proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self._proc.kill()  # this child's pid only
            status = self._proc.wait()
        self._reader.join(timeout)
        if not self._reader.is_alive():
            for pipe in (self._proc.stdout, self._proc.stderr):
                if pipe is not None:
                    pipe.close()
        return status

    # --- reader thread --------------------------------------------------------

    def _read_loop(self, stdout: IO[bytes]) -> None:
        """Reader thread: decode every line and sort it until end of output."""
        for line in stdout:
            if self._failure is not None:
                continue  # keep draining so the sidecar never blocks on a full pipe
            try:
                if not line.endswith(b"\n"):
                    raise SidecarProtocolError("the last output line is cut off", line)
                self._dispatch(decode_line(line))
            except SidecarProtocolError as exc:
                self._fail(exc)
            except Exception as exc:  # a decoder fault must not kill the thread silently
                self._fail(SidecarProtocolError(f"unreadable output line ({exc!r})", line))
        self._fail(self._closed_error())

    def _closed_error(self) -> SidecarClosedError:
        try:
            status: Optional[int] = self._proc.wait(2.0)
        except subprocess.TimeoutExpired:
            status = None
        stderr = ""
        if status is not None and self._proc.stderr is not None:
            try:
                stderr = self._proc.stderr.read().decode("utf-8", "replace")
            except (OSError, ValueError):
                pass
        if self._shutdown_sent:
            return SidecarClosedError("the sidecar has shut down", status, stderr)
        return SidecarClosedError("the sidecar ended", status, stderr)

    def _fail(self, error: SidecarClientError) -> None:
        """Settle every outstanding command with ``error`` and refuse new ones."""
        with self._lock:
            if self._failure is None:
                self._failure = error
            ended_by_shutdown = isinstance(error, SidecarClosedError) and self._shutdown_sent
            self._ledger.fail_all(self._failure, unanswered_accepted=ended_by_shutdown)
            self._lock.notify_all()

    def _dispatch(self, message: Message) -> None:
        with self._lock:
            if isinstance(message, Hello):
                if self._hello is not None:
                    raise SidecarProtocolError("a second greeting")
                self._hello = message
                self._session = SessionInfo(uuid.uuid4().hex, message.sidecar_pid)
            elif self._hello is None:
                raise SidecarProtocolError(f"{type(message).__name__} before the greeting")
            elif isinstance(message, Snapshot) and message.request_id is None:
                if len(self._stream) == self._stream.maxlen:
                    self._dropped += 1
                self._stream.append(message)
            elif isinstance(message, ErrorMessage):
                self._ledger.settle_error(message)
            else:
                self._ledger.settle_answer(message)
            self._lock.notify_all()
