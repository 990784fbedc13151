"""The terminal pictures of sidecar-watch, as rich renderables.

:func:`live_view` draws the latest snapshot as a table with the process tree
in its first column, per-process figures, sparklines of the recent history,
and the tree's totals in the footer.  :func:`summary_view` draws the whole
watch once it has ended.
"""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Optional, Sequence

from rich.console import Group, RenderableType
from rich.table import Table
from rich.text import Text

from .. import ProcessSample
from .model import UNSEEN, WatchModel, key_of, label_of, total_resident, tree_order

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


def precise_ms(ms: float) -> str:
    """A total to the hundredth of a second: ``850 ms``, ``12.34 s``, else as :func:`human_ms`."""
    return f"{ms / 1000:.2f} s" if 1000 <= ms < 60_000 else human_ms(ms)


def lifetime_text(ms: int) -> str:
    """A lifetime from a start time of whole seconds: whole seconds, ``<1 s`` below one."""
    seconds = ms // 1000
    if seconds < 1:
        return "<1 s"
    if seconds < 60:
        return f"{seconds} s"
    return human_ms(seconds * 1000)


SORTS = ("tree", "cpu", "mem", "pid")
SOURCE_SUFFIXES = (".c", ".cc", ".cpp", ".cxx", ".c++", ".C", ".m", ".mm", ".s", ".S", ".i", ".ii", ".f", ".f90",
                   ".rs", ".go", ".java", ".py", ".cu", ".ts", ".js")
OUTPUT_OPTIONS = ("-o", "-MF", "-MT", "-MQ", "-dumpbase", "-dumpbase-ext", "-dumpdir", "-auxbase", "-auxbase-strip")


@dataclass
class ViewOptions:
    """What the person watching chose: the order of the rows and whether same-name processes fold."""

    sort: str = "tree"
    fold: bool = True


@dataclass
class Row:
    """One row of the live table: a process, or several of one name folded together."""

    guide: str
    samples: list[ProcessSample]
    cpu: list[float] = field(default_factory=list)
    mem: list[float] = field(default_factory=list)

    @property
    def first(self) -> ProcessSample:
        return self.samples[0]

    @property
    def cpu_percent(self) -> Optional[float]:
        known = [p.cpu_percent for p in self.samples if p.cpu_percent is not None]
        return sum(known) if known else None


def build_rows(processes: list[ProcessSample], options: ViewOptions) -> list[Row]:
    """The rows in the chosen order, processes of one name folded where asked.

    In the tree, siblings of one name without children of their own fold;
    sorted by CPU or memory, all processes of one name fold.
    """
    if options.sort == "tree":
        ordered = tree_order(processes, label_of if options.fold else None)
        parents = {p.ppid for p in processes}
        rows: list[Row] = []
        for guide, sample in ordered:
            last = rows[-1] if rows else None
            if (options.fold and last is not None and label_of(last.first) == label_of(sample)
                    and last.first.ppid == sample.ppid and sample.pid not in parents
                    and last.first.pid not in parents):
                last.samples.append(sample)
                last.guide = guide  # the last of the siblings tells whether more follow
                continue
            rows.append(Row(guide, [sample]))
        return rows
    if options.fold and options.sort != "pid":
        groups: dict[str, list[ProcessSample]] = {}
        for sample in processes:
            groups.setdefault(label_of(sample), []).append(sample)
        rows = [Row("", members) for members in groups.values()]
    else:
        rows = [Row("", [p]) for p in processes]
    if options.sort == "cpu":
        rows.sort(key=lambda r: (-(r.cpu_percent or 0.0), -sum(p.cpu_time_ms for p in r.samples)))
    elif options.sort == "mem":
        rows.sort(key=lambda r: -sum(p.resident_bytes for p in r.samples))
    else:
        rows.sort(key=lambda r: r.first.pid)
    return rows


def fitted_label(guide: str, name: str, count: str, width: int) -> Text:
    """Tree guide, name and fold count in ``width`` columns: a deep guide gives way to the name."""
    room = width - len(count) - len(name)
    if len(guide) > room:
        guide = "" if room < 2 else "…" + guide[len(guide) - room + 1:]
    label = Text(guide) + Text(name, style="bold" if not guide else "")
    return label + Text(count, style="bold cyan") if count else label


def arguments_text(sample: ProcessSample, width: int) -> str:
    """A process's arguments in ``width`` columns, its inputs first: the files
    it reads (a compiler's source) ahead of the options, and the end of a
    list too long to fit, which names the work more often than its start."""
    words = sample.command.split()[1:]
    inputs = [w for i, w in enumerate(words)
              if w.endswith(SOURCE_SUFFIXES) and not w.startswith("-")
              and not w.rsplit("/", 1)[-1].startswith(".") and (i == 0 or words[i - 1] not in OUTPUT_OPTIONS)]
    text = " ".join(words)
    if inputs:
        rest = [w for w in words if w not in inputs]
        text = " ".join(inputs) + ("  " + " ".join(rest) if rest else "")
        return text if len(text) <= width else text[: max(0, width - 1)] + "…"
    return text if len(text) <= width else "…" + text[-(width - 1):]


