"""``python3 -m sidecar_client.watch``: the same as the ``sidecar-watch`` command."""

from . import main

raise SystemExit(main())
