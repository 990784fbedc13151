"""The ledger alone, fed with made-up lines: which command each answer and
error is tied to, whatever the timing of the lines allows."""

from __future__ import annotations

from typing import Union

import pytest

from sidecar_client import (
    ErrorMessage,
    HistoryChunk,
    ProcessTable,
    SidecarClosedError,
    SidecarError,
    SidecarProtocolError,
    Snapshot,
)
from sidecar_client.ledger import NOT_CONFIGURED_MESSAGES, CommandLedger, Outstanding

Line = Union[ErrorMessage, Snapshot, HistoryChunk, ProcessTable]


def refused(kind: str) -> ErrorMessage:
    return ErrorMessage(3, "not-configured", NOT_CONFIGURED_MESSAGES[kind], True)


def invalid(text: str = "invalid command: …") -> ErrorMessage:
    return ErrorMessage(3, "invalid-command", text, True)


def snap(request_id: str | None, sequence: int = 1) -> Snapshot:
    return Snapshot(3, sequence, 0, 0, 0, 0, 0, request_id, [], [])


def chunk(request_id: str, done: bool, count: int) -> HistoryChunk:
    return HistoryChunk(3, request_id, done, [snap(None, n) for n in range(count)])


def table(request_id: str) -> ProcessTable:
    return ProcessTable(3, request_id, [])


def send(ledger: CommandLedger, command: str) -> Outstanding:
    """``"kind"``, ``"kind:rid"`` (answered, with request id), or ``"!kind"`` (unchecked)."""
    checked = not command.startswith("!")
    kind, _, request_id = command.lstrip("!").partition(":")
    fields = {"requestId": request_id} if request_id else {}
    return ledger.record(kind, fields, checked=checked)


def outcome(entry: Outstanding) -> str:
    if not entry.done:
        return "open"
    if isinstance(entry.error, SidecarError):
        return f"refused {entry.error.code}"
    if entry.answered:
        return f"answered {len(entry.result) if isinstance(entry.result, list) else 'snapshot'}"
    return "accepted"


# Each case: the commands sent (in order), the lines that come back, and
# the outcome of each command.  "accepted" for an unacknowledged command
# means it left the queue without an error.
CASES: dict[str, tuple[list[str], list[Line], list[str]]] = {
    "unacknowledged error before the next answer": (
        ["setSampleInterval", "processTable:r1"],
        [refused("setSampleInterval"), table("r1")],
        ["refused not-configured", "answered 0"],
    ),
    "accepted unacknowledged commands are passed over": (
        ["setStreaming", "configure", "setSampleInterval", "sampleNow:r1"],
        [snap("r1")],
        ["accepted", "accepted", "accepted", "answered snapshot"],
    ),
    "an error skips the commands that cannot be refused": (
        ["setStreaming", "setExternalProcesses", "processTable:r1"],
        [refused("setExternalProcesses")],
        ["accepted", "refused not-configured", "open"],
    ),
    "the same refusal twice: the first command first": (
        ["setSampleInterval", "setSampleInterval", "sampleNow:r1"],
        [refused("setSampleInterval"), refused("setSampleInterval"), refused("sampleNow")],
        ["refused not-configured"] * 3,
    ),
    "commands after a configure cannot be refused": (
        ["setSampleInterval", "configure", "setSampleInterval", "readHistory:r1"],
        [refused("setSampleInterval"), chunk("r1", True, 0)],
        ["refused not-configured", "accepted", "accepted", "answered 0"],
    ),
    "history chunks are joined": (
        ["readHistory:r1", "setStreaming"],
        [chunk("r1", False, 32), chunk("r1", True, 1)],
        ["answered 33", "open"],
    ),
    "an unchecked command takes the invalid-command error": (
        ["configure", "setStreaming", "!setSampleInterval", "sampleNow:r1"],
        [invalid(), snap("r1")],
        ["accepted", "accepted", "refused invalid-command", "answered snapshot"],
    ),
    "an answered command refused for lack of configure": (
        ["setStreaming", "sampleNow:r1", "setSampleInterval"],
        [refused("sampleNow"), refused("setSampleInterval")],
        ["accepted", "refused not-configured", "refused not-configured"],
    ),
}


@pytest.mark.parametrize("sent, lines, expected", CASES.values(), ids=CASES.keys())
def test_lines_are_tied_to_their_commands(sent: list[str], lines: list[Line], expected: list[str]) -> None:
    ledger = CommandLedger()
    entries = [send(ledger, command) for command in sent]
    for line in lines:
        if isinstance(line, ErrorMessage):
            ledger.settle_error(line)
        else:
            ledger.settle_answer(line)
    assert [outcome(e) for e in entries] == expected
    # A refusal known in advance is waited for by its caller; only the
    # refusal of an unchecked command is kept for later.
    assert [e.awaited for e in entries] == [e.answered or bool(e.refusable) and not s.startswith("!")
                                            for e, s in zip(entries, sent)]
    assert list(ledger.deferred) == [e.error for e in entries if isinstance(e.error, SidecarError) and not e.awaited]
    for entry in entries:
        if isinstance(entry.error, SidecarError):
            assert entry.error.command is entry.command


PROTOCOL_CASES: dict[str, tuple[list[str], Line, str]] = {
    "answer to nothing": (["configure"], table("r1"), "to no command"),
    "answer out of turn": (["processTable:r1", "processTable:r2"], table("r2"), "out of turn"),
    "answer of another kind": (["sampleNow:r1"], table("r1"), "out of turn"),
    "refusal after configure": (["configure", "sampleNow:r1"], refused("sampleNow"), "no outstanding command can cause"),
    "refusal beyond the next answered command": (["processTable:r1", "setSampleInterval"], refused("setSampleInterval"),
                                                 "no outstanding command can cause"),
    "invalid-command for checked commands": (["setStreaming", "processTable:r1"], invalid(), "no outstanding command"),
}


@pytest.mark.parametrize("sent, line, text", PROTOCOL_CASES.values(), ids=PROTOCOL_CASES.keys())
def test_lines_no_command_explains(sent: list[str], line: Line, text: str) -> None:
    ledger = CommandLedger()
    for command in sent:
        send(ledger, command)
    with pytest.raises(SidecarProtocolError, match=text):
        if isinstance(line, ErrorMessage):
            ledger.settle_error(line)
        else:
            ledger.settle_answer(line)


@pytest.mark.parametrize("after_shutdown, expected", [(True, ["accepted", "failed"]), (False, ["failed", "failed"])])
def test_end_of_session(after_shutdown: bool, expected: list[str]) -> None:
    ledger = CommandLedger()
    entries = [send(ledger, "setStreaming"), send(ledger, "processTable:r1")]
    end = SidecarClosedError("the sidecar ended")
    ledger.fail_all(end, unanswered_accepted=after_shutdown)
    assert [("failed" if e.error is end else "accepted") for e in entries] == expected
    assert all(e.done for e in entries) and not ledger.outstanding


def test_ordinals_and_request_ids() -> None:
    ledger = CommandLedger()
    first, second = send(ledger, "configure"), send(ledger, "sampleNow:abc")
    assert (first.command.ordinal, second.command.ordinal) == (1, 2)
    assert (first.command.request_id, second.command.request_id) == (None, "abc")
