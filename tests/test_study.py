"""Whole studies: fitting many participants from a table, simulating one, comparing models."""

import contextlib
import multiprocessing
import os
import re
import subprocess
import sys
import textwrap
import warnings
from concurrent.futures import Executor, ProcessPoolExecutor, ThreadPoolExecutor

import dying_worker
import numpy as np
import pandas as pd
import pytest

import velmora
from velmora import study
from velmora.study import SerialExecutor, compare, fit_many, participant_seed, pointwise_loglik, simulate_many

MODEL = "kalman"
OPTIONS = {"n_starts": 2, "seed": 5}


def make_study(participants=6, trials=40):
    rng = np.random.default_rng(1)
    x = rng.normal(size=(participants, trials)).cumsum(axis=1).ravel() * 0.3
    return pd.DataFrame(
        {
            "subject": np.repeat([f"p{i:02d}" for i in range(participants)], trials),
            "trial": np.tile(np.arange(trials), participants),
            "input": x,
            "response": x + rng.normal(scale=0.5, size=x.size),
        }
    )


@pytest.fixture(scope="module")
def clean():
    return fit_many(make_study(), MODEL, executor=SerialExecutor(), **OPTIONS).set_index("subject")


def assert_same_fits(actual, expected):
    pd.testing.assert_frame_equal(actual.reset_index(drop=True), expected.reset_index(drop=True), check_exact=True)


@pytest.mark.parametrize("where", ["threads, one per chunk", "threads, default chunks", "dask"])
def test_results_depend_neither_on_row_order_nor_on_where_they_ran(where, clean):
    shuffled = make_study().sample(frac=1.0, random_state=3)  # participants and trials out of order
    with contextlib.ExitStack() as stack:
        if where == "dask":
            distributed = pytest.importorskip("distributed")
            cluster = stack.enter_context(
                distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None)
            )
            executor = stack.enter_context(distributed.Client(cluster)).get_executor()
        else:
            executor = stack.enter_context(ThreadPoolExecutor(2))
        result = fit_many(
            shuffled,
            MODEL,
            trial="trial",
            executor=executor,
            progress=False,
            chunk_size=1 if where.endswith("per chunk") else None,
            **OPTIONS,
        )
    assert_same_fits(result, clean.reset_index())
    assert (result["error"] == "").all()


def test_participant_seeds_are_the_same_in_every_process():
    code = "from velmora.study import participant_seed as s; print(s(7, 'p01'), s(7, 3), s(8, 'p01'))"
    outputs = {
        subprocess.run(
            [sys.executable, "-c", code],
            capture_output=True,
            text=True,
            check=True,
            env={**os.environ, "PYTHONHASHSEED": salt},
            timeout=120,
        ).stdout
        for salt in ("1", "2")
    }
    here = (participant_seed(7, "p01"), participant_seed(7, np.int64(3)), participant_seed(8, "p01"))
    assert outputs == {"%d %d %d\n" % here} and len(set(here)) == 3


def corrupt(data, kind):
    data = data.copy()
    rows = data.index[data["subject"] == "p02"]
    if kind == "text":
        data["response"] = data["response"].astype(object)
        data.loc[rows[5], "response"] = "n/a"
    elif kind == "duplicate":
        data.loc[rows[7], "trial"] = 3
    elif kind == "missing trial":
        data.loc[rows[2], "trial"] = np.nan
    elif kind == "no trials":
        data = data[data["subject"] != "p02"].astype({"subject": pd.CategoricalDtype(sorted(data["subject"].unique()))})
    elif kind == "bad input":
        data.loc[rows[0], "input"] = np.nan
    elif kind == "overflow":  # a number, but one whose square no likelihood survives
        data.loc[rows[3], "response"] = 1e200
    return data, rows


@pytest.mark.parametrize(
    "kind, message",
    [
        ("text", "column 'response', row {5}: 'n/a' is not a number"),
        ("duplicate", "trial 3 appears more than once"),
        ("missing trial", "row {2} has no trial index"),
        ("no trials", "no trials"),
        ("bad input", "InvalidParameter"),
        ("overflow", "no estimate"),
    ],
)
def test_bad_data_of_one_participant_is_reported_in_its_row_alone(kind, message, clean):
    data, rows = corrupt(make_study(), kind)
    result = fit_many(data, MODEL, trial="trial", executor=SerialExecutor(), **OPTIONS).set_index("subject")
    assert message.format(*map(repr, rows)) in result.loc["p02", "error"]
    assert np.isnan(result.loc["p02", "lme"]) and not result.loc["p02", "converged"]
    assert_same_fits(result.drop(index="p02"), clean.drop(index="p02"))


@pytest.mark.parametrize(
    "columns, message",
    [
        ({"subject": "id"}, "no subject column 'id'"),
        ({"input": "x", "response": "y"}, "no input column 'x', no response column 'y'"),
    ],
)
def test_missing_columns_are_named(columns, message):
    with pytest.raises(KeyError, match=message):
        fit_many(make_study(), MODEL, executor=SerialExecutor(), **columns)


