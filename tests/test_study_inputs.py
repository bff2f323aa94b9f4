"""What a study's inputs may not be (dates, text priors, repeated columns), and the smaller faults of
its functions: seeds, messages, tables read back from CSV, interrupts of thread pools."""

import io
import re
import signal
import threading
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

import velmora
import velmora.arrays as va
import velmora.problem
from velmora import executors, study
from velmora.study import SerialExecutor, fit_many, pointwise_loglik, simulate_many


def small_study(participants=3, trials=12):
    rng = np.random.default_rng(4)
    x = rng.normal(size=participants * trials)
    return pd.DataFrame(
        {
            "subject": np.repeat([f"s{i}" for i in range(participants)], trials),
            "trial": np.tile(np.arange(trials), participants),
            "input": x,
            "response": x + rng.normal(scale=0.3, size=x.size),
        }
    )


STAMPS = pd.date_range("2024-01-01", periods=36, freq="min")
DATES = {  # column content -> what the message calls it
    "datetime64": (lambda n: STAMPS[:n], "dates"),
    "tz-aware": (lambda n: STAMPS[:n].tz_localize("Europe/Berlin"), "dates"),
    "timedelta64": (lambda n: pd.to_timedelta(np.arange(n), unit="s"), "durations"),
    "Timestamp objects": (lambda n: pd.Series(list(STAMPS[:n]), dtype=object), "dates"),
    "Timedelta objects": (
        lambda n: pd.Series(list(pd.to_timedelta(np.arange(n), unit="ms")), dtype=object),
        "durations",
    ),
}
KALMAN = {"initial_mean": 0.0, "initial_var": 1.0, "process_noise": 0.1, "obs_noise": 1.0, "zeta": 0.2}
CALLS = {
    "fit_many": lambda d, column: fit_many(d, "kalman", executor=SerialExecutor(), trial="trial"),
    "fit_group": lambda d, column: velmora.fit_group(d, "kalman", trial="trial", max_iter=2),
    "simulate_many": lambda d, column: simulate_many(
        "kalman", pd.DataFrame({"subject": ["s0", "s1", "s2"], **KALMAN}), d
    ),
}


@pytest.mark.parametrize("kind", DATES)
@pytest.mark.parametrize(
    "call, column",
    [
        (call, column)
        for call in CALLS
        for column in ("input", "response", "trial")
        if (call, column) != ("simulate_many", "response")
    ],
)  # it reads none
def test_dates_and_durations_are_refused_naming_the_column(kind, call, column):
    make, word = DATES[kind]
    data = small_study()
    data[column] = make(len(data))
    with pytest.raises(TypeError, match=rf"column '{column}' holds {word} \(dtype"):
        CALLS[call](data, column)


@pytest.mark.parametrize(
    "values",
    [
        np.arange(5).astype("m8[s]"),
        np.arange(5).astype("M8[D]"),
        pd.Series(STAMPS[:5].tz_localize("UTC")),
        [np.timedelta64(1, "s")] * 5,
        np.array([0.5, pd.Timestamp("2024-01-01")], dtype=object),
    ],
    ids=["timedelta64", "datetime64", "tz-aware", "list of timedelta64", "mixed objects"],
)
@pytest.mark.parametrize(
    "call",
    [
        lambda x: velmora.fit("kalman", x),
        lambda x: velmora.fit("td", x, np.ones(len(x))),
        lambda x: velmora.simulate("kalman", x, KALMAN),
        lambda x: simulate_many("kalman", pd.DataFrame({"subject": [1], **KALMAN}), x),
    ],
    ids=["fit self", "fit responses", "simulate", "simulate_many"],
)
def test_fit_and_simulate_refuse_date_and_duration_arrays(values, call):
    with pytest.raises(TypeError, match=r"holds (dates|durations) \(dtype"):
        call(values)


@pytest.mark.parametrize("prior", ["01", b"01", "0,1", {"mean": 0, "var": 1}, (0, "1"), (0, 1, 2), (True, 1), 3.0])
@pytest.mark.parametrize(
    "call",
    [
        lambda p: velmora.fit("kalman", [0.1, 0.3, 0.2], priors={"obs_noise": p}),
        lambda p: fit_many(small_study(), "kalman", priors={"obs_noise": p}),
    ],
    ids=["fit", "fit_many"],
)
def test_a_prior_is_a_pair_of_numbers_and_nothing_else(prior, call):
    with pytest.raises(
        TypeError,
        match=re.escape(f"prior for 'obs_noise': expected (mean, variance), a pair of numbers, got {prior!r}"),
    ):
        call(prior)


