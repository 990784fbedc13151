"""Every line of real sessions validates against its schema, with its keys in
the documented order: the greeting, streamed and requested snapshots, history
chunks, the process table and every kind of error."""

import json
import os
import platform
import subprocess

import pytest

import protocol_schemas
from sidecar_process import STEP_TIMEOUT, sidecar_binary


def command(kind, **fields):
    return json.dumps({"version": 3, "type": kind, **fields}, separators=(",", ":"))


def checked(schemas, line):
    """Parses one output line and checks it against its schema and key order."""
    message = protocol_schemas.parse(line)
    assert schemas.message_errors(message) == [], line[:300]
    assert schemas.key_order_problems(message, f"messages/{message['type']}.json") == [], line[:300]
    if message["type"] == "snapshot":
        check_snapshot(message)
    elif message["type"] == "historyChunk":
        for snapshot in message["snapshots"]:
            check_snapshot(snapshot)
    return message


def check_snapshot(snapshot):
    """What the schema cannot say about a snapshot."""
    pids = [sample["pid"] for sample in snapshot["processes"]]
    assert pids == sorted(pids) and len(set(pids)) == len(pids)
    assert snapshot["retainedProcessCount"] == len(pids)
    for sample in snapshot["processes"]:
        assert sample["startTimeMs"] % 1000 == 0
        assert sample["runTimeMs"] % 1000 == 0
    for external in snapshot["externalProcesses"]:
        assert external["startTimeMs"] % 1000 == 0


def test_the_greeting(sidecar, schemas):
    hello = checked(schemas, sidecar.greeting)
    assert hello["sidecarPid"] == sidecar.pid
    assert hello["platform"] == {"Linux": "linux", "Darwin": "macos"}[platform.system()]
    assert list(hello["capabilities"]) == schemas.wire_order("messages/hello.json", "capabilities")


def test_a_session_with_streaming_sample_now_history_and_table(sidecar, schemas, process_tree):
    first_child, second_child = process_tree.children
    # Find the start time of an external process the way a parent does: from a sample.
    sidecar.send(command("configure", rootPid=first_child, sampleIntervalMs=0))
    sidecar.send(command("sampleNow", requestId="start"))
    start = checked(schemas, sidecar.read_line())["processes"][0]["startTimeMs"]

    externals = [{"pid": first_child, "startTimeMs": start + 999}, {"pid": 0xFFFFFFFE}]
    sidecar.send(command("setStreaming", enabled=True))
    sidecar.send(command("configure", rootPid=second_child, sampleIntervalMs=250, externalProcesses=externals))
    streamed = [checked(schemas, sidecar.read_line()) for _ in range(3)]
    for snapshot in streamed:
        assert "requestId" not in snapshot
        assert [sample["pid"] for sample in snapshot["processes"]] == [first_child, second_child]
        assert snapshot["externalProcesses"] == [{"pid": first_child, "startTimeMs": start}]

    sidecar.send(command("setStreaming", enabled=False))
    sidecar.send(command("setExternalProcesses", processes=[]))
    sidecar.send(command("configure", rootPid=process_tree.root, sampleIntervalMs=0))
    sidecar.send(command("sampleNow", requestId="tree"))
    answer = checked(schemas, sidecar.read_line())
    while "requestId" not in answer:  # streamed before setStreaming false was handled
        answer = checked(schemas, sidecar.read_line())
    assert answer["requestId"] == "tree"
    assert [sample["pid"] for sample in answer["processes"]] == [process_tree.root, first_child, second_child]
    assert all(snapshot["sequence"] < answer["sequence"] for snapshot in streamed)

    sidecar.send(command("readHistory", requestId="history", windowMs=3_600_000))
    chunk = checked(schemas, sidecar.read_line())
    assert chunk["type"] == "historyChunk" and chunk["done"] is True
    sequences = [snapshot["sequence"] for snapshot in chunk["snapshots"]]
    assert sequences == sorted(sequences) and sequences[0] == 1 and sequences[-1] == answer["sequence"]
    assert all("requestId" not in snapshot for snapshot in chunk["snapshots"])

    sidecar.send(command("processTable", requestId="table"))
    table = checked(schemas, sidecar.read_line())
    pids = [entry["pid"] for entry in table["processes"]]
    assert pids == sorted(pids) and 0 not in pids
    assert {sidecar.pid, os.getpid(), process_tree.root, first_child, second_child} <= set(pids)

    sidecar.send(command("shutdown"))
    assert sidecar.rest_of_output() == []
    assert sidecar.wait() == 0


