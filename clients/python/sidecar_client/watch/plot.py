"""The timeline plot of sidecar-watch: the tree's CPU and memory over the watch.

Drawn with matplotlib's object interface (no pyplot, no window): the figure
is rendered by the Agg machinery and saved in the format the file name asks
for (``.svg``, ``.png``, ``.pdf``).
"""

from __future__ import annotations

import os
from typing import Union

import matplotlib

matplotlib.use("Agg")

from matplotlib.figure import Figure  # noqa: E402

from .model import WatchModel  # noqa: E402

MIB = 1024 * 1024
PROCESS_COLOURS = ["tab:orange", "tab:green", "tab:red", "tab:brown", "tab:olive", "tab:cyan", "tab:pink", "tab:gray"]


def write_plot(model: WatchModel, path: Union[str, os.PathLike[str]], *, title: str, top: int = 4) -> None:
    """Write the timeline of ``model`` to ``path``.

    Two panels over the seconds since the first snapshot: the tree's total
    CPU (percent of one processor) and its total resident memory (MiB), each
    with the ``top`` processes of highest peak as thin lines.
    """
    points = model.timeline
    start = points[0].sampled_at_unix_ms if points else 0
    seconds = [(p.sampled_at_unix_ms - start) / 1000 for p in points]
    figure = Figure(figsize=(10, 5.5), layout="constrained")
    cpu_axes, mem_axes = figure.subplots(2, 1, sharex=True)
    cpu_axes.plot(seconds, [p.cpu_percent for p in points], color="tab:blue", linewidth=2, label="tree")
    mem_axes.plot(seconds, [p.resident_bytes / MIB for p in points], color="tab:purple", linewidth=2, label="tree")
    cpu_axes.fill_between(seconds, [p.cpu_percent for p in points], color="tab:blue", alpha=0.15)
    mem_axes.fill_between(seconds, [p.resident_bytes / MIB for p in points], color="tab:purple", alpha=0.15)

    per_process = model.per_process_series()
    for axes, index, scale in ((cpu_axes, 0, 1.0), (mem_axes, 1, 1 / MIB)):
        ranked = sorted(per_process.items(), key=lambda item: -max(v[index] for _, *v in item[1]))
        for colour, (key, series) in zip(PROCESS_COLOURS, ranked[:top]):
            record = model.records[key]
            axes.plot(
                [(t - start) / 1000 for t, *_ in series],
                [v[index] * scale for _, *v in series],
                linewidth=0.9,
                alpha=0.8,
                color=colour,
                label=f"{record.last.name} ({key[0]})",
            )
        axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small", frameon=False)
        axes.grid(alpha=0.3)
        axes.set_ylim(bottom=0)
    cpu_axes.set_ylabel("CPU (% of one processor)")
    mem_axes.set_ylabel("resident memory (MiB)")
    mem_axes.set_xlabel("seconds since the first sample")
    cpu_axes.set_title(title)
    figure.savefig(path)
