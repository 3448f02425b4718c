"""Archives opened for reading, their definitions, and their values as data frames."""

from __future__ import annotations

import datetime as _dt
import os
import re
from dataclasses import dataclass, field
from typing import Iterable, Iterator, Mapping, Optional, Sequence, Union

import numpy as np
import pandas as pd

from . import _errors
from . import _tesra

#: What a time argument may be: absolute milliseconds since the epoch, an ISO 8601 string
#: (UTC unless it names a zone), a datetime (naive ones are UTC), a numpy or pandas time.
TimeLike = Union[int, str, _dt.datetime, np.datetime64, pd.Timestamp]
#: What a period may be: milliseconds, "60s", "5m", "1h", "1d", "500ms", "once", a timedelta.
PeriodLike = Union[int, str, _dt.timedelta, np.timedelta64, pd.Timedelta]

#: The once-per-archive period, in milliseconds.
ONCE = 999999000

# Type codes of a counter's ctype (bits 8-15) and units (bits 16-19) whose meaning is known.
_TYPE_STRING = 0x2000
_TYPE_PERCENT = 0x0300
_UNITS = {0x10000: "operations", 0x20000: "bytes", 0x30000: "µs", 0x40000: "s"}


@dataclass(frozen=True)
class ArchiveInfo:
    """What an archive says about itself.

    Attributes:
        base: the archive's base path (without ``.meta`` / ``.gz``).
        node: the host name of the node that wrote it.
        version: the format version, ``(major, minor)``.
        start, end: the first and last sample time the archive covers (UTC).
        state: ``"closed"`` (its writer finished it) or ``"being written"``.
        node_uuid, model, serial_number, system_id, cluster_name, cluster_id, process_name,
        store_name, software_version: the node's other identity strings (may be empty).
        base_time: the absolute time (ms) record times are relative to.
        generation_id, preset_version: the header's identity.
    """

    base: str
    node: str
    version: tuple
    start: pd.Timestamp
    end: pd.Timestamp
    state: str
    node_uuid: str = ""
    model: str = ""
    serial_number: str = ""
    system_id: str = ""
    cluster_name: str = ""
    cluster_id: str = ""
    process_name: str = ""
    store_name: str = ""
    software_version: str = ""
    base_time: int = 0
    generation_id: int = 0
    preset_version: str = ""


@dataclass(frozen=True)
class ObjectInfo:
    """An object of the archive: its name, id and sampling periods (ms, ascending)."""

    name: str
    id: int
    periods: tuple


@dataclass(frozen=True)
class Counter:
    """A counter definition.

    Attributes:
        id, name, description: the counter's identity.
        is_key: a key counter names an instance (it is part of the frame's index).
        size: bytes per instance, all values of an array counter together.
        element_size: bytes per value.
        kind: ``"uint32"``, ``"uint64"`` or ``"string"``: how its values come out.
        type_code, unit_code: the type (bits 8-15) and unit (bits 16-19) fields of its ctype.
        unit: the unit's name when known ("bytes", "operations", "µs", "s", "%"), else None.
        periods: the sampling periods (ms, ascending).
        x_labels, y_labels: the labels of an array counter's dimensions (empty for scalars).
        columns: the frame's column names of its values: ``name``, or ``name[x]`` /
            ``name[x,y]`` per value, x-major.
    """

    id: int
    name: str
    description: str
    is_key: bool
    size: int
    element_size: int
    kind: str
    ctype: int
    type_code: int
    unit_code: int
    unit: Optional[str]
    periods: tuple
    x_labels: tuple = ()
    y_labels: tuple = ()
    columns: tuple = field(default=())

    @property
    def num_values(self) -> int:
        """Values per instance: 1 for a scalar, the product of the label counts for an array."""
        return len(self.columns)


@dataclass(frozen=True)
class Record:
    """One record of a record walk: its sample time, object, period (ms), body size in bytes
    and number of instances."""

    time: pd.Timestamp
    object: str
    period: int
    size: int
    instances: int


# ---- argument conversion ------------------------------------------------------------------


def _type_name(value: object) -> str:
    return type(value).__name__


