"""The record that ``--record`` writes and ``plot`` reads back.

JSON lines: every snapshot in the sidecar's own form, framed by a first line
of the watch's own (``"type":"watchStart"``: the command, the machine's
processor count, when the command started) and, once it has ended, a last
one (``"type":"watchEnd"``: its status or signal, when it was reaped, and
the kernel's CPU counts of the processes the watcher reaped).  A reader
rebuilds the same :class:`~.model.WatchModel`, so the plot of a record
shows the figures the watch showed.
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Optional

from .. import Snapshot, decode_line
from .model import WatchModel

START, END = "watchStart", "watchEnd"


def start_line(model: WatchModel) -> str:
    return json.dumps({"type": START, "command": model.command, "cores": model.cores,
                       "startedUnixMs": model.started_ms}, separators=(",", ":"))


def end_line(model: WatchModel) -> str:
    end = model.end
    fields: dict[str, object] = {"type": END}
    if end is not None:
        fields["endedUnixMs"] = end.at_unix_ms
        if end.status > 128:
            fields["signal"] = end.status - 128
        fields["status"] = end.status
    fields["reapedCpuMs"] = {str(pid): round(ms, 3) for pid, ms in model.reaped_cpu_ms.items()}
    return json.dumps(fields, separators=(",", ":"))


class RecordError(ValueError):
    pass


def read_record(path: Path) -> WatchModel:
    """The model of a recorded watch.

    Raises:
        OSError: the file cannot be read.
        RecordError: a line is neither a snapshot nor one of the watch's own.
    """
    model = WatchModel()
    ended: Optional[dict[str, object]] = None
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            kind = None
            try:
                fields = json.loads(line)
                kind = fields.get("type") if isinstance(fields, dict) else None
            except ValueError:
                pass
            if kind == START:
                model = WatchModel(started_ms=fields.get("startedUnixMs"), command=fields.get("command"),
                                   cores=fields.get("cores"))
                continue
            if kind == END:
                ended = fields
                continue
            try:
                message = decode_line(line)
            except ValueError as exc:
                raise RecordError(f"{path}:{number}: {exc}") from None
            if not isinstance(message, Snapshot):
                raise RecordError(f"{path}:{number}: not a snapshot")
            model.add(message)
    if ended is not None:
        for pid, ms in dict(ended.get("reapedCpuMs") or {}).items():
            model.reaped(int(pid), float(ms))
        if "status" in ended and "endedUnixMs" in ended:
            model.finish(int(ended["status"]), int(ended["endedUnixMs"]))  # type: ignore[call-overload]
    return model
