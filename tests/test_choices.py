"""Choices: binary response models and intertemporal choice, from the likelihood to the command line
(its pictures in test_choice_plots.py)."""

import numpy as np
import pandas as pd
import pytest
from scipy.stats import bernoulli

import velmora
import velmora.arrays as va
from velmora import InvalidParameter, _engine, cli
from velmora.models import ENGINE

RNG = np.random.default_rng(7)
N = 60
OFFERS = np.column_stack(
    [
        RNG.uniform(1, 100, N),
        np.where(RNG.random(N) < 0.3, RNG.uniform(0, 30, N), 0.0),
        RNG.uniform(50, 100, N),
        RNG.uniform(1, 365, N),
    ]
)
REWARDS = (RNG.random(N) < 0.7).astype(float)
CHOICES = (RNG.random(N) < 0.5).astype(float)
CHOICES[[3, 17]] = np.nan  # missed trials


def stated_probability(model, response, inputs, params):
    """P(y = 1) as the response models state it, from values computed here."""
    if model == "td":
        m = np.empty(N)
        value = params["initial_value"]
        for t, reward in enumerate(inputs):
            m[t], value = value, value + params["learning_rate"] * (reward - value)
    elif model == "discount":
        m = (
            inputs[:, 2] * params["discount_factor"] ** inputs[:, 3]
            - inputs[:, 0] * params["discount_factor"] ** inputs[:, 1]
        )
    else:
        m = inputs[:, 2] / (1 + params["k"] * inputs[:, 3]) - inputs[:, 0] / (1 + params["k"] * inputs[:, 1])
    if response == "unit_square":
        m = np.clip(m, 1e-12, 1 - 1e-12)
        return m ** params["beta"] / (m ** params["beta"] + (1 - m) ** params["beta"])
    return 1 / (1 + np.exp(-params["beta"] * (m - params["bias"])))


@pytest.mark.parametrize(
    "model, response, inputs, params",
    [
        ("td", "unit_square", REWARDS, {"initial_value": 0.0, "learning_rate": 0.3, "beta": 2.5}),
        ("td", "unit_square", REWARDS, {"initial_value": 1.0, "learning_rate": 0.0, "beta": 1e6}),
        ("td", "logistic", REWARDS, {"initial_value": 0.5, "learning_rate": 0.2, "beta": 4.0, "bias": 0.3}),
        ("discount", "logistic", OFFERS, {"discount_factor": 0.995, "beta": 0.15, "bias": -2.0}),
        ("hyperbolic", "logistic", OFFERS, {"k": 0.02, "beta": 0.3, "bias": 0.0}),
    ],
)
def test_choice_likelihood_is_the_bernoulli_log_probability_of_the_stated_probabilities(
    model, response, inputs, params
):
    names = [*(n for n in ENGINE[model].params if n not in ENGINE[model].noise), *velmora.models.RESPONSES[response]]
    gradient = np.empty(0)
    nll = _engine.objective(
        model,
        response,
        np.ascontiguousarray(inputs).reshape(-1),
        CHOICES,
        params=np.array([params[n] for n in names]),
        free=np.empty(0, dtype=np.int64),
        gradient=gradient,
    )
    p = stated_probability(model, response, inputs, params)
    kept = ~np.isnan(CHOICES)
    with np.errstate(divide="ignore"):
        expected = -bernoulli.logpmf(CHOICES[kept], p[kept]).sum()
    if np.isfinite(expected):
        assert nll == pytest.approx(expected, rel=1e-10)
    else:  # a probability rounded to 0 or 1: the engine's term stays finite, from the logit
        assert np.isfinite(nll) and nll > 1e5


def test_array_discounted_value_broadcasts_the_scalar_function_exactly():
    special = [0.0, -0.0, 1.0, 0.5, -0.5, 2.0, 1e-300, np.inf, -np.inf, np.nan, 3.0, -2.5]
    reward = np.array(special)[:, None, None]
    delay = np.array(special)[None, :, None]
    factor = np.array(special)[None, None, :]
    got = va.discounted_value(reward, delay, factor)
    expected = np.array([[[velmora.discounted_value(r, d, f) for f in special] for d in special] for r in special])
    assert got.shape == (12, 12, 12)
    np.testing.assert_array_equal(got, expected)
    assert np.signbit(got).tolist() == np.signbit(expected).tolist()
    assert va.discounted_value(10, [2, 0], 0.5).tolist() == [2.5, 10.0]
    with pytest.raises(TypeError, match="complex"):
        va.discounted_value(1j, 1, 0.5)