def _to_ms(value: Optional[TimeLike], what: str) -> Optional[int]:
    """Absolute milliseconds of a time argument; None stays None."""
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{what}: a time is wanted, not {_type_name(value)}")
    if isinstance(value, (int, np.integer)):
        ms = int(value)
    elif isinstance(value, (str, _dt.datetime, np.datetime64, pd.Timestamp)):
        try:
            ts = pd.Timestamp(value)
        except (ValueError, TypeError) as e:
            raise ValueError(f"{what}: not a time: {value!r}") from e
        if ts is pd.NaT:
            raise ValueError(f"{what}: not a time: {value!r}")
        ts = ts.tz_localize("UTC") if ts.tzinfo is None else ts.tz_convert("UTC")
        ms = ts.value // 1_000_000
    else:
        raise TypeError(
            f"{what}: a time is wanted (milliseconds, ISO 8601 string, datetime), "
            f"not {_type_name(value)}"
        )
    if ms < 0:
        raise ValueError(f"{what}: a time before 1970 is not in any archive: {value!r}")
    return ms


_PERIOD_UNITS = {"ms": 1, "s": 1000, "m": 60000, "h": 3600000, "d": 86400000}


def _to_period(value: Optional[PeriodLike]) -> Optional[int]:
    """Milliseconds of a period argument; None stays None."""
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"period: a period is wanted, not {_type_name(value)}")
    if isinstance(value, (int, np.integer)):
        ms = int(value)
    elif isinstance(value, str):
        text = value.strip()
        if text == "once":
            return ONCE
        match = re.fullmatch(r"(\d+)(ms|s|m|h|d)?", text)
        if not match:
            raise ValueError(f"period: not a period: {value!r} (ms, or 60s, 5m, 1h, once)")
        ms = int(match.group(1)) * _PERIOD_UNITS[match.group(2) or "ms"]
    elif isinstance(value, (_dt.timedelta, np.timedelta64, pd.Timedelta)):
        ms = pd.Timedelta(value).value // 1_000_000
    else:
        raise TypeError(f"period: a period is wanted (ms, '60s', timedelta), not {_type_name(value)}")
    if ms <= 0:
        raise ValueError(f"period: must be positive, not {value!r}")
    return ms


def _counter_names(counters: Union[None, str, Iterable[str]]) -> list:
    if counters is None:
        return []
    if isinstance(counters, str):
        return [counters]
    try:
        names = list(counters)
    except TypeError:
        raise TypeError(
            f"counters: a name or a list of names is wanted, not {_type_name(counters)}"
        ) from None
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"counters: names are strings, not {_type_name(name)} ({name!r})")
    return names


def _key_pairs(keys: Union[None, Mapping[str, object], Sequence[str]]) -> list:
    """(name, value as text) pairs of a key filter: a mapping, or "NAME=VALUE" strings."""
    if keys is None:
        return []
    if isinstance(keys, Mapping):
        items = list(keys.items())
    elif isinstance(keys, (list, tuple)):
        items = []
        for k in keys:
            if not isinstance(k, str):
                raise TypeError(f"keys: NAME=VALUE strings are wanted, not {_type_name(k)}")
            name, eq, value = k.partition("=")
            if not eq or not name:
                raise ValueError(f"keys: NAME=VALUE is wanted, not {k!r}")
            items.append((name, value))
    else:
        raise TypeError(f"keys: a mapping of key counter to value is wanted, not {_type_name(keys)}")
    pairs = []
    for name, value in items:
        if not isinstance(name, str):
            raise TypeError(f"keys: key counter names are strings, not {_type_name(name)}")
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, (str, int, np.integer)):
            raise TypeError(
                f"keys: the value of {name!r} must be a string or an integer, "
                f"not {_type_name(value)}"
            )
        if isinstance(value, (int, np.integer)) and value < 0:
            raise ValueError(f"keys: key counters hold unsigned numbers, not {value}")
        pairs.append((name, str(value)))
    return pairs


def _base_of(path: Union[str, os.PathLike]) -> str:
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"an archive path is wanted, not {_type_name(path)}")
    text = os.fspath(path)
    if not isinstance(text, str):
        text = os.fsdecode(text)
    for suffix in (".meta", ".gz"):
        if text.endswith(suffix) and len(text) > len(suffix):
            return text[: -len(suffix)]
    return text


def _utc(ms: int) -> pd.Timestamp:
    return pd.Timestamp(int(ms), unit="ms", tz="UTC")


