"""Choices among K options: the engine's bandit models and softmax choice rule against the NumPy
implementation in bandit_reference.py (likelihoods, values, gradients), closed-loop simulation, the
refusal of choices that are not options, and the fits' optima."""

from __future__ import annotations

import math

import bandit_reference as ref
import numpy as np
import pytest

import velmora
import velmora.arrays as va
from velmora import _engine
from velmora import choices as vc
from velmora.models import PARAMS, RESPONSE_PARAMS

N = 60
# Parameters with every held one moved off its neutral value, so that each term of the equations
# counts; kalman_bandit's outcomes are on the points scale of its original task.
MODELS = {
    "rw": {"learning_rate": 0.3, "initial_value": 0.2, "decay": 0.15},
    "rw_dual": {"learning_rate_pos": 0.55, "learning_rate_neg": 0.12, "initial_value": 0.1},
    "rw_fictitious": {"learning_rate": 0.35, "initial_value": -0.1},
    "kalman_bandit": {
        "decay": 0.93,
        "decay_center": 48.0,
        "diffusion_noise": 2.8,
        "initial_mean": 40.0,
        "initial_var": 90.0,
        "observation_noise": 6.0,
    },
}
# rw as a default fit runs it: no decay, starting at 0 (the engine takes a separate path then).
RW_HELD = {"learning_rate": 0.3, "initial_value": 0.0, "decay": 0.0}
RESPONSES = {
    "plain": {"perseveration": 0.0, "lapse": 0.0},
    "perseveration": {"perseveration": 0.9, "lapse": 0.0},
    "lapse": {"perseveration": 0.0, "lapse": 0.08},
    "both": {"perseveration": -0.6, "lapse": 0.12},
}
BETA = {"kalman_bandit": 0.15}


def trials(model: str, k: int, seed: int, n: int = N) -> tuple[np.ndarray, np.ndarray]:
    """Outcomes and choices (option indices) with missed trials (the first, a run of three) and
    choices whose outcome was not seen; a missed trial carries an outcome the model must ignore."""
    rng = np.random.default_rng(seed)
    choices = rng.integers(0, k, n).astype(float)
    if model == "kalman_bandit":
        outcomes = np.round(rng.normal(50.0, 15.0, n))
    else:
        outcomes = np.where(rng.random(n) < 0.6, 1.0, rng.normal(0.0, 0.5, n))
    choices[[0, 11, 12, 13, 30]] = np.nan
    outcomes[[7, 21, 31]] = np.nan
    return outcomes, choices


def cases():
    for model in MODELS:
        for k in (2,) if model == "rw_fictitious" else (2, 4):
            for response in RESPONSES:
                yield pytest.param(model, k, response, id=f"{model}-K{k}-{response}")
    for response in RESPONSES:
        yield pytest.param("rw_held", 4, response, id=f"rw_held-K4-{response}")


def params_of(model: str, response: str) -> tuple[str, dict[str, float]]:
    name = "rw" if model == "rw_held" else model
    model_params = RW_HELD if model == "rw_held" else MODELS[model]
    return name, {**model_params, "beta": BETA.get(name, 1.7), **RESPONSES[response]}


def vector(model: str, params: dict[str, float]) -> np.ndarray:
    return np.array([params[p] for p in (*ref.MODEL_PARAMS[model], *ref.RESPONSE_PARAMS)])


@pytest.mark.parametrize("model, k, response", list(cases()))
def test_trials_match_the_reference(model, k, response):
    name, params = params_of(model, response)
    outcomes, choices = trials(name, k, seed=k * 100 + len(response))
    got = vc.choice_trials(name, "softmax", outcomes, choices, params, k)
    want = ref.run(name, outcomes, choices, params, k)

    missed = np.isnan(choices)
    assert np.array_equal(np.isnan(got["loglik"]), missed)
    np.testing.assert_allclose(got["loglik"][~missed], want["loglik"][~missed], rtol=1e-12, atol=1e-14)
    np.testing.assert_allclose(got["values"], want["values"], rtol=1e-12, atol=1e-13)
    np.testing.assert_allclose(got["probabilities"], np.exp(want["log_probabilities"]), rtol=1e-12, atol=1e-15)
    # The prediction error after each trial (NaN where nothing was learnt), then the fields per option.
    np.testing.assert_allclose(got["fields"][:, 0], want["prediction_error"], rtol=1e-12, atol=1e-13)
    np.testing.assert_allclose(got["fields"][:, 1 : 1 + k], want["values"], rtol=1e-12, atol=1e-13)
    if name == "kalman_bandit":
        np.testing.assert_allclose(got["fields"][:, 1 + k :], want["vars"], rtol=1e-12)

    nll = _engine.objective(
        name,
        "softmax",
        outcomes,
        choices,
        params=vector(name, params),
        free=np.empty(0, dtype=np.int64),
        gradient=np.empty(0),
        options=k,
    )
    assert nll == pytest.approx(-np.nansum(want["loglik"]), rel=1e-12)