def lose(*args):
    raise RuntimeError("lost with its worker")


class LosingExecutor(SerialExecutor):
    """Loses every task that holds participant p04, as a cluster losing a worker would."""

    def submit(self, fn, /, *args, **kwargs):
        return super().submit(lose if any(p.key == "p04" for p in args[1]) else fn, *args, **kwargs)


def test_a_task_lost_by_the_executor_costs_only_its_participant(clean):
    result = fit_many(make_study(), MODEL, executor=LosingExecutor(), chunk_size=3, **OPTIONS).set_index("subject")
    assert result.loc["p04", "error"] == "worker failed: RuntimeError: lost with its worker"
    assert_same_fits(result.drop(index="p04"), clean.drop(index="p04"))


def test_a_worker_that_dies_costs_only_its_participant(monkeypatch, clean):
    monkeypatch.setattr(study, "_fit_chunk", dying_worker.fit_chunk)
    data = make_study()
    data.loc[data.index[data["subject"] == "p01"][0], "input"] = dying_worker.MARK
    # A caller's pool is broken for good once a worker died: the retries go to pools of velmora's own.
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("forkserver")) as pool:
        result = fit_many(data, MODEL, executor=pool, chunk_size=2, progress=False, **OPTIONS).set_index("subject")
    assert result.loc["p01", "error"].startswith("worker failed: BrokenProcessPool")
    assert_same_fits(result.drop(index="p01"), clean.drop(index="p01"))


def test_a_script_read_from_standard_input_is_fitted():
    script = """
        import numpy as np, pandas as pd, velmora
        x = np.random.default_rng(0).normal(size=60)
        data = pd.DataFrame({"subject": np.repeat(["a", "b"], 30), "input": x, "response": x})
        print(velmora.fit_many(data, "kalman", n_starts=1)["error"].tolist())
    """
    result = subprocess.run(
        [sys.executable, "-"], input=textwrap.dedent(script), capture_output=True, text=True, timeout=300
    )
    assert result.stdout == "['', '']\n", result.stderr


def fit_nothing(data, model=MODEL, **options):  # a fit that starts fails the test
    return fit_many(data, model, executor=type("NoWork", (Executor,), {"submit": pytest.fail})(), **options)


SEED_RANGE = "seed must be an integer from 0 to 2**64-1, got "


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda d, f: fit_nothing(d, "hgff"), ValueError, "unknown model 'hgff'"),
        (lambda d, f: fit_nothing(d, n_start=2), TypeError, "unexpected keyword argument 'n_start'"),
        (lambda d, f: fit_nothing(d, fixed={"bogus": 1}), ValueError, "model 'kalman' has no parameter 'bogus'"),
        (lambda d, f: fit_nothing(d, response_model="poisson"), ValueError, "unknown response model 'poisson'"),
        (lambda d, f: fit_nothing(d, chunk_size=0), ValueError, "chunk_size must be a positive integer or None, got 0"),
        (lambda d, f: fit_nothing(d, seed=1.5), TypeError, SEED_RANGE + "1.5"),
        (lambda d, f: fit_nothing(d, seed=2**64), ValueError, SEED_RANGE + str(2**64)),
        (lambda d, f: simulate_many(MODEL, f, [0.0], seed=-1), ValueError, SEED_RANGE + "-1"),
        (
            lambda d, f: velmora.simulate("hgf", [0.0], {"bogus": 1}),
            ValueError,
            "model 'hgf' has no parameter 'bogus'; "
            "its parameters are obs_noise, precision_flexibility, base_process_noise, mu1, var1, mu2, zeta",
        ),
        (
            lambda d, f: pointwise_loglik(d, f, "hgf"),
            ValueError,
            "the fits have no estimate of precision_flexibility, "
            "base_process_noise, mu1, var1, mu2, which model 'hgf' needs with responses",
        ),
    ],
)
def test_a_mistake_that_is_no_participants_raises_once_before_any_fit(call, error, message, clean):
    with pytest.raises(error, match=re.escape(message)):
        call(make_study(), clean.reset_index())


def test_a_fit_that_strays_far_prints_no_warning():
    x = np.random.default_rng(0).normal(size=30)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # starts drawn at |theta| ~ 1000, where exp overflows
        velmora.fit("td", x, x, priors={"learning_rate": (0.0, 1e6)}, n_starts=4)


def test_simulate_many_reads_every_form_of_inputs_alike():
    params = pd.DataFrame(
        {
            "subject": ["a", "b", "c"],
            "obs_noise": [0.5, 1.0, 2.0],
            "precision_flexibility": 1.0,
            "zeta": [0.2, 0.3, 0.4],
        }
    )
    x = np.linspace(-1.0, 1.0, 25)
    long = pd.DataFrame(
        {"subject": np.repeat(["c", "b", "a"], x.size), "trial": np.tile(np.arange(x.size), 3), "input": np.tile(x, 3)}
    ).sample(frac=1.0, random_state=0)
    studies = [
        simulate_many("hgf", params, inputs, seed=9)
        for inputs in (x, np.tile(x, (3, 1)), {"a": x, "b": list(x), "c": x}, long)
    ]
    for other in studies[1:]:
        pd.testing.assert_frame_equal(other, studies[0], check_exact=True)
    assert list(studies[0].columns) == ["subject", "trial", "input", "response"] and len(studies[0]) == 75
    indexed = simulate_many("hgf", params.set_index("subject").rename_axis(None), x, seed=9)
    pd.testing.assert_frame_equal(indexed, studies[0], check_exact=True)
    with pytest.raises(ValueError, match="participant 'c' has no trials in the inputs"):
        simulate_many("hgf", params, long[long["subject"] != "c"])


