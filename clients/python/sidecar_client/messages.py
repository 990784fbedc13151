"""Typed records of the lines the sidecar writes, and their decoding.

Every record mirrors one JSON object of the wire, field for field and in wire
order; attribute names are the wire keys in snake_case (``startTimeMs``
becomes ``start_time_ms``).  :func:`decode_line` turns one output line into
one of :class:`Hello`, :class:`Snapshot`, :class:`HistoryChunk`,
:class:`ProcessTable` or :class:`ErrorMessage`, checking every key and every
JSON type on the way, so the rest of the client works with values it can
trust and never looks at the text again.

Units, as the sidecar reports them:

* wall-clock times are whole milliseconds since the Unix epoch;
* process start times and run times have whole-second resolution and are
  written as seconds x 1000;
* sizes and I/O counters are bytes;
* CPU usage is percent of *one* processor, so a process keeping two
  processors busy reads about 200.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any, Optional, Union

from .errors import SidecarProtocolError

PROTOCOL_VERSION = 3
"""The protocol version written into every command and every message."""


@dataclass(frozen=True)
class Capabilities:
    """What the sidecar's snapshots carry (all ``True`` in protocol 3).

    Wire object ``capabilities`` of the greeting, keys in this order:
    ``cumulativeCpuTime``, ``currentCpuPercent``, ``residentMemory``,
    ``virtualMemory``, ``ioBytes``, ``processStartTime``, ``processTree``.
    """

    cumulative_cpu_time: bool
    current_cpu_percent: bool
    resident_memory: bool
    virtual_memory: bool
    io_bytes: bool
    process_start_time: bool
    process_tree: bool


@dataclass(frozen=True)
class Hello:
    """The greeting, always the first line the sidecar writes.

    Attributes:
        version: protocol version, 3.
        sidecar_version: the program's version, for example ``"0.1.0"``.
        sidecar_pid: the sidecar's own process id.
        platform: the system it was built for, ``"linux"`` or ``"macos"``.
        arch: the processor architecture, ``"x86_64"`` or ``"aarch64"``.
        capabilities: the kinds of values snapshots carry.
    """

    version: int
    sidecar_version: str
    sidecar_pid: int
    platform: str
    arch: str
    capabilities: Capabilities


@dataclass(frozen=True)
class ExternalProcess:
    """A process named by pid and, optionally, start time.

    Sent in ``configure`` and ``setExternalProcesses``; reported in each
    :class:`Snapshot` for the entries that matched a live process, there
    always with the live process's start time.

    Attributes:
        pid: process id.
        start_time_ms: start time in milliseconds since the Unix epoch, or
            ``None`` for "whatever process holds this pid".  The sidecar
            compares it in whole seconds: a value anywhere inside the
            process's start second matches, any other second does not and
            the process is then silently left out (its pid was reused).
    """

    pid: int
    start_time_ms: Optional[int] = None

    def to_wire(self) -> dict[str, Any]:
        """The wire object: ``{"pid": …, "startTimeMs": …}``."""
        return {"pid": self.pid, "startTimeMs": self.start_time_ms}


@dataclass(frozen=True)
class ProcessSample:
    """One process of one :class:`Snapshot`.

    Attributes:
        pid: process id.
        ppid: parent process id; 0 when the process has no parent.
        start_time_ms: start time, ms since the Unix epoch, whole seconds.
        run_time_ms: time since the start, ms, whole seconds.
        name: process name (at most 1024 bytes of UTF-8).
        command: the arguments joined by single spaces (at most 16384
            bytes); the name when the arguments cannot be read.
        status: status text such as ``"Run"``, ``"Sleep"``, ``"Zombie"``.
        cpu_percent: CPU usage over the time since the previous sample, in
            percent of one processor (may exceed 100); ``None`` when the
            sidecar could not compute a finite value.
        cpu_time_ms: user plus system CPU time since the start, ms.
        resident_bytes: resident memory, bytes.
        virtual_bytes: virtual memory, bytes.
        io_read_bytes: bytes read since the start (see ``io_semantics``).
        io_write_bytes: bytes written since the start.
        io_semantics: what the two I/O counters cover: ``"storage"``
            (storage devices only) or ``"all-io"``.
    """

    pid: int
    ppid: int
    start_time_ms: int
    run_time_ms: int
    name: str
    command: str
    status: str
    cpu_percent: Optional[float]
    cpu_time_ms: int
    resident_bytes: int
    virtual_bytes: int
    io_read_bytes: int
    io_write_bytes: int
    io_semantics: str

    def identity(self) -> ExternalProcess:
        """The pid and start time that name this very process later.

        Give the result to :meth:`SidecarClient.configure` or
        :meth:`SidecarClient.set_external_processes` to keep watching this
        process without risk of following another process that gets its pid.
        """
        return ExternalProcess(self.pid, self.start_time_ms)

    def to_wire(self) -> dict[str, Any]:
        """The wire object, keys in wire order."""
        return {
            "pid": self.pid,
            "ppid": self.ppid,
            "startTimeMs": self.start_time_ms,
            "runTimeMs": self.run_time_ms,
            "name": self.name,
            "command": self.command,
            "status": self.status,
            "cpuPercent": self.cpu_percent,
            "cpuTimeMs": self.cpu_time_ms,
            "residentBytes": self.resident_bytes,
            "virtualBytes": self.virtual_bytes,
            "ioReadBytes": self.io_read_bytes,
            "ioWriteBytes": self.io_write_bytes,
            "ioSemantics": self.io_semantics,
        }


@dataclass(frozen=True)
class Snapshot:
    """One sample of the watched processes.

    Streamed samples and the samples inside a history answer have no
    ``request_id``; the answer to :meth:`SidecarClient.sample_now` has one.

    Attributes:
        version: protocol version, 3.
        sequence: number of the sample in this sidecar's run, from 1; a
            ``sampleNow`` takes a number too, so periodic numbers have gaps.
        sampled_at_unix_ms: wall-clock time at the end of the collection,
            ms since the Unix epoch.
        collection_duration_micros: time the collection took, µs.
        scanned_process_count: processes listed on the system.
        retained_process_count: entries in ``processes``.
        inaccessible_process_count: selected processes that could not be
            sampled.
        request_id: the request id of a ``sampleNow`` answer, else ``None``.
        external_processes: the external processes that matched, each with
            the live process's start time; in no particular order.
        processes: one entry per watched process, sorted by pid (the root
            is therefore not necessarily first).
    """

    version: int
    sequence: int
    sampled_at_unix_ms: int
    collection_duration_micros: int
    scanned_process_count: int
    retained_process_count: int
    inaccessible_process_count: int
    request_id: Optional[str]
    external_processes: list[ExternalProcess]
    processes: list[ProcessSample]

    def process(self, pid: int) -> Optional[ProcessSample]:
        """The sample of ``pid``, or ``None`` when it is not in this snapshot."""
        for sample in self.processes:
            if sample.pid == pid:
                return sample
        return None

    def identity(self, pid: int) -> Optional[ExternalProcess]:
        """Pid and start time of ``pid`` as this snapshot saw it.

        This is how a parent learns the start time it needs to name an
        external process robustly: sample once with the process in view
        (for instance named by pid alone), then name it by the result.
        Returns ``None`` when ``pid`` is not in this snapshot.
        """
        sample = self.process(pid)
        return sample.identity() if sample is not None else None

    def to_wire(self) -> dict[str, Any]:
        """The wire object, keys in wire order; ``requestId`` only when set."""
        wire: dict[str, Any] = {
            "version": self.version,
            "type": "snapshot",
            "sequence": self.sequence,
            "sampledAtUnixMs": self.sampled_at_unix_ms,
            "collectionDurationMicros": self.collection_duration_micros,
            "scannedProcessCount": self.scanned_process_count,
            "retainedProcessCount": self.retained_process_count,
            "inaccessibleProcessCount": self.inaccessible_process_count,
        }
        if self.request_id is not None:
            wire["requestId"] = self.request_id
        wire["externalProcesses"] = [e.to_wire() for e in self.external_processes]
        wire["processes"] = [p.to_wire() for p in self.processes]
        return wire

    def to_json(self) -> str:
        """One compact JSON line (without line feed), as the sidecar writes it."""
        return json.dumps(self.to_wire(), separators=(",", ":"), ensure_ascii=False)


@dataclass(frozen=True)
class HistoryChunk:
    """One message of a ``readHistory`` answer (at most 32 snapshots).

    Attributes:
        version: protocol version, 3.
        request_id: the request id of the ``readHistory`` command.
        done: ``True`` on the last chunk of the answer.
        snapshots: oldest first, none with a request id.
    """

    version: int
    request_id: str
    done: bool
    snapshots: list[Snapshot]


@dataclass(frozen=True)
class ProcessTableEntry:
    """One row of the process table.

    Attributes:
        pid: process id.
        ppid: parent process id; 0 when the process has no parent.
        name: process name (at most 1024 bytes of UTF-8).
    """

    pid: int
    ppid: int
    name: str


@dataclass(frozen=True)
class ProcessTable:
    """The answer to ``processTable``: every process of the system.

    Attributes:
        version: protocol version, 3.
        request_id: the request id of the command.
        processes: sorted by pid; pid 0 is never listed.
    """

    version: int
    request_id: str
    processes: list[ProcessTableEntry]


@dataclass(frozen=True)
class ErrorMessage:
    """A refused command (the wire carries no request id).

    Attributes:
        version: protocol version, 3.
        code: ``"invalid-command"``, ``"protocol-mismatch"`` or
            ``"not-configured"``.
        message: human-readable text.
        recoverable: ``False`` only for ``"protocol-mismatch"``.
    """

    version: int
    code: str
    message: str
    recoverable: bool


Message = Union[Hello, Snapshot, HistoryChunk, ProcessTable, ErrorMessage]
"""Any line the sidecar writes."""


# --- decoding ---------------------------------------------------------------

_U64_MAX = 2**64 - 1


class _BadField(Exception):
    """A key is missing or holds a value of the wrong JSON type."""


def _get(obj: dict[str, Any], key: str) -> Any:
    try:
        return obj[key]
    except KeyError:
        raise _BadField(f"missing key {key!r}") from None


def _uint(obj: dict[str, Any], key: str) -> int:
    value = _get(obj, key)
    if type(value) is not int or not 0 <= value <= _U64_MAX:
        raise _BadField(f"{key!r} is not an unsigned integer: {value!r}")
    return value


def _opt_uint(obj: dict[str, Any], key: str) -> Optional[int]:
    return None if _get(obj, key) is None else _uint(obj, key)


def _str(obj: dict[str, Any], key: str) -> str:
    value = _get(obj, key)
    if type(value) is not str:
        raise _BadField(f"{key!r} is not a string: {value!r}")
    return value


def _bool(obj: dict[str, Any], key: str) -> bool:
    value = _get(obj, key)
    if type(value) is not bool:
        raise _BadField(f"{key!r} is not a boolean: {value!r}")
    return value


def _opt_number(obj: dict[str, Any], key: str) -> Optional[float]:
    value = _get(obj, key)
    if value is None:
        return None
    if type(value) not in (int, float):
        raise _BadField(f"{key!r} is not a number: {value!r}")
    return float(value)


def _objects(obj: dict[str, Any], key: str) -> list[dict[str, Any]]:
    value = _get(obj, key)
    if type(value) is not list or not all(type(v) is dict for v in value):
        raise _BadField(f"{key!r} is not an array of objects")
    return value


def _capabilities(obj: dict[str, Any]) -> Capabilities:
    return Capabilities(
        _bool(obj, "cumulativeCpuTime"),
        _bool(obj, "currentCpuPercent"),
        _bool(obj, "residentMemory"),
        _bool(obj, "virtualMemory"),
        _bool(obj, "ioBytes"),
        _bool(obj, "processStartTime"),
        _bool(obj, "processTree"),
    )


def _hello(obj: dict[str, Any]) -> Hello:
    caps = _get(obj, "capabilities")
    if type(caps) is not dict:
        raise _BadField("'capabilities' is not an object")
    return Hello(
        _uint(obj, "version"),
        _str(obj, "sidecarVersion"),
        _uint(obj, "sidecarPid"),
        _str(obj, "platform"),
        _str(obj, "arch"),
        _capabilities(caps),
    )


def _process_sample(obj: dict[str, Any]) -> ProcessSample:
    return ProcessSample(
        _uint(obj, "pid"),
        _uint(obj, "ppid"),
        _uint(obj, "startTimeMs"),
        _uint(obj, "runTimeMs"),
        _str(obj, "name"),
        _str(obj, "command"),
        _str(obj, "status"),
        _opt_number(obj, "cpuPercent"),
        _uint(obj, "cpuTimeMs"),
        _uint(obj, "residentBytes"),
        _uint(obj, "virtualBytes"),
        _uint(obj, "ioReadBytes"),
        _uint(obj, "ioWriteBytes"),
        _str(obj, "ioSemantics"),
    )


def _snapshot(obj: dict[str, Any]) -> Snapshot:
    if obj.get("type") != "snapshot":
        raise _BadField("a history element is not a snapshot")
    request_id = _str(obj, "requestId") if "requestId" in obj else None
    return Snapshot(
        _uint(obj, "version"),
        _uint(obj, "sequence"),
        _uint(obj, "sampledAtUnixMs"),
        _uint(obj, "collectionDurationMicros"),
        _uint(obj, "scannedProcessCount"),
        _uint(obj, "retainedProcessCount"),
        _uint(obj, "inaccessibleProcessCount"),
        request_id,
        [
            ExternalProcess(_uint(e, "pid"), _opt_uint(e, "startTimeMs"))
            for e in _objects(obj, "externalProcesses")
        ],
        [_process_sample(p) for p in _objects(obj, "processes")],
    )


def _history_chunk(obj: dict[str, Any]) -> HistoryChunk:
    return HistoryChunk(
        _uint(obj, "version"),
        _str(obj, "requestId"),
        _bool(obj, "done"),
        [_snapshot(s) for s in _objects(obj, "snapshots")],
    )


def _process_table(obj: dict[str, Any]) -> ProcessTable:
    return ProcessTable(
        _uint(obj, "version"),
        _str(obj, "requestId"),
        [
            ProcessTableEntry(_uint(e, "pid"), _uint(e, "ppid"), _str(e, "name"))
            for e in _objects(obj, "processes")
        ],
    )


def _error(obj: dict[str, Any]) -> ErrorMessage:
    return ErrorMessage(
        _uint(obj, "version"),
        _str(obj, "code"),
        _str(obj, "message"),
        _bool(obj, "recoverable"),
    )


_DECODERS = {
    "hello": _hello,
    "snapshot": _snapshot,
    "historyChunk": _history_chunk,
    "processTable": _process_table,
    "error": _error,
}


def decode_line(line: Union[bytes, str]) -> Message:
    """Decode one output line (with or without its line feed).

    Keys the record does not know are ignored; every key it knows must be
    present with its JSON type.

    Raises:
        SidecarProtocolError: the line is not UTF-8, not JSON, not an
            object, of an unknown ``type``, or lacks a key or has one of the
            wrong type.
    """
    try:
        obj = json.loads(line)
    except (UnicodeDecodeError, ValueError) as exc:
        raise SidecarProtocolError(f"output line is not JSON ({exc})", line) from None
    if type(obj) is not dict:
        raise SidecarProtocolError("output line is not a JSON object", line)
    kind = obj.get("type")
    decoder = _DECODERS.get(kind) if type(kind) is str else None
    if decoder is None:
        raise SidecarProtocolError(f"output line has an unknown type {kind!r}", line)
    try:
        message = decoder(obj)
    except _BadField as exc:
        raise SidecarProtocolError(f"{kind} line: {exc}", line) from None
    if message.version != PROTOCOL_VERSION:
        raise SidecarProtocolError(f"{kind} line of protocol version {message.version}", line)
    return message
