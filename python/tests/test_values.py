"""Frames, definitions and record walks against what the tesra tool prints."""

import csv
import io
import subprocess

import numpy as np
import pandas as pd
import pytest

import tesra
from conftest import generate

START_MS = 1765000000000


def tool_csv(tool, base, obj, *args):
    out = subprocess.run([tool, "values", base, obj, "--format", "csv", *args],
                         check=True, capture_output=True, text=True).stdout
    rows = list(csv.reader(io.StringIO(out)))
    return rows[0], rows[1:]


def frame_rows(frame):
    """The frame as the tool's CSV lays it out: time_ms, keys, then values, all as text."""
    index = frame.index
    times = index.get_level_values("time") if isinstance(index, pd.MultiIndex) else index
    ms = (times.asi8 // 1_000_000).tolist()
    keys = [index.get_level_values(n).tolist() for n in index.names[1:]] \
        if isinstance(index, pd.MultiIndex) else []
    values = [frame[c].tolist() for c in frame.columns]
    return [[str(v) for v in (t, *k, *vals)]
            for t, k, vals in zip(ms, zip(*keys) if keys else [()] * len(ms), zip(*values))]


@pytest.mark.parametrize("kwargs, args", [
    ({}, []),
    ({"counters": ["level_001", "hist_002"], "keys": {"instance_name": "inst_00003"},
      "start": "2025-12-06T05:50:40Z", "end": START_MS + 600000},
     ["--counter", "level_001", "--counter", "hist_002", "--key", "instance_name=inst_00003",
      "--from", "2025-12-06T05:50:40Z", "--to", str(START_MS + 600000)]),
    ({"counters": "state_003", "keys": ["instance_name=inst_00000"], "period": "1m"},
     ["--counter", "state_003", "--key", "instance_name=inst_00000", "--period", "60s"]),
    ({"start": START_MS + 10**9, "end": START_MS + 2 * 10**9},
     ["--from", str(START_MS + 10**9), "--to", str(START_MS + 2 * 10**9)]),
], ids=["all", "counters-key-range", "string-counter", "range-after-archive"])
def test_frame_matches_tool_csv(tool, archive, kwargs, args):
    header, rows = tool_csv(tool, archive, "object_002", *args)
    with tesra.open(archive) as a:
        frame = a.values("object_002", **kwargs)
    assert ["time_ms", *frame.index.names[1:], *frame.columns] == \
        [h for h in header if h != "time_utc"]
    assert frame_rows(frame) == [[r[0], *r[2:]] for r in rows]


def test_large_frame_outlives_its_archive(tool, tmp_path):
    # Large enough (some 17 MB of values) that its columns share one memory block: each
    # instance's rows must match a frame read for that instance alone, after the close.
    base = generate(tool, tmp_path, "--objects", "1", "--instances", "200", "--counters", "12",
                    "--duration", "9h", "--period", "60s")
    with tesra.open(base) as a:
        frame = a.values("object_001")
        alone = {k: a.values("object_001", keys={"instance_name": k})
                 for k in ("inst_00000", "inst_00123", "inst_00199")}
    assert frame.shape == (108000, 21)
    for key, expected in alone.items():
        pd.testing.assert_frame_equal(frame.xs(key, level="instance_name", drop_level=False),
                                      expected)


def test_dtypes_index_and_definitions(archive):
    with tesra.open(archive) as a:
        frame = a.values("object_001")
        counters = {c.name: c for c in a.counters("object_001")}
        times = a.timestamps("object_001", 60000)
        info = a.info
    assert frame.index.names == ["time", "instance_name"]
    assert str(frame.index.levels[0].tz) == "UTC"
    assert frame.dtypes.to_dict() == {
        "count_000": np.uint64, "level_001": np.uint32,
        **{f"hist_002[b{i}]": np.uint64 for i in range(4)},
        "state_003": object, "count_004": np.uint64, "level_005": np.uint32}
    assert all(isinstance(v, str) for v in frame["state_003"])
    assert counters["hist_002"].columns == tuple(f"hist_002[b{i}]" for i in range(4))
    assert counters["count_000"].unit == "operations" and counters["level_001"].unit is None
    assert counters["instance_name"].is_key and counters["state_003"].kind == "string"
    assert times.dtype == np.dtype("datetime64[ms]") and len(times) == 30
    assert times[0] == np.datetime64(START_MS, "ms")
    assert (info.node, info.version, info.state) == ("gen-node-01", (6, 1), "closed")
    assert info.start == pd.Timestamp(START_MS, unit="ms", tz="UTC")
    assert frame.index.get_level_values("time").unique().equals(
        pd.DatetimeIndex(times, name="time").tz_localize("UTC"))


def test_records_in_both_orders(archive):
    with tesra.open(archive) as a:
        timed = list(a.records())
        stream = list(a.records(order="stream"))
        late = list(a.records(start=START_MS + 29 * 60000))
    assert len(timed) == len(stream) == 60
    assert [r.time for r in timed] == sorted(r.time for r in timed)
    assert {r.object for r in timed} == {"object_001", "object_002"}
    assert all(r.instances == 5 and r.period == 60000 for r in timed)
    assert len(late) == 2
