"""The terminal pictures of sidecar-watch, as rich renderables.

:func:`live_view` draws the latest snapshot as a table with the process tree
in its first column, per-process figures, sparklines of the recent history,
and the tree's totals in the footer.  :func:`summary_view` draws the whole
watch once it has ended.
"""

from __future__ import annotations

import time
from typing import Iterable, Optional, Sequence

from rich.console import Group, RenderableType
from rich.table import Table
from rich.text import Text

from .. import Snapshot
from .model import ProcessKey, WatchModel, key_of, total_cpu, total_resident, tree_order

SPARK = "▁▂▃▄▅▆▇█"

STATUS_STYLES = {"Run": "green", "Sleep": "dim", "Zombie": "red", "Stop": "yellow", "Dead": "red"}


def sparkline(values: Sequence[float], width: int, top: Optional[float] = None) -> str:
    """The last ``width`` values as block characters, scaled to ``top`` (default: their maximum)."""
    values = list(values)[-width:]
    if not values:
        return ""
    top = max(values) if top is None else top
    if top <= 0:
        return SPARK[0] * len(values)
    return "".join(SPARK[min(len(SPARK) - 1, int(v / top * (len(SPARK) - 1) + 0.5))] for v in values)


def plural(count: int, noun: str) -> str:
    """``1 process``, ``2 processes``."""
    return f"{count} {noun}" if count == 1 else f"{count} {noun}{'es' if noun.endswith('s') else 's'}"


def human_bytes(count: float) -> str:
    """Bytes in binary units: ``512 B``, ``3.4 MiB``."""
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if abs(count) < 1024 or unit == "TiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024
    raise AssertionError("unreachable")


def short_bytes(count: float) -> str:
    """Bytes in at most five characters for the live table: ``512B``, ``3.4M``, ``120M``."""
    for unit in ("B", "K", "M", "G", "T"):
        if abs(count) < 1000 or unit == "T":
            if unit == "B":
                return f"{count:.0f}B"
            return f"{count:.1f}{unit}" if abs(count) < 10 else f"{count:.0f}{unit}"
        count /= 1024
    raise AssertionError("unreachable")


def human_ms(ms: float) -> str:
    """A duration: ``850 ms``, ``12.3 s``, ``4m05s``, ``2h03m``."""
    if ms < 1000:
        return f"{ms:.0f} ms"
    seconds = ms / 1000
    if seconds < 60:
        return f"{seconds:.1f} s"
    minutes, seconds = divmod(int(seconds), 60)
    if minutes < 60:
        return f"{minutes}m{seconds:02d}s"
    hours, minutes = divmod(minutes, 60)
    return f"{hours}h{minutes:02d}m"


def history_series(history: Iterable[Snapshot]) -> tuple[dict[ProcessKey, list[float]], dict[ProcessKey, list[float]], list[float], list[float]]:
    """Per-process and tree-total series of CPU % and resident bytes, oldest first.

    A process absent from a snapshot of the window counts 0 there, so all
    series of one window line up.
    """
    history = list(history)
    cpu: dict[ProcessKey, list[float]] = {}
    mem: dict[ProcessKey, list[float]] = {}
    for index, snapshot in enumerate(history):
        for sample in snapshot.processes:
            key = key_of(sample)
            cpu.setdefault(key, [0.0] * index).append(sample.cpu_percent or 0.0)
            mem.setdefault(key, [0.0] * index).append(float(sample.resident_bytes))
        for series in (cpu, mem):
            for values in series.values():
                values.extend([0.0] * (index + 1 - len(values)))
    return cpu, mem, [total_cpu(s) for s in history], [float(total_resident(s)) for s in history]


