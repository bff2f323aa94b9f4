import importlib
import inspect
import shutil
import subprocess
import sys
import textwrap

import pytest

import velmora
import velmora._core as core

FUNCTIONS = ["kalman_run", "hgf_run", "td_learn_sequence", "discounted_value", "forward_simulate"]
CLASSES = ["VelmoraException", "InvalidParameter", "SingularMatrix", "NumericalDivergence", "DimensionMismatch"]


def test_module_docstring_is_the_replacement():
    assert core.__doc__.endswith("core engine for velmora (precision-weighted Bayesian inference).")
    assert core.__doc__ != "The compiled core module: `velmora._core`."
    assert core.__name__ == "velmora._core"


def test_all_lists_every_addition_in_order():
    assert core.__all__ == ["__doc__", *CLASSES, *FUNCTIONS]


def test_package_reexports_the_public_names():
    for name in CLASSES + FUNCTIONS:
        assert getattr(velmora, name) is getattr(core, name)
    assert set(velmora.__all__) == set(CLASSES + FUNCTIONS)


def test_reimport_after_deletion_gives_the_cached_module():
    core.marker_left_by_a_test = 42
    try:
        del sys.modules["velmora._core"]
        again = importlib.import_module("velmora._core")
        assert again is core
        assert again.marker_left_by_a_test == 42
    finally:
        sys.modules["velmora._core"] = core
        del core.marker_left_by_a_test


def test_import_in_a_subinterpreter_fails_cleanly():
    script = textwrap.dedent(
        """
        import velmora._core, _xxsubinterpreters as interpreters
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import velmora._core")
        except interpreters.RunFailedError as error:
            print(error)
        else:
            print("imported")
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert "ImportError" in out and "do not yet support subinterpreters" in out


SIGNATURES = {
    "kalman_run": "(initial_mean, initial_var, observations, process_noise, obs_noise, prior_precision_cap=None)",
    "hgf_run": "(observations, obs_noise, precision_flexibility, base_process_noise=0.01, mu1=0.0, var1=1.0, "
    "mu2=0.0, var2=1.0)",
    "td_learn_sequence": "(initial_value, rewards, learning_rate, discount_factor, rpe_noise_std, seed)",
    "discounted_value": "(reward, delay, discount_factor)",
    "forward_simulate": "(motor_command, update_rate, injury_noise_std, sensory_gain, seed)",
}
DOCS = {
    "kalman_run": "Run the 1-D Kalman filter; returns `[(mean, var), ...]` per step.",
    "hgf_run": "Run the volatility-coupled HGF; returns one tuple per step:\n"
    "`(t, prediction, observation, precision, prediction_error, learning_rate, volatility)`.",
    "td_learn_sequence": "Learn a value estimate across a reward sequence; returns the value trajectory.",
    "discounted_value": "Subjective discounted value of `reward` after `delay` steps.",
    "forward_simulate": "Simulate the self-motion forward model; returns `(t, predicted, actual, mismatch)` per step.",
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_show_signature_and_description(name):
    function = getattr(core, name)
    assert str(inspect.signature(function)) == SIGNATURES[name]
    assert function.__doc__ == DOCS[name]
    assert function.__module__ == core.__name__
    assert function.__self__ is core


@pytest.mark.parametrize("name", CLASSES)
def test_exception_classes_are_named_under_core(name):
    cls = getattr(core, name)
    assert cls.__module__ == "_core"
    assert cls.__qualname__ == cls.__name__ == name
    assert repr(cls) == f"<class '_core.{name}'>"


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils' nm is needed to list exported symbols")
def test_only_the_module_entry_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", core.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit__core"]


def test_built_for_the_stable_abi():
    assert ".abi3." in core.__file__
