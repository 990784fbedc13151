"""The client against the real sidecar: commands, answers, streamed samples,
errors tied to their commands, and the helpers for external processes and
the root."""

from __future__ import annotations

import os
import signal
import threading
import time
from pathlib import Path
from typing import Any

import pytest

from sidecar_client import (
    ExternalProcess,
    SidecarClient,
    SidecarClosedError,
    SidecarError,
    SidecarTimeoutError,
    Snapshot,
)

NO_SUCH_PID = 2**32 - 1


def test_greeting_and_process_table(client: SidecarClient) -> None:
    assert client.hello.version == 3
    assert client.hello.sidecar_pid == client.pid
    assert all(vars(client.hello.capabilities).values())
    table = client.process_table()
    pids = [row.pid for row in table]
    assert pids == sorted(pids) and 0 not in pids
    rows = {row.pid: row for row in table}
    assert rows[client.pid].ppid == os.getpid()
    assert os.getpid() in rows


def test_sample_now_watches_the_tree(client: SidecarClient, make_tree: Any) -> None:
    tree = make_tree(3)
    client.configure(root_pid=tree.root.pid, sample_interval_ms=0)
    snapshot = client.sample_now()
    assert snapshot.request_id is not None
    assert {p.pid for p in snapshot.processes} == tree.pids
    assert snapshot.retained_process_count == 4
    for pid in tree.children:
        child = snapshot.process(pid)
        assert child is not None and child.ppid == tree.root.pid and child.name == "sleep"
        assert child.command == "sleep 600" and child.status == "Sleep"
        assert child.start_time_ms % 1000 == 0 and child.resident_bytes > 0
    history = client.read_history(60_000)
    assert [s.sequence for s in history] == [snapshot.sequence]
    assert history[0].request_id is None
    assert history[0].processes == snapshot.processes


def test_read_history_joins_chunks(client: SidecarClient) -> None:
    client.configure(root_pid=os.getpid(), sample_interval_ms=0)
    taken = [client.sample_now().sequence for _ in range(33)]  # one more than a chunk
    history = client.read_history(3_600_000)
    assert [s.sequence for s in history] == taken
    assert all(s.request_id is None for s in history)
    assert len(client.read_history(0)) <= 1  # only samples of this very millisecond


# Each case: calls in order, and for each the type of the command whose
# refusal it raises (None: it succeeds).  Every call raises the refusal of
# its own command, also a command that is never acknowledged otherwise.
ATTRIBUTION_CASES = {
    "unacknowledged command refused": [
        ("set_sample_interval", (500,), "setSampleInterval"),
        ("sync", (), None),
    ],
    "refused commands in a row": [
        ("set_external_processes", ([1],), "setExternalProcesses"),
        ("set_sample_interval", (500,), "setSampleInterval"),
        ("sample_now", (), "sampleNow"),
        ("read_history", (1000,), "readHistory"),
        ("process_table", (), None),
    ],
    "accepted commands between refused ones": [
        ("set_streaming", (False,), None),
        ("set_sample_interval", (0,), "setSampleInterval"),
        ("set_streaming", (False,), None),
        ("read_history", (1000,), "readHistory"),
        ("configure", (os.getpid(), 0), None),
        ("set_sample_interval", (0,), None),
        ("set_external_processes", ([],), None),
        ("sample_now", (), None),
        ("sync", (), None),
    ],
}


@pytest.mark.parametrize("steps", ATTRIBUTION_CASES.values(), ids=ATTRIBUTION_CASES.keys())
def test_errors_are_tied_to_their_commands(client: SidecarClient, steps: list[Any]) -> None:
    for method, args, refused in steps:
        call = getattr(client, method)
        if refused is None:
            call(*args)
            continue
        with pytest.raises(SidecarError) as caught:
            call(*args)
        error = caught.value
        assert error.command.type == refused
        assert (error.code, error.recoverable) == ("not-configured", True)
        assert error.message.startswith("configure must be sent before")


