"""The client against stand-in sidecars that misbehave: it raises a clear
exception instead of hanging or guessing."""

from __future__ import annotations

import time
from typing import Any, Callable

import pytest

from sidecar_client import (
    SidecarClient,
    SidecarClientError,
    SidecarClosedError,
    SidecarProtocolError,
    SidecarTimeoutError,
)


@pytest.mark.parametrize(
    "body, exception, text",
    [
        ("time.sleep(600)\n", SidecarTimeoutError, "greeting"),
        ("out('not json')\ntime.sleep(600)\n", SidecarProtocolError, "not JSON"),
        ("out('{\"version\":3,\"type\":\"error\",\"code\":\"x\",\"message\":\"m\",\"recoverable\":true}')\ntime.sleep(600)\n",
         SidecarProtocolError, "before the greeting"),
        ("sys.stderr.write('Error: cannot start\\n')\nsys.exit(3)\n", SidecarClosedError, r"exit status 3\): Error: cannot start"),
    ],
    ids=["silent", "garbage", "error-first", "exits"],
)
def test_no_greeting(fake_sidecar: Callable[[str], Any], body: str, exception: type, text: str) -> None:
    started = time.monotonic()
    with pytest.raises(exception, match=text):
        SidecarClient(fake_sidecar(body), timeout=1.0)
    assert time.monotonic() - started < 5


ANSWER_R1 = '{"version":3,"type":"processTable","requestId":"r1","processes":[]}'


@pytest.mark.parametrize(
    "answer, text",
    [
        ("[1,2]", "not a JSON object"),
        ('{"version":3,"type":"weird"}', "unknown type"),
        ('{"version":3,"type":"processTable","requestId":"zz","processes":[]}', "out of turn"),
        ('{"version":3,"type":"processTable","requestId":"r1","processes":[{"pid":-1,"ppid":0,"name":"x"}]}', "not an unsigned integer"),
        ('{"version":3,"type":"processTable","requestId":"r1","processes":[{"pid":1.0,"ppid":0,"name":"x"}]}', "not an unsigned integer"),
        ('{"version":3,"type":"processTable","requestId":"r1"}', "missing key 'processes'"),
        ('{"version":3,"type":"error","code":"not-configured","message":"configure must be sent before sampling","recoverable":true}',
         "no outstanding command can cause"),
        ('{"version":4,"type":"processTable","requestId":"r1","processes":[]}', "protocol version 4"),
        ('{"version":3,"type":"hello","sidecarVersion":"0.1.0","sidecarPid":1,"platform":"linux","arch":"x86_64","capabilities":{}}',
         "missing key 'cumulativeCpuTime'"),
    ],
)
def test_invalid_answer_breaks_the_session(fake_sidecar: Callable[[str], Any], answer: str, text: str) -> None:
    path = fake_sidecar(
        f"""
        out(GREETING)
        for line in commands():
            out({answer!r})
        """
    )
    with SidecarClient(path, timeout=5.0) as client:
        with pytest.raises(SidecarProtocolError, match=text):
            client.process_table()
        with pytest.raises(SidecarProtocolError, match=text):  # and stays broken
            client.process_table()


def test_cut_off_line_at_the_end(fake_sidecar: Callable[[str], Any]) -> None:
    path = fake_sidecar(
        """
        out(GREETING)
        next(commands())
        sys.stdout.write('{"version":3,"type":"processTable"')
        """
    )
    with SidecarClient(path) as client:
        with pytest.raises(SidecarProtocolError, match="cut off"):
            client.process_table()


def test_late_answer_keeps_the_client_in_step(fake_sidecar: Callable[[str], Any]) -> None:
    path = fake_sidecar(
        """
        import json
        out(GREETING)
        def answer(number, line):
            request = json.loads(line)
            out(json.dumps({"version": 3, "type": "processTable", "requestId": request["requestId"],
                            "processes": [{"pid": number + 1, "ppid": 0, "name": "p"}]}))
        lines = commands()
        first = next(lines)
        second = next(lines)  # the first is answered only once the client has given up on it
        answer(0, first)
        answer(1, second)
        for number, line in enumerate(lines, start=2):
            answer(number, line)
        """
    )
    with SidecarClient(path) as client:
        with pytest.raises(SidecarTimeoutError):
            client.process_table(timeout=0.3)
        assert [row.pid for row in client.process_table(timeout=60)] == [2]


def test_close_kills_a_sidecar_that_does_not_end(fake_sidecar: Callable[[str], Any]) -> None:
    path = fake_sidecar(
        """
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        out(GREETING)
        for line in commands():
            pass
        time.sleep(600)
        """
    )
    client = SidecarClient(path)
    started = time.monotonic()
    assert client.close(timeout=0.5) == -9
    assert time.monotonic() - started < 5


def test_end_without_shutdown_fails_waiting_calls(fake_sidecar: Callable[[str], Any]) -> None:
    path = fake_sidecar(
        """
        out(GREETING)
        next(commands())
        sys.stderr.write("Error: broken pipe\\n")
        sys.exit(1)
        """
    )
    with SidecarClient(path) as client:
        with pytest.raises(SidecarClosedError, match=r"exit status 1\): Error: broken pipe") as caught:
            client.process_table()
        assert (caught.value.returncode, caught.value.stderr) == (1, "Error: broken pipe\n")
        with pytest.raises(SidecarClosedError):
            client.poll_snapshot(1.0)


def test_writes_to_a_sidecar_that_stops_reading_time_out(fake_sidecar: Callable[[str], Any]) -> None:
    path = fake_sidecar(
        """
        out(GREETING)
        time.sleep(600)  # never reads its input
        """
    )
    client = SidecarClient(path, timeout=0.5)
    started = time.monotonic()
    with pytest.raises(SidecarClientError) as caught:
        for _ in range(100_000):  # far more than a pipe holds
            client.set_streaming(True)
    assert isinstance(caught.value, (SidecarTimeoutError, SidecarClosedError))
    assert time.monotonic() - started < 10
    assert client.close(timeout=0.5) == -9  # it ignores its input ending: killed
