"""velmora fit, simulate and compare on CSV files."""

import contextlib
import io
import os
import select
import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest

from velmora import cli
from velmora.study import SerialExecutor, compare, fit_many


def velmora(*args, capsys):
    return cli.main([str(a) for a in args]), *capsys.readouterr()


@pytest.fixture
def study(tmp_path, capsys):
    (tmp_path / "params.csv").write_text(
        "subject,obs_noise,precision_flexibility,zeta\ns1,0.5,1,0.2\ns2,1.0,2,0.1\ns3,2.0,0.5,0.3\ns4,0.8,1,0.2\n"
    )
    (tmp_path / "inputs.csv").write_text("x\n" + "".join(f"{float(v)!r}\n" for v in np.sin(np.arange(30) / 3.0)))
    status, _, err = velmora(
        "simulate",
        "--model",
        "hgf",
        "--params",
        tmp_path / "params.csv",
        "--inputs",
        tmp_path / "inputs.csv",
        "--seed",
        4,
        "--output",
        tmp_path / "study.csv",
        capsys=capsys,
    )
    assert status == 0, err
    return tmp_path / "study.csv"


def test_simulate_fit_compare_round_trip_every_bit(study, tmp_path, capsys):
    data = pd.read_csv(study, dtype={"subject": str})
    assert list(data.columns) == ["subject", "trial", "input", "response"] and len(data) == 120
    outputs = {}
    for model in ("kalman", "hgf"):
        outputs[model] = tmp_path / f"{model}.csv"
        status, _, err = velmora(
            "fit",
            study,
            "--model",
            model,
            "--jobs",
            1,
            "--n-starts",
            2,
            "--seed",
            1,
            "--output",
            outputs[model],
            capsys=capsys,
        )
        assert status == 0 and err == "", err
        written = pd.read_csv(outputs[model], dtype={"subject": str}, keep_default_na=False, na_values=["nan"])
        direct = fit_many(data, model, executor=SerialExecutor(), n_starts=2, seed=1)
        # The shortest round-trip text reads back as the very same doubles.
        pd.testing.assert_frame_equal(
            written.drop(columns=["message", "error"]),
            direct.drop(columns=["message", "error"]),
            check_exact=True,
            check_dtype=False,
        )
    status, out, err = velmora("compare", outputs["kalman"], outputs["hgf"], capsys=capsys)
    assert status == 0, err
    table = pd.read_csv(io.StringIO(out))
    expected = compare({m: pd.read_csv(p, dtype={"subject": str}) for m, p in outputs.items()}).to_frame()
    pd.testing.assert_frame_equal(table, expected, check_exact=False, rtol=1e-12)


@pytest.mark.parametrize(
    "edit, message",
    [
        (lambda text: text.replace("\ns2,3,", "\ns2,3,x", 1), "line 35, column 3 (input): "),
        (lambda text: text.replace("response", "answer", 1), "has no column 'response'; its first line reads"),
        (lambda text: "", "is empty"),
        (lambda text: text.split("\n")[0] + "\n", "holds a header line but no rows"),
        (lambda text: text.replace("\ns2,3,", "\n ,3,", 1), "line 35, column 1 (subject): blank; every row needs"),
    ],
)
def test_a_broken_table_ends_with_one_line_and_writes_nothing(study, tmp_path, capsys, edit, message):
    broken = tmp_path / "broken.csv"
    broken.write_text(edit(study.read_text()))
    status, out, err = velmora(
        "fit", broken, "--model", "kalman", "--jobs", 1, "--output", tmp_path / "fits.csv", capsys=capsys
    )
    assert status == 1 and out == "" and err.count("\n") == 1 and message in err, err
    assert err.startswith(f"velmora fit: {broken}")
    assert not (tmp_path / "fits.csv").exists()


