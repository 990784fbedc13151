"""Every example in docs/protocol.md has the form the sidecar writes.

Lines the sidecar wrote validate against their message schema with their keys
in the documented order; lines the parent wrote are accepted by the command
schema exactly when the sidecar accepts them (as far as a schema can tell);
replay blocks come out of the sidecar again byte for byte.
"""

import json

import pytest

import protocol_doc
import protocol_schemas
import refusals

RECEIVED = protocol_doc.example_lines(protocol_doc.RECEIVED)
SENT = protocol_doc.example_lines(protocol_doc.SENT)
REPLAYS = [block for block in protocol_doc.example_blocks() if block.replay]


def line_id(line):
    return f"protocol.md:{line.number}"


def test_the_reference_has_examples_of_every_kind():
    kinds = {json.loads(line.text)["type"] for line in RECEIVED}
    assert kinds == set(protocol_schemas.MESSAGE_TYPES)
    sent = set()
    for line in SENT:
        try:
            sent.add(refusals.strict_parse(line.raw()).get("type"))
        except (ValueError, AttributeError):
            pass  # refused lines that are not one JSON object
    assert set(protocol_schemas.COMMAND_TYPES) <= sent
    codes = {json.loads(line.text).get("code") for line in RECEIVED}
    assert {"invalid-command", "protocol-mismatch", "not-configured"} <= codes
    assert REPLAYS


@pytest.mark.parametrize("line", RECEIVED, ids=line_id)
def test_each_received_line_matches_its_schema_and_key_order(line, schemas):
    message = protocol_schemas.parse(line.text)
    assert schemas.message_errors(message) == []
    assert schemas.key_order_problems(message, f"messages/{message['type']}.json") == []
    # The text is compact JSON: what a compact encoder writes for it.
    assert json.dumps(json.loads(line.text), separators=(",", ":"), ensure_ascii=False) == line.text


@pytest.mark.parametrize("line", SENT, ids=line_id)
def test_each_sent_line_is_accepted_by_the_schema_exactly_when_the_sidecar_accepts_it(line, schemas, start_sidecar):
    refusal = refusals.invalid_command_answer(start_sidecar, line.raw())
    verdict = refusals.schema_verdict(schemas, line.raw())
    if refusal is None:
        assert verdict.accepted, f"the sidecar accepts it, the schema does not: {verdict.reason}"
    else:
        assert not verdict.accepted, f"the sidecar refuses it ({refusal}), the schema accepts it"


@pytest.mark.parametrize("block", REPLAYS, ids=lambda block: f"protocol.md:{block.number}")
def test_replayed_sessions_give_the_documented_lines(block, start_sidecar):
    expected = [line.text for line in block.lines if line.direction == protocol_doc.RECEIVED]
    for text in expected:
        assert json.loads(text)["type"] == "error", "only fixed answers can be replayed"
    sidecar = start_sidecar()
    sidecar.read_line()  # the greeting
    for line in block.lines:
        if line.direction == protocol_doc.SENT:
            sidecar.send(line.raw())
    sidecar.close_input()
    assert sidecar.rest_of_output() == expected
    assert sidecar.wait() == 0


@pytest.mark.parametrize("heading, table, schema, path", [
    ("## 4. The greeting", 0, "messages/hello.json", ()),
    ("### 6.2 `snapshot`", 0, "messages/snapshot.json", ()),
    ("### 6.2 `snapshot`", 1, "messages/snapshot.json", ("processes", "[]")),
    ("### 6.3 `historyChunk`", 0, "messages/historyChunk.json", ()),
    ("### 6.4 `processTable`", 0, "messages/processTable.json", ()),
    ("### 6.5 `error`", 0, "messages/error.json", ()),
])
def test_the_documented_key_tables_list_the_keys_in_wire_order(heading, table, schema, path, schemas):
    assert protocol_doc.key_tables(heading)[table] == schemas.wire_order(schema, *path)
