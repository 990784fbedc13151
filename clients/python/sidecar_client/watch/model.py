"""What sidecar-watch remembers of a watch: every process seen, the tree's
totals over time, and the figures derived from consecutive snapshots.

Plain data, no terminal and no plotting: :mod:`.view` and :mod:`.plot` draw
it.  A process is known by its pid and start time, so a pid that is reused
during the watch counts as another process.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, replace
from typing import Callable, Optional

from .. import ProcessSample, Snapshot

ProcessKey = tuple[int, int]
"""(pid, start time in ms): one process, safe against pid reuse."""


NAME_CUT = 15
"""Linux keeps 15 bytes of a process's name: a longer program's name is cut."""

UNSEEN = "after the last sample"
"""The per-program row of CPU time that no sample saw."""


def key_of(sample: ProcessSample) -> ProcessKey:
    return (sample.pid, sample.start_time_ms)


def label_of(sample: ProcessSample) -> str:
    """What a person calls the process: its program as its command line names it.

    The sidecar takes a process's name once, when it first sees it, and Linux
    keeps 15 bytes of it; a process seen between its fork and its ``exec``
    keeps its parent's name (``bash``, ``env``), and ``x86_64-linux-gnu-g++-12``
    is cut.  The program named by the command line is used instead where
    the two differ; a process without arguments (a kernel thread) keeps
    its name.
    """
    if not sample.command or sample.command == sample.name:
        return sample.name
    words = sample.command.split(" ", 2)[:2]  # the program, and a script it runs
    programs = [os.path.basename(word).rstrip(":") for word in words]
    if any(program.startswith(sample.name) for program in programs if program):
        return sample.name if len(sample.name) < NAME_CUT else next(p for p in programs if p.startswith(sample.name))
    return programs[0] or sample.name


@dataclass
class ProcessRecord:
    """One process over the whole watch.

    Attributes:
        first_seen_ms, last_seen_ms: ``sampled_at_unix_ms`` of the first and
            the last snapshot that listed it.
        last: its sample in the last snapshot that listed it.
        peak_resident_bytes: the largest resident memory seen, bytes.
        cpu_before_ms: CPU time it had used before the watch began: what it
            showed in the watch's first snapshot, 0 for a process that
            appeared later.
    """

    first_seen_ms: int
    last_seen_ms: int
    last: ProcessSample
    peak_resident_bytes: int
    cpu_before_ms: int = 0

    @property
    def lifetime_ms(self) -> int:
        """From its start to the last snapshot that saw it, ms.

        Start times have whole-second resolution, so this is good to a second.
        """
        return max(0, self.last_seen_ms - self.last.start_time_ms)

    @property
    def measured_cpu_ms(self) -> int:
        """CPU time it used while the watch saw it, ms."""
        return max(0, self.last.cpu_time_ms - self.cpu_before_ms)


@dataclass(frozen=True)
class TimelinePoint:
    """The tree's totals in one snapshot.

    ``cpu_percent`` is the CPU time the tree used since the previous
    snapshot, as a percentage of one processor over that interval, so that
    the area under the curve is the CPU time measured.
    """

    sampled_at_unix_ms: int
    cpu_percent: float
    resident_bytes: int
    processes: int


@dataclass(frozen=True)
class ProgramRow:
    """One program of the watch: processes of one label, the CPU time the
    samples saw them use (ms), and the largest resident memory of one of them."""

    label: str
    processes: int
    cpu_ms: float
    peak_resident_bytes: int


@dataclass(frozen=True)
class CpuAccount:
    """The CPU time of the whole watch and the per-program rows that add up to it.

    ``exact`` when the watcher started the command and it has ended: then
    ``total_ms`` is what the kernel counted for every process it reaped (the
    command with every descendant that was waited for, and every orphan),
    plus ``still_running_ms``, what the processes still there at the end
    had used by the last sample; ``unseen_ms``, the CPU of the reaped ones
    that no sample saw (used after their last sample, or by processes too
    short to be sampled), is the last row.  Otherwise (``--pid``) every
    figure is the CPU time used since the watch began, from the samples.
    """

    total_ms: float
    rows: list[ProgramRow]
    unseen_ms: float
    still_running_ms: float
    exact: bool


@dataclass(frozen=True)
class End:
    """How the watched command ended: its shell status, and when (Unix ms)."""

    status: int
    at_unix_ms: int


@dataclass(frozen=True)
class Rates:
    """Bytes per second read and written since the previous snapshot."""

    read: float
    write: float


def total_cpu(snapshot: Snapshot) -> float:
    """Sum of the CPU percentages of a snapshot (percent of one processor)."""
    return sum(p.cpu_percent or 0.0 for p in snapshot.processes)


def total_resident(snapshot: Snapshot) -> int:
    """Sum of the resident memory of a snapshot, bytes."""
    return sum(p.resident_bytes for p in snapshot.processes)


def cpu_used_ms(sample: ProcessSample, before: Optional[ProcessSample], first_snapshot: bool) -> int:
    """CPU time ``sample``'s process used since the previous snapshot, ms.

    A process new since then used all it shows in that interval; in the
    watch's first snapshot there is no interval, so nothing is counted.
    """
    if first_snapshot:
        return 0
    if before is None or key_of(before) != key_of(sample):
        return max(0, sample.cpu_time_ms)
    return max(0, sample.cpu_time_ms - before.cpu_time_ms)


class WatchModel:
    """Folds snapshots, in the order they were taken, into the watch's record.

    ``ignored_pids`` are left out of every snapshot: the watcher itself and
    its sidecar when the tree is rooted at the watcher.  ``started_ms``, when
    the watcher started the command itself, is when: the first snapshot's
    interval then begins there, so the CPU time the command used before it
    counts too.
    """

    def __init__(self, ignored_pids: frozenset[int] = frozenset(), started_ms: Optional[int] = None,
                 *, command: Optional[list[str]] = None, cores: Optional[int] = None) -> None:
        self.ignored_pids = ignored_pids
        self.started_ms = started_ms
        self.command = command
        self.cores = cores or os.cpu_count() or 1
        self.reaped_cpu_ms: dict[int, float] = {}
        self.end: Optional[End] = None
        self.records: dict[ProcessKey, ProcessRecord] = {}
        self.timeline: list[TimelinePoint] = []
        self.latest: Optional[Snapshot] = None
        self._previous: Optional[Snapshot] = None
        self._previous_by_pid: dict[int, ProcessSample] = {}
        self._series: dict[ProcessKey, list[tuple[int, float, int]]] = {}
        self._series_at: dict[ProcessKey, dict[int, tuple[float, int]]] = {}

    def visible(self, snapshot: Snapshot) -> Snapshot:
        """``snapshot`` without the ignored processes."""
        if not self.ignored_pids:
            return snapshot
        kept = [p for p in snapshot.processes if p.pid not in self.ignored_pids]
        return replace(snapshot, processes=kept, retained_process_count=len(kept))

    def add(self, snapshot: Snapshot) -> None:
        """Take in one snapshot; older than the latest one (by sequence) is ignored."""
        if self.latest is not None and snapshot.sequence <= self.latest.sequence:
            return
        snapshot = self.visible(snapshot)
        at = snapshot.sampled_at_unix_ms
        first = self.latest is None and self.started_ms is None
        before_by_pid = {p.pid: p for p in self.latest.processes} if self.latest else {}
        since = self.latest.sampled_at_unix_ms if self.latest else self.started_ms
        seconds = (at - since) / 1000 if since is not None else 0.0
        if self.latest is None and self.started_ms is not None:
            self.timeline.append(TimelinePoint(self.started_ms, 0.0, 0, 0))
        tree_used_ms = 0
        for sample in snapshot.processes:
            key = key_of(sample)
            used = cpu_used_ms(sample, before_by_pid.get(sample.pid), first)
            tree_used_ms += used
            record = self.records.get(key)
            if record is None:
                before = sample.cpu_time_ms if first else 0
                self.records[key] = ProcessRecord(at, at, sample, sample.resident_bytes, before)
            else:
                record.last_seen_ms = at
                record.last = sample
                record.peak_resident_bytes = max(record.peak_resident_bytes, sample.resident_bytes)
            percent = used / 10 / seconds if seconds > 0 else 0.0
            self._series.setdefault(key, []).append((at, percent, sample.resident_bytes))
            self._series_at.setdefault(key, {})[at] = (percent, sample.resident_bytes)
        tree_percent = tree_used_ms / 10 / seconds if seconds > 0 else 0.0
        self.timeline.append(TimelinePoint(at, tree_percent, total_resident(snapshot), len(snapshot.processes)))
        self._previous, self.latest = self.latest, snapshot
        self._previous_by_pid = before_by_pid

    def ignore(self, pid: int) -> None:
        """Leave ``pid`` out of the snapshots from now on (a helper of the watcher's own)."""
        self.ignored_pids = self.ignored_pids | {pid}

    def reaped(self, pid: int, cpu_ms: float) -> None:
        """The kernel's count of CPU time of a process the watcher reaped (the
        command, or an orphan), with every descendant it waited for."""
        self.reaped_cpu_ms[pid] = self.reaped_cpu_ms.get(pid, 0.0) + cpu_ms

    def finish(self, status: int, at_unix_ms: int) -> None:
        """The watched command has ended (been reaped) with ``status``."""
        self.end = End(status, at_unix_ms)

    @property
    def wall_ms(self) -> int:
        """The command's own wall time, from its start to its reaping; for a
        watch of a running tree, from the first sample to the last."""
        if self.started_ms is not None and self.end is not None:
            return max(0, self.end.at_unix_ms - self.started_ms)
        if not self.timeline:
            return 0
        return self.timeline[-1].sampled_at_unix_ms - self.timeline[0].sampled_at_unix_ms

    def cpu_since_watch_began(self, sample: ProcessSample) -> int:
        """CPU time ``sample``'s process used since the watch began, ms."""
        record = self.records.get(key_of(sample))
        return max(0, sample.cpu_time_ms - (record.cpu_before_ms if record else 0))

    def _reaped_top(self) -> dict[ProcessKey, bool]:
        """Per process: whether the kernel's count of a reaped process takes it in,
        that is, whether its line of parents (as last seen) reaches one."""
        by_pid = {key[0]: key for key in self.records}
        covered: dict[ProcessKey, bool] = {}
        for key in self.records:
            line = []
            at: Optional[ProcessKey] = key
            while at is not None and at not in covered and at not in line:
                line.append(at)
                if at[0] in self.reaped_cpu_ms:
                    covered[at] = True
                    break
                at = by_pid.get(self.records[at].last.ppid)
            verdict = covered.get(at, False) if at is not None else False
            for step in line:
                covered.setdefault(step, verdict)
        return covered

    def cpu_account(self) -> CpuAccount:
        """The CPU time of the watch and its per-program rows; see :class:`CpuAccount`."""
        groups: dict[str, list[float]] = {}
        for record in self.records.values():
            group = groups.setdefault(label_of(record.last), [0, 0.0, 0])
            group[0] += 1
            group[1] += record.measured_cpu_ms
            group[2] = max(group[2], record.peak_resident_bytes)
        rows = sorted((ProgramRow(label, int(g[0]), g[1], int(g[2])) for label, g in groups.items()),
                      key=lambda r: (-r.cpu_ms, r.label))
        sampled = sum(r.cpu_ms for r in rows)
        if self.end is None or self.started_ms is None:
            return CpuAccount(sampled, rows, 0.0, 0.0, exact=False)
        covered = self._reaped_top()
        seen_of_reaped = sum(r.measured_cpu_ms for k, r in self.records.items() if covered[k])
        still = sampled - seen_of_reaped
        unseen = max(0.0, sum(self.reaped_cpu_ms.values()) - seen_of_reaped)
        return CpuAccount(sampled + unseen, rows, unseen, still, exact=True)

    def rates(self, sample: ProcessSample) -> Optional[Rates]:
        """I/O rates of a process of the latest snapshot; ``None`` without an earlier sample."""
        if self._previous is None or self.latest is None:
            return None
        before = self._previous_by_pid.get(sample.pid)
        seconds = (self.latest.sampled_at_unix_ms - self._previous.sampled_at_unix_ms) / 1000
        if before is None or key_of(before) != key_of(sample) or seconds <= 0:
            return None
        return Rates(
            max(0, sample.io_read_bytes - before.io_read_bytes) / seconds,
            max(0, sample.io_write_bytes - before.io_write_bytes) / seconds,
        )

    def recent(self, keys: list[ProcessKey], count: int) -> tuple[list[float], list[float]]:
        """CPU % and resident bytes of the processes ``keys`` together, at each of
        the last ``count`` snapshots (0 where none of them was there)."""
        cpu, resident = [], []
        for point in self.timeline[-count:]:
            values = [self._series_at.get(key, {}).get(point.sampled_at_unix_ms) for key in keys]
            cpu.append(sum(v[0] for v in values if v))
            resident.append(float(sum(v[1] for v in values if v)))
        return cpu, resident

    def per_process_series(self) -> dict[ProcessKey, list[tuple[int, float, int]]]:
        """Per process: (sampled at ms, CPU % since the previous snapshot, resident bytes)."""
        return self._series

    def running(self) -> set[ProcessKey]:
        """The processes of the latest snapshot that have not ended."""
        if self.latest is None:
            return set()
        return {key_of(p) for p in self.latest.processes if p.status not in ("Zombie", "Dead")}

    # --- the tree's totals over the watch ----------------------------------

    @property
    def peak_resident_bytes(self) -> int:
        """Largest total resident memory of the tree in one snapshot."""
        return max((p.resident_bytes for p in self.timeline), default=0)

    @property
    def peak_cpu_percent(self) -> float:
        """Largest total CPU percentage of the tree over one interval."""
        return max((p.cpu_percent for p in self.timeline), default=0.0)

    @property
    def total_cpu_time_ms(self) -> int:
        """CPU time every process seen used during the watch, ended ones too, ms."""
        return sum(r.measured_cpu_ms for r in self.records.values())

    @property
    def total_read_bytes(self) -> int:
        return sum(r.last.io_read_bytes for r in self.records.values())

    @property
    def total_written_bytes(self) -> int:
        return sum(r.last.io_write_bytes for r in self.records.values())


def tree_order(processes: list[ProcessSample],
               group: Optional[Callable[[ProcessSample], str]] = None) -> list[tuple[str, ProcessSample]]:
    """The processes depth first, each with its tree-guide prefix.

    A process whose parent is not in the list starts a tree of its own
    (the root, external processes, orphans); children follow their parent in
    pid order.  With ``group``, children without children of their own that
    share its value follow the first of them, so that they can fold.
    """
    by_pid = {p.pid: p for p in processes}
    children: dict[int, list[ProcessSample]] = {}
    tops = []
    for p in processes:  # already sorted by pid
        if p.ppid in by_pid and p.ppid != p.pid:
            children.setdefault(p.ppid, []).append(p)
        else:
            tops.append(p)
    rows: list[tuple[str, ProcessSample]] = []
    seen: set[int] = set()

    def walk(p: ProcessSample, lead: str, guide: str) -> None:
        if p.pid in seen:  # parent links that form a cycle
            return
        seen.add(p.pid)
        rows.append((lead + guide, p))
        kids = children.get(p.pid, [])
        if group is not None and len(kids) > 1:
            kids = grouped_leaves(kids, lambda kid: kid.pid not in children, group)
        below = lead + ("" if not guide else "   " if guide == "└─ " else "│  ")
        for i, kid in enumerate(kids):
            walk(kid, below, "└─ " if i == len(kids) - 1 else "├─ ")

    for top in tops:
        walk(top, "", "")
    for p in processes:  # anything only reachable through a cycle
        if p.pid not in seen:
            walk(p, "", "")
    return rows


def grouped_leaves(kids: list[ProcessSample], leaf: Callable[[ProcessSample], bool],
                   group: Callable[[ProcessSample], str]) -> list[ProcessSample]:
    """``kids`` in their order, except that leaves of one group follow the first of them."""
    ordered: list[ProcessSample] = []
    placed: dict[str, list[ProcessSample]] = {}
    for kid in kids:
        if not leaf(kid):
            ordered.append(kid)
            continue
        members = placed.get(group(kid))
        if members is None:
            placed[group(kid)] = members = [kid]
            ordered.append(kid)
        else:
            members.append(kid)
    result: list[ProcessSample] = []
    for kid in ordered:
        members = placed.get(group(kid)) if leaf(kid) else None
        result += members if members and members[0] is kid else [kid]
    return result