@pytest.mark.parametrize("prior", [(0, 1), [0.0, 1.0], np.array([0.0, 1.0]), (np.float32(0), np.int64(1))])
def test_every_form_of_a_pair_is_the_same_prior(prior):
    x = [0.1, 0.3, 0.2, 0.6]
    assert (
        velmora.fit("kalman", x, priors={"obs_noise": prior}).params
        == velmora.fit("kalman", x, priors={"obs_noise": (0.0, 1.0)}).params
    )


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: va.uniform(3, 2**64), f"argument 'seed': a seed is an integer from 0 to 2**64-1, got {2**64}"),
        (lambda: va.uniform(3, -1), "argument 'seed': a seed is an integer from 0 to 2**64-1, got -1"),
        (lambda: va.seeds(3, 2**70), f"argument 'seed': a seed is an integer from 0 to 2**64-1, got {2**70}"),
        (lambda: velmora.simulate("kalman", [0.0], KALMAN, seed=2**64), f"got {2**64}"),
        (
            lambda: va.fit("td", np.ones(3), np.ones(3), seeds=[1, 2]),
            "expected one seed for the one sequence, got shape (2,)",
        ),
        (
            lambda: simulate_many("kalman", pd.DataFrame({"subject": [7], "obs_noise": [np.float64("nan")]}), [0.0]),
            "participant 7: parameter 'obs_noise' is nan, not a number",
        ),
    ],
)
def test_messages_name_the_value_as_it_was_given(call, message):
    with pytest.raises(ValueError, match=re.escape(message)) as caught:
        call()
    assert "np." not in str(caught.value)


@pytest.mark.parametrize("seeds", [[3], (3,), np.array([3], dtype=np.uint64), pd.Series([3])])
def test_one_sequence_takes_its_seed_in_a_list_of_one(seeds):
    x = np.random.default_rng(2).normal(size=15)
    listed = va.fit("kalman", x, seeds=seeds, n_starts=3)
    pd.testing.assert_frame_equal(
        listed.to_frame(), va.fit("kalman", x, seed=3, n_starts=3).to_frame(), check_exact=True
    )


@pytest.mark.parametrize(
    "call",
    [
        lambda d: fit_many(d, "kalman", executor=SerialExecutor()),
        lambda d: velmora.fit_group(d, "kalman", max_iter=2),
        lambda d: simulate_many("kalman", pd.DataFrame({"subject": ["s0"], **KALMAN}), d),
        lambda d: simulate_many(
            "kalman",
            pd.concat([pd.DataFrame({"subject": ["s0"], **KALMAN}), pd.DataFrame({"obs_noise": [2.0]})], axis=1),
            [0.0],
        ),
    ],
)
def test_a_repeated_column_label_is_refused(call):
    data = small_study()
    data = pd.concat([data, data[["input"]] * 2.0], axis=1)
    with pytest.raises(ValueError, match=r"(data have 2 columns named 'input'|more than one column named 'obs_noise')"):
        call(data)


def test_fit_many_warns_when_no_participant_could_be_fitted():
    data = small_study()  # continuous responses, which no choice model takes
    with pytest.warns(RuntimeWarning, match="none of the 3 participants could be fitted"):
        fits = fit_many(data, "td", response_model="unit_square", executor=SerialExecutor())
    assert (fits["error"] != "").all()
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # one fitted participant is a result: no warning
        data.loc[data["subject"] == "s0", "response"] = (data["response"] > 0).astype(float)
        fit_many(data, "td", response_model="unit_square", executor=SerialExecutor())


@pytest.mark.parametrize("trial", [None, "label"])
def test_pointwise_reads_a_fits_table_back_from_csv_and_keeps_the_trial_labels(trial):
    data = small_study().sample(frac=1.0, random_state=1)
    data["label"] = data["trial"] * 10 + 5  # the data's own labels, not positions
    data.loc[data.index[0], "response"] = np.nan  # a missed trial counts nowhere
    fits = fit_many(data, "kalman", executor=SerialExecutor(), trial=trial)
    read = pd.read_csv(io.StringIO(fits.to_csv(index=False)))  # error "" comes back as NaN
    table = pointwise_loglik(data, read, "kalman", trial=trial)
    np.testing.assert_allclose(table.groupby("subject")["loglik"].sum().to_numpy(), -fits["nll"].to_numpy(), rtol=1e-10)
    kept = data.dropna(subset=["response"])
    if trial is None:  # positions in each participant's rows
        expected = sorted((s, k) for s, n in data.groupby("subject").size().items() for k in range(n))
        assert len(table) == len(kept) and set(zip(table["subject"], table["trial"])) <= set(expected)
    else:
        assert sorted(zip(table["subject"], table["trial"])) == sorted(zip(kept["subject"], kept["label"]))