@pytest.mark.parametrize(
    "model, inputs, responses, error, fragment",
    [
        ("td", REWARDS, np.where(np.isnan(CHOICES), 0.5, CHOICES), ValueError, "a choice is 1, 0 or NaN"),
        ("discount", OFFERS[:, :3], CHOICES, ValueError, "trials x 4 array, got shape"),
        (
            "discount",
            np.where(np.arange(4) == 3, -1.0, OFFERS),
            CHOICES,
            InvalidParameter,
            "'delay_later': -1.0 at trial 0 (must be finite and non-negative)",
        ),
        (
            "hyperbolic",
            np.where(np.arange(4) == 0, np.nan, OFFERS),
            CHOICES,
            InvalidParameter,
            "'amount_sooner': NaN at trial 0 (must be finite)",
        ),
    ],
)
def test_choice_data_are_refused_before_any_fit(model, inputs, responses, error, fragment):
    response = "unit_square" if model == "td" else None
    with pytest.raises(error, match=fragment.replace("(", r"\(").replace(")", r"\)")):
        velmora.fit(model, inputs, responses, response_model=response)
    with pytest.raises(error, match=fragment.replace("(", r"\(").replace(")", r"\)")):
        va.fit(model, [inputs, inputs], [responses, responses], response_model=response)


def study(model, truth, seed=3):
    params = pd.DataFrame({"subject": list("abcdef"), ENGINE[model].params[0]: truth, "beta": 0.2})
    return velmora.simulate_many(model, params, OFFERS, seed=seed)


def test_fit_many_reads_four_columns_and_the_export_reproduces_each_nll():
    data = study("discount", [0.99, 0.995, 0.98, 0.999, 0.97, 0.99]).rename(columns={"delay_later": "wait"})
    columns = ["amount_sooner", "delay_sooner", "amount_later", "wait"]
    fits = velmora.fit_many(data, "discount", input=columns)
    assert (fits["error"] == "").all() and fits["converged"].all()
    assert list(fits.columns[:4]) == ["subject", "discount_factor", "beta", "bias"]
    one = velmora.fit(
        "discount",
        data[data.subject == "b"][columns].to_numpy(),
        data[data.subject == "b"].response,
        seed=velmora.study.participant_seed(0, "b"),
    )
    assert one.params["discount_factor"] == fits.set_index("subject").loc["b", "discount_factor"]
    per_trial = velmora.study.pointwise_loglik(data, fits, "discount", input=columns)
    np.testing.assert_allclose(per_trial.groupby("subject").loglik.sum(), -fits.set_index("subject").nll, rtol=1e-9)
    with pytest.raises(ValueError, match="needs 4 column names"):
        velmora.fit_many(data, "discount", input="wait")


def test_simulated_choices_repeat_under_a_seed_and_follow_their_probabilities():
    params = {"initial_value": 0.5, "learning_rate": 0.2, "beta": 3.0}
    rewards = np.tile(REWARDS, 50)
    first = velmora.simulate("td", rewards, params, response_model="unit_square", seed=5)
    again = velmora.simulate("td", rewards, params, response_model="unit_square", seed=5)
    np.testing.assert_array_equal(first.responses, again.responses)
    m = np.concatenate(([0.5], first.trajectory.value[:-1]))
    p = m**3 / (m**3 + (1 - m) ** 3)
    # The draws are Bernoulli(p): their sum lies within four standard deviations of its mean.
    assert abs(first.responses.sum() - p.sum()) < 4 * np.sqrt((p * (1 - p)).sum())
    assert set(np.unique(first.responses)) <= {0.0, 1.0}


def with_cell(array, row, column, value):
    cells = np.asarray(array, dtype=object).copy()
    cells[row, column] = value
    return cells


NAMES = ["amount_sooner", "delay_sooner", "amount_later", "delay_later"]
TABLE = pd.DataFrame(OFFERS, columns=NAMES)


@pytest.mark.parametrize(
    "inputs, error, fragment",
    [
        (OFFERS.astype(str), TypeError, r"not numpy.str_ \(trial 0, column 'amount_sooner'\)"),
        (with_cell(OFFERS, 2, 1, None), TypeError, r"not NoneType \(trial 2, column 'delay_sooner'\)"),
        (with_cell(OFFERS, 5, 3, "7"), TypeError, r"not str \(trial 5, column 'delay_later'\)"),
        (with_cell(OFFERS, 4, 0, 1 + 2j), TypeError, r"not complex \(trial 4, column 'amount_sooner'\)"),
        (TABLE.drop(columns="delay_later").assign(wait=1.0), ValueError, "no column 'delay_later'"),
    ],
)
def test_offers_that_are_no_numbers_are_refused_by_trial_and_column(inputs, error, fragment):
    truth = {"discount_factor": 0.99, "beta": 0.1}
    for call in (
        lambda: velmora.fit("discount", inputs, CHOICES),
        lambda: velmora.simulate("discount", inputs, truth),
        lambda: velmora.simulate_many("discount", pd.DataFrame([truth]), {0: inputs}),
    ):
        with pytest.raises(error, match=fragment):
            call()
    with pytest.raises(error, match=fragment.replace(r"\(", r"\(subject 1, ") if error is TypeError else fragment):
        va.fit("discount", [OFFERS, inputs], [CHOICES, CHOICES])


