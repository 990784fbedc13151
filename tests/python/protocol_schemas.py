"""The JSON Schemas of docs/schema/, loaded for validation and key order.

Lines are parsed with numbers that carry a fraction or an exponent kept as
Decimal, not float: JSON Schema counts 1000.0 as an integer, the sidecar
does not, and a Decimal is no integer to the validator either.
"""

import decimal
import json
import pathlib
import urllib.parse

import jsonschema
from jsonschema import Draft202012Validator

COMMAND_TYPES = (
    "configure",
    "setExternalProcesses",
    "setSampleInterval",
    "setStreaming",
    "sampleNow",
    "processTable",
    "readHistory",
    "shutdown",
)
MESSAGE_TYPES = ("hello", "snapshot", "historyChunk", "processTable", "error")


def parse(line):
    """One JSON line, with non-integral numbers as Decimal and keys in order."""
    return json.loads(line, parse_float=decimal.Decimal)


class SchemaSet:
    """Every schema file under one folder, keyed by its file URI."""

    def __init__(self, folder):
        self.folder = pathlib.Path(folder).resolve()
        self.store = {}
        for path in sorted(self.folder.rglob("*.json")):
            self.store[path.as_uri()] = json.loads(path.read_text())
        for uri, schema in self.store.items():
            Draft202012Validator.check_schema(schema)
        self._validators = {}

    def uri(self, relative):
        return (self.folder / relative).as_uri()

    def validator(self, relative):
        uri = self.uri(relative)
        if uri not in self._validators:
            schema = self.store[uri]
            resolver = jsonschema.RefResolver(base_uri=uri, referrer=schema, store=self.store)
            self._validators[uri] = Draft202012Validator(schema, resolver=resolver)
        return self._validators[uri]

    def errors(self, relative, instance):
        return [error.message for error in self.validator(relative).iter_errors(instance)]

    def message_errors(self, message):
        """Problems of one output message against the umbrella and its own schema."""
        problems = self.errors("messages/message.json", message)
        kind = message.get("type") if isinstance(message, dict) else None
        if kind in MESSAGE_TYPES:
            problems += self.errors(f"messages/{kind}.json", message)
        else:
            problems.append(f"unknown message type {kind!r}")
        return problems

    def command_errors(self, command):
        return self.errors("commands/command.json", command)

    # Key order -------------------------------------------------------------

    def _deref(self, node, base):
        while isinstance(node, dict) and "$ref" in node:
            target = urllib.parse.urljoin(base, node["$ref"])
            base, _, fragment = target.partition("#")
            node = self.store[base]
            for part in filter(None, fragment.split("/")):
                node = node[part]
        return node, base

    def key_order_problems(self, instance, relative):
        """Places where the keys of `instance` (a parsed line) are not in the
        order of the schema's `properties`, which list them in wire order."""
        problems = []
        self._check_order(instance, self.store[self.uri(relative)], self.uri(relative), "$", problems)
        return problems

    def _check_order(self, value, node, base, path, problems):
        node, base = self._deref(node, base)
        if isinstance(value, dict) and "properties" in node:
            order = list(node["properties"])
            keys = list(value)
            expected = [key for key in order if key in value]
            if keys != expected:
                problems.append(f"{path}: keys {keys}, documented order {expected}")
            for key, item in value.items():
                if key in node["properties"]:
                    self._check_order(item, node["properties"][key], base, f"{path}.{key}", problems)
        elif isinstance(value, list) and "items" in node:
            for index, item in enumerate(value):
                self._check_order(item, node["items"], base, f"{path}[{index}]", problems)

    def wire_order(self, relative, *path):
        """The documented key order of a schema, or of a nested object in it
        reached through property names ('[]' steps into array items)."""
        node, base = self._deref(self.store[self.uri(relative)], self.uri(relative))
        for step in path:
            node = node["items"] if step == "[]" else node["properties"][step]
            node, base = self._deref(node, base)
        return list(node["properties"])