@pytest.mark.parametrize("jobs", [["-j", "1"], ["-j", "2"], []], ids=["in-process", "two-processes", "default"])
def test_ctrl_c_ends_a_study_at_once(study, jobs):
    code = "import sys; from velmora import cli; print(flush=True); sys.exit(cli.main(sys.argv[1:]))"
    command = [sys.executable, "-c", code, "fit", study, "--model", "hgf", "--n-starts", "1000000", *jobs]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True) as run:
        try:
            # velmora is imported once a line comes; two seconds on, the fits are under way.
            assert select.select([run.stdout], [], [], 120)[0], "no line within 120 s"
            run.stdout.readline()
            time.sleep(2.0)
            run.send_signal(signal.SIGINT)  # to the main process alone, as a notebook interrupts
            assert run.wait(timeout=5) == 130
        finally:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(run.pid, signal.SIGKILL)  # whatever would be left running


def test_with_standard_error_closed_notices_and_the_bar_go_nowhere(tmp_path, monkeypatch):
    (tmp_path / "s.csv").write_text("subject,input,response\na,0,1\na,1,0.5\na,2,0.7\nb,0,nan\nb,1,nan\n")
    run = subprocess.run(
        f'"{sys.executable}" -m velmora fit s.csv --model kalman -j 1 2>&-',
        shell=True,
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    fits = pd.read_csv(io.StringIO(run.stdout), keep_default_na=False)
    assert run.returncode == 0 and list(fits["subject"]) == ["a", "b"] and "every trial is missing" in fits["error"][1]
    monkeypatch.setattr(sys, "stderr", None)
    fits = fit_many(pd.read_csv(tmp_path / "s.csv"), "kalman", executor=SerialExecutor(), progress=True)
    assert fits["error"][0] == ""


@pytest.mark.parametrize("missing", ["", "NA", " NA ", "nan"])
def test_blank_and_na_responses_are_missed_trials_as_in_python(study, tmp_path, capsys, missing):
    data = pd.read_csv(study, dtype={"subject": str})
    data.loc[[3, 40, 41], "response"] = np.nan
    text = data.to_csv(index=False, na_rep=missing)
    (tmp_path / "gaps.csv").write_text(text)
    status, out, err = velmora(
        "fit", tmp_path / "gaps.csv", "--model", "kalman", "-j", 1, "--n-starts", 2, capsys=capsys
    )
    assert status == 0, err
    written = pd.read_csv(io.StringIO(out), dtype={"subject": str}, keep_default_na=False, na_values=["nan"])
    direct = fit_many(data, "kalman", executor=SerialExecutor(), n_starts=2)
    pd.testing.assert_frame_equal(
        written.drop(columns=["message", "error"]),
        direct.drop(columns=["message", "error"]),
        check_exact=True,
        check_dtype=False,
    )
    assert list(written["n_trials"]) == [29, 28, 30, 30]  # the missed trials count for nothing


def test_a_run_where_nothing_could_be_fitted_writes_its_reasons_and_fails(study, tmp_path, capsys):
    status, out, err = velmora(
        "fit",
        study,
        "--model",
        "td",
        "--response-model",
        "unit_square",
        "-j",
        1,
        "-o",
        tmp_path / "fits.csv",
        capsys=capsys,
    )
    written = pd.read_csv(tmp_path / "fits.csv", keep_default_na=False)
    assert status == 1 and err.startswith("velmora fit: none of the 4 participants could be fitted")
    assert (written["error"] != "").all() and "a choice is 1, 0 or NaN" in written["error"][0]


def test_compare_says_its_warnings_in_its_own_lines(study, tmp_path, capsys):
    status, _, err = velmora(
        "fit-group",
        study,
        "--model",
        "kalman",
        "-j",
        1,
        "--no-progress",
        "--max-iter",
        2,
        "-o",
        tmp_path / "group.csv",
        capsys=capsys,
    )
    assert status == 1, err  # two passes do not converge; the table is written all the same
    assert velmora("fit", study, "--model", "kalman", "-j", 1, "-o", tmp_path / "fits.csv", capsys=capsys)[0] == 0
    status, out, err = velmora("compare", tmp_path / "group.csv", tmp_path / "fits.csv", capsys=capsys)
    assert status == 0 and out.startswith("model,"), err
    lines = err.splitlines()
    assert lines and all(line.startswith("velmora compare: ") for line in lines), err
    assert any("group fit's participants' table holds no integrated likelihood" in line for line in lines), err


@pytest.mark.parametrize("command", [["fit"], ["fit-group", "--no-progress"]])
def test_running_out_of_memory_ends_in_one_line(study, tmp_path, capsys, monkeypatch, command):
    from velmora import group, study as study_module

    def too_big(*_, **__):  # what NumPy raises for an array beyond the machine (--n-samples 1e11)
        raise MemoryError("Unable to allocate 2.91 TiB for an array with shape (1, 100000000000, 4)")

    monkeypatch.setattr(group, "fit_group", too_big)
    monkeypatch.setattr(study_module, "fit_many", too_big)
    status, out, err = velmora(
        *command, study, "--model", "kalman", "-j", 1, "-o", tmp_path / "fits.csv", capsys=capsys
    )
    assert (status, out) == (1, "") and not (tmp_path / "fits.csv").exists()
    assert err.count("\n") == 1 and err.startswith(f"velmora {command[0]}: out of memory (Unable to allocate"), err


@pytest.mark.parametrize(
    "options, keywords",
    [
        (
            ["--prior", "zeta=-3,0.5", "--prior", "obs_noise=1,2"],
            {"priors": {"zeta": (-3.0, 0.5), "obs_noise": (1.0, 2.0)}},
        ),
        (["--prior", "zeta=-3,0.5", "--fixed", "mu1=0.2"], {"priors": {"zeta": (-3.0, 0.5)}, "fixed": {"mu1": 0.2}}),
        (["--n-starts", "3", "--seed", "7"], {"n_starts": 3, "seed": 7}),
    ],
)
def test_fit_options_reach_every_participant_fit(study, capsys, options, keywords):
    status, out, err = velmora("fit", study, "--model", "hgf", "-j", 1, *options, capsys=capsys)
    assert status == 0, err
    written = pd.read_csv(io.StringIO(out), dtype={"subject": str}, keep_default_na=False, na_values=["nan"])
    direct = fit_many(
        pd.read_csv(study, dtype={"subject": str}), "hgf", executor=SerialExecutor(), **{"n_starts": 4, **keywords}
    )
    pd.testing.assert_frame_equal(
        written.drop(columns=["message", "error"]),
        direct.drop(columns=["message", "error"]),
        check_exact=True,
        check_dtype=False,
    )


@pytest.mark.parametrize(
    "options, keywords",
    [
        (["--max-iter", "1"], {"max_iter": 1}),
        (["--n-starts", "2", "--tol", "0.5", "--max-iter", "3"], {"n_starts": 2, "tol": 0.5, "max_iter": 3}),
        (
            ["--method", "sampling", "--n-samples", "50", "--max-iter", "2"],
            {"method": "sampling", "n_samples": 50, "max_iter": 2},
        ),
        (["--no-responses", "--max-iter", "2"], {"response": None, "max_iter": 2}),
    ],
)
def test_fit_group_writes_the_run_beside_the_group_estimates(study, tmp_path, capsys, options, keywords):
    from velmora import fit_group

    status, out, err = velmora(
        "fit-group",
        study,
        "--model",
        "kalman",
        "-j",
        1,
        "--no-progress",
        "--group",
        tmp_path / "group.csv",
        *options,
        capsys=capsys,
    )
    direct = fit_group(pd.read_csv(study, dtype={"subject": str}), "kalman", threads=1, progress=False, **keywords)
    group = pd.read_csv(tmp_path / "group.csv")
    assert status == (0 if direct.converged else 1), err
    assert (not direct.converged) == ("not converged after" in err)
    expected = direct.group_frame()
    np.testing.assert_array_equal(group["estimate"], expected["estimate"])
    for column in ("converged", "passes", "log_likelihood", "ibic"):  # every row says which run it is of
        assert (group[column] == getattr(direct, column)).all(), column