def fits(lme, bic=None, keys=("a", "b", "c", "d")):
    return pd.DataFrame({"subject": list(keys), "lme": lme, "bic": bic if bic is not None else -2.0 * np.array(lme)})


def test_compare_aligns_participants_by_key_and_leaves_out_failed_ones():
    keys = "abcde"  # e: no log evidence, as an older table recorded a fit without an estimate
    one, two = fits([-10.0, -20.0, np.nan, -7.0, -3.0], keys=keys), fits([-12.0, -15.0, -1.0, -9.0, -np.inf], keys=keys)
    result = compare(one, two.iloc[::-1], names=["one", "two"])
    assert list(result.best) == ["one", "two", "one"] and result.excluded == ("c", "e")
    table = result.to_frame().set_index("model")
    assert table["sum_lme"].tolist() == [-37.0, -36.0] and table["n_best"].tolist() == [2, 1]
    with pytest.raises(ValueError, match="other participants"):
        compare(fits([-1.0] * 4), fits([-1.0] * 4, keys="abcz"))


def test_recovery_in_three_lines():
    truth = pd.DataFrame(
        {
            "subject": range(10),
            "initial_mean": 0.0,
            "initial_var": 1.0,
            "obs_noise": 1.0,
            "process_noise": np.geomspace(0.02, 2.0, 10),
            "zeta": np.geomspace(0.02, 0.5, 10)[[3, 1, 6, 0, 7, 2, 5, 4, 9, 8]],
        }
    )
    data = simulate_many(MODEL, truth, np.random.default_rng(0).normal(size=200).cumsum(), seed=1)
    estimates = fit_many(data, MODEL, executor=SerialExecutor(), **OPTIONS)
    assert (estimates["error"] == "").all() and estimates["converged"].all()
    for name in ("process_noise", "zeta"):
        assert np.corrcoef(np.log(truth[name]), np.log(estimates[name]))[0, 1] > 0.8, name


def test_pointwise_leaves_out_fits_without_an_estimate_and_drops_no_other_trial(clean):
    data, fitted = make_study(), clean.reset_index()
    fitted.loc[fitted["subject"] == "p02", "nll"] = np.inf  # as an older table recorded a fit without an estimate
    assert "p02" not in set(study.pointwise_loglik(data, fitted, MODEL)["subject"])
    data.loc[data["subject"] == "p03", "response"] *= 1e200  # not the data these were fitted to
    with pytest.raises(ValueError, match="participant 'p03', trial 0: the log-likelihood at the estimates is -inf"):
        study.pointwise_loglik(data, fitted, MODEL)


@pytest.mark.parametrize("model, response", [("hgf", "response"), ("kalman", "response"), ("kalman", None)])
def test_pointwise_log_likelihoods_add_up_to_each_fit_and_reach_arviz(model, response):
    az = pytest.importorskip("arviz")
    data = make_study(participants=4, trials=50)
    data.loc[7, "response"] = np.nan  # a missed trial counts nowhere
    fits = fit_many(data, model, response=response, executor=SerialExecutor(), **OPTIONS)
    idata = velmora.to_inference_data(data, fits, model, response=response)
    pointwise = idata.log_likelihood["y"].isel(chain=0, draw=0)
    assert pointwise.size == 4 * 50 - (response is not None)
    np.testing.assert_allclose(pointwise.groupby("participant").sum(), -fits["nll"], rtol=1e-10)
    assert az.waic(idata).elpd_waic == pytest.approx(-fits["nll"].sum(), rel=1e-10)


@pytest.mark.parametrize("response_model, bad", [("unit_square", 2.0), ("logistic", -1.0)])
def test_pointwise_refuses_a_choice_its_response_model_cannot_give(response_model, bad):
    truth = pd.DataFrame({"subject": ["a", "b"], "initial_value": 0.5, "learning_rate": 0.3, "beta": 3.0})
    rewards = np.random.default_rng(2).binomial(1, 0.7, 60).astype(float)
    data = simulate_many("td", truth, rewards, response_model=response_model, seed=3)
    fits = fit_many(data, "td", response_model=response_model, executor=SerialExecutor(), **OPTIONS)
    data.loc[data.index[-1], "response"] = bad  # as the fit refuses it, so does its pointwise likelihood
    with pytest.raises(ValueError, match=f"participant 'b': responses: a choice is 1, 0 or NaN.*got {bad}"):
        study.pointwise_loglik(data, fits, "td")
