"""sidecar-watch: a live terminal view of a process tree, built on the client.

::

    sidecar-watch --pid PID              # watch a running tree
    sidecar-watch -- COMMAND [ARGS...]   # run a command and watch its tree
    sidecar-watch plot RECORD -o FILE.svg

The tool itself is in :mod:`.app`; this entry point only turns a missing
third-party module into one plain sentence.  Each module is imported when a
run needs it, so ``--help`` and ``--version`` need neither, and the model
and the tests need only the standard library.
"""

from __future__ import annotations

import sys
from typing import Optional, Sequence

PACKAGES = {"rich": "python3-rich", "matplotlib": "python3-matplotlib"}


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run sidecar-watch; returns the exit status."""
    from .app import run

    try:
        return run(argv)
    except ModuleNotFoundError as exc:
        top = (exc.name or "").split(".")[0]
        if top not in PACKAGES:
            raise
        print(
            f"sidecar-watch: the Python module '{top}' is missing for {sys.executable}; "
            f"install the Debian package {PACKAGES[top]} (or 'pip install {top}' in a virtual environment).",
            file=sys.stderr,
        )
        return 1
