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

from .model import UNSEEN, WatchModel, label_of  # noqa: E402

MIB = 1024 * 1024
TREE_COLOUR, TREE_FILL = "black", "tab:blue"
PROCESS_COLOURS = ["tab:orange", "tab:green", "tab:red", "tab:purple", "tab:brown", "tab:olive", "tab:cyan", "tab:pink"]


def grouped_series(model: WatchModel) -> dict[str, list[tuple[float, float, float]]]:
    """Per program: (seconds since the first point, CPU %, resident MiB) summed over
    its processes, at every snapshot of the watch."""
    points = model.timeline
    start = points[0].sampled_at_unix_ms if points else 0
    index = {p.sampled_at_unix_ms: i for i, p in enumerate(points)}
    groups: dict[str, list[list[float]]] = {}
    for key, series in model.per_process_series().items():
        name = label_of(model.records[key].last)
        values = groups.setdefault(name, [[(p.sampled_at_unix_ms - start) / 1000, 0.0, 0.0] for p in points])
        for at, cpu, resident in series:
            values[index[at]][1] += cpu
            values[index[at]][2] += resident / MIB
    return {name: [tuple(v) for v in values] for name, values in groups.items()}  # type: ignore[misc]


def end_text(status: int) -> str:
    if status > 128:
        return f"ended by signal {status - 128}"
    return f"ended, status {status}"


def write_plot(model: WatchModel, path: Union[str, os.PathLike[str]], *, title: str, top: int = 4) -> None:
    """Write the timeline of ``model`` to ``path``.

    Two panels over the seconds since the command started (or the first
    snapshot): the tree's CPU (percent of one processor, from the CPU time
    used in each interval, so that the area under it is the CPU time the
    samples saw) under a line at 100 % times the machine's processors, and
    its resident memory (MiB), each with the ``top`` programs of most CPU
    time as thinner lines, one colour per program in both panels.  The
    legend gives the watch's CPU figures as the summary does, the CPU that no
    sample saw among them, and a vertical line marks the command's end.
    """
    points = model.timeline
    start = points[0].sampled_at_unix_ms if points else 0
    seconds = [(p.sampled_at_unix_ms - start) / 1000 for p in points]
    figure = Figure(figsize=(10, 5.5), layout="constrained")
    cpu_axes, mem_axes = figure.subplots(2, 1, sharex=True)
    cpu_axes.set_title(title)
    if len(points) < 2:
        for axes in (cpu_axes, mem_axes):
            axes.set_axis_off()
        cpu_axes.text(0.5, 0.2, "nothing was measured: the watch saw fewer than two samples",
                      ha="center", va="center", transform=cpu_axes.transAxes)
        figure.savefig(path)
        return
    account = model.cpu_account()
    kind = "CPU" if account.exact else "CPU since the watch began"
    cpu_axes.fill_between(seconds, [p.cpu_percent for p in points], step="pre", color=TREE_FILL, alpha=0.18)
    cpu_axes.step(seconds, [p.cpu_percent for p in points], where="pre", color=TREE_COLOUR, linewidth=1.6,
                  label=f"tree ({account.total_ms / 1000:.1f} s {kind})")
    mem_axes.fill_between(seconds, [p.resident_bytes / MIB for p in points], color=TREE_FILL, alpha=0.18)
    mem_axes.plot(seconds, [p.resident_bytes / MIB for p in points], color=TREE_COLOUR, linewidth=1.6, label="tree")
    cpu_axes.axhline(100 * model.cores, color="gray", linestyle=":", linewidth=1.2,
                     label=f"{model.cores} processors ({100 * model.cores} %)")
    groups = grouped_series(model)
    for colour, row in zip(PROCESS_COLOURS, [r for r in account.rows if r.label in groups][:top]):
        series = groups[row.label]
        label = row.label if row.processes == 1 else f"{row.label} ×{row.processes}"
        cpu_axes.step([t for t, _, _ in series], [c for _, c, _ in series], where="pre", linewidth=1.0,
                      color=colour, label=f"{label} ({row.cpu_ms / 1000:.1f} s)")
        mem_axes.plot([t for t, _, _ in series], [m for _, _, m in series], linewidth=1.0, color=colour, label=label)
    if account.exact:
        cpu_axes.plot([], [], " ", label=f"{UNSEEN} ({account.unseen_ms / 1000:.1f} s)")
    if model.end is not None:
        for axes in (cpu_axes, mem_axes):
            axes.axvline((model.end.at_unix_ms - start) / 1000, color="tab:red", linestyle="--", linewidth=1.0,
                         label=end_text(model.end.status) if axes is cpu_axes else None)
    for axes in (cpu_axes, mem_axes):
        axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small", frameon=False)
        axes.grid(alpha=0.3)
        axes.set_ylim(bottom=0)
    cpu_axes.set_ylabel("CPU (% of one processor)")
    mem_axes.set_ylabel("resident memory (MiB)")
    mem_axes.set_xlabel("seconds since the command started" if model.started_ms is not None
                        else "seconds since the first sample")
    figure.savefig(path)
