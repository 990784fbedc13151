"""sidecar --help and --version, and every other argument ignored."""

import json
import subprocess

import pytest

from sidecar_process import STEP_TIMEOUT, sidecar_binary

VERSION_LINE = "sidecar 0.1.0 (protocol version 3)\n"


def run(*args):
    return subprocess.run([str(sidecar_binary()), *args], stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=STEP_TIMEOUT, check=False)


@pytest.mark.parametrize("args, help_text", [
    (["--version"], False),
    (["--version", "--help"], False),
    (["--help"], True),
    (["--help", "--version"], True),
    (["--help", "anything", "else"], True),
])
def test_an_exact_first_argument_prints_its_text_and_exits_0(args, help_text):
    result = run(*args)
    assert result.returncode == 0
    assert result.stderr == b""
    text = result.stdout.decode()
    if help_text:
        assert text.startswith(VERSION_LINE) and len(text) > len(VERSION_LINE)
        assert "docs/protocol.md" in text and "share/doc/sidecar/protocol.md" in text
    else:
        assert text == VERSION_LINE


def test_the_version_line_agrees_with_the_greeting():
    greeting = json.loads(run().stdout.decode().splitlines()[0])
    assert VERSION_LINE == f"sidecar {greeting['sidecarVersion']} (protocol version {greeting['version']})\n"


@pytest.mark.parametrize("args", [["-h"], ["-V"], ["help"], ["--HELP"], ["x", "--help"], ["--verbose"], [""]])
def test_other_arguments_are_ignored_and_a_session_runs(args):
    result = run(*args)
    assert result.returncode == 0
    lines = result.stdout.decode().splitlines()
    assert len(lines) == 1 and json.loads(lines[0])["type"] == "hello"
