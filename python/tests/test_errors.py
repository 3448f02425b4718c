"""Bad arguments, damaged archives, and handles: closing, collection while iterating, leaks."""

import gc
import os

import pytest

import tesra


def open_fds(base):
    """The descriptors of this process open on the archive's files."""
    out = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if target.startswith(base):
            out.append(target)
    return out


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


@pytest.mark.parametrize("call, error, message", [
    (lambda a: a.values(42), TypeError, "object: a name"),
    (lambda a: a.values("object_001", counters=[1]), TypeError, "names are strings"),
    (lambda a: a.values("object_001", counters=["nope"]), ValueError, "no counter 'nope'"),
    (lambda a: a.values("object_001", start=[1]), TypeError, "start: a time"),
    (lambda a: a.values("object_001", start="yesterday-ish"), ValueError, "not a time"),
    (lambda a: a.values("object_001", start=5, end=4), ValueError, "start is after end"),
    (lambda a: a.values("object_001", period="5m"), ValueError, "not sampled every 5m"),
    (lambda a: a.values("object_001", period=1.5), TypeError, "period"),
    (lambda a: a.values("object_001", keys="instance_name"), TypeError, "keys"),
    (lambda a: a.values("object_001", keys={"count_000": 1}), ValueError, "no key counter"),
    (lambda a: a.values("object_001", keys=["instance_name"]), ValueError, "NAME=VALUE"),
    (lambda a: a.values("no_such_object"), tesra.NotFoundError, "TESRA_OBJECT_NOT_FOUND"),
    (lambda a: a.records(order="random"), ValueError, "order"),
    (lambda a: a.timestamps("object_001", None), TypeError, "period"),
])
def test_bad_arguments_raise_clear_errors(archive, call, error, message):
    with tesra.open(archive) as a:
        with pytest.raises(error, match=message):
            call(a)


def test_missing_and_damaged_archives(damaged, tmp_path):
    with pytest.raises(FileNotFoundError):
        tesra.open(str(tmp_path / "1_60_1765000000000_60000"))
    with pytest.raises(TypeError):
        tesra.open(3)

    data = open(damaged + ".gz", "rb").read()
    with open(damaged + ".gz", "wb") as f:
        f.write(data[: len(data) // 2])
    with tesra.open(damaged) as a:
        with pytest.raises(tesra.CorruptArchiveError, match=r"sample after 2025-12-06T\S+Z") as e:
            a.values("object_001")
        assert e.value.label == "TESRA_READ_FAILED" and e.value.archive == damaged
        with pytest.raises(tesra.CorruptArchiveError):
            list(a.records())

    meta = open(damaged + ".meta", "rb").read()
    with open(damaged + ".meta", "wb") as f:
        f.write(meta[:300])
    with pytest.raises(tesra.CorruptArchiveError, match="open: TESRA_PARSING_ERROR"):
        tesra.open(damaged)


def test_with_closes_handles_and_closed_archive_refuses(archive):
    with tesra.open(archive) as a:
        a.values("object_001")
        assert open_fds(archive)
    assert a.closed and not open_fds(archive)
    with pytest.raises(ValueError, match="closed"):
        a.values("object_001")
    a.close()  # a second close is harmless


def test_walks_survive_del_close_and_a_later_walk(archive):
    a = tesra.open(archive)
    walk = a.records()
    next(walk)
    del a
    gc.collect()
    assert len(list(walk)) == 59  # the walk keeps its archive alive

    a = tesra.open(archive)
    first = a.records()
    next(first)
    second = a.records()
    next(second)
    with pytest.raises(ValueError, match="replaced by a later walk"):
        next(first)
    a.close()
    with pytest.raises(ValueError, match="closed"):
        next(second)
    del second
    gc.collect()
    assert not open_fds(archive)


def test_no_leak_after_1000_opens(archive):
    def round_trip():
        with tesra.open(archive) as a:
            a.values("object_001", counters="count_000")

    for _ in range(50):  # let allocator and caches settle
        round_trip()
    fds, rss = len(os.listdir("/proc/self/fd")), rss_kib()
    for _ in range(1000):
        round_trip()
    gc.collect()
    assert len(os.listdir("/proc/self/fd")) <= fds
    assert rss_kib() - rss < 8 * 1024, "RSS grew by more than 8 MiB over 1000 opens"
