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


def test_docstring_all_and_package_exports():
    assert core.__doc__.endswith("core engine for velmora (precision-weighted Bayesian inference).")
    assert core.__name__ == "velmora._core"
    assert core.__all__ == ["__doc__", *CLASSES, *FUNCTIONS]
    assert all(getattr(velmora, name) is getattr(core, name) for name in CLASSES + FUNCTIONS)
    assert set(velmora.__all__) == set(CLASSES + FUNCTIONS + ["fit", "simulate", "FitResult", "Simulation"])


def test_reimport_after_deletion_gives_the_cached_module():
    core.marker_left_by_a_test = 42
    try:
        del sys.modules["velmora._core"]
        assert importlib.import_module("velmora._core") is core and core.marker_left_by_a_test == 42
    finally:
        sys.modules["velmora._core"] = core
        del core.marker_left_by_a_test


def test_import_in_a_subinterpreter_fails_cleanly():
    script = textwrap.dedent("""
        import velmora._core, _xxsubinterpreters as interpreters
        try:
            interpreters.run_string(interpreters.create(), "import velmora._core")
        except interpreters.RunFailedError as error:
            print(error)
        else:
            print("imported")
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert "ImportError" in out and "do not yet support subinterpreters" in out


SIGNATURES_AND_DOCS = {
    "kalman_run": ("(initial_mean, initial_var, observations, process_noise, obs_noise, prior_precision_cap=None)",
                   "Run the 1-D Kalman filter; returns `[(mean, var), ...]` per step."),
    "hgf_run": ("(observations, obs_noise, precision_flexibility, base_process_noise=0.01, mu1=0.0, var1=1.0, "
                "mu2=0.0, var2=1.0)", "Run the volatility-coupled HGF; returns one tuple per step:\n"
                "`(t, prediction, observation, precision, prediction_error, learning_rate, volatility)`."),
    "td_learn_sequence": ("(initial_value, rewards, learning_rate, discount_factor, rpe_noise_std, seed)",
                          "Learn a value estimate across a reward sequence; returns the value trajectory."),
    "discounted_value": ("(reward, delay, discount_factor)",
                         "Subjective discounted value of `reward` after `delay` steps."),
    "forward_simulate": ("(motor_command, update_rate, injury_noise_std, sensory_gain, seed)",
                         "Simulate the self-motion forward model; returns `(t, predicted, actual, mismatch)` per step."),
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_show_signature_and_description(name):
    function = getattr(core, name)
    assert (str(inspect.signature(function)), function.__doc__) == SIGNATURES_AND_DOCS[name]
    assert function.__module__ == core.__name__ and function.__self__ is core


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils' nm is needed to list exported symbols")
def test_only_the_module_entry_is_exported_from_a_stable_abi_build():
    assert ".abi3." in core.__file__
    out = subprocess.run(["nm", "-D", "--defined-only", core.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit__core"]