def test_sixteen_options():
    params = {**MODELS["rw"], "beta": 2.0, **RESPONSES["both"]}
    outcomes, choices = trials("rw", 16, seed=16, n=200)
    got = vc.choice_trials("rw", "softmax", outcomes, choices, params, 16)
    want = ref.run("rw", outcomes, choices, params, 16)
    np.testing.assert_allclose(np.nansum(got["loglik"]), np.nansum(want["loglik"]), rtol=1e-12)
    np.testing.assert_allclose(got["values"], want["values"], rtol=1e-12, atol=1e-13)


@pytest.mark.parametrize(
    "utilities_scale",
    [1e3, 1e6],
    ids=["large", "huge"],
)
def test_softmax_stays_finite_where_utilities_are_large(utilities_scale):
    # Values far apart make exp overflow unless the sum is taken about the largest utility.
    params = {**MODELS["rw"], "beta": utilities_scale, **RESPONSES["perseveration"]}
    outcomes, choices = trials("rw", 4, seed=5)
    got = vc.choice_trials("rw", "softmax", outcomes, choices, params, 4)
    want = ref.run("rw", outcomes, choices, params, 4)
    seen = ~np.isnan(choices)
    assert np.isfinite(got["loglik"][seen]).all()
    np.testing.assert_allclose(got["loglik"][seen], want["loglik"][seen], rtol=1e-9, atol=1e-9)


def gradient_cases():
    for model in MODELS:
        k = 2 if model == "rw_fictitious" else 4
        for response in ("plain", "both"):
            yield pytest.param(model, k, response, id=f"{model}-K{k}-{response}")


@pytest.mark.parametrize("model, k, response", list(gradient_cases()))
def test_gradient_matches_central_differences(model, k, response):
    _, params = params_of(model, response)
    outcomes, choices = trials(model, k, seed=3)
    x = vector(model, params)
    names = [*ref.MODEL_PARAMS[model], *ref.RESPONSE_PARAMS]
    # Every parameter whose value is inside its range (a lapse or decay of exactly 0 is its edge),
    # at most eight at once (the engine's limit): kalman_bandit's observation_noise stays out.
    free = np.array(
        [i for i, p in enumerate(names) if not (p in ("lapse", "decay") and x[i] == 0.0)][:8], dtype=np.int64
    )
    grad = np.empty(free.size)
    nll = _engine.objective(model, "softmax", outcomes, choices, params=x, free=free, gradient=grad, options=k)
    assert math.isfinite(nll)
    numeric = np.empty(free.size)
    for j, i in enumerate(free):
        h = 1e-6 * max(1.0, abs(x[i]))
        up, down = dict(zip(names, x)), dict(zip(names, x))
        up[names[i]] += h
        down[names[i]] -= h
        numeric[j] = (ref.nll(model, outcomes, choices, up, k) - ref.nll(model, outcomes, choices, down, k)) / (2 * h)
    np.testing.assert_allclose(grad, numeric, rtol=1e-6, atol=1e-6 * max(1.0, np.abs(numeric).max()))


# Closed-loop simulation.

LOOP = {
    "rw": ({**MODELS["rw"], "beta": 4.0, "perseveration": 0.8, "lapse": 0.1}, 4),
    "rw_dual": ({**MODELS["rw_dual"], "beta": 4.0, "perseveration": -0.5, "lapse": 0.05}, 4),
    "rw_fictitious": ({**MODELS["rw_fictitious"], "beta": 3.0, "perseveration": 0.6, "lapse": 0.1}, 2),
    "kalman_bandit": ({**MODELS["kalman_bandit"], "beta": 0.2, "perseveration": 0.7, "lapse": 0.05}, 4),
}