def _counter_of(d: dict) -> Counter:
    ctype = d["ctype"]
    kind = "string" if ctype & 0xFF00 == _TYPE_STRING else None
    columns = tuple(d["columns"])
    element = d["size"] // max(1, len(columns))
    if kind is None:
        kind = "uint32" if element == 4 else "uint64"
    unit = "%" if ctype & 0xFF00 == _TYPE_PERCENT else _UNITS.get(ctype & 0xF0000)
    return Counter(
        id=d["id"],
        name=d["name"],
        description=d["description"],
        is_key=d["is_key"],
        size=d["size"],
        element_size=element,
        kind=kind,
        ctype=ctype,
        type_code=ctype & 0xFF00,
        unit_code=ctype & 0xF0000,
        unit=unit,
        periods=tuple(d["periods"]),
        x_labels=tuple(d["x_labels"]),
        y_labels=tuple(d["y_labels"]),
        columns=columns,
    )


def _column_array(data, missing=None):
    # Numbers come as arrays; strings as (codes, distinct strings). Rows without a value (a
    # series member lacking the counter) make numbers a nullable array of the same width and
    # strings None.
    if isinstance(data, tuple):
        codes, strings = data
        uniques = np.empty(len(strings), dtype=object)
        uniques[:] = strings
        values = uniques[codes]
        if missing is not None:
            values[missing] = None
        return values
    if missing is not None:
        return pd.arrays.IntegerArray(data, missing)
    return data


def _level(name: str, data):
    """(level values, codes) of one key column of the index."""
    if isinstance(data, tuple):
        codes, strings = data
        return pd.Index(strings, dtype=object, name=name), codes
    uniques, codes = np.unique(data, return_inverse=True)
    return pd.Index(uniques, name=name), codes


def _frame(raw: dict, attrs: dict) -> pd.DataFrame:
    times = pd.DatetimeIndex(
        pd.to_datetime(raw["times"].astype(np.int64), unit="ms", utc=True), name="time"
    )
    row_time = raw["row_time"]
    if raw["keys"]:
        levels, codes, names = [times], [row_time], ["time"]
        for name, data, _ in raw["keys"]:
            level, level_codes = _level(name, data)
            levels.append(level)
            codes.append(level_codes)
            names.append(name)
        index = pd.MultiIndex(levels=levels, codes=codes, names=names, verify_integrity=False)
    else:
        index = pd.DatetimeIndex(times.take(row_time), name="time")
    columns = {name: _column_array(data, missing) for name, data, missing in raw["columns"]}
    frame = pd.DataFrame(columns, index=index, copy=False)
    frame.attrs.update(attrs)
    return frame


# ---- Archive --------------------------------------------------------------------------------


