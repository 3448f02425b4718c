"""A node's archives read as one series (see :func:`tesra.open_series`)."""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Iterable, Iterator, Mapping, Optional, Sequence, Union

import numpy as np
import pandas as pd

from . import _errors
from . import _tesra
from ._archive import (
    Archive,
    ObjectInfo,
    PeriodLike,
    Record,
    TimeLike,
    _check_name,
    _counter_names,
    _frame,
    _key_pairs,
    _to_ms,
    _to_period,
    _type_name,
    _utc,
)


@dataclass(frozen=True)
class SeriesMember:
    """One archive of a series, in series order.

    Attributes:
        base: its base path.
        file_index: the writer's file index (from the name).
        state: ``"closed"``, ``"being written"`` (once opened and found so) or ``"damaged"``.
        start, end: the times it answers for, ``[start, end)``: its span less what a later
            file index covers (None when empty).
    """

    base: str
    file_index: int
    state: str
    start: Optional[pd.Timestamp]
    end: Optional[pd.Timestamp]


@dataclass(frozen=True)
class Finding:
    """Something about a series that does not fit: a gap, an overlap, a damaged member, a
    file that is no archive, a changed counter definition, ... ``message`` says it in one
    line; ``start``/``end`` give the stretch concerned, when there is one."""

    kind: str
    message: str
    is_error: bool
    member: Optional[int]
    other: Optional[int]
    path: str
    start: Optional[pd.Timestamp]
    end: Optional[pd.Timestamp]


@dataclass(frozen=True)
class SeriesInfo:
    """What a series is: its node, format version (of its first readable member), time range,
    state (``"closed"``, or ``"being written"`` when a member still is), members and
    findings."""

    node: str
    version: tuple
    start: Optional[pd.Timestamp]
    end: Optional[pd.Timestamp]
    state: str
    members: tuple
    findings: tuple


def _member_of(d: dict) -> SeriesMember:
    empty = d["window_end"] <= d["window_start"]
    return SeriesMember(
        base=d["base"],
        file_index=d["file_index"],
        state=d["state"],
        start=None if empty else _utc(d["window_start"]),
        end=None if empty else _utc(d["window_end"]),
    )


def _finding_of(d: dict) -> Finding:
    stretch = d["to"] > d["from"]
    return Finding(
        kind=d["kind"],
        message=d["message"],
        is_error=d["is_error"],
        member=None if d["member"] < 0 else d["member"],
        other=None if d["other"] < 0 else d["other"],
        path=d["path"],
        start=_utc(d["from"]) if stretch else None,
        end=_utc(d["to"]) if stretch else None,
    )


