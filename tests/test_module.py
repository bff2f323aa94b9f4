import importlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import velmora
import velmora._core as core


def test_package_reexports_the_module():
    names = [name for name in core.__all__ if name != "__doc__"]
    assert all(getattr(velmora, n) is getattr(core, n) for n in names)
    assert sorted(velmora.__all__) == sorted(
        names
        + [
            "fit",
            "simulate",
            "FitResult",
            "Simulation",
            "fit_many",
            "simulate_many",
            "compare",
            "to_inference_data",
            "plot_choices",
            "plot_hgf_binary",
            "fit_group",
            "GroupFit",
            "payoffs",
            "regressors",
            "plot_option_choices",
            "recovery",
            "model_recovery",
            "power",
            "predictive_check",
            "Recovery",
            "ModelRecovery",
            "Power",
            "PredictiveCheck",
        ]
    )


def test_reimport_after_deletion_gives_the_cached_module():
    core.marker_left_by_a_test = 42
    try:
        del sys.modules["velmora._core"]
        assert importlib.import_module("velmora._core") is core and core.marker_left_by_a_test == 42
    finally:
        sys.modules["velmora._core"] = core
        del core.marker_left_by_a_test


def test_import_in_a_subinterpreter_fails_cleanly():
    # The module keeps per-process state: an isolated subinterpreter must get an ImportError, not a
    # crash. Which one, and the name of the interface, depend on the version.
    script = textwrap.dedent("""
        import velmora._core
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interpreters.run_string(interpreters.create(), "\\n".join([
            "try:", "    import velmora._core", "except ImportError as error:", "    print('ImportError:', error)",
            "else:", "    print('imported')"]))
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True, timeout=120).stdout
    assert out.startswith("ImportError: "), out


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils' nm is needed to list exported symbols")
def test_only_the_module_entry_is_exported_from_a_stable_abi_build():
    assert ".abi3." in core.__file__
    out = subprocess.run(
        ["nm", "-D", "--defined-only", core.__file__], capture_output=True, text=True, check=True, timeout=120
    )
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit__core"]
