"""History cursors: where a parent's reading of the history stands, bound to
the session that numbered the samples.

Sequences start again at 1 in every session (every run of the sidecar), so
a bare sequence number kept from an ended session would silently select
the wrong samples (usually none) in the next.  A cursor carries its
session, and a session refuses a cursor of another one.
"""

from __future__ import annotations

import weakref
from dataclasses import dataclass
from typing import Iterable, Optional

from .errors import SidecarCursorError
from .messages import Snapshot


@dataclass(frozen=True)
class SessionInfo:
    """The identity of one session.

    Attributes:
        id: unique among the sessions of this process.
        sidecar_pid: the sidecar's process id in this session.
    """

    id: str
    sidecar_pid: int


@dataclass(frozen=True)
class SessionEnd:
    """How a session ended.

    Attributes:
        returncode: the sidecar's exit status (negative: the signal that
            ended it), or ``None`` when unknown.
        stderr: what it wrote on standard error (at most one ``Error:`` line).
    """

    returncode: Optional[int]
    stderr: str = ""


@dataclass(frozen=True)
class HistoryCursor:
    """A place in one session's history: after the sample ``sequence``.

    Get one from a history read (``history.cursor``) or from
    :meth:`SidecarClient.cursor_after`; pass it as ``after`` to
    :meth:`SidecarClient.read_history`.

    Attributes:
        session: the session whose samples the cursor counts.
        sequence: the last sample already read; 0 before the first.
    """

    session: SessionInfo
    sequence: int


class HistoryRead(list[Snapshot]):
    """The snapshots of a history read, oldest first, with :attr:`cursor`:
    the place after the newest of them (or where the read started, when it
    is empty)."""

    cursor: HistoryCursor

    def __init__(self, snapshots: Iterable[Snapshot], start: HistoryCursor) -> None:
        super().__init__(snapshots)
        self.cursor = start if not self else HistoryCursor(start.session, self[-1].sequence)


def check_cursor(cursor: object, session: SessionInfo) -> HistoryCursor:
    """Return ``cursor`` if it is a cursor of ``session``; raise otherwise."""
    if not isinstance(cursor, HistoryCursor):
        raise TypeError(
            "after must be a HistoryCursor (history.cursor or cursor_after(snapshot)), "
            f"not {type(cursor).__name__}"
        )
    if cursor.session.id != session.id:
        raise SidecarCursorError(
            f"the history cursor belongs to an earlier session (sidecar pid {cursor.session.sidecar_pid}), "
            f"not to the current one (sidecar pid {session.sidecar_pid}), whose sequences start again at 1; "
            "read the current session's history without a cursor to start over",
            cursor.session,
            session,
        )
    return cursor


class Delivered:
    """The snapshots one session gave, held weakly, to place them in its history."""

    def __init__(self) -> None:
        self._by_id: "weakref.WeakValueDictionary[int, Snapshot]" = weakref.WeakValueDictionary()

    def add(self, snapshot: Snapshot) -> Snapshot:
        self._by_id[id(snapshot)] = snapshot
        return snapshot

    def __contains__(self, snapshot: object) -> bool:
        return self._by_id.get(id(snapshot)) is snapshot
