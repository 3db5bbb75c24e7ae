"""The README's first examples run exactly as written: its first ```python block
and its first `corvane encode` line, each read from README.md itself, in an
empty folder holding only talk.mp4."""

import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import CORVANE, corvane_command

ROOT = Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text()


def first_python_block():
    found = re.search(r"^```python\n(.*?)^```", README, re.MULTILINE | re.DOTALL)
    assert found, "README.md has no ```python block"
    return found.group(1)


def first_encode_line():
    found = re.search(r"^(corvane encode .*)$", README, re.MULTILINE)
    assert found, "README.md has no line starting `corvane encode`"
    return found.group(1)


@pytest.fixture
def talk(clip, tmp_path):
    """An empty folder holding only talk.mp4: 2 s of 320x180 with sound."""
    folder = tmp_path / "reader"
    folder.mkdir()
    shutil.copy(clip("mp4"), folder / "talk.mp4")
    return folder


def test_first_python_block_makes_a_ladder_that_checks(talk):
    done = subprocess.run(
        [sys.executable, "-c", first_python_block()],
        cwd=talk,
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    masters = list(talk.rglob("master.m3u8"))
    assert len(masters) == 1, masters
    checked = corvane_command("check", masters[0])
    assert checked.returncode == 0, checked.stdout + checked.stderr


def test_first_encode_line_publishes_a_ladder_that_checks(talk):
    line = first_encode_line()
    words = shlex.split(line, comments=True)
    outdir = talk / words[3]  # corvane encode INPUT OUTDIR
    # Through the shell, as a reader types it, with the installed command first on PATH.
    path = f"{CORVANE.parent}{os.pathsep}{os.environ.get('PATH', '')}"
    done = subprocess.run(
        line,
        shell=True,
        cwd=talk,
        env={**os.environ, "PATH": path},
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    assert (outdir / "manifest.json").is_file()
    checked = corvane_command("check", outdir / "master.m3u8")
    assert checked.returncode == 0, checked.stdout + checked.stderr


def test_relative_links_lead_to_files():
    targets = re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", README)
    local = [t for t in targets if "://" not in t]
    assert local
    assert [t for t in local if not (ROOT / t).exists()] == []
