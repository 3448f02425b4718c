"""Charts of counter values with matplotlib."""

from __future__ import annotations

import os
from typing import Mapping, Optional, Sequence, Union

import pandas as pd

from ._archive import Archive, PeriodLike, TimeLike, _key_pairs
from ._series import Series, open_series

# Beyond this many lines a legend hides the chart; the lines are still drawn.
_MAX_LEGEND = 16


def _counter_columns(frame: pd.DataFrame, counter: str) -> list:
    by_counter = frame.attrs.get("counters", {})
    columns = [c for c in frame.columns if by_counter.get(c) == counter]
    if not columns:
        columns = [c for c in frame.columns if c == counter or c.startswith(counter + "[")]
    if not columns:
        raise ValueError(f"the frame has no column of counter {counter!r}")
    return columns


def _filter_keys(frame: pd.DataFrame, pairs: list) -> pd.DataFrame:
    for name, value in pairs:
        if name not in frame.index.names:
            raise ValueError(f"the frame has no key level {name!r}")
        level = frame.index.get_level_values(name)
        wanted = value if level.dtype == object else type(level[0])(value) if len(level) else value
        frame = frame[level == wanted]
    return frame


def plot(
    frame_or_archive: Union[pd.DataFrame, Archive, Series, str, os.PathLike],
    object: Optional[str],
    counter: str,
    keys: Union[None, Mapping[str, object], Sequence[str]] = None,
    start: Optional[TimeLike] = None,
    end: Optional[TimeLike] = None,
    period: Optional[PeriodLike] = None,
    ax=None,
    output: Union[None, str, os.PathLike] = None,
):
    """Draws one counter over time: one line per instance (and per value of an array counter).

    Args:
        frame_or_archive: a frame from :meth:`Archive.values`, an open :class:`Archive` or
            :class:`Series`, an archive's base path, or a directory of a node's archives.
        object: the object's name (for a frame, used in the title; may be None when the frame
            came from ``values()``, which records it).
        counter: the counter's name.
        keys: only these instances, e.g. ``{"instance_name": "vol0"}``.
        start, end, period: as for :meth:`Archive.values` (when reading an archive).
        ax: a matplotlib Axes to draw into; default: a new figure.
        output: a file to save the figure to (``.png``, ``.svg``, ``.pdf``).

    The x axis is time in UTC; the y axis names the counter and its unit where the archive
    knows it; the title names the node and the object.

    Returns:
        The matplotlib Axes.
    """
    import matplotlib.dates as mdates
    import matplotlib.pyplot as plt

    if not isinstance(counter, str):
        raise TypeError(f"counter: a name (str) is wanted, not {type(counter).__name__}")
    pairs = _key_pairs(keys)
    if isinstance(frame_or_archive, pd.DataFrame):
        frame = _filter_keys(frame_or_archive, pairs)
        if object is None:
            object = frame.attrs.get("object", "")
    elif isinstance(frame_or_archive, (Archive, Series)):
        frame = frame_or_archive.values(object, [counter], start, end, period, dict(pairs))
    elif isinstance(frame_or_archive, (str, os.PathLike)):
        path = os.fspath(frame_or_archive)
        with open_series(path) if os.path.isdir(path) else Archive(path) as source:
            frame = source.values(object, [counter], start, end, period, dict(pairs))
    else:
        raise TypeError(
            "frame_or_archive: a DataFrame, a tesra.Archive or Series, or a path is wanted, "
            f"not {type(frame_or_archive).__name__}"
        )
    columns = _counter_columns(frame, counter)

    if ax is None:
        _, ax = plt.subplots(figsize=(10, 5), layout="constrained")
    index = frame.index
    key_levels = [n for n in index.names if n != "time"] if isinstance(index, pd.MultiIndex) else []
    lines = 0
    if key_levels:
        groups = frame[columns].groupby(level=key_levels, sort=True)
    else:
        groups = [((), frame[columns])]
    for key, part in groups:
        key = key if isinstance(key, tuple) else (key,)
        times = part.index.get_level_values("time") if key_levels else part.index
        x = times.tz_convert("UTC").tz_localize(None)
        label_key = ", ".join(str(k) for k in key)
        for col in columns:
            label = label_key
            if col != counter:
                suffix = col[len(counter):]
                label = f"{label_key} {suffix}".strip()
            ax.plot(x, part[col].to_numpy(dtype="float64"), label=label or col, linewidth=1.2)
            lines += 1

    unit = frame.attrs.get("units", {}).get(counter)
    ax.set_ylabel(f"{counter} ({unit})" if unit else counter)
    ax.set_xlabel("time (UTC)")
    locator = mdates.AutoDateLocator()
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
    node = frame.attrs.get("node", "")
    title = f"{object} on {node}" if node else f"{object}"
    ax.set_title(f"{title}: {counter}")
    ax.grid(True, alpha=0.3)
    if lines == 0:
        ax.text(0.5, 0.5, "no samples in range", transform=ax.transAxes, ha="center")
    elif lines <= _MAX_LEGEND:
        ax.legend(title=", ".join(key_levels) or None, fontsize="small")
    else:
        ax.text(0.99, 0.98, f"{lines} lines", transform=ax.transAxes, ha="right", va="top")
    if output is not None:
        ax.figure.savefig(os.fspath(output))
    return ax
