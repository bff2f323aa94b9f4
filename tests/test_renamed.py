"""Former spellings, kept for one release: each one warns, names its new spelling, and gives exactly
what the new spelling gives. ``response_model`` is the model of the responses everywhere and
``response`` the responses' column; the command ``discount`` was the scalar discounting beside the
choice model ``--model discount``."""

import os
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import velmora
import velmora.arrays as va

RNG = np.random.default_rng(5)
REWARDS = (RNG.random(40) < 0.7).astype(float)
CHOICES = (RNG.random(40) < 0.5).astype(float)
PARAMS = {"initial_value": 0.5, "learning_rate": 0.3, "beta": 3.0}
STUDY = pd.DataFrame({"subject": ["a", "b"], "learning_rate": [0.2, 0.4], "initial_value": 0.5, "beta": 2.0})


def same_arrays(a, b):
    pd.testing.assert_frame_equal(a.to_frame(), b.to_frame(), check_exact=True)
    return a.response_model == b.response_model


def same_simulation(a, b):
    pd.testing.assert_frame_equal(a.to_frame(), b.to_frame(), check_exact=True)
    return a.responses is not None


def same_table(a, b):
    pd.testing.assert_frame_equal(a, b, check_exact=True)
    return True


# (name, call with the keyword spelled `key`, the old spelling, the new one, how results compare)
KEYWORDS = [
    ("velmora.fit", lambda **k: velmora.fit("td", REWARDS, CHOICES, seed=3, **k), lambda a, b: a == b),
    (
        "velmora.arrays.fit",
        lambda **k: va.fit("td", [REWARDS, REWARDS[:30]], [CHOICES, CHOICES[:30]], **k),
        same_arrays,
    ),
    ("velmora.simulate", lambda **k: velmora.simulate("td", REWARDS, PARAMS, seed=4, **k), same_simulation),
    ("velmora.simulate_many", lambda **k: velmora.simulate_many("td", STUDY, REWARDS, seed=4, **k), same_table),
]


@pytest.mark.parametrize("call, same", [c[1:] for c in KEYWORDS], ids=[c[0] for c in KEYWORDS])
def test_the_former_response_keyword_warns_and_gives_the_same_result(call, same):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the new spelling warns of nothing
        new = call(response_model="unit_square")
    with pytest.warns(DeprecationWarning, match=r"response= is deprecated, use response_model=") as caught:
        old = call(response="unit_square")
    assert len(caught) == 1 and caught[0].filename == __file__  # the warning points at the caller
    assert same(old, new)


@pytest.mark.parametrize("call", [c[1] for c in KEYWORDS], ids=[c[0] for c in KEYWORDS])
def test_both_spellings_at_once_are_refused(call):
    with pytest.raises(TypeError, match="response= is the former spelling of response_model="):
        call(response="unit_square", response_model="unit_square")


@pytest.mark.parametrize(
    "result",
    [
        lambda: velmora.fit("td", REWARDS, CHOICES, response_model="unit_square", n_starts=1),
        lambda: va.fit("td", [REWARDS], [CHOICES], response_model="unit_square", n_starts=1),
        lambda: velmora.fit("kalman", REWARDS, n_starts=1),
    ],
    ids=["FitResult", "FitArrays", "observations"],
)
def test_the_former_response_attribute_warns_and_reads_the_response_model(result):
    fitted = result()
    with pytest.warns(DeprecationWarning, match=r"\.response is deprecated, use \.response_model"):
        old = fitted.response
    assert old == fitted.response_model and old in ("unit_square", "observations")


def velmora_command(*args):
    return subprocess.run(
        [sys.executable, "-m", "velmora", *map(str, args)], capture_output=True, text=True, timeout=300
    )


@pytest.fixture(scope="module")
def study_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("study") / "study.csv"
    velmora.simulate_many("td", STUDY, REWARDS, response_model="unit_square", seed=1).to_csv(path, index=False)
    return path


# (old arguments, new arguments, what the notice names)
COMMANDS = {
    "discount command": (
        ["discount", "--reward", 10, "--discount-factor", 0.9, "--delay", 2.5],
        ["discounted-value", "--reward", 10, "--discount-factor", 0.9, "--delay", 2.5],
        "use 'velmora discounted-value'",
    ),
    "--response option": (
        ["fit", "{study}", "--model", "td", "--response", "unit_square", "--fixed", "initial_value=0.5", "-j", 1],
        ["fit", "{study}", "--model", "td", "--response-model", "unit_square", "--fixed", "initial_value=0.5", "-j", 1],
        "--response is deprecated, use --response-model",
    ),
}


@pytest.mark.parametrize("old, new, notice", COMMANDS.values(), ids=list(COMMANDS))
def test_the_former_command_line_spelling_gives_a_notice_and_the_same_output(old, new, notice, study_file):
    fill = lambda args: [str(study_file) if a == "{study}" else a for a in args]  # noqa: E731
    before, after = velmora_command(*fill(old)), velmora_command(*fill(new))
    assert after.returncode == 0 and after.stderr == "", after.stderr
    assert before.returncode == 0 and notice in before.stderr and before.stderr.count("\n") == 1, before.stderr
    assert before.stdout == after.stdout and after.stdout.count("\n") > 1


@pytest.mark.parametrize("old, new, notice", COMMANDS.values(), ids=list(COMMANDS))
@pytest.mark.parametrize("stderr", ["full", "broken pipe"])
def test_a_notice_that_cannot_be_written_changes_neither_output_nor_exit_status(old, new, notice, study_file, stderr):
    # The old spellings worked with standard error on a full disk or a gone reader; their notice
    # must not turn a good run into a failure with nothing written.
    fill = lambda args: [str(study_file) if a == "{study}" else a for a in args]  # noqa: E731
    expected = velmora_command(*fill(new))
    if stderr == "full":
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full")
        sink = os.open("/dev/full", os.O_WRONLY)
    else:
        read_end, sink = os.pipe()
        os.close(read_end)
    try:
        before = subprocess.run(
            [sys.executable, "-m", "velmora", *map(str, fill(old))],
            stdout=subprocess.PIPE,
            stderr=sink,
            text=True,
            timeout=300,
        )
    finally:
        os.close(sink)
    assert before.returncode == 0
    assert before.stdout == expected.stdout and expected.stdout.count("\n") > 1


@pytest.mark.parametrize("command", ["fit", "fit-group", "simulate"])
def test_both_spellings_of_the_response_model_option_are_refused(command, study_file):
    # The last one would otherwise win silently, where the Python API refuses both keywords.
    run = velmora_command(command, "--response", "unit_square", "--response-model", "gaussian", "--help-never")
    assert run.returncode == 2 and "not allowed with argument" in run.stderr, run.stderr
