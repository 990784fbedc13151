"""Decoding real output lines: every record mirrors its wire object field
for field, so writing a decoded snapshot out again gives the same line."""

from __future__ import annotations

import json
import os
import subprocess
from pathlib import Path

import pytest

from sidecar_client import (
    ErrorMessage,
    Hello,
    HistoryChunk,
    ProcessTable,
    SidecarProtocolError,
    Snapshot,
    decode_line,
)


@pytest.fixture(scope="module")
def session_lines(sidecar_binary: Path) -> list[bytes]:
    """Every line of a short scripted session of the real sidecar."""
    commands = [
        {"type": "processTable", "version": 3, "requestId": "t"},
        {"type": "configure", "version": 3, "rootPid": os.getpid(), "sampleIntervalMs": 0,
         "externalProcesses": [{"pid": 1}]},
        {"type": "sampleNow", "version": 3, "requestId": "s1"},
        {"type": "sampleNow", "version": 3, "requestId": "s\"2`"},
        {"type": "readHistory", "version": 3, "requestId": "h", "windowMs": 60000},
        {"type": "shutdown", "version": 2},
        {"type": "shutdown", "version": 3},
    ]
    text = "".join(json.dumps(c) + "\n" for c in commands).encode()
    done = subprocess.run([sidecar_binary], input=text, capture_output=True, timeout=30, check=True)
    return done.stdout.splitlines(keepends=True)


def test_session_decodes_to_typed_records(session_lines: list[bytes]) -> None:
    messages = [decode_line(line) for line in session_lines]
    assert [type(m) for m in messages] == [Hello, ProcessTable, Snapshot, Snapshot, HistoryChunk, ErrorMessage]
    table, first, second, chunk, error = messages[1:]
    assert isinstance(table, ProcessTable) and table.request_id == "t" and table.processes
    assert isinstance(first, Snapshot) and first.request_id == "s1" and first.process(os.getpid())
    assert isinstance(second, Snapshot) and second.request_id == 's"2`'
    assert isinstance(chunk, HistoryChunk) and chunk.done
    assert [s.sequence for s in chunk.snapshots] == [first.sequence, second.sequence]
    assert isinstance(error, ErrorMessage) and (error.code, error.recoverable) == ("protocol-mismatch", False)


def test_snapshots_write_out_as_the_same_line(session_lines: list[bytes]) -> None:
    snapshots = [m for m in map(decode_line, session_lines) if isinstance(m, Snapshot)]
    raw = [line.decode() for line in session_lines if b'"type":"snapshot"' in line[:40]]
    assert [s.to_json() + "\n" for s in snapshots] == raw
    chunk = next(m for m in map(decode_line, session_lines) if isinstance(m, HistoryChunk))
    for kept, answered in zip(chunk.snapshots, snapshots):
        assert kept.request_id is None
        assert kept.to_wire() == {k: v for k, v in answered.to_wire().items() if k != "requestId"}


@pytest.mark.parametrize(
    "line, text",
    [
        (b"\xff\n", "not JSON"),
        (b"", "not JSON"),
        (b'"hello"\n', "not a JSON object"),
        (b'{"type":5}\n', "unknown type"),
        (b'{"version":3,"type":"error","code":"x","message":"m","recoverable":1}\n', "not a boolean"),
        (b'{"version":3,"type":"historyChunk","requestId":"r","done":true,"snapshots":[{"type":"hello"}]}\n', "not a snapshot"),
        (b'{"version":3,"type":"historyChunk","requestId":"r","done":true,"snapshots":{}}\n', "not an array"),
    ],
)
def test_invalid_lines(line: bytes, text: str) -> None:
    with pytest.raises(SidecarProtocolError, match=text):
        decode_line(line)
