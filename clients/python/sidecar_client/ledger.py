"""The ledger of sent commands: which command each answer and error belongs to.

The sidecar handles commands strictly one at a time, in order.

* ``sampleNow``, ``processTable`` and ``readHistory`` are always answered:
  by one ``snapshot`` carrying their request id, one ``processTable``, or
  one or more ``historyChunk`` lines of which the last has ``"done":true``;
  or, when refused, by one ``error``.
* ``configure``, ``setExternalProcesses``, ``setSampleInterval``,
  ``setStreaming`` and ``shutdown`` are never acknowledged; they produce a
  line only when refused: one ``error``.
* An ``error`` line carries no request id.
* Streamed snapshots (no request id) come between any two of these lines
  and belong to no command; the client sorts them out before the ledger.

So the ledger keeps the sent commands in order and settles them as lines
arrive:

* an answer belongs to the oldest outstanding answered command, and every
  unacknowledged command ahead of it has been handled and accepted;
* an ``error`` belongs to one of the commands from the front of the queue up
  to and including the oldest answered one (an unacknowledged command's
  error may come at any point before that answer): the first of them that
  can be refused this way.  Which commands can be refused is known when
  they are sent.  A command whose values were checked and that carries
  version 3 is never ``invalid-command`` nor ``protocol-mismatch``; a
  command that needs a configuration is refused with ``not-configured``
  exactly when no ``configure`` was sent before it, because a checked
  ``configure`` is always accepted and a configuration is never removed.
  The ``not-configured`` text names the command type, which must agree.
  An ``error`` that no outstanding command can cause means the client and
  the sidecar disagree, and so does an answer out of turn: both are a
  :class:`SidecarProtocolError`.

Because the refusal of a checked command is certain when it is sent, the
client waits for it in the call that sent the command (``awaited``).  Only
the refusal of an unchecked command can come unexpected; nobody waits for
it, so the ledger keeps it in ``deferred`` until the client raises it.

The ledger does no I/O and takes no locks: the client calls it under its own
lock, from the calling threads (``record``) and the reader thread (the rest).
"""

from __future__ import annotations

from collections import deque
from dataclasses import dataclass, field
from typing import Any, Mapping, Optional, Union

from .errors import SentCommand, SidecarClientError, SidecarError, SidecarProtocolError
from .messages import ErrorMessage, HistoryChunk, ProcessTable, Snapshot

ANSWERED_COMMANDS = frozenset({"sampleNow", "processTable", "readHistory"})
"""Commands that always get an answer line (or an ``error``)."""

NOT_CONFIGURED_MESSAGES = {
    "setExternalProcesses": "configure must be sent before external processes",
    "setSampleInterval": "configure must be sent before changing the sample interval",
    "sampleNow": "configure must be sent before sampling",
    "readHistory": "configure must be sent before reading history",
}
"""The ``not-configured`` text of each command that needs a configuration."""

ALL_CODES = frozenset({"invalid-command", "protocol-mismatch", "not-configured"})

_ANSWER_TYPES = {Snapshot: "sampleNow", ProcessTable: "processTable", HistoryChunk: "readHistory"}

Answer = Union[Snapshot, HistoryChunk, ProcessTable]
"""A line that answers a command (a snapshot here carries a request id)."""


@dataclass(eq=False)
class Outstanding:
    """A sent command and, once settled, its outcome.

    Attributes:
        command: the command as sent.
        answered: whether the command always gets an answer line.
        refusable: the error codes the sidecar can answer it with.
        awaited: a caller waits for its outcome: it is answered, or it is
            a checked command certain to be refused.
        done: settled: ``result`` or ``error`` is final.
        result: a :class:`Snapshot`, a list of snapshots (history) or of
            table rows.
        error: why it failed.
        chunks: the snapshots of a history answer received so far.
    """

    command: SentCommand
    answered: bool
    refusable: frozenset[str] = frozenset()
    awaited: bool = False
    done: bool = False
    result: Any = None
    error: Optional[BaseException] = None
    chunks: list[Snapshot] = field(default_factory=list)