class Series:
    """A node's archives read as one (see :func:`tesra.open_series`). The interface is the
    one of :class:`tesra.Archive`; ranges cross archive boundaries, and what does not fit
    together is reported in :attr:`findings` rather than raised."""

    def __init__(self, sources: Sequence[str], node: Optional[str], strict: bool) -> None:
        self._series = _tesra._Series(list(sources), node, strict)
        self._catalogue: Optional[list] = None
        self._counters: dict = {}

    def close(self) -> None:
        """Closes every archive of the series."""
        self._series.close()

    @property
    def closed(self) -> bool:
        return self._series.closed

    def __enter__(self) -> "Series":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<tesra.Series {self._series.name!r} ({state})>"

    @property
    def members(self) -> list:
        """The archives of the series (:class:`SeriesMember`), in series order."""
        return [_member_of(d) for d in self._series.members()]

    @property
    def findings(self) -> list:
        """Gaps, overlaps, damaged members and the like found so far (:class:`Finding`)."""
        return [_finding_of(d) for d in self._series.findings()]

    @property
    def info(self) -> SeriesInfo:
        """Node, version, time range and state of the series (a :class:`SeriesInfo`)."""
        members = self.members
        raw = self._series.members()
        readable = [m for m in members if m.state != "damaged" and m.start is not None]
        version, node = (), next((d["hostname"] for d in raw if d["hostname"]), "")
        if readable:
            with Archive(readable[0].base) as first:
                version = first.info.version
                node = node or first.info.node
        return SeriesInfo(
            node=node,
            version=version,
            start=min((m.start for m in readable), default=None),
            end=max((m.end for m in readable), default=None),
            state="being written" if any(m.state == "being written" for m in members)
            else "closed",
            members=tuple(members),
            findings=tuple(self.findings),
        )

    def _catalogue_entries(self) -> list:
        if self._catalogue is None:
            self._catalogue = self._series.catalogue()
        return self._catalogue

    def _object_entry(self, object: str) -> dict:
        for o in self._catalogue_entries():
            if o["name"] == object:
                return o
        raise _errors.NotFoundError(
            "TESRA_OBJECT_NOT_FOUND", 21, self._series.name, f"find object '{object}'"
        )

    @property
    def objects(self) -> list:
        """The objects of every member (:class:`ObjectInfo`), ascending id."""
        return [ObjectInfo(o["name"], o["id"], tuple(o["periods"]))
                for o in self._catalogue_entries()]

    def counters(self, object: str) -> list:
        """The counter definitions of an object, as the first member holding it defines them
        (:class:`tesra.Counter`; a changed definition gives a finding)."""
        _check_name(object, "object")
        if object not in self._counters:
            entry = self._object_entry(object)
            base = self._series.members()[entry["first_member"]]["base"]
            with Archive(base) as first:
                self._counters[object] = first.counters(object)
        return list(self._counters[object])

    def timestamps(self, object: str, period: PeriodLike) -> np.ndarray:
        """The sample times of an object at one period across the series
        (``numpy.datetime64[ms]``, UTC)."""
        _check_name(object, "object")
        ms = _to_period(period)
        if ms is None:
            raise TypeError("period: a period is wanted, not None")
        return self._series.timestamps(object, ms).astype("datetime64[ms]")

    def values(
        self,
        object: str,
        counters: Union[None, str, Iterable[str]] = None,
        start: Optional[TimeLike] = None,
        end: Optional[TimeLike] = None,
        period: Optional[PeriodLike] = None,
        keys: Union[None, Mapping[str, object], Sequence[str]] = None,
    ) -> pd.DataFrame:
        """The values of an object's instances across the series, as
        :meth:`tesra.Archive.values` gives them for one archive. A member that lacks a
        counter leaves its rows empty there (``<NA>`` in a nullable column of the same width,
        None for strings); a gap simply has no rows."""
        _check_name(object, "object")
        names = _counter_names(counters)
        start_ms, end_ms = _to_ms(start, "start"), _to_ms(end, "end")
        if start_ms is not None and end_ms is not None and start_ms > end_ms:
            raise ValueError("start is after end")
        period_ms = _to_period(period)
        pairs = _key_pairs(keys)
        defs = self.counters(object)
        labels = [(c.name, list(c.columns)) for c in defs if c.num_values > 1]
        raw = self._series.values(object, names, start_ms, end_ms, period_ms, pairs, labels)
        entry = self._object_entry(object)
        column_counter = {col: c.name for c in defs for col in c.columns}
        node = next((d["hostname"] for d in self._series.members() if d["hostname"]), "")
        attrs = {
            "archive": self._series.name,
            "node": node,
            "object": object,
            "period": raw["period"] or (entry["periods"][0] if entry["periods"] else 0),
            "counters": column_counter,
            "units": {c.name: c.unit for c in defs},
        }
        return _frame(raw, attrs)

    def records(self, order: str = "time", start: Optional[TimeLike] = None) -> Iterator[Record]:
        """The records of every readable member in turn, each in time or stream order (see
        :meth:`tesra.Archive.records`); each member is opened as the walk reaches it."""
        if order not in ("time", "stream"):
            raise ValueError(f"order: 'time' or 'stream', not {order!r}")
        start_ms = _to_ms(start, "start")
        bases = [m.base for m in self.members if m.state != "damaged"]
        return _chain(bases, order, start_ms)


def _chain(bases: list, order: str, start_ms: Optional[int]) -> Iterator[Record]:
    for base in bases:
        with Archive(base) as a:
            if start_ms is not None and a.info.end.value // 1_000_000 < start_ms:
                continue
            first = None if start_ms is None else max(start_ms, a.info.start.value // 1_000_000)
            yield from a.records(order, first)


def open_series(
    dir_or_bases: Union[str, os.PathLike, Iterable[Union[str, os.PathLike]]],
    node: Optional[str] = None,
    strict: bool = False,
) -> Series:
    """Opens a node's archives as one series.

    Args:
        dir_or_bases: a directory (its archives), a glob pattern, an archive base, or a list
            of them.
        node: the host name to read when the sources hold archives of several nodes.
        strict: fail on a damaged member instead of skipping it with a finding.

    Raises:
        FileNotFoundError: no archive in the sources.
        tesra.TesraError: the sources do not make one series (several nodes and none chosen,
            two archives with one file index, ...); the message gives the findings.
    """
    if isinstance(dir_or_bases, (str, os.PathLike)):
        sources = [os.fspath(dir_or_bases)]
    else:
        try:
            sources = [os.fspath(s) for s in dir_or_bases]
        except TypeError:
            raise TypeError(
                "dir_or_bases: a path or a list of paths is wanted, "
                f"not {_type_name(dir_or_bases)}"
            ) from None
    if not sources:
        raise ValueError("dir_or_bases: no source given")
    if node is not None and not isinstance(node, str):
        raise TypeError(f"node: a host name (str) is wanted, not {_type_name(node)}")
    return Series(sources, node, bool(strict))
