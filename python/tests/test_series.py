"""A node's archives as one series: a gap between members, a counter one member lacks."""

import os

import numpy as np
import pandas as pd

import tesra
from conftest import generate

HOUR = 3600000


def shifted_copy(base, directory, file_index, shift_ms):
    """The archive again, as the writer's next file `shift_ms` later (same length metadata)."""
    start = 1765000000000
    name = os.path.basename(base).split("_")
    meta = open(base + ".meta", "rb").read()
    old, new = (f"<base_time>{t}</base_time>".encode() for t in (start, start + shift_ms))
    assert meta.count(old) == 1 and len(old) == len(new)
    out = os.path.join(directory, f"{file_index}_{name[1]}_{start + shift_ms}_{name[3]}")
    open(out + ".meta", "wb").write(meta.replace(old, new))
    open(out + ".gz", "wb").write(open(base + ".gz", "rb").read())
    return out


def test_series_across_a_gap_with_a_counter_missing(tool, tmp_path):
    args = ["--objects", "1", "--instances", "3", "--duration", "30m", "--period", "60s"]
    first = generate(tool, tmp_path / "series", *args, "--counters", "5")
    later = generate(tool, tmp_path / "later", *args, "--counters", "4")  # no count_004
    second = shifted_copy(later, tmp_path / "series", 2, HOUR)

    with tesra.open_series(tmp_path / "series") as s:
        frame = s.values("object_001")
        times = s.timestamps("object_001", "1m")
        (gap,) = [f for f in s.findings if f.kind == "gap"]
        info = s.info
    with tesra.open(first) as a, tesra.open(later) as b:
        expected_first, expected_second = a.values("object_001"), b.values("object_001")

    assert [m.file_index for m in info.members] == [1, 2] and info.node == "gen-node-01"
    assert (gap.start, gap.end) == (pd.Timestamp(1765000000000 + 30 * 60000, unit="ms", tz="UTC"),
                                    pd.Timestamp(1765000000000 + HOUR, unit="ms", tz="UTC"))
    assert len(times) == 60 and not ((times >= np.datetime64(gap.start.value // 10**6, "ms")) &
                                     (times < np.datetime64(gap.end.value // 10**6, "ms"))).any()
    assert len(frame) == 180

    head, tail = frame.iloc[:90], frame.iloc[90:]
    pd.testing.assert_frame_equal(head.astype(expected_first.dtypes.to_dict()), expected_first,
                                  check_freq=False, check_flags=False)
    assert tail["count_004"].dtype == "UInt64" and tail["count_004"].isna().all()
    assert head["count_004"].notna().all() and frame["level_001"].dtype == np.uint32
    assert (tail.drop(columns="count_004").to_numpy() == expected_second.to_numpy()).all()
    tail_times = tail.index.get_level_values("time") - pd.Timedelta(milliseconds=HOUR)
    assert (tail_times == expected_second.index.get_level_values("time")).all()