class Archive:
    """An archive opened for reading (see :func:`tesra.open`).

    Use it as a context manager, or call :meth:`close`: the handle and its files stay open
    until then (or until the object is garbage collected).
    """

    def __init__(self, base: Union[str, os.PathLike]) -> None:
        self._base = _base_of(base)
        if not os.path.exists(self._base + ".meta") and not os.path.exists(self._base + ".gz"):
            raise _errors.ArchiveNotFoundError(
                "TESRA_FILE_NOT_FOUND", 8, self._base, "open (no .meta or .gz file there)"
            )
        self._reader = _tesra._Reader(self._base)
        self._info: Optional[ArchiveInfo] = None
        self._counters: dict = {}

    # -- life cycle

    def close(self) -> None:
        """Closes the archive's files. Further calls (but close) raise ValueError."""
        self._reader.close()

    @property
    def closed(self) -> bool:
        """True once the archive is closed."""
        return self._reader.closed

    def __enter__(self) -> "Archive":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<tesra.Archive {self._base!r} ({state})>"

    @property
    def base(self) -> str:
        """The archive's base path."""
        return self._base

    # -- definitions

    @property
    def info(self) -> ArchiveInfo:
        """Node, format version, time range and state (an :class:`ArchiveInfo`)."""
        if self._info is None:
            d = self._reader.info()
            s = d["system"]
            self._info = ArchiveInfo(
                base=d["base"],
                node=s["hostname"],
                version=tuple(d["version"]),
                start=_utc(d["start_time"]),
                end=_utc(d["end_time"]),
                state="being written" if d["being_written"] else "closed",
                node_uuid=s["node_uuid"],
                model=s["model"],
                serial_number=s["serial_number"],
                system_id=s["system_id"],
                cluster_name=s["cluster_name"],
                cluster_id=s["cluster_id"],
                process_name=s["process_name"],
                store_name=s["store_name"],
                software_version=s["software_version"],
                base_time=d["base_time"],
                generation_id=d["generation_id"],
                preset_version=d["preset_version"],
            )
        return self._info

    @property
    def objects(self) -> list:
        """The archive's objects (:class:`ObjectInfo`), ascending id."""
        return [ObjectInfo(name, oid, tuple(periods)) for name, oid, periods in self._reader.objects()]

    def counters(self, object: str) -> list:
        """The counter definitions (:class:`Counter`) of an object, ascending id."""
        _check_name(object, "object")
        if object not in self._counters:
            self._counters[object] = [_counter_of(d) for d in self._reader.counters(object)]
        return list(self._counters[object])

    def timestamps(self, object: str, period: PeriodLike) -> np.ndarray:
        """The sample times of an object at one period, as ``numpy.datetime64[ms]`` (UTC)."""
        _check_name(object, "object")
        ms = _to_period(period)
        if ms is None:
            raise TypeError("period: a period is wanted, not None")
        return self._reader.timestamps(object, ms).astype("datetime64[ms]")

    # -- values

    def values(
        self,
        object: str,
        counters: Union[None, str, Iterable[str]] = None,
        start: Optional[TimeLike] = None,
        end: Optional[TimeLike] = None,
        period: Optional[PeriodLike] = None,
        keys: Union[None, Mapping[str, object], Sequence[str]] = None,
    ) -> pd.DataFrame:
        """The values of an object's instances as a data frame.

        Args:
            object: the object's name.
            counters: a counter name or a list of them; default: every non-key counter
                sampled at the period.
            start, end: the time range, both inclusive; default: the whole archive.
            period: the sampling period whose sample times are read; default: the object's
                shortest. Counters are read at their own shortest period.
            keys: only instances whose key counters hold these values, e.g.
                ``{"instance_name": "vol0"}`` (or ``["instance_name=vol0"]``).

        Returns:
            One row per sample time and instance. The index is the sample time (a UTC
            ``DatetimeIndex`` named "time") plus one level per key counter; one column per
            scalar counter, ``name[x]`` / ``name[x,y]`` columns per value of an array counter
            (x-major), in the order of ``tesra values --format csv``. 4-byte counters are
            ``uint32``, 8-byte ones ``uint64``, text counters strings. ``frame.attrs`` holds
            the archive, node, object, period and each column's counter and unit.
        """
        _check_name(object, "object")
        names = _counter_names(counters)
        start_ms = _to_ms(start, "start")
        end_ms = _to_ms(end, "end")
        if start_ms is not None and end_ms is not None and start_ms > end_ms:
            raise ValueError("start is after end")
        period_ms = _to_period(period)
        pairs = _key_pairs(keys)
        raw = self._reader.values(object, names, start_ms, end_ms, period_ms, pairs)
        defs = self.counters(object)
        column_counter, units = {}, {}
        for c in defs:
            for col in c.columns:
                column_counter[col] = c.name
            units[c.name] = c.unit
        attrs = {
            "archive": self._base,
            "node": self.info.node,
            "object": object,
            "period": raw["period"],
            "counters": column_counter,
            "units": units,
        }
        return _frame(raw, attrs)

    # -- records

    def records(self, order: str = "time", start: Optional[TimeLike] = None) -> Iterator[Record]:
        """Iterates the archive's records (:class:`Record`).

        Args:
            order: ``"time"`` (by sample time, partial records joined) or ``"stream"`` (as
                they lie in the data stream).
            start: the first sample time; default: the archive's start.

        A file handle has one walk: starting another walk, or reading values, ends this
        one (its next step raises ValueError). So does closing the archive.
        """
        if order not in ("time", "stream"):
            raise ValueError(f"order: 'time' or 'stream', not {order!r}")
        start_ms = _to_ms(start, "start")
        if start_ms is None:
            start_ms = self.info.start.value // 1_000_000
        walk = self._reader.records(order == "stream", start_ms)
        return _records(walk)


def _records(walk) -> Iterator[Record]:
    for time, obj, period, size, instances in walk:
        yield Record(_utc(time), obj, period, size, instances)


def _check_name(name: object, what: str) -> None:
    if not isinstance(name, str):
        raise TypeError(f"{what}: a name (str) is wanted, not {_type_name(name)}")


def open(base: Union[str, os.PathLike]) -> Archive:  # noqa: A001 (tesra.open is the API)
    """Opens the archive with base path ``base`` (``<base>``, ``<base>.meta`` or ``<base>.gz``).

    Raises:
        FileNotFoundError: (:class:`tesra.ArchiveNotFoundError`) no such archive.
        tesra.CorruptArchiveError: the archive is damaged.
        tesra.TesraError: any other failure of the reader, with its result label.

    Example::

        with tesra.open("/data/1_300_1765000000000_900000") as a:
            frame = a.values("volume", keys={"instance_name": "vol0"})
    """
    return Archive(base)