def table_for(model: str, k: int, n: int, seed: int) -> np.ndarray:
    if model == "kalman_bandit":
        rng = np.random.default_rng(seed)
        return np.round(rng.normal(np.linspace(30.0, 70.0, k), 10.0, (n, k)))
    probabilities = np.linspace(0.2, 0.8, k)[None, :].repeat(n, axis=0)
    probabilities[n // 2 :] = probabilities[n // 2 :, ::-1]  # a reversal half way
    return vc.payoffs(probabilities, seed=seed)


@pytest.mark.parametrize("model", LOOP)
def test_closed_loop_is_reproducible_and_obtains_the_table(model):
    params, k = LOOP[model]
    table = table_for(model, k, 150, seed=4)
    choices, outcomes = vc.closed_loop(model, "softmax", table, params, seed=11)
    again = vc.closed_loop(model, "softmax", table, params, seed=11)
    other = vc.closed_loop(model, "softmax", table, params, seed=12)
    assert np.array_equal(choices, again[0]) and np.array_equal(outcomes, again[1])
    assert not np.array_equal(choices, other[0])
    assert set(np.unique(choices)) <= set(range(k))
    # Each trial's outcome is what the table says the chosen option paid.
    assert np.array_equal(outcomes, table[np.arange(table.shape[0]), choices.astype(int)])


@pytest.mark.parametrize("model", LOOP)
def test_closed_loop_chooses_with_the_models_probabilities(model):
    # Over many simulated trials, how often each option is chosen matches the probabilities the
    # reference gives along the path the agent took (its own choices and the outcomes they paid),
    # in total and on the trials where perseveration favours the previous choice.
    params, k = LOOP[model]
    residual, variance = np.zeros(k), np.zeros(k)
    repeat_residual = repeat_variance = 0.0
    for seed in range(40):
        table = table_for(model, k, 100, seed=seed)
        choices, outcomes = vc.closed_loop(model, "softmax", table, params, seed=1000 + seed)
        p = np.exp(ref.run(model, outcomes, choices, params, k)["log_probabilities"])
        chosen = np.eye(k)[choices.astype(int)]
        residual += (chosen - p).sum(axis=0)
        variance += (p * (1 - p)).sum(axis=0)
        stay = chosen[1:][np.arange(len(choices) - 1), choices[:-1].astype(int)]
        p_stay = p[1:][np.arange(len(choices) - 1), choices[:-1].astype(int)]
        repeat_residual += (stay - p_stay).sum()
        repeat_variance += (p_stay * (1 - p_stay)).sum()
    z = residual / np.sqrt(variance)
    assert np.abs(z).max() < 4.5, z
    assert abs(repeat_residual / math.sqrt(repeat_variance)) < 4.5


def test_payoffs_follow_the_probabilities_and_the_seed():
    p = np.array([[0.8, 0.2]] * 40 + [[0.2, 0.8]] * 40)
    p = np.tile(p, (50, 1))
    table = vc.payoffs(p, seed=3)
    assert np.array_equal(table, vc.payoffs(p, seed=3))
    assert not np.array_equal(table, vc.payoffs(p, seed=4))
    assert set(np.unique(table)) == {0.0, 1.0}
    for level in (0.8, 0.2):
        hits = table[p == level]
        z = (hits.mean() - level) / math.sqrt(level * (1 - level) / hits.size)
        assert abs(z) < 4.5, (level, hits.mean())
    points = vc.payoffs(p[:80], seed=3, values=(10.0, -5.0))
    assert np.array_equal(points == 10.0, table[:80] == 1.0)


# Choices that are not options.


@pytest.mark.parametrize(
    "options, bad",
    [([1, 2], 3.0), ([1, 2], 0.0), ([1, 2], 1.5), (None, 2.0), (None, -1.0), ([1, 2, 3, 4], 5.0)],
    ids=["above", "zero-for-1/2", "between", "default-2", "default-negative", "K4"],
)
def test_a_choice_that_is_not_an_option_is_refused_naming_the_trial(options, bad):
    labels = np.array(options if options is not None else [0, 1], dtype=float)
    rng = np.random.default_rng(0)
    choices = labels[rng.integers(0, labels.size, 40)]
    outcomes = rng.random(40)
    choices[[3, 9]] = np.nan
    choices[17] = bad
    with pytest.raises(ValueError, match=r"trial 17\b"):
        velmora.fit("rw", outcomes, choices, response_model="softmax", options=options)
    many = np.tile(labels[rng.integers(0, labels.size, 40)], (3, 1))
    many[2, 25] = bad
    with pytest.raises(ValueError, match=r"participant 2, trial 25\b"):
        va.fit("rw", np.tile(outcomes, (3, 1)), many, response_model="softmax", options=options, threads=1)


def test_the_engine_refuses_an_index_beyond_the_options():
    outcomes, choices = trials("rw", 2, seed=1)
    choices[20] = 2.0
    params = {**MODELS["rw"], "beta": 1.0, **RESPONSES["plain"]}
    # choice_trials checks its indices before the run (naming the row); the run names the trial.
    with pytest.raises(ValueError, match=r"(row|trial) 20\b"):
        vc.choice_trials("rw", "softmax", outcomes, choices, params, 2)
    x = vector("rw", params)
    with pytest.raises(ValueError, match=r"(row|trial) 20\b"):
        _engine.objective(
            "rw",
            "softmax",
            outcomes,
            choices,
            params=x,
            free=np.empty(0, dtype=np.int64),
            gradient=np.empty(0),
            options=2,
        )


# Fits: each estimate is a local optimum of the negative log joint, the best a longer search finds.

FITS = {
    "rw": ({"learning_rate": 0.3, "initial_value": 0.0, "decay": 0.0, "beta": 5.0}, 2),
    "rw-K4": ({"learning_rate": 0.45, "initial_value": 0.0, "decay": 0.0, "beta": 6.0}, 4),
    "rw_dual": ({"learning_rate_pos": 0.5, "learning_rate_neg": 0.15, "initial_value": 0.0, "beta": 5.0}, 2),
    "rw_fictitious": ({"learning_rate": 0.3, "initial_value": 0.0, "beta": 4.0}, 2),
    "kalman_bandit": ({**MODELS["kalman_bandit"], "observation_noise": 4.0, "beta": 0.2}, 4),
    "rw-perseveration": ({"learning_rate": 0.3, "initial_value": 0.0, "decay": 0.0, "beta": 4.0}, 2),
    "rw-missed": ({"learning_rate": 0.3, "initial_value": 0.0, "decay": 0.0, "beta": 5.0}, 2),
}
# Priors that free what a default fit holds, for the case that fits them.
FREED = {"rw-perseveration": {"perseveration": (0.0, 4.0), "lapse": (-3.0, 4.0)}}


def simulated(case: str, seed: int) -> tuple[str, np.ndarray, np.ndarray, np.ndarray]:
    params, k = FITS[case]
    model = case.split("-")[0]
    truth = {"perseveration": 0.5 if case in FREED else 0.0, "lapse": 0.05 if case in FREED else 0.0, **params}
    table = table_for(model, k, 200, seed=seed)
    choices, outcomes = vc.closed_loop(model, "softmax", table, truth, seed=seed)
    labels = np.arange(1, k + 1, dtype=float)
    chosen = labels[choices.astype(int)]
    if case.endswith("missed"):
        chosen[[0, 50, 51, 120]] = np.nan
        outcomes[[10, 60, 61, 150]] = np.nan
    return model, outcomes, chosen, labels


def neg_log_joint(model, outcomes, indices, k, names, transforms, means, variances, held, theta):
    values = {**held, **{n: ref.natural(t, x) for n, t, x in zip(names, transforms, theta)}}
    return ref.nll(model, outcomes, indices, values, k) + ref.neg_log_prior(theta, means, variances)


@pytest.mark.parametrize("case", FITS)
def test_fit_is_a_local_optimum_with_laplace_figures_and_the_best_of_twenty_starts(case):
    model, outcomes, labels_chosen, labels = simulated(case, seed=21)
    k = labels.size
    priors = FREED.get(case)
    fit = velmora.fit(model, outcomes, labels_chosen, response_model="softmax", options=list(labels), priors=priors)
    assert fit.converged, fit.message
    indices = labels_chosen - 1.0

    declared = {**PARAMS[model], **RESPONSE_PARAMS["softmax"]}
    names = list(fit.free)
    transforms = [declared[n].transform for n in names]
    prior = {n: (priors or {}).get(n, declared[n].prior) for n in names}
    means = np.array([prior[n][0] for n in names])
    variances = np.array([prior[n][1] for n in names])
    held = {n: v for n, v in fit.params.items() if n not in names}
    # What a default fit holds, as the issue states it.
    expected = {"initial_value": 0.0, "decay": 0.0, "observation_noise": 4.0, "perseveration": 0.0, "lapse": 0.0}
    assert held == {n: expected[n] for n in held if n not in (priors or {})}
    theta = np.array([ref.transformed(t, fit.params[n]) for n, t in zip(names, transforms)])

    def f(t):
        return neg_log_joint(model, outcomes, indices, k, names, transforms, means, variances, held, t)

    # The reported figures are the reference's at the estimate.
    assert fit.nll == pytest.approx(ref.nll(model, outcomes, indices, {**held, **fit.params}, k), rel=1e-10)
    assert fit.neg_log_joint == pytest.approx(f(theta), rel=1e-10)

    gradient = np.empty(theta.size)
    for j in range(theta.size):
        e = np.zeros(theta.size)
        e[j] = 1e-5
        gradient[j] = (f(theta + e) - f(theta - e)) / 2e-5
    assert np.abs(gradient).max() < 1e-3, dict(zip(names, gradient))

    # lme and the standard errors are the Laplace approximation's at the estimate.
    m, h = theta.size, 1e-4
    hessian = np.empty((m, m))
    for i in range(m):
        for j in range(m):
            a, b = np.eye(m)[i] * h, np.eye(m)[j] * h
            hessian[i, j] = (f(theta + a + b) - f(theta + a - b) - f(theta - a + b) + f(theta - a - b)) / (4 * h * h)
    lme = -f(theta) + 0.5 * m * math.log(2 * math.pi) - 0.5 * np.linalg.slogdet(hessian)[1]
    assert fit.lme == pytest.approx(lme, abs=1e-4)
    slopes = np.array([ref.slope(t, fit.params[n]) for n, t in zip(names, transforms)])
    se = np.sqrt(np.diag(np.linalg.inv(hessian))) * slopes
    np.testing.assert_allclose([fit.se[n] for n in names], se, rtol=5e-4)

    longer = velmora.fit(
        model, outcomes, labels_chosen, response_model="softmax", options=list(labels), priors=priors, n_starts=20
    )
    assert fit.neg_log_joint <= longer.neg_log_joint + 1e-6
    for n in names:
        se = fit.se[n] * ref.slope(declared[n].transform, fit.params[n]) ** -1
        # Within a hundredth of a standard error on the transformed scale: the same optimum.
        gap = abs(ref.transformed(declared[n].transform, longer.params[n]) - theta[names.index(n)])
        assert gap < 0.01 * se, (n, fit.params[n], longer.params[n])


def test_fit_reads_option_labels_as_their_positions():
    # The same data coded 1/2 and 0/1 (the default) is the same fit.
    model, outcomes, labels_chosen, _ = simulated("rw", seed=5)
    coded = velmora.fit(model, outcomes, labels_chosen, response_model="softmax", options=[1, 2])
    default = velmora.fit(model, outcomes, labels_chosen - 1.0, response_model="softmax")
    assert coded.params == default.params
    assert coded.neg_log_joint == default.neg_log_joint


def test_trajectory_names_each_option_by_its_label():
    # Labels listed out of order: each option's value and probability are named by its label, at
    # the label's position in ``options``.
    model, outcomes, labels_chosen, _ = simulated("rw-K4", seed=8)
    options = [3, 1, 4, 2]
    fit = velmora.fit(model, outcomes, labels_chosen, response_model="softmax", options=options)
    indices = np.array([options.index(c) for c in labels_chosen], dtype=float)
    want = ref.run(model, outcomes, indices, fit.params, 4)
    for position, label in enumerate(options):
        np.testing.assert_allclose(fit.trajectory[f"value_{label}"], want["values"][:, position], rtol=1e-12)
        np.testing.assert_allclose(
            fit.trajectory[f"probability_{label}"], np.exp(want["log_probabilities"][:, position]), rtol=1e-12
        )


def test_rw_fictitious_takes_two_options_only():
    outcomes, choices = trials("rw", 3, seed=2)
    with pytest.raises(ValueError, match="2 options"):
        velmora.fit("rw_fictitious", outcomes, choices, response_model="softmax", options=[0, 1, 2])


def test_many_fits_do_not_depend_on_threads_or_order():
    # Each participant's fit is its own, whatever thread ran it and wherever it sat in the batch.
    data = [simulated("rw-K4", seed=s) for s in range(6)]
    outcomes = np.array([d[1] for d in data])
    chosen = np.array([d[2] for d in data])
    seeds = np.arange(6, dtype=np.uint64)
    kwargs = {"response_model": "softmax", "options": [1, 2, 3, 4]}
    one = va.fit("rw", outcomes, chosen, seeds=seeds, threads=1, **kwargs)
    two = va.fit("rw", outcomes[::-1], chosen[::-1], seeds=seeds[::-1], threads=2, **kwargs)
    for name in one.free:
        assert np.array_equal(one.params[name], two.params[name][::-1])
        assert np.array_equal(one.se[name], two.se[name][::-1])
    assert np.array_equal(one.neg_log_joint, two.neg_log_joint[::-1])
