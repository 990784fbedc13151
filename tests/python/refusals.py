"""Whether the sidecar and the command schema accept one input line.

The sidecar's verdict comes from a fresh sidecar that gets the line and then
a fence, a line of protocol version 0 that is always answered with a
protocol-mismatch error: an invalid-command error before the fence belongs
to the line.

The schema's verdict comes from a strict reading of the line (UTF-8, one JSON
value, no repeated keys, non-integral numbers kept apart from integers) and
then the command schema. Some refusals no schema can express; they are
listed in docs/schema/README.md and tested in test_commands.py.
"""

import dataclasses
import decimal
import json

FENCE = b'{"version":0,"type":"shutdown"}'
FENCE_ANSWER = "unsupported protocol version 0; expected 3"


def invalid_command_answer(start_sidecar, raw):
    """The invalid-command message the sidecar answers `raw` with, or None."""
    sidecar = start_sidecar()
    sidecar.read_line()  # the greeting
    sidecar.send(raw)
    sidecar.send(FENCE)
    sidecar.close_input()
    for line in sidecar.rest_of_output():
        message = json.loads(line)
        if message["type"] != "error":
            continue
        if message["message"] == FENCE_ANSWER:
            return None
        if message["code"] == "invalid-command":
            return message["message"]
    return None  # an accepted shutdown ends the session before the fence


class RepeatedKey(ValueError):
    pass


class LoneSurrogate(ValueError):
    pass


def _no_repeated_keys(pairs):
    keys = [key for key, _ in pairs]
    for key in keys:
        if keys.count(key) > 1:
            raise RepeatedKey(f"key {key!r} given twice")
    return dict(pairs)


def _no_lone_surrogates(value):
    """Raises ValueError when a string of `value` holds a UTF-16 surrogate that
    no escape pairs up (json decodes "\\ud800" to one; the sidecar refuses it)."""
    if isinstance(value, str):
        if any("\ud800" <= char <= "\udfff" for char in value):
            raise LoneSurrogate("a lone surrogate escape")
    elif isinstance(value, dict):
        for key, item in value.items():
            _no_lone_surrogates(key)
            _no_lone_surrogates(item)
    elif isinstance(value, list):
        for item in value:
            _no_lone_surrogates(item)


def strict_parse(raw):
    """The one JSON value of an input line; raises ValueError when there is none."""
    text = raw.decode("utf-8")  # UnicodeDecodeError is a ValueError
    value = json.loads(text, parse_float=decimal.Decimal, object_pairs_hook=_no_repeated_keys)
    _no_lone_surrogates(value)
    return value


@dataclasses.dataclass
class Verdict:
    accepted: bool
    reason: str


def schema_verdict(schemas, raw):
    try:
        command = strict_parse(raw)
    except ValueError as error:
        return Verdict(False, f"not one JSON value: {error}")
    problems = schemas.command_errors(command)
    return Verdict(not problems, "; ".join(problems))
