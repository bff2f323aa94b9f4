"""Every example in the README runs and prints what the README shows."""

import doctest
import os
import re
import subprocess
import sys
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"
FENCE = re.compile(r"^```(\w+)\n(.*?)^```", re.DOTALL | re.MULTILINE)


def blocks(language):
    text = README.read_text()
    return [(text.count("\n", 0, m.start(2)), m.group(2)) for m in FENCE.finditer(text) if m.group(1) == language]


def test_python_examples(tmp_path, monkeypatch):
    # The blocks are one session, read top to bottom: names defined in one are used in the next.
    monkeypatch.chdir(tmp_path)  # where the examples' pictures go
    runner = doctest.DocTestRunner()
    report = []
    globs = {"__name__": "readme"}
    python_blocks = blocks("python")
    assert python_blocks
    for line, source in python_blocks:
        test = doctest.DocTestParser().get_doctest(source, globs, f"README.md line {line + 1}", str(README), line)
        runner.run(test, out=report.append, clear_globs=False)
        globs = test.globs
    assert runner.failures == 0, "".join(report)


def test_command_line_examples(tmp_path):
    # "velmora" on PATH runs this interpreter's package, whether or not the console script is.
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "velmora").write_text(f'#!/bin/sh\nexec "{sys.executable}" -m velmora "$@"\n')
    (bin_dir / "velmora").chmod(0o755)
    env = {**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}"}
    sessions = blocks("console")
    assert sessions
    for line, block in sessions:
        for command, *expected in (part.splitlines() for part in re.split(r"^\$ ", block, flags=re.MULTILINE)[1:]):
            result = subprocess.run(command, shell=True, cwd=tmp_path, env=env, capture_output=True, text=True)
            assert result.returncode == 0, f"README line {line + 1}: {command}\n{result.stderr}"
            assert result.stdout.splitlines() == expected, f"README line {line + 1}: {command}"