def test_an_interrupted_call_frees_a_thread_pool_between_participants(monkeypatch):
    """Ctrl-C reaches only the main thread; a chunk running on a pool's thread stops at the next
    participant instead of fitting the rest of its chunk."""
    fitted = []
    real = velmora.problem.Problem.fit

    def counting(*args, **kwargs):
        fitted.append(len(args[1]))  # the participants' seeds
        if len(fitted) == 3:
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
            for _ in range(2000):  # until the main thread has taken the interrupt: no race with it
                if executors.interrupted():
                    break
                time.sleep(0.005)
        return real(*args, **kwargs)

    monkeypatch.setattr(velmora.problem.Problem, "fit", counting)
    data = small_study(participants=40, trials=10)
    with ThreadPoolExecutor(1) as pool:
        with pytest.raises(KeyboardInterrupt):
            fit_many(data, "kalman", executor=pool, chunk_size=40, progress=False)
        pool.shutdown(wait=True)
    assert fitted == [1, 1, 1]  # one participant at a time, and none after the interrupt


def test_threads_fit_one_participant_at_a_time_to_the_same_table():
    data = small_study(participants=5)
    with ThreadPoolExecutor(2) as pool:
        threaded = fit_many(data, "kalman", executor=pool, progress=False, n_starts=2)
    pd.testing.assert_frame_equal(
        threaded, fit_many(data, "kalman", executor=SerialExecutor(), n_starts=2), check_exact=True
    )


@pytest.mark.parametrize("order", [(0, 1), (1, 0)])
def test_a_tie_for_the_best_evidence_counts_for_every_model_that_shares_it(order):
    keys = ["a", "b", "c", "d"]
    lme = {"one": [-1.0, -2.0, -3.0, -4.0], "two": [-1.0, -5.0, -3.0, -1.0]}
    names = [list(lme)[i] for i in order]
    tables = [pd.DataFrame({"subject": keys, "lme": lme[name], "bic": -2.0 * np.array(lme[name])}) for name in names]
    table = study.compare(*tables, names=names).to_frame().set_index("model")
    assert table.loc["one", "n_best"] == 3 and table.loc["two", "n_best"] == 3


def test_plot_choices_puts_each_participants_choices_in_its_own_panel():
    pytest.importorskip("matplotlib")
    rng = np.random.default_rng(3)
    offers = np.column_stack([rng.uniform(1, 10, 12), np.zeros(12), np.full(12, 10.0), rng.uniform(1, 60, 12)])
    truth = pd.DataFrame(
        {
            "subject": ["a", "b", "c", "d", "e"],
            "discount_factor": [0.9, 0.95, 0.97, 0.99, 0.999],
            "beta": 2.0,
            "bias": 0.0,
        }
    )
    data = simulate_many("discount", truth, offers, seed=2)
    data.loc[data.index % 5 == 0, "response"] = np.nan  # missed: drawn nowhere
    figure = velmora.plot_choices(data, truth.assign(error=""), "discount", columns=2)
    ax = figure.axes[0]
    points = np.concatenate([np.column_stack([line.get_xdata(), line.get_ydata()]) for line in ax.lines[:2]])
    titles = {text.get_text(): text.get_position() for text in ax.texts if text.get_text() in set(truth.subject)}
    assert len(titles) == 5
    for key, (x_mid, y_top) in titles.items():  # the unit square below the title is the panel
        inside = (np.abs(points[:, 0] - x_mid) <= 0.5) & (points[:, 1] <= y_top) & (points[:, 1] >= y_top - 1.03)
        assert inside.sum() == data[data.subject == key].response.notna().sum(), key
    assert velmora.plot_choices.__name__ == "plot_choices"  # help() shows the name it is called by


SEED_TAKERS = {
    "fit": lambda s: velmora.fit("td", [0.1, 0.5, 0.9], [0.2, 0.4, 0.6], seed=s, n_starts=1),
    "arrays.normal": lambda s: va.normal(2, s),
    "arrays.seeds": lambda s: va.seeds(2, s),
    "simulate": lambda s: velmora.simulate(
        "td", [0.1, 0.5], {"initial_value": 0, "learning_rate": 0.3, "zeta": 1}, seed=s
    ),
    "participant_seed": lambda s: study.participant_seed(s, "p01"),
}


@pytest.mark.parametrize("taker", SEED_TAKERS, ids=list(SEED_TAKERS))
@pytest.mark.parametrize(
    "seed, error", [(True, TypeError), (1.5, TypeError), ("7", TypeError), (-1, ValueError), (2**64, ValueError)]
)
def test_every_entry_point_refuses_the_same_seeds(taker, seed, error):
    with pytest.raises(error, match="2..64-1"):
        SEED_TAKERS[taker](seed)


@pytest.mark.parametrize("taker", SEED_TAKERS, ids=list(SEED_TAKERS))
def test_every_entry_point_takes_a_numpy_integer_as_the_int_it_holds(taker):
    top = 2**64 - 1
    a, b = (SEED_TAKERS[taker](s) for s in (np.uint64(top), top))
    a, b = (getattr(r, "params", getattr(r, "responses", r)) for r in (a, b))  # a fit's, a simulation's
    assert a == b if isinstance(a, (dict, int)) else np.array_equal(a, b)