def live_view(
    model: WatchModel,
    *,
    title: str,
    interval_ms: int,
    width: int = 120,
    height: int = 40,
    options: Optional[ViewOptions] = None,
    note: str = "",
) -> RenderableType:
    """The live picture of the latest snapshot of ``model``, made to fit ``width`` x ``height``.

    The numbers come first: the I/O rates, the sparklines and the arguments
    are shown only where the terminal leaves room for them.
    """
    options = options or ViewOptions()
    snapshot = model.latest
    if snapshot is None:
        return Text(f"{title}: waiting for the first sample…")
    rows = build_rows(snapshot.processes, options)
    window = 40
    cpu_total = [p.cpu_percent for p in model.timeline[-window:]]
    mem_total = [float(p.resident_bytes) for p in model.timeline[-window:]]
    for row in rows:
        row.cpu, row.mem = model.recent([key_of(p) for p in row.samples], window)
    cpu_top = max([100.0, *cpu_total])
    mem_top = max(mem_total, default=0.0)
    sampled = time.strftime("%H:%M:%S", time.localtime(snapshot.sampled_at_unix_ms / 1000))
    facts = (f" · {plural(len(snapshot.processes), 'process')} · {sampled} · every {interval_ms / 1000:g} s"
             f" · sort {options.sort}{' · folded' if options.fold else ''}"
             + ("" if model.started_ms is not None else " · CPU time since the watch began"))
    room = max(20, width - len(facts))  # the command's start stays; the facts give way first
    shown_title = title if len(title) <= room else title[: room - 1] + "…"
    header = Text.assemble((shown_title, "bold"), facts, no_wrap=True, overflow="ellipsis")
    header.truncate(width, overflow="ellipsis")
    numbers = 8 + 7 + 7 + 9 + 6  # PID, State, CPU%, CPU time, RSS, each with its gap
    show_io = width - numbers - 16 >= 24  # Read/s and Write/s, when the tree's names keep 24 columns
    rest = width - numbers - (16 if show_io else 0) - 1
    # As wide as the tree's rows need, up to a third of a wide terminal, so deep rows keep their guides.
    needed = max((len(r.guide) + len(label_of(r.first)) + (len(f" ×{len(r.samples)}") if len(r.samples) > 1 else 0)
                  for r in rows), default=14)
    process_width = max(14, min(rest, needed, max(32, width // 3)))
    spare = rest - process_width
    spark_width = min(20, (spare - 2) // 2) if (spare - 2) // 2 >= 8 else 0  # narrower says little
    args_width = spare - (2 * (spark_width + 1) if spark_width else 0) - 2
    show_args = args_width >= 12
    if not show_args:  # what is left goes to the tree
        process_width = max(14, min(rest - (2 * (spark_width + 1) if spark_width else 0), max(needed, process_width)))
    row_rates = [[model.rates(p) for p in row.samples] for row in rows]
    table = Table(show_footer=True, box=None, header_style="bold", footer_style="bold",
                  pad_edge=False, padding=(0, 1, 0, 0))
    rate_total = [sum(r.read for rs in row_rates for r in rs if r), sum(r.write for rs in row_rates for r in rs if r)]
    table.add_column("Process", footer="tree total", no_wrap=True, min_width=14, max_width=process_width,
                     overflow="ellipsis")
    table.add_column("PID", justify="right", no_wrap=True, min_width=7)
    table.add_column("State", no_wrap=True, max_width=6, overflow="ellipsis")
    table.add_column("CPU%", justify="right", no_wrap=True, min_width=6, footer=f"{sum(cpu_total[-1:]):.1f}")  # since the previous sample
    table.add_column("CPU time", justify="right", no_wrap=True, min_width=8,
                     footer=human_ms(model.total_cpu_time_ms))  # as the samples saw it, ended processes too
    table.add_column("RSS", justify="right", no_wrap=True, min_width=5, footer=short_bytes(total_resident(snapshot)))
    if show_io:
        table.add_column("Read/s", justify="right", no_wrap=True, footer=short_bytes(rate_total[0]))
        table.add_column("Write/s", justify="right", no_wrap=True, footer=short_bytes(rate_total[1]))
    if spark_width:
        table.add_column(f"CPU 0–{cpu_top:.0f}%", no_wrap=True, min_width=spark_width,
                         footer=Text(sparkline(cpu_total, spark_width, cpu_top), style="cyan"))
        table.add_column(f"RSS 0–{short_bytes(mem_top)}", no_wrap=True, min_width=spark_width,
                         footer=Text(sparkline(mem_total, spark_width, mem_top), style="magenta"))
    if show_args:
        table.add_column("Arguments", no_wrap=True, overflow="ellipsis", ratio=1)
    fits = max(1, height - 6)  # header, column heads, totals, note, and the cursor's line
    hidden = rows[fits - 1:] if len(rows) > fits else []
    shown = rows[: fits - 1] if hidden else rows
    for row, rates in zip(shown, row_rates):
        first = row.first
        count = len(row.samples)
        cpu = row.cpu[-1] if row.cpu else row.cpu_percent  # from CPU time used since the previous sample
        label = fitted_label(row.guide, label_of(first), f" ×{count}" if count > 1 else "", process_width)
        cells: list[RenderableType] = [
            label,
            str(first.pid) if count == 1 else f"{first.pid}+",
            Text(first.status, style=STATUS_STYLES.get(first.status, "")),
            "–" if cpu is None else f"{cpu:.1f}",
            human_ms(sum(model.cpu_since_watch_began(p) for p in row.samples)),
            short_bytes(sum(p.resident_bytes for p in row.samples)),
        ]
        if show_io:
            known = [r for r in rates if r]
            cells += ["" if not known else short_bytes(sum(r.read for r in known)),
                      "" if not known else short_bytes(sum(r.write for r in known))]
        if spark_width:
            cells += [Text(sparkline(row.cpu, spark_width, cpu_top), style="cyan"),
                      Text(sparkline(row.mem, spark_width, mem_top), style="magenta")]
        if show_args:
            arguments = arguments_text(first, args_width) if count == 1 else f"{count} processes"
            cells.append(Text(arguments, style="dim"))
        table.add_row(*cells)
    if hidden:
        more = sum(len(r.samples) for r in hidden)
        table.add_row(Text(f"… {plural(more, 'more process')}", style="dim"))
    parts: list[RenderableType] = [header, table]
    if note:
        parts.append(Text(note, style="dim", no_wrap=True, overflow="ellipsis"))
    return Group(*parts)


def summary_view(model: WatchModel, *, title: str, status: int = 0, per_process: bool = False,
                 command: bool = True) -> RenderableType:
    """The watch as ``time -v`` would tell it, then a table by program (or by process)
    whose CPU times add up to the total above it."""
    records = model.records
    running = model.running()
    account = model.cpu_account()
    still = [r for k, r in records.items() if k in running]
    facts = Table.grid(padding=(0, 2))
    facts.add_column(style="bold")
    facts.add_column()
    facts.add_row("Watched", title)
    facts.add_row("Wall time", human_ms(model.wall_ms))
    if command:
        facts.add_row("Exit status", str(status))
    if account.exact:
        how = "exact: the kernel's count at each reaping"
        if account.still_running_ms > 0:
            how += f", with {human_ms(account.still_running_ms)} from the last sample of what was not reaped"
    else:
        how = "used since the watch began, as the samples saw it"
    facts.add_row("CPU time", f"{precise_ms(account.total_ms)} ({how}; peak {model.peak_cpu_percent:.0f} % "
                              f"of one processor)")
    facts.add_row("Peak memory", f"{human_bytes(model.peak_resident_bytes)} resident, the whole tree at once")
    facts.add_row("Processes", f"{len(records)} seen, {len(still)} still running"
                  + (": " + ", ".join(f"{label_of(r.last)} ({r.last.pid})" for r in still[:6]) if still else ""))
    table = Table(show_footer=True, header_style="bold", footer_style="bold", caption_justify="left")
    total = precise_ms(account.total_ms)
    if per_process:
        table.add_column("PID", justify="right", footer="tree")
    table.add_column("Process" if per_process else "Program", no_wrap=True, max_width=40, overflow="ellipsis",
                     footer=plural(len(records), "process") if per_process else "tree")
    if per_process:
        table.add_column("Lifetime", justify="right")
    else:
        table.add_column("Count", justify="right", footer=str(len(records)))
    table.add_column("CPU time", justify="right", footer=total)
    table.add_column("Peak resident", justify="right", footer=f"peak {human_bytes(model.peak_resident_bytes)}")
    if per_process:
        table.add_column("Read", justify="right", footer=human_bytes(model.total_read_bytes))
        table.add_column("Written", justify="right", footer=human_bytes(model.total_written_bytes))
        for key, record in sorted(records.items(), key=lambda item: (item[1].last.start_time_ms, item[0])):
            table.add_row(
                str(record.last.pid),
                label_of(record.last),
                lifetime_text(record.lifetime_ms) + (" +" if key in running else ""),
                human_ms(record.measured_cpu_ms),
                human_bytes(record.peak_resident_bytes),
                human_bytes(record.last.io_read_bytes),
                human_bytes(record.last.io_write_bytes),
            )
        caption = "lifetimes to the second (start times have that resolution); '+': still running"
    else:
        for row in account.rows:
            table.add_row(row.label, str(row.processes), human_ms(row.cpu_ms), human_bytes(row.peak_resident_bytes))
        caption = "peak resident: the largest of one process; --processes lists each process"
    if account.exact:
        cells = ["", Text(UNSEEN, style="italic"), "", human_ms(account.unseen_ms), ""]
        table.add_row(*(cells if per_process else cells[1:]), *(["", ""] if per_process else []))
        caption = f"'{UNSEEN}': CPU that no sample saw, used after a process's last sample; " + caption
    else:
        caption = "CPU time since the watch began; " + caption
    table.caption = caption
    return Group(facts, table)
