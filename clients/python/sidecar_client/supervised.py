"""A sidecar that is started again when it ends unexpectedly.

The supervisor keeps what the parent set (streaming, the configuration with
its interval and external processes) and applies it to every new session
before the session is used, so that periodic samples go on.  The snapshot
iterator runs across restarts; calls made while a restart is under way wait
for the new session (within their own timeout); calls that were waiting on
the session that ended raise its :class:`SidecarClosedError`.  History
cursors stay bound to their session: after a restart, a cursor of the
earlier session is refused.

One thread per session waits for its end and, when the end was not asked
for, starts the next session with a bounded back-off.  The callbacks run
on that thread.
"""

from __future__ import annotations

import os
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Iterator, Optional, Union

from .client import ExternalProcessLike, SidecarClient
from .cursor import Delivered, HistoryCursor, HistoryRead, SessionEnd, SessionInfo, check_cursor
from .errors import SidecarClosedError, SidecarTimeoutError
from .messages import Hello, ProcessTableEntry, Snapshot


@dataclass(frozen=True)
class RestartEvent:
    """A restart: how the earlier session ended, and the new one.

    Attributes:
        end: how the earlier session ended.
        previous: the session that ended; its cursors are no longer accepted.
        session: the new session, already set up as the earlier one was.
        attempt: 1 for the first attempt after a healthy session, one more
            for each attempt in a row.
    """

    end: SessionEnd
    previous: SessionInfo
    session: SessionInfo
    attempt: int


@dataclass(frozen=True)
class RestartFailedEvent:
    """An attempt to start the sidecar again that failed.

    Attributes:
        error: why it failed.
        attempt: the attempt's number in the row.
        next_delay: seconds before the next attempt; ``None`` when the
            supervisor gives up.
    """

    error: BaseException
    attempt: int
    next_delay: Optional[float]


