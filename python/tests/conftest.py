"""Archives for the package's tests, written by the tesra tool's deterministic generator."""

import os
import shutil
import subprocess

import pytest


def _tool() -> str:
    tool = os.environ.get("TESRA_TOOL") or shutil.which("tesra")
    if not tool:
        pytest.exit("set TESRA_TOOL to the tesra tool (ctest does)", returncode=2)
    return tool


@pytest.fixture(scope="session")
def tool() -> str:
    return _tool()


def generate(tool: str, directory, *args: str) -> str:
    """Runs `tesra gen` into `directory` and returns the archive's base path."""
    os.makedirs(directory, exist_ok=True)
    subprocess.run([tool, "gen", str(directory), *args], check=True, capture_output=True)
    (meta,) = [f for f in os.listdir(directory) if f.endswith(".meta")]
    return os.path.join(str(directory), meta[: -len(".meta")])


@pytest.fixture(scope="session")
def archive(tool, tmp_path_factory) -> str:
    """Two objects of 5 instances, one key, counters of every kind, 30 one-minute samples."""
    return generate(tool, tmp_path_factory.mktemp("gen"), "--objects", "2", "--instances", "5",
                    "--counters", "6", "--duration", "30m", "--period", "60s")


@pytest.fixture
def damaged(tool, tmp_path) -> str:
    """A fresh archive of its own, for a test to damage."""
    return generate(tool, tmp_path, "--objects", "1", "--instances", "20", "--counters", "8",
                    "--duration", "1h", "--period", "60s")
