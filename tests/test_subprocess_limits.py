"""Every subprocess a test starts has a time limit, so that a hang fails its test instead of
holding CI until the run's own limit."""

import ast
from pathlib import Path

import pytest

WAITING = {"run", "call", "check_call", "check_output"}


def unlimited_calls(source):
    """(line, name) of each subprocess.run/call/check_call/check_output call without timeout=."""
    found = []
    for node in ast.walk(ast.parse(source)):
        if (
            isinstance(node, ast.Call)
            and isinstance(node.func, ast.Attribute)
            and node.func.attr in WAITING
            and isinstance(node.func.value, ast.Name)
            and node.func.value.id == "subprocess"
            and not any(k.arg == "timeout" or k.arg is None for k in node.keywords)
        ):
            found.append((node.lineno, node.func.attr))
    return found


@pytest.mark.parametrize("path", sorted(Path(__file__).parent.glob("*.py")), ids=lambda p: p.name)
def test_every_subprocess_call_has_a_timeout(path):
    assert unlimited_calls(path.read_text()) == []


@pytest.mark.parametrize(
    "source, expected",
    [
        ("subprocess.run(['x'], check=True)", [(1, "run")]),
        ("subprocess.check_output(['x'])\nsubprocess.run(['x'], timeout=5)", [(1, "check_output")]),
        ("subprocess.run(['x'], **limits)", []),
        ("run(['x'])", []),
    ],
    ids=["run", "one_of_two", "keywords_passed_on", "not_subprocess"],
)
def test_the_check_finds_a_call_without_a_limit(source, expected):
    assert unlimited_calls(source) == expected
