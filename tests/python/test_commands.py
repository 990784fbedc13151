"""The command schema against the sidecar's own decoder.

Documented commands are accepted by both. Refused lines are answered with
invalid-command by the sidecar and rejected by the strict reading plus the
schema, except the few refusals that no JSON Schema can express, which are
listed here (and in docs/schema/README.md) with what makes them so.
"""

import json

import pytest

import refusals

ACCEPTED = [
    '{"version":3,"type":"configure","rootPid":4242,"sampleIntervalMs":1000}',
    '{"version":3,"type":"configure","rootPid":4242,"sampleIntervalMs":0,"externalProcesses":[]}',
    '{"version":3,"type":"configure","rootPid":0,"sampleIntervalMs":18446744073709551615,'
    '"externalProcesses":[{"pid":4294967295,"startTimeMs":18446744073709551615},{"pid":7,"startTimeMs":null},'
    '{"pid":8},[9],[10,1796916599000],[11,null]]}',
    '{"version":3,"type":"setExternalProcesses","processes":[{"pid":7,"startTimeMs":1796916599000}]}',
    '{"version":3,"type":"setSampleInterval","sampleIntervalMs":0}',
    '{"version":3,"type":"setStreaming","enabled":false}',
    '{"version":3,"type":"sampleNow","requestId":""}',
    '{"version":3,"type":"sampleNow","requestId":"é \\" ` \\u0000"}',
    '{"version":3,"type":"processTable","requestId":"t1"}',
    '{"version":3,"type":"readHistory","requestId":"h","windowMs":7200000}',
    '{"version":3,"type":"shutdown"}',
    # type anywhere, unknown keys skipped (also inside external processes)
    '{"version":3,"rootPid":1,"type":"shutdown","extra":{"a":[1,2]}}',
    '{"type":"setExternalProcesses","processes":[{"pid":1,"note":"x"}],"version":3}',
    # a version other than 3 decodes; it is refused later, with protocol-mismatch
    '{"version":2,"type":"shutdown"}',
    # the positional form
    '["shutdown",3]',
    '["sampleNow",3,"s1"]',
    '["configure",3,1,1000]',
    '["configure",3,1,1000,[[5],{"pid":6}]]',
    '["readHistory",3,"h",1000]',
]

REFUSED = [
    '{"type":"shutdown"}',
    '{"version":3}',
    '{"version":3,"type":"launch"}',
    '{"version":3,"type":"Shutdown"}',
    '{"version":3,"type":5}',
    '{"version":"3","type":"shutdown"}',
    '{"version":-1,"type":"shutdown"}',
    '{"version":4294967296,"type":"shutdown"}',
    '{"version":3.0,"type":"shutdown"}',
    '{"version":3,"type":"configure","rootPid":1,"sampleIntervalMs":1000.0}',
    '{"version":3,"type":"configure","rootPid":1,"sampleIntervalMs":1e3}',
    '{"version":3,"type":"configure","rootPid":1,"sampleIntervalMs":18446744073709551616}',
    '{"version":3,"type":"configure","rootPid":1}',
    '{"version":3,"type":"configure","rootPid":1,"sampleIntervalMs":0,"externalProcesses":null}',
    '{"version":3,"type":"configure","rootPid":1,"sampleIntervalMs":0,"externalProcesses":[5]}',
    '{"version":3,"type":"configure","rootPid":1,"sampleIntervalMs":0,"externalProcesses":[[1,2,3]]}',
    '{"version":3,"type":"setExternalProcesses","processes":[{"startTimeMs":5}]}',
    '{"version":3,"type":"setExternalProcesses","processes":[{"pid":1,"startTimeMs":-5}]}',
    '{"version":3,"type":"setExternalProcesses"}',
    '{"version":3,"type":"setStreaming","enabled":1}',
    '{"version":3,"type":"setStreaming","enabled":"true"}',
    '{"version":3,"type":"sampleNow","requestId":null}',
    '{"version":3,"type":"sampleNow","requestId":7}',
    '{"version":3,"type":"readHistory","requestId":"r1"}',
    '42',
    '"shutdown"',
    '["shutdown"]',
    '["shutdown",3,4]',
    '[]',
    '{"version":3,"type":"shutdown"} x',
    '{"version":3,"type":"shutdown",}',
    '{"version":3,"type":"shutdown"',
    '\u00a0{"version":3,"type":"shutdown"}',
    b'{"version":3,"type":"sampleNow","requestId":"\xff"}',
]

# Refusals that no JSON Schema can express, and why. The strict reading in
# refusals.strict_parse catches repeated keys and lone surrogates; the others
# pass it.
BEYOND_A_SCHEMA = [
    # a JSON parser hands over one value per key
    ('{"version":3,"type":"shutdown","version":3}', "repeated key"),
    ('{"version":3,"type":"shutdown","type":"shutdown"}', "repeated key"),
    # -0 is a float to the sidecar, the integer 0 to JSON parsers
    ('{"version":3,"type":"configure","rootPid":-0,"sampleIntervalMs":0}', "-0"),
    # a lone surrogate escape is refused by the sidecar, decoded by Python
    ('{"version":3,"type":"sampleNow","requestId":"\\ud800"}', "lone surrogate"),
    # nesting beyond 127 levels, even inside a skipped key
    ('{"version":3,"type":"shutdown","deep":' + "[" * 127 + "]" * 127 + "}", "nesting"),
]


def as_bytes(line):
    return line if isinstance(line, bytes) else line.encode()


@pytest.mark.parametrize("line", ACCEPTED)
def test_documented_commands_are_accepted_by_the_sidecar_and_the_schema(line, schemas, start_sidecar):
    assert refusals.invalid_command_answer(start_sidecar, as_bytes(line)) is None
    verdict = refusals.schema_verdict(schemas, as_bytes(line))
    assert verdict.accepted, verdict.reason


@pytest.mark.parametrize("line", REFUSED)
def test_refused_lines_are_refused_by_the_sidecar_and_the_schema(line, schemas, start_sidecar):
    assert refusals.invalid_command_answer(start_sidecar, as_bytes(line)) is not None
    assert not refusals.schema_verdict(schemas, as_bytes(line)).accepted


@pytest.mark.parametrize("line, why", BEYOND_A_SCHEMA, ids=[why for _, why in BEYOND_A_SCHEMA])
def test_refusals_beyond_a_schema_are_known(line, why, schemas, start_sidecar):
    assert refusals.invalid_command_answer(start_sidecar, as_bytes(line)) is not None
    try:
        command = refusals.strict_parse(as_bytes(line))
    except refusals.RepeatedKey:
        assert why == "repeated key"
        return
    except refusals.LoneSurrogate:
        assert why == "lone surrogate"
        return
    except RecursionError:
        pytest.fail("the strict reading should handle this depth")
    # The schema accepts the value the parser hands over: the gap is real.
    assert schemas.command_errors(command) == [], why


def test_one_level_less_nesting_is_accepted_by_both(schemas, start_sidecar):
    line = ('{"version":3,"type":"shutdown","deep":' + "[" * 126 + "]" * 126 + "}").encode()
    assert refusals.invalid_command_answer(start_sidecar, line) is None
    assert refusals.schema_verdict(schemas, line).accepted


def test_the_documented_commands_cover_every_type():
    types = set()
    for line in ACCEPTED:
        value = json.loads(line)
        types.add(value["type"] if isinstance(value, dict) else value[0])
    assert types == {"configure", "setExternalProcesses", "setSampleInterval", "setStreaming", "sampleNow",
                     "processTable", "readHistory", "shutdown"}
