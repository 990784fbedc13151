"""Exceptions of the sidecar client.

:class:`SidecarError` is the one type for commands the sidecar refused with
an ``error`` line.  The others say that the session itself cannot go on or
took too long: :class:`SidecarClosedError` (the sidecar has ended),
:class:`SidecarProtocolError` (it wrote a line this client cannot read) and
:class:`SidecarTimeoutError`; :class:`SidecarCursorError` refuses a history
cursor of another session.  All derive from :class:`SidecarClientError`.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Mapping, Optional, Union


@dataclass(frozen=True)
class SentCommand:
    """A command as this client sent it.

    Attributes:
        type: the command's ``type``, for example ``"setSampleInterval"``.
        fields: the other keys of the line except ``version``, as sent.
        ordinal: 1 for the first command of the session, then counting up.
    """

    type: str
    fields: Mapping[str, Any] = field(default_factory=dict)
    ordinal: int = 0

    @property
    def request_id(self) -> Optional[str]:
        """The request id of an answered command, else ``None``."""
        value = self.fields.get("requestId")
        return value if isinstance(value, str) else None


class SidecarClientError(Exception):
    """Base class of every exception the client raises on its own."""


class SidecarError(SidecarClientError):
    """The sidecar refused a command with an ``error`` line.

    Attributes:
        code: ``"invalid-command"``, ``"protocol-mismatch"`` or
            ``"not-configured"``.
        message: the sidecar's text.
        recoverable: ``False`` only for ``"protocol-mismatch"``; in every
            case the session goes on and the command had no effect.
        command: the command that was refused.
    """

    def __init__(self, code: str, message: str, recoverable: bool, command: SentCommand) -> None:
        super().__init__(f"{command.type} (command {command.ordinal}) refused: {code}: {message}")
        self.code = code
        self.message = message
        self.recoverable = recoverable
        self.command = command


class SidecarClosedError(SidecarClientError):
    """The sidecar has ended, or the client was closed.

    Attributes:
        returncode: the sidecar's exit status when known, else ``None``
            (negative: ended by that signal).
        stderr: what the sidecar wrote on its standard error (at most one
            ``Error: …`` line), or ``""``.
    """

    def __init__(self, reason: str, returncode: Optional[int] = None, stderr: str = "") -> None:
        text = reason
        if returncode is not None:
            text += f" (exit status {returncode})"
        if stderr:
            text += f": {stderr.strip()}"
        super().__init__(text)
        self.returncode = returncode
        self.stderr = stderr


class SidecarProtocolError(SidecarClientError):
    """The sidecar wrote a line that is not a valid message, or out of turn.

    After it, the client is unusable: every call raises it again.

    Attributes:
        line: the offending line (possibly cut to 200 characters), or ``""``.
    """

    def __init__(self, reason: str, line: Union[bytes, str] = "") -> None:
        if isinstance(line, bytes):
            line = line.decode("utf-8", "replace")
        line = line.rstrip("\r\n")
        if len(line) > 200:
            line = line[:200] + "…"
        super().__init__(f"{reason}: {line!r}" if line else reason)
        self.line = line


class SidecarCursorError(SidecarClientError):
    """A history cursor was given to a session it does not belong to.

    Attributes:
        cursor_session: the session the cursor belongs to.
        session: the session that was asked.
    """

    def __init__(self, message: str, cursor_session: Any, session: Any) -> None:
        super().__init__(message)
        self.cursor_session = cursor_session
        self.session = session


class SidecarTimeoutError(SidecarClientError, TimeoutError):
    """An answer, the greeting or a streamed sample did not come in time.

    A late answer is still taken off the stream when it arrives, so the
    client stays in step with the sidecar.
    """