def test_offers_are_read_alike_by_arrays_fit_and_simulate_many():
    one = va.fit("discount", OFFERS[None], CHOICES[None], seeds=[3]).params["discount_factor"]
    for inputs in ([TABLE[NAMES[::-1]]], OFFERS[None].astype(object), np.fromiter([OFFERS], dtype=object)):
        assert va.fit("discount", inputs, CHOICES[None], seeds=[3]).params["discount_factor"] == one
    assert va.fit("discount", np.zeros((0, 5, 4)), np.zeros((0, 5))).lme.shape == (0,)
    truth = pd.DataFrame({"subject": ["a"], "discount_factor": 0.99, "beta": 0.2})
    shared = velmora.simulate_many("discount", truth, OFFERS)
    assert velmora.simulate_many("discount", truth, {"a": TABLE[NAMES[::-1]]}).equals(shared)
    with pytest.raises(TypeError, match="complex values"):
        velmora.simulate_many("discount", truth, OFFERS.astype(complex))
    with pytest.raises(InvalidParameter, match="'delay_later': NaN at trial 0"):
        velmora.simulate("discount", np.where(np.arange(4) == 3, np.nan, OFFERS), {"discount_factor": 0.9, "beta": 1})


@pytest.mark.parametrize(
    "options, fragment",
    [
        (dict(input=[*NAMES[:3], "amount_later"]), "'amount_later' is given twice, as two input columns"),
        (dict(input=[*NAMES[:3], "subject"]), "'subject' is given twice, as the subject and the input column"),
        (dict(response="delay_later"), "'delay_later' is given twice, as the input and the response column"),
        (dict(trial="subject"), "'subject' is given twice, as the subject and the trial column"),
    ],
)
def test_a_column_in_two_roles_is_refused_before_any_fit(options, fragment, capsys):
    data = study("discount", [0.99] * 6).assign(subject=lambda d: d.subject.map("abcdef".index))  # numbers
    fits = pd.DataFrame({"subject": [0], "discount_factor": 0.9, "beta": 1.0, "bias": 0.0, "lme": 0.0})
    for call in (
        lambda: velmora.fit_many(data, "discount", **options),
        lambda: velmora.study.pointwise_loglik(data, fits, "discount", **options),
        lambda: velmora.plot_choices(data, fits, "discount", **options),
    ):
        with pytest.raises(ValueError, match=fragment):
            call()
    flags = {"input": "--input-column", "response": "--response-column", "trial": "--trial-column"}
    ((name, value),) = options.items()
    assert (
        cli.main(
            [
                "fit",
                "unread.csv",
                "--model",
                "discount",
                flags[name],
                ",".join(value) if isinstance(value, list) else value,
            ]
        )
        == 2
    )
    assert fragment in capsys.readouterr().err


def test_table_faults_name_their_cell_and_fits_their_columns():
    data = study("discount", [0.99] * 6)
    data["amount_sooner"] = data["amount_sooner"].astype(object)
    data.loc[3, "amount_sooner"] = 20 + 1j
    fits = velmora.fit_many(data, "discount").set_index("subject")
    assert fits.loc["a", "error"] == "column 'amount_sooner', row 3: (20+1j) is not a number"
    assert (fits.drop(index="a")["error"] == "").all()
    with pytest.raises(ValueError, match="the subject column 'beta' has the name of a result column"):
        velmora.fit_many(data.rename(columns={"subject": "beta"}), "discount", subject="beta")
    with pytest.raises(ValueError, match="'discount' is fitted to responses only"):
        velmora.study.pointwise_loglik(data, fits.reset_index(), "discount", response=None)


def test_array_discounted_value_computes_a_broadcast_without_copying_it_out():
    import tracemalloc

    with pytest.raises(ValueError, match=r"reward of shape \(3,\), delay of shape \(4,\)"):
        va.discounted_value(np.ones(3), np.ones(4), 0.5)
    tracemalloc.start()
    try:
        out = va.discounted_value(np.arange(1000.0)[:, None], np.arange(1000)[None, :] / 100, np.float32(0.9))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1.5 * out.nbytes  # the result, and blocks of the arguments: not three copies of its size
    assert out[7, 250] == velmora.discounted_value(7.0, 2.5, float(np.float32(0.9)))


@pytest.mark.parametrize("model, param", [("discount", {"discount_factor": 0.9}), ("hyperbolic", {"k": 0.1})])
def test_the_models_themselves_refuse_a_negative_delay(model, param):
    with pytest.raises(InvalidParameter, match="invalid parameter 'delay_later': -1"):
        velmora.fitting.run_model(model, np.array([[1.0, 0.0, 2.0, 5.0], [1.0, 0.0, 2.0, -1.0]]), param)