def live_view(
    model: WatchModel,
    history: Sequence[Snapshot],
    *,
    title: str,
    interval_ms: int,
    spark_width: int = 20,
    note: str = "",
) -> RenderableType:
    """The live picture of the latest snapshot of ``model``."""
    snapshot = model.latest
    if snapshot is None:
        return Text(f"{title}: waiting for the first sample…")
    cpu_series, mem_series, cpu_total, mem_total = history_series(history)
    rows = tree_order(snapshot.processes)
    cpu_top = max([100.0, *cpu_total])
    sampled = time.strftime("%H:%M:%S", time.localtime(snapshot.sampled_at_unix_ms / 1000))
    header = Text.assemble(
        (title if len(title) <= 48 else "…" + title[-47:], "bold"),  # the end names the work
        f"  ·  {plural(len(rows), 'process')}  ·  sample {snapshot.sequence} at {sampled}",
        f"  ·  every {interval_ms / 1000:g} s",
    )
    row_rates = [model.rates(p) for _, p in rows]
    table = Table(show_footer=True, box=None, header_style="bold", footer_style="bold",
                  pad_edge=False, padding=(0, 1, 0, 0))
    rate_total = [sum(r.read for r in row_rates if r), sum(r.write for r in row_rates if r)]
    table.add_column("Process", footer="tree total", no_wrap=True, min_width=10, max_width=32, overflow="ellipsis")
    table.add_column("PID", justify="right", no_wrap=True)
    table.add_column("State", no_wrap=True, max_width=7, overflow="ellipsis")
    table.add_column("CPU%", justify="right", no_wrap=True, footer=f"{total_cpu(snapshot):.1f}")
    table.add_column("CPU time", justify="right", no_wrap=True, footer=human_ms(sum(p.cpu_time_ms for _, p in rows)))
    table.add_column("RSS", justify="right", no_wrap=True, footer=short_bytes(total_resident(snapshot)))
    table.add_column("Read/s", justify="right", no_wrap=True, footer=short_bytes(rate_total[0]))
    table.add_column("Write/s", justify="right", no_wrap=True, footer=short_bytes(rate_total[1]))
    table.add_column("CPU trend", no_wrap=True, footer=Text(sparkline(cpu_total, spark_width, cpu_top), style="cyan"))
    table.add_column("RSS trend", no_wrap=True, footer=Text(sparkline(mem_total, spark_width), style="magenta"))
    for (guide, sample), rates in zip(rows, row_rates):
        key = key_of(sample)
        cpu = "–" if sample.cpu_percent is None else f"{sample.cpu_percent:.1f}"
        table.add_row(
            Text(guide) + Text(sample.name, style="bold" if not guide else ""),
            str(sample.pid),
            Text(sample.status, style=STATUS_STYLES.get(sample.status, "")),
            cpu,
            human_ms(sample.cpu_time_ms),
            short_bytes(sample.resident_bytes),
            "" if rates is None else short_bytes(rates.read),
            "" if rates is None else short_bytes(rates.write),
            Text(sparkline(cpu_series.get(key, []), spark_width, cpu_top), style="cyan"),
            Text(sparkline(mem_series.get(key, []), spark_width, max(mem_total, default=0.0)), style="magenta"),
        )
    parts: list[RenderableType] = [header, table]
    if note:
        parts.append(Text(note, style="dim"))
    return Group(*parts)


def summary_view(model: WatchModel, *, title: str) -> RenderableType:
    """Every process seen, with its lifetime and totals, and the tree's peak and total."""
    table = Table(title=title, show_footer=True, header_style="bold", footer_style="bold")
    table.add_column("PID", justify="right", footer="tree")
    table.add_column("Process", no_wrap=True, max_width=40, overflow="ellipsis",
                     footer=plural(len(model.records), "process"))
    table.add_column("Lifetime", justify="right")
    table.add_column("CPU time", justify="right", footer=human_ms(model.total_cpu_time_ms))
    table.add_column("Peak resident", justify="right", footer=f"peak {human_bytes(model.peak_resident_bytes)}")
    table.add_column("Read", justify="right", footer=human_bytes(model.total_read_bytes))
    table.add_column("Written", justify="right", footer=human_bytes(model.total_written_bytes))
    ended = ("Zombie", "Dead")
    latest = {key_of(p) for p in model.latest.processes if p.status not in ended} if model.latest else set()
    for key, record in sorted(model.records.items(), key=lambda item: (item[1].last.start_time_ms, item[0])):
        lifetime = human_ms(record.lifetime_ms) + ("" if key not in latest else " +")
        table.add_row(
            str(record.last.pid),
            record.last.name,
            lifetime,
            human_ms(record.last.cpu_time_ms),
            human_bytes(record.peak_resident_bytes),
            human_bytes(record.last.io_read_bytes),
            human_bytes(record.last.io_write_bytes),
        )
    caption = f"peak CPU of the tree {model.peak_cpu_percent:.1f} % of one processor; '+': still running"
    table.caption = caption
    return table