# Refusals that the client never provokes itself (it checks every value
# before sending): written with the internal send to show that they are tied
# to the right command as well.
@pytest.mark.parametrize(
    "kind, fields, message",
    [
        ("setSampleInterval", {"sampleIntervalMs": 1000.0}, "invalid command: invalid type: floating point `1000.0`, expected u64"),
        ("configure", {"rootPid": 2**32, "sampleIntervalMs": 0}, "invalid command: invalid value: integer `4294967296`, expected u32"),
        ("readHistory", {"requestId": "x", "windowMs": -1}, "invalid command: invalid value: integer `-1`, expected u64"),
    ],
)
def test_invalid_command_is_tied_to_its_command(client: SidecarClient, kind: str, fields: dict[str, Any], message: str) -> None:
    client.configure(root_pid=os.getpid(), sample_interval_ms=250)
    client.set_streaming(True)  # streamed samples interleave with the answers
    client.poll_snapshot(60.0)
    pending = client._send(kind, fields, checked=False)
    with pytest.raises(SidecarError) as caught:
        if kind == "readHistory":
            client._wait_for(pending, None)
        else:
            client.sample_now()  # answered normally; the refusal comes next
            client.sync()
    assert caught.value.command is pending.command
    assert (caught.value.code, caught.value.message) == ("invalid-command", message)
    client.sync()


def test_streamed_samples_interleave_with_answers(client: SidecarClient, make_tree: Any) -> None:
    tree = make_tree(1)
    client.configure(root_pid=tree.root.pid, sample_interval_ms=250)
    client.set_streaming(True)
    answers: list[Snapshot] = []
    for _ in range(6):
        answers.append(client.sample_now())
        assert len(client.read_history(60_000)) >= len(answers)
        client.set_external_processes([])
    streamed: list[Snapshot] = []  # at least two, however slow the sidecar, then whatever else came
    while (more := client.poll_snapshot(0.0 if len(streamed) >= 2 else 60.0)) is not None:
        streamed.append(more)
    assert all(s.request_id is None for s in streamed if s is not None)
    assert all(a.request_id for a in answers)
    sequences = [s.sequence for s in streamed if s is not None]
    assert sequences == sorted(sequences) and len(sequences) >= 2
    assert not set(sequences) & {a.sequence for a in answers}
    client.set_streaming(False)
    client.sync()


