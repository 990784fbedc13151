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


def grouped_series(model: WatchModel) -> dict[str, list[tuple[float, float, float]]]:
    """Per process name: (seconds since the first snapshot, CPU %, resident MiB) summed over
    the processes of that name, at every snapshot of the watch."""
    points = model.timeline
    start = points[0].sampled_at_unix_ms if points else 0
    index = {p.sampled_at_unix_ms: i for i, p in enumerate(points)}
    groups: dict[str, list[list[float]]] = {}
    for key, series in model.per_process_series().items():
        name = model.records[key].last.name
        values = groups.setdefault(name, [[(p.sampled_at_unix_ms - start) / 1000, 0.0, 0.0] for p in points])
        for at, cpu, resident in series:
            values[index[at]][1] += cpu
            values[index[at]][2] += resident / MIB
    return {name: [tuple(v) for v in values] for name, values in groups.items()}  # type: ignore[misc]


def write_plot(model: WatchModel, path: Union[str, os.PathLike[str]], *, title: str, top: int = 4) -> None:
    """Write the timeline of ``model`` to ``path``.

    Two panels over the seconds since the first snapshot: the tree's CPU
    (percent of one processor, from the CPU time used in each interval, so
    that the area under it is the CPU time measured) and its resident
    memory (MiB), each with the ``top`` process names of most CPU time as
    thin lines, one colour per name in both panels.
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
    cpu_axes.step(seconds, [p.cpu_percent for p in points], where="pre", color="tab:blue", linewidth=2,
                  label=f"tree ({model.total_cpu_time_ms / 1000:.1f} s CPU)")
    cpu_axes.fill_between(seconds, [p.cpu_percent for p in points], step="pre", color="tab:blue", alpha=0.15)
    mem_axes.plot(seconds, [p.resident_bytes / MIB for p in points], color="tab:purple", linewidth=2, label="tree")
    mem_axes.fill_between(seconds, [p.resident_bytes / MIB for p in points], color="tab:purple", alpha=0.15)
    cpu_by_name = {name: cpu for name, _, cpu, _ in model.by_name()}
    counts = {name: count for name, count, _, _ in model.by_name()}
    groups = grouped_series(model)
    ranked = sorted(groups, key=lambda name: -cpu_by_name.get(name, 0))[:top]
    for colour, name in zip(PROCESS_COLOURS, ranked):
        series = groups[name]
        label = name if counts[name] == 1 else f"{name} ×{counts[name]}"
        cpu_axes.step([t for t, _, _ in series], [c for _, c, _ in series], where="pre", linewidth=0.9,
                      alpha=0.8, color=colour, label=f"{label} ({cpu_by_name[name] / 1000:.1f} s)")
        mem_axes.plot([t for t, _, _ in series], [m for _, _, m in series], linewidth=0.9, alpha=0.8,
                      color=colour, label=label)
    for axes in (cpu_axes, mem_axes):
        axes.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small", frameon=False)
        axes.grid(alpha=0.3)
        axes.set_ylim(bottom=0)
    cpu_axes.set_ylabel("CPU (% of one processor)")
    mem_axes.set_ylabel("resident memory (MiB)")
    mem_axes.set_xlabel("seconds since the first sample")
    figure.savefig(path)