class CommandLedger:
    """The outstanding commands of one session, oldest first."""

    def __init__(self) -> None:
        self.outstanding: deque[Outstanding] = deque()
        self.deferred: deque[SidecarError] = deque()
        self.configure_sent = False
        self._ordinal = 0

    def record(self, kind: str, fields: Mapping[str, Any], *, checked: bool = True) -> Outstanding:
        """Note a command about to be written; commands are recorded in writing order.

        ``checked``: its values were checked for type and range and its
        version is 3, so the sidecar cannot refuse it as invalid.
        """
        if not checked:
            refusable = ALL_CODES
        elif kind in NOT_CONFIGURED_MESSAGES and not self.configure_sent:
            refusable = frozenset({"not-configured"})
        else:
            refusable = frozenset()
        self._ordinal += 1
        answered = kind in ANSWERED_COMMANDS
        awaited = answered or (checked and bool(refusable))
        entry = Outstanding(SentCommand(kind, fields, self._ordinal), answered, refusable, awaited)
        self.outstanding.append(entry)
        if kind == "configure" and checked:
            self.configure_sent = True
        return entry

    def forget(self, entry: Outstanding) -> None:
        """Drop a command that never reached the sidecar."""
        if entry in self.outstanding:
            self.outstanding.remove(entry)

    def settle_answer(self, message: Answer) -> None:
        """Give an answer line to the command it answers.

        Raises:
            SidecarProtocolError: no outstanding command is answered this way next.
        """
        kind = _ANSWER_TYPES[type(message)]
        while self.outstanding and not self.outstanding[0].answered:
            self.outstanding.popleft().done = True  # handled before this answer: accepted
        if not self.outstanding:
            raise SidecarProtocolError(f"an answer ({kind} {message.request_id!r}) to no command")
        entry = self.outstanding[0]
        if entry.command.type != kind or entry.command.request_id != message.request_id:
            raise SidecarProtocolError(
                f"answer {kind} {message.request_id!r} out of turn; expected "
                f"{entry.command.type} {entry.command.request_id!r}"
            )
        if isinstance(message, HistoryChunk):
            entry.chunks.extend(message.snapshots)
            if not message.done:
                return
            entry.result = entry.chunks
        elif isinstance(message, ProcessTable):
            entry.result = message.processes
        else:
            entry.result = message
        entry.done = True
        self.outstanding.popleft()

    def settle_error(self, message: ErrorMessage) -> Outstanding:
        """Tie an ``error`` line to the command it refuses and return that command.

        The error of a command nobody waits for is also kept in ``deferred``.

        Raises:
            SidecarProtocolError: no outstanding command can be refused this way.
        """
        target = None
        for entry in self.outstanding:
            if _may_refuse(entry, message):
                target = entry
                break
            if entry.answered:
                break  # its own answer (or error) comes before any later line
        if target is None:
            raise SidecarProtocolError(
                f"an error ({message.code}: {message.message}) that no outstanding command can cause"
            )
        while (entry := self.outstanding.popleft()) is not target:
            entry.done = True  # handled before the refused command: accepted
        target.error = SidecarError(message.code, message.message, message.recoverable, target.command)
        target.done = True
        if not target.awaited:
            self.deferred.append(target.error)
        return target

    def fail_all(self, error: SidecarClientError, *, unanswered_accepted: bool) -> None:
        """The session has ended: settle every outstanding command.

        ``unanswered_accepted``: the sidecar ended after a ``shutdown``, so
        every unacknowledged command before it was handled and accepted
        (its error would have come before the end).
        """
        while self.outstanding:
            entry = self.outstanding.popleft()
            entry.done = True
            if entry.answered or not unanswered_accepted:
                entry.error = error


def _may_refuse(entry: Outstanding, message: ErrorMessage) -> bool:
    """Whether ``entry`` can be the command refused by ``message``."""
    if message.code not in entry.refusable:
        return False
    if message.code != "not-configured":
        return True
    expected = NOT_CONFIGURED_MESSAGES.get(entry.command.type)
    return message.message == expected or message.message not in NOT_CONFIGURED_MESSAGES.values()
