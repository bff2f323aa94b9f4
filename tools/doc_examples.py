"""Runs the examples of Markdown files as a reader would: the ```python blocks as one doctest session
per file, the ```console blocks' commands through the shell, each command's output compared with the
lines shown under it. Standard library only, so that it runs where nothing but velmora and its
dependencies is installed.

    python tools/doc_examples.py [--timeout SECONDS] FILE.md [FILE.md ...]

Commands run in a scratch directory, the current one. A command that needs an optional library the
environment lacks passes when it fails as documented: exit status 1 and one line on standard error
that says which extra to install. Exit status: 0 when every example did what it shows, 1 otherwise.
"""

from __future__ import annotations

import argparse
import doctest
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

FENCE = re.compile(r"^```(\w+)\n(.*?)^```", re.DOTALL | re.MULTILINE)
# An option's library, and the extra that brings it.
OPTIONAL = {"--plot": ("matplotlib", "plot")}


def blocks(path: Path, language: str) -> list[tuple[int, str]]:
    text = path.read_text()
    return [(text.count("\n", 0, m.start(2)) + 1, m.group(2)) for m in FENCE.finditer(text) if m.group(1) == language]


def run_python(path: Path) -> list[str]:
    runner = doctest.DocTestRunner()
    report: list[str] = []
    globs: dict[str, object] = {"__name__": "examples"}
    for line, source in blocks(path, "python"):
        test = doctest.DocTestParser().get_doctest(source, globs, f"{path.name} line {line}", str(path), line)
        runner.run(test, out=report.append, clear_globs=False)
        globs = test.globs
    return [f"{path.name}: {runner.failures} Python example(s) failed\n{''.join(report)}"] if runner.failures else []


def missing_extra(command: str) -> str | None:
    for option, (library, extra) in OPTIONAL.items():
        if option in command.split() and importlib.util.find_spec(library) is None:
            return extra
    return None


def run_console(path: Path, timeout: float) -> list[str]:
    failures = []
    for line, block in blocks(path, "console"):
        for command, *expected in (part.splitlines() for part in re.split(r"^\$ ", block, flags=re.MULTILINE)[1:]):
            where = f"{path.name} line {line}: {command}"
            try:
                result = subprocess.run(command, shell=True, capture_output=True, text=True, timeout=timeout)
            except subprocess.TimeoutExpired:
                failures.append(f"{where}\n  still running after {timeout} s")
                continue
            extra = missing_extra(command)
            if extra is not None:  # documented to need an extra that is not installed: it must say so
                said = result.stderr.strip()
                if not (result.returncode == 1 and "\n" not in said and f"velmora[{extra}]" in said):
                    failures.append(
                        f"{where}\n  without its extra '{extra}': exit {result.returncode}, "
                        f"standard error:\n{result.stderr}"
                    )
                continue
            if result.returncode != 0:
                failures.append(f"{where}\n  exit {result.returncode}, standard error:\n{result.stderr}")
            elif result.stdout.splitlines() != expected:
                failures.append(
                    f"{where}\n  printed:\n{result.stdout}  where the document shows:\n"
                    + "".join(f"{text}\n" for text in expected)
                )
    return failures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--timeout", type=float, default=600.0, help="seconds each command may take")
    parser.add_argument("files", nargs="+", type=Path)
    args = parser.parse_args()
    failures = []
    for path in args.files:
        failures += run_python(path) + run_console(path, args.timeout)
    for failure in failures:
        print(failure, file=sys.stderr)
    print(
        f"{len(args.files)} file(s): {'every example did what it shows' if not failures else f'{len(failures)} failed'}"
    )
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
