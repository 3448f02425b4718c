"""tesra: read the performance-counter archives of a storage node into numpy and pandas.

An archive is a pair of files sharing one base path: ``<base>.meta`` (the node, its objects and
counters, and an index) and ``<base>.gz`` (the sample records). This package reads them through
the tesra reader library.

Opening and looking around::

    import tesra
    with tesra.open("/data/1_300_1765000000000_900000") as a:
        a.info                       # ArchiveInfo: node, version, start, end, state
        a.objects                    # [ObjectInfo(name, id, periods), ...]
        a.counters("volume")         # [Counter(id, name, kind, unit, periods, columns...), ...]
        a.timestamps("volume", "5m") # numpy datetime64[ms] array (UTC)

Values as a data frame (one row per sample time and instance; a UTC DatetimeIndex plus one
level per key counter; uint32/uint64/str columns; arrays as ``name[x]`` / ``name[x,y]``)::

        frame = a.values("volume", counters=["read_ops", "latency"],
                         start="2025-12-06T05:00:00Z", end="2025-12-06T06:00:00Z",
                         keys={"instance_name": "vol0"})

A node's archives as one series (a directory, a glob, bases); the same calls, across archive
boundaries, with gaps and other surprises listed in ``findings``::

    with tesra.open_series("/data/node1/") as s:
        s.info.members, s.findings
        frame = s.values("volume", start="2025-12-06T00:00:00Z")

Records, in time or stream order::

        for r in a.records(order="stream"):
            print(r.time, r.object, r.period, r.size, r.instances)

Charts (matplotlib; also ``python3 -m tesra plot BASE OBJECT COUNTER -o out.png``)::

    tesra.plot(a, "volume", "read_ops", keys={"instance_name": "vol0"})

Errors raise :class:`TesraError` subclasses carrying the reader's result label (``.label``):
:class:`ArchiveNotFoundError` (also a FileNotFoundError), :class:`CorruptArchiveError`,
:class:`NotFoundError` (also a LookupError), :class:`InvalidArgumentError` (also a ValueError).
Arguments of the wrong type raise TypeError, wrong values ValueError, with what was expected.
"""

from ._archive import (
    ONCE,
    Archive,
    ArchiveInfo,
    Counter,
    ObjectInfo,
    PeriodLike,
    Record,
    TimeLike,
    open,
)
from ._errors import (
    ArchiveNotFoundError,
    CorruptArchiveError,
    InvalidArgumentError,
    NotFoundError,
    TesraError,
)
from ._plot import plot
from ._series import Finding, Series, SeriesInfo, SeriesMember, open_series

__all__ = [
    "ONCE",
    "Archive",
    "ArchiveInfo",
    "ArchiveNotFoundError",
    "Counter",
    "CorruptArchiveError",
    "InvalidArgumentError",
    "NotFoundError",
    "Finding",
    "ObjectInfo",
    "PeriodLike",
    "Record",
    "Series",
    "SeriesInfo",
    "SeriesMember",
    "TesraError",
    "TimeLike",
    "open",
    "open_series",
    "plot",
]