def test_answers_go_to_the_thread_that_asked(client: SidecarClient, make_tree: Any) -> None:
    tree = make_tree(1)
    client.configure(root_pid=tree.root.pid, sample_interval_ms=250)
    client.set_streaming(True)
    results: dict[int, list[Any]] = {}

    def ask(worker: int) -> None:
        results[worker] = [
            client.sample_now(timeout=30) if (worker + turn) % 3 == 0
            else client.read_history(1000, timeout=30) if (worker + turn) % 3 == 1
            else client.process_table(timeout=30)
            for turn in range(4)
        ]

    threads = [threading.Thread(target=ask, args=(worker,)) for worker in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    for worker, answers in results.items():
        for turn, answer in enumerate(answers):
            kind = (worker + turn) % 3
            if kind == 0:
                assert isinstance(answer, Snapshot) and answer.request_id and answer.process(tree.root.pid)
            elif kind == 1:
                assert isinstance(answer, list) and all(isinstance(s, Snapshot) for s in answer)
            else:
                assert any(row.pid == tree.root.pid for row in answer)
    assert len(results) == 4
    client.sync()


def test_stream_queue_is_bounded_and_waits_are_limited(sidecar_binary: Path) -> None:
    with SidecarClient(sidecar_binary, stream_buffer=2) as client:
        assert client.poll_snapshot(0.2) is None
        with pytest.raises(SidecarTimeoutError):
            next(client.snapshots(timeout=0.3))
        client.configure(root_pid=os.getpid(), sample_interval_ms=250)
        client.set_streaming(True)
        deadline = time.monotonic() + 90  # a slow sidecar takes longer to fill the queue, never less
        while client.dropped_snapshots < 2:
            assert time.monotonic() < deadline, "the stream never overflowed its queue"
            time.sleep(0.05)
        client.sync()
        kept = [client.poll_snapshot(0.0), client.poll_snapshot(0.0)]
        assert client.dropped_snapshots >= 2
        newest = client.read_history(60_000)[-1]
        assert kept[1] is not None and kept[1].sequence <= newest.sequence
        assert kept[0] is not None and kept[0].sequence < kept[1].sequence


@pytest.mark.parametrize(
    "offset_ms, matched",
    [(0, True), (999, True), (-1, False), (1000, False), (None, True)],
    ids=["exact", "same-second", "second-before", "second-after", "pid-only"],
)
def test_external_process_named_by_sample(
    client: SidecarClient, make_tree: Any, offset_ms: int | None, matched: bool
) -> None:
    tree = make_tree(1)
    client.configure(root_pid=tree.root.pid, sample_interval_ms=0)
    identity = client.sample_now().identity(tree.children[0])
    assert identity is not None and identity.pid == tree.children[0]
    named = ExternalProcess(identity.pid, None if offset_ms is None else identity.start_time_ms + offset_ms)
    client.configure(root_pid=NO_SUCH_PID, sample_interval_ms=0, external_processes=[named])
    snapshot = client.sample_now()
    assert snapshot.external_processes == ([identity] if matched else [])
    assert [p.pid for p in snapshot.processes] == ([identity.pid] if matched else [])


def test_root_gone(client: SidecarClient, make_tree: Any) -> None:
    tree = make_tree(1)
    client.configure(root_pid=tree.root.pid, sample_interval_ms=0)
    assert not client.root_gone(client.sample_now())
    tree.end()
    after = client.sample_now()
    assert client.root_gone(after)
    assert after.process(tree.children[0]) is None


@pytest.mark.parametrize(
    "call, exception",
    [
        (lambda c: c.configure(root_pid=2**32, sample_interval_ms=0), ValueError),
        (lambda c: c.configure(root_pid=-1, sample_interval_ms=0), ValueError),
        (lambda c: c.configure(root_pid=True, sample_interval_ms=0), TypeError),
        (lambda c: c.set_sample_interval(1000.0), TypeError),
        (lambda c: c.set_external_processes([ExternalProcess(1, 2**64)]), ValueError),
        (lambda c: c.set_streaming(1), TypeError),
        (lambda c: c.read_history(-5), ValueError),
    ],
)
def test_values_are_checked_before_sending(client: SidecarClient, call: Any, exception: type) -> None:
    with pytest.raises(exception):
        call(client)
    client.sync()  # nothing was sent: nothing refused (sync itself is not-configured: swallowed)


def test_close_shuts_down(sidecar_binary: Path) -> None:
    client = SidecarClient(sidecar_binary)
    client.configure(root_pid=os.getpid(), sample_interval_ms=250)
    client.set_streaming(True)
    assert client.close() == 0
    with pytest.raises(SidecarClosedError):
        client.sample_now()
    assert client.close() == 0


def test_shutdown_ends_the_stream(sidecar_binary: Path) -> None:
    with SidecarClient(sidecar_binary) as client:
        client.configure(root_pid=os.getpid(), sample_interval_ms=250)
        client.set_streaming(True)
        stream = client.snapshots(timeout=60)
        first = next(stream)
        client.shutdown()
        assert all(s.sequence > first.sequence for s in stream)  # ends, no exception
        with pytest.raises(SidecarClosedError):
            client.process_table()
    assert client.returncode == 0


def test_sidecar_ending_unexpectedly(client: SidecarClient) -> None:
    client.configure(root_pid=os.getpid(), sample_interval_ms=250)
    client.set_streaming(True)
    os.kill(client.pid, signal.SIGKILL)  # the sidecar this test started
    with pytest.raises(SidecarClosedError) as caught:
        for _ in client.snapshots(timeout=60):
            pass
    assert caught.value.returncode == -signal.SIGKILL
    with pytest.raises(SidecarClosedError):
        client.sample_now()
    started = time.monotonic()
    client.close()
    assert time.monotonic() - started < 5


def test_sidecar_from_path(sidecar_binary: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    (tmp_path / "bin").mkdir()
    monkeypatch.setenv("PATH", str(tmp_path / "bin"))
    with pytest.raises(FileNotFoundError, match="no 'sidecar' executable on PATH"):
        SidecarClient()
    (tmp_path / "bin" / "sidecar").symlink_to(sidecar_binary)
    with SidecarClient() as client:
        assert client.hello.sidecar_pid == client.pid


@pytest.mark.parametrize("streaming_first, first_streamed", [(True, 1), (False, 2)])
def test_first_periodic_sample_comes_before_the_next_command(
    client: SidecarClient, streaming_first: bool, first_streamed: int
) -> None:
    if streaming_first:
        client.set_streaming(True)
    client.configure(root_pid=os.getpid(), sample_interval_ms=250)
    client.set_streaming(True)
    assert next(client.snapshots(timeout=60)).sequence == first_streamed
    assert client.read_history(60_000)[0].sequence == 1  # kept in the history either way
