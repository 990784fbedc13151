"""Client for the sidecar process monitor.

Start the sidecar, tell it which process tree to watch, and read samples::

    from sidecar_client import SidecarClient

    with SidecarClient("build/sidecar") as sidecar:
        sidecar.configure(root_pid=1234, sample_interval_ms=1000)
        snapshot = sidecar.sample_now()
        for process in snapshot.processes:
            print(process.pid, process.name, process.cpu_percent)

The package is standard library only.  :mod:`sidecar_client.watch` (the
``sidecar-watch`` command) needs ``rich`` and ``matplotlib`` as well.
"""

from .client import SidecarClient
from .cursor import HistoryCursor, HistoryRead, SessionEnd, SessionInfo
from .supervised import RestartEvent, RestartFailedEvent, SupervisedSidecarClient
from .ledger import ANSWERED_COMMANDS, NOT_CONFIGURED_MESSAGES
from .errors import (
    SentCommand,
    SidecarClientError,
    SidecarClosedError,
    SidecarCursorError,
    SidecarError,
    SidecarProtocolError,
    SidecarTimeoutError,
)
from .messages import (
    PROTOCOL_VERSION,
    Capabilities,
    ErrorMessage,
    ExternalProcess,
    Hello,
    HistoryChunk,
    Message,
    ProcessSample,
    ProcessTable,
    ProcessTableEntry,
    Snapshot,
    decode_line,
)

__all__ = [
    "ANSWERED_COMMANDS",
    "NOT_CONFIGURED_MESSAGES",
    "PROTOCOL_VERSION",
    "Capabilities",
    "ErrorMessage",
    "ExternalProcess",
    "Hello",
    "HistoryChunk",
    "HistoryCursor",
    "HistoryRead",
    "Message",
    "ProcessSample",
    "ProcessTable",
    "ProcessTableEntry",
    "RestartEvent",
    "RestartFailedEvent",
    "SentCommand",
    "SessionEnd",
    "SessionInfo",
    "SidecarClient",
    "SidecarClientError",
    "SidecarClosedError",
    "SidecarCursorError",
    "SidecarError",
    "SidecarProtocolError",
    "SidecarTimeoutError",
    "Snapshot",
    "SupervisedSidecarClient",
    "decode_line",
]

__version__ = "0.1.0"
