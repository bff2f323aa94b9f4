"""Every example in the README and in the documentation's guides runs and prints what they show."""

import doctest
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
# The guides are one session, in the order the site lists them: names defined in one are used later.
GUIDES = [
    ROOT / "docs" / "guide" / f"{name}.md"
    for name in ("models", "arrays", "fitting", "studies", "choices", "group", "design", "cli")
]
FENCE = re.compile(r"^```(\w+)\n(.*?)^```", re.DOTALL | re.MULTILINE)


def blocks(language, paths=(README, *GUIDES)):
    found = []
    for path in paths:
        text = path.read_text()
        found += [
            (path, text.count("\n", 0, m.start(2)), m.group(2)) for m in FENCE.finditer(text) if m.group(1) == language
        ]
    return found


@pytest.mark.parametrize("paths", [(README,), GUIDES], ids=["readme", "guides"])
def test_python_examples(tmp_path, monkeypatch, paths):
    # The blocks are one session, read top to bottom: names defined in one are used in the next.
    monkeypatch.chdir(tmp_path)  # where the examples' pictures go
    runner = doctest.DocTestRunner()
    report = []
    globs = {"__name__": "readme"}
    python_blocks = blocks("python", paths)
    assert python_blocks
    for path, line, source in python_blocks:
        test = doctest.DocTestParser().get_doctest(source, globs, f"{path.name} line {line + 1}", str(path), line)
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
    for path, line, block in sessions:
        for command, *expected in (part.splitlines() for part in re.split(r"^\$ ", block, flags=re.MULTILINE)[1:]):
            result = subprocess.run(
                command, shell=True, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300
            )
            assert result.returncode == 0, f"{path.name} line {line + 1}: {command}\n{result.stderr}"
            assert result.stdout.splitlines() == expected, f"{path.name} line {line + 1}: {command}"
