"""History cursors bound to their session, and the supervised client: a
sidecar killed mid-stream is started again with what the parent set, the
iteration goes on, the parent is told, and cursors of the killed session
are refused."""

from __future__ import annotations

import copy
import os
import signal
import threading
import time
from pathlib import Path
from typing import Any, Callable

import pytest

from sidecar_client import (
    HistoryCursor,
    RestartEvent,
    RestartFailedEvent,
    SessionEnd,
    SidecarClient,
    SidecarClosedError,
    SidecarCursorError,
    SupervisedSidecarClient,
)


def test_cursors_read_on_and_stay_in_their_session(sidecar_binary: Path) -> None:
    with SidecarClient(sidecar_binary, timeout=60) as first, SidecarClient(sidecar_binary, timeout=60) as second:
        for client in (first, second):
            client.configure(root_pid=os.getpid(), sample_interval_ms=0)
        taken = [first.sample_now() for _ in range(3)]
        history = first.read_history(60_000)
        assert [s.sequence for s in history] == [1, 2, 3]
        assert history.cursor == HistoryCursor(first.session, 3)
        empty = first.read_history(60_000, after=history.cursor)
        assert empty == [] and empty.cursor == history.cursor
        newer = first.sample_now()
        assert [s.sequence for s in first.read_history(60_000, after=history.cursor)] == [newer.sequence]
        assert [s.sequence for s in first.read_history(60_000, after=first.cursor_after(taken[0]))] == [2, 3, 4]
        # A window of 0 ms holds only samples of the current millisecond:
        # usually none, and then the cursor is the session's start.
        latest = first.read_history(0)
        assert latest.cursor.sequence == (latest[-1].sequence if latest else 0)

        with pytest.raises(SidecarCursorError) as caught:
            second.read_history(60_000, after=history.cursor)
        assert str(caught.value) == (
            f"the history cursor belongs to an earlier session (sidecar pid {first.pid}), not to the current one "
            f"(sidecar pid {second.pid}), whose sequences start again at 1; "
            "read the current session's history without a cursor to start over"
        )
        assert caught.value.cursor_session == first.session and caught.value.session == second.session
        with pytest.raises(TypeError, match="takes a snapshot this session gave"):
            second.cursor_after(taken[0])
        with pytest.raises(TypeError, match="takes a snapshot this session gave"):
            first.cursor_after(copy.deepcopy(taken[0]))
        with pytest.raises(TypeError, match="after must be a HistoryCursor"):
            first.read_history(60_000, after=3)  # type: ignore[arg-type]


def test_killed_sidecar_is_started_again(sidecar_binary: Path, make_tree: Any) -> None:
    root = make_tree(1)
    outsider = make_tree(1)
    restarts: list[RestartEvent] = []
    with SupervisedSidecarClient(sidecar_binary, timeout=60, initial_delay=0.01, on_restart=restarts.append) as supervised:
        supervised.set_streaming(True)
        supervised.configure(root_pid=root.root.pid, sample_interval_ms=1000)
        supervised.set_sample_interval(250)
        supervised.set_external_processes([outsider.root.pid])
        before = supervised.read_history(60_000)
        first = supervised.session

        # (session number, sequence, pids); sequences start again at 1 in a new session.
        seen: list[tuple[int, int, list[int]]] = []
        for snapshot in supervised.snapshots(timeout=60):
            session = seen[-1][0] + (snapshot.sequence <= seen[-1][1]) if seen else 0
            seen.append((session, snapshot.sequence, [p.pid for p in snapshot.processes]))
            if len(seen) == 1:
                os.kill(first.sidecar_pid, signal.SIGKILL)  # the sidecar this test started
            elif sum(1 for s in seen if s[0] == 1) >= 2:
                break

        assert len(restarts) == 1
        event = restarts[0]
        assert event.end == SessionEnd(-signal.SIGKILL, "")
        assert event.previous == first and event.session == supervised.session
        assert event.session.sidecar_pid != first.sidecar_pid and event.attempt == 1
        assert supervised.restarts == 1

        assert max(s[0] for s in seen) == 1
        after = [s for s in seen if s[0] == 1]
        assert after[0][1] == 1, "the new session numbers from 1 and streams its first sample"
        assert all(pids == sorted(root.pids | outsider.pids) for _, _, pids in after)
        history = supervised.read_history(60_000)
        times = [s.sampled_at_unix_ms for s in history]
        assert len(times) >= 2 and all(b - a < 900 for a, b in zip(times, times[1:])), times

        with pytest.raises(SidecarCursorError):
            supervised.read_history(60_000, after=before.cursor)
        if before:
            with pytest.raises(SidecarCursorError):
                supervised.cursor_after(before[0])
        fresh = supervised.read_history(60_000, after=supervised.cursor_after(history[0]))
        assert [s.sequence for s in fresh][: len(history) - 1] == [s.sequence for s in history[1:]]


def test_calls_during_a_restart_wait_and_close_ends_supervision(sidecar_binary: Path) -> None:
    ends: list[SessionEnd] = []
    supervised = SupervisedSidecarClient(sidecar_binary, timeout=60, initial_delay=0.2, on_end=ends.append)
    try:
        supervised.configure(root_pid=os.getpid(), sample_interval_ms=0)
        old = supervised.session
        os.kill(old.sidecar_pid, signal.SIGKILL)
        assert supervised.client.wait_ended(10)
        sample = supervised.sample_now()  # made while the restart waits out its delay
        assert supervised.session != old
        # Sorted by pid: the root is not first where the sidecar's pid has wrapped below it.
        assert os.getpid() in [p.pid for p in sample.processes], "the configuration was applied again"
    finally:
        assert supervised.close() == 0
    deadline = time.monotonic() + 10
    while not ends and time.monotonic() < deadline:
        time.sleep(0.01)
    assert ends == [SessionEnd(0, "")]
    with pytest.raises(SidecarClosedError, match="the supervised sidecar was closed"):
        supervised.sample_now()


def test_sidecar_that_keeps_ending_is_given_up(fake_sidecar: Callable[[str], Path]) -> None:
    path = fake_sidecar("out(GREETING)\nsys.exit(3)\n")
    failed: list[RestartFailedEvent] = []
    ended = threading.Event()
    with SupervisedSidecarClient(
        path, timeout=30, initial_delay=0.005, max_delay=0.012, max_attempts=4,
        on_restart_failed=failed.append, on_end=lambda end: ended.set(),
    ) as supervised:
        with pytest.raises(SidecarClosedError) as caught:
            next(supervised.snapshots(timeout=30))
        assert str(caught.value) == (
            "the sidecar could not be started again after 4 attempts in a row; the last session ended (exit status 3)"
        )
        assert ended.wait(10)
        assert [(f.attempt, f.next_delay) for f in failed] == [(1, 0.01), (2, 0.012), (3, 0.012), (4, None)]
        assert all(isinstance(f.error, SidecarClosedError) for f in failed)