def test_a_long_history_comes_in_chunks_of_32(sidecar, schemas, process_tree):
    sidecar.send(command("configure", rootPid=process_tree.root, sampleIntervalMs=0))
    for n in range(33):
        sidecar.send(command("sampleNow", requestId=f"n{n}"))
    for n in range(33):
        assert checked(schemas, sidecar.read_line())["requestId"] == f"n{n}"
    sidecar.send(command("readHistory", requestId="all", windowMs=3_600_000))
    first = checked(schemas, sidecar.read_line())
    second = checked(schemas, sidecar.read_line())
    assert (first["done"], len(first["snapshots"])) == (False, 32)
    assert (second["done"], len(second["snapshots"])) == (True, 1)
    assert first["requestId"] == second["requestId"] == "all"
    # A chunk that is not the last must hold 32: the schema says so too.
    short = dict(first, snapshots=first["snapshots"][:31])
    assert schemas.message_errors(short) != []


def test_an_empty_window_is_one_empty_final_chunk(sidecar, schemas):
    sidecar.send(command("configure", rootPid=0xFFFFFFFE, sampleIntervalMs=0))
    sidecar.send(command("readHistory", requestId="empty", windowMs=0))
    chunk = checked(schemas, sidecar.read_line())
    assert chunk == {"version": 3, "type": "historyChunk", "requestId": "empty", "done": True, "snapshots": []}


ERRORS = [
    # (input line, code, message)
    (b'{"version":3,"type":"sampleNow","requestId":"r"}', "not-configured", "configure must be sent before sampling"),
    (b'{"version":3,"type":"readHistory","requestId":"r","windowMs":1}', "not-configured",
     "configure must be sent before reading history"),
    (b'{"version":3,"type":"setSampleInterval","sampleIntervalMs":1}', "not-configured",
     "configure must be sent before changing the sample interval"),
    (b'{"version":3,"type":"setExternalProcesses","processes":[]}', "not-configured",
     "configure must be sent before external processes"),
    (b'{"version":4294967295,"type":"shutdown"}', "protocol-mismatch",
     "unsupported protocol version 4294967295; expected 3"),
    (b'{"version":3,"type":"configure","rootPid":1,"sampleIntervalMs":1000.0}', "invalid-command",
     "invalid command: invalid type: floating point `1000.0`, expected u64"),
    (b'{"version":3,"type":"sampleNow","requestId":"a\\"b`c"', "invalid-command",
     "invalid command: EOF while parsing an object at line 1 column 52"),
    (b"\xff", "invalid-command", "failed reading command stream: stream did not contain valid UTF-8"),
]


@pytest.mark.parametrize("line, code, text", ERRORS, ids=[f"{code}-{n}" for n, (_, code, _) in enumerate(ERRORS)])
def test_every_kind_of_error(sidecar, schemas, line, code, text):
    sidecar.send(line)
    error = checked(schemas, sidecar.read_line())
    assert (error["code"], error["message"], error["recoverable"]) == (code, text, code != "protocol-mismatch")


def test_a_failed_write_ends_with_status_1_and_one_line_on_standard_error():
    read_end, write_end = os.pipe()
    child = subprocess.Popen([str(sidecar_binary())], stdin=subprocess.PIPE, stdout=write_end, stderr=subprocess.PIPE)
    try:
        os.close(write_end)
        assert os.read(read_end, 4096).startswith(b'{"version":3,"type":"hello"')
        os.close(read_end)  # the parent stops reading
        child.stdin.write(command("processTable", requestId="nobody reads this").encode() + b"\n")
        child.stdin.flush()
        assert child.wait(timeout=STEP_TIMEOUT) == 1
        assert child.stderr.read() == b"Error: broken pipe: Broken pipe (os error 32)\n"
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        child.stdin.close()
        child.stderr.close()
