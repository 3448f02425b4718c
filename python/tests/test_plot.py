"""Charts: what is drawn, and the command line that writes them."""

import subprocess
import sys

import matplotlib

matplotlib.use("Agg")

import tesra  # noqa: E402


def test_plot_draws_a_line_per_instance_and_value(archive):
    with tesra.open(archive) as a:
        ax = tesra.plot(a, "object_001", "count_000")
        assert len(ax.get_lines()) == 5
        assert ax.get_title() == "object_001 on gen-node-01: count_000"
        assert ax.get_ylabel() == "count_000 (operations)"
        frame = a.values("object_001", counters="hist_002")
    ax = tesra.plot(frame, None, "hist_002", keys={"instance_name": "inst_00002"})
    assert [line.get_label() for line in ax.get_lines()] == \
        [f"inst_00002 [b{i}]" for i in range(4)]
    assert list(ax.get_lines()[3].get_ydata()) == \
        frame.xs("inst_00002", level="instance_name")["hist_002[b3]"].tolist()


def test_plot_command_writes_png_and_svg(archive, tmp_path):
    for name in ("chart.png", "chart.svg"):
        out = tmp_path / name
        subprocess.run([sys.executable, "-m", "tesra", "plot", archive, "object_002", "level_001",
                        "--key", "instance_name=inst_00001", "--from", "2025-12-06T05:50:40Z",
                        "-o", str(out)], check=True, capture_output=True)
        data = out.read_bytes()
        if name.endswith(".png"):
            assert data.startswith(b"\x89PNG")
        else:
            assert b"<svg" in data[:2048]
    bad = subprocess.run([sys.executable, "-m", "tesra", "plot", archive, "object_002", "nope",
                          "-o", str(tmp_path / "x.png")], capture_output=True, text=True)
    assert bad.returncode == 2 and "no counter 'nope'" in bad.stderr


def test_plot_of_a_series_spans_its_archives(tool, tmp_path):
    subprocess.run([tool, "gen", str(tmp_path), "--archives", "2", "--objects", "1",
                    "--instances", "2", "--counters", "2", "--duration", "10m",
                    "--period", "60s"], check=True, capture_output=True)
    with tesra.open_series(tmp_path) as s:
        ax = tesra.plot(s, "object_001", "count_000")
    assert ax.get_title() == "object_001 on gen-node-01: count_000"
    assert [len(line.get_xdata()) for line in ax.get_lines()] == [20, 20]
    out = tmp_path / "series.png"
    subprocess.run([sys.executable, "-m", "tesra", "plot", str(tmp_path), "object_001",
                    "count_000", "-o", str(out)], check=True, capture_output=True)
    assert out.read_bytes().startswith(b"\x89PNG")