class SupervisedSidecarClient:
    """A :class:`SidecarClient` started again after an unexpected end.

    It has the methods of :class:`SidecarClient`, applied to the current
    session (:attr:`client`).  The first start raises as
    :class:`SidecarClient` does.

    Args:
        executable, timeout, stream_buffer, env: as for
            :class:`SidecarClient`, for every session.
        initial_delay: seconds before the first restart after an
            unexpected end (default 0.1); each further attempt in a row
            waits twice as long, up to ``max_delay`` (default 5).
        max_attempts: attempts in a row (failed starts and sessions that
            ended within ``stable_after`` s) before giving up (default 5).
        stable_after: a session that ran this long counts as healthy: the
            next restart is a first attempt again (default 10 s).
        on_restart: called with a :class:`RestartEvent` after each restart.
        on_restart_failed: called with a :class:`RestartFailedEvent`.
        on_end: called with the :class:`SessionEnd` of the last session
            once no restart follows (after :meth:`close`, or on giving up).
    """

    def __init__(
        self,
        executable: Union[str, "os.PathLike[str]", None] = None,
        *,
        timeout: float = 10.0,
        stream_buffer: int = 4096,
        env: Optional[dict[str, str]] = None,
        initial_delay: float = 0.1,
        max_delay: float = 5.0,
        max_attempts: int = 5,
        stable_after: float = 10.0,
        on_restart: Optional[Callable[[RestartEvent], None]] = None,
        on_restart_failed: Optional[Callable[[RestartFailedEvent], None]] = None,
        on_end: Optional[Callable[[SessionEnd], None]] = None,
    ) -> None:
        self._start: Callable[[], SidecarClient] = lambda: SidecarClient(
            executable, timeout=timeout, stream_buffer=stream_buffer, env=env
        )
        self.timeout = timeout
        self._initial_delay = initial_delay
        self._max_delay = max_delay
        self._max_attempts = max_attempts
        self._stable_after = stable_after
        self._on_restart = on_restart
        self._on_restart_failed = on_restart_failed
        self._on_end = on_end
        self._cond = threading.Condition()
        self._state = "running"  # running, restarting, closed, failed
        self._failure: Optional[SidecarClosedError] = None
        self._last_end: Optional[SessionEnd] = None
        self._attempts = 0
        self._streaming = False
        self._config: Optional[dict[str, Any]] = None
        self._past: list[tuple[SessionInfo, Delivered]] = []
        self.restarts = 0
        self._client = self._start()
        self._watch(self._client)

    # --- properties -------------------------------------------------------

    @property
    def client(self) -> SidecarClient:
        """The current session's client (replaced at each restart)."""
        return self._client

    @property
    def session(self) -> SessionInfo:
        return self._client.session

    @property
    def hello(self) -> Hello:
        return self._client.hello

    # --- commands, applied to the current session and kept for the next ----

    def configure(
        self, root_pid: int, sample_interval_ms: int, external_processes: Iterable[ExternalProcessLike] = ()
    ) -> None:
        external = list(external_processes)
        self._live(None).configure(root_pid, sample_interval_ms, external)
        self._config = {"root_pid": root_pid, "sample_interval_ms": sample_interval_ms, "external_processes": external}

    def set_external_processes(self, processes: Iterable[ExternalProcessLike]) -> None:
        external = list(processes)
        self._live(None).set_external_processes(external)
        if self._config is not None:
            self._config = {**self._config, "external_processes": external}

    def set_sample_interval(self, sample_interval_ms: int) -> None:
        self._live(None).set_sample_interval(sample_interval_ms)
        if self._config is not None:
            self._config = {**self._config, "sample_interval_ms": sample_interval_ms}

    def set_streaming(self, enabled: bool) -> None:
        self._live(None).set_streaming(enabled)
        self._streaming = enabled

    def sample_now(self, *, timeout: Optional[float] = None) -> Snapshot:
        return self._live(timeout).sample_now(timeout=timeout)

    def process_table(self, *, timeout: Optional[float] = None) -> list[ProcessTableEntry]:
        return self._live(timeout).process_table(timeout=timeout)

    def read_history(
        self, window_ms: int, *, after: Optional[HistoryCursor] = None, timeout: Optional[float] = None
    ) -> HistoryRead:
        """As :meth:`SidecarClient.read_history`; a cursor of an earlier session
        raises :class:`SidecarCursorError`."""
        return self._live(timeout).read_history(window_ms, after=after, timeout=timeout)

    def cursor_after(self, snapshot: Snapshot) -> HistoryCursor:
        """As :meth:`SidecarClient.cursor_after`; a snapshot of an earlier
        session raises :class:`SidecarCursorError`."""
        for session, delivered in self._past:
            if snapshot in delivered:
                return check_cursor(HistoryCursor(session, snapshot.sequence), self._client.session)
        return self._client.cursor_after(snapshot)

    def sync(self, *, timeout: Optional[float] = None) -> None:
        self._live(timeout).sync(timeout=timeout)

    def root_gone(self, snapshot: Snapshot) -> bool:
        return self._client.root_gone(snapshot)

    def snapshots(self, *, timeout: Optional[float] = None) -> Iterator[Snapshot]:
        """Streamed snapshots across restarts: the iteration goes on in the
        new session (its sequences start again at 1; ``on_restart`` tells).

        Ends after :meth:`close`; raises :class:`SidecarClosedError` when
        the supervisor gives up, :class:`SidecarTimeoutError` when no
        snapshot comes within ``timeout`` s (a restart included).
        """
        ended: Optional[SidecarClient] = None
        while True:
            try:
                client = self._live(timeout, after=ended)
            except SidecarClosedError:
                if self._state == "closed":
                    return
                raise
            try:
                yield from client.snapshots(timeout=timeout)
                return  # that session ended as asked
            except SidecarClosedError:
                if self._state == "closed":
                    return
                ended = client  # go on with the next session

    # --- ending -------------------------------------------------------------

    def close(self, timeout: float = 5.0) -> Optional[int]:
        """End supervision and the current session as :meth:`SidecarClient.close`
        does; no restart follows."""
        with self._cond:
            before = self._state
            if before in ("running", "restarting"):
                self._state = "closed"
            self._cond.notify_all()
        status = self._client.close(timeout)
        if before == "restarting" and self._on_end is not None and self._last_end is not None:
            self._on_end(self._last_end)
        return status

    def __enter__(self) -> "SupervisedSidecarClient":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # --- internals ------------------------------------------------------------

    def _live(self, timeout: Optional[float], *, after: Optional[SidecarClient] = None) -> SidecarClient:
        """The current session once it runs (and is not ``after``); waits through a restart."""
        limit = self.timeout if timeout is None else timeout
        deadline = time.monotonic() + limit
        with self._cond:
            while True:
                if self._state == "closed":
                    raise SidecarClosedError("the supervised sidecar was closed")
                if self._state == "failed":
                    assert self._failure is not None
                    raise self._failure.with_traceback(None)
                current = self._client
                # A session that has just ended is not live, even before its
                # supervisor thread has marked the restart.
                if self._state == "running" and current is not after and (current.end is None or current.end_asked):
                    return current
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise SidecarTimeoutError(f"the restarted sidecar did not come within {limit} s")
                self._cond.wait(remaining)

    def _watch(self, client: SidecarClient) -> None:
        threading.Thread(
            target=self._supervise, args=(client, time.monotonic()), name="sidecar-supervisor", daemon=True
        ).start()

    def _delay(self, attempt: int) -> float:
        return min(self._max_delay, self._initial_delay * 2 ** (attempt - 1))

    def _supervise(self, client: SidecarClient, started: float) -> None:
        """Supervisor thread of one session: waits for its end, then restarts."""
        client.wait_ended()
        end = client.end or SessionEnd(client.returncode)
        with self._cond:
            self._last_end = end
            if self._state == "closed" or client.end_asked:
                self._state = "closed"
                final = True
            else:
                self._state = "restarting"
                final = False
                if time.monotonic() - started >= self._stable_after:
                    self._attempts = 0
            self._cond.notify_all()
        if final:
            if self._on_end is not None:
                self._on_end(end)
            return
        self._restart(client, end)

    def _pause(self, seconds: float) -> None:
        deadline = time.monotonic() + seconds
        with self._cond:
            while self._state == "restarting" and (remaining := deadline - time.monotonic()) > 0:
                self._cond.wait(remaining)

    def _restart(self, ended: SidecarClient, end: SessionEnd) -> None:
        self._attempts += 1
        self._pause(self._delay(self._attempts))
        while self._state == "restarting":
            client: Optional[SidecarClient] = None
            try:
                client = self._start()
                if self._streaming:
                    client.set_streaming(True)
                if self._config is not None:
                    client.configure(**self._config)
                client.sync()
            except Exception as exc:  # noqa: BLE001 - every failed start counts as an attempt
                if client is not None:
                    client.close(1.0)
                give_up = self._attempts >= self._max_attempts
                next_delay = None if give_up else self._delay(self._attempts + 1)
                if self._on_restart_failed is not None:
                    self._on_restart_failed(RestartFailedEvent(exc, self._attempts, next_delay))
                if give_up:
                    self._give_up(end)
                    return
                self._attempts += 1
                self._pause(next_delay or 0.0)
                continue
            with self._cond:
                if self._state != "restarting":
                    adopted = False
                else:
                    self._past.append((ended.session, ended._delivered))
                    self._client = client
                    self._state = "running"
                    self.restarts += 1
                    adopted = True
                    self._cond.notify_all()
            if not adopted:
                client.close(1.0)
                return
            self._watch(client)
            if self._on_restart is not None:
                self._on_restart(RestartEvent(end, ended.session, client.session, self._attempts))
            return

    def _give_up(self, end: SessionEnd) -> None:
        with self._cond:
            self._state = "failed"
            self._failure = SidecarClosedError(
                f"the sidecar could not be started again after {self._attempts} attempts in a row; "
                "the last session ended",
                end.returncode,
                end.stderr,
            )
            self._cond.notify_all()
        if self._on_end is not None:
            self._on_end(end)
