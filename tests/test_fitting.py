"""velmora.fit and velmora.simulate: the objective, its gradient, recovery of known parameters and
the checks of the arguments."""

import math

import numpy as np
import pytest
from fitting_reference import log_densities, names

import velmora
import velmora.arrays as va
from velmora import _engine

RNG = np.random.default_rng(20)
# (model, response, has_cap, a typical natural parameter point); inputs and responses below.
CASES = [
    ("kalman", "observations", False, dict(initial_mean=0.3, initial_var=2.0, process_noise=0.2, obs_noise=0.7)),
    ("kalman", "observations", True, dict(initial_mean=-0.5, initial_var=0.5, process_noise=0.4, obs_noise=1.5,
                                          prior_precision_cap=1.2)),
    ("hgf", "observations", False, dict(obs_noise=0.4, precision_flexibility=1.3, base_process_noise=0.05, mu1=0.2,
                                        var1=0.8, mu2=0.3)),
    ("kalman", "gaussian", False, dict(initial_mean=0.3, initial_var=2.0, process_noise=0.2, obs_noise=0.7, zeta=0.3)),
    ("hgf", "gaussian", False, dict(obs_noise=0.4, precision_flexibility=1.3, base_process_noise=0.05, mu1=0.2,
                                    var1=0.8, mu2=0.3, zeta=0.2)),
    ("td", "gaussian", False, dict(initial_value=0.2, learning_rate=0.35, zeta=0.1)),
]
IDS = [f"{m}-{r}{'-cap' if c else ''}" for m, r, c, _ in CASES]
# Log-scale parameters are jittered multiplicatively, the rest additively, to reach random points.
ADDITIVE = {"initial_mean", "mu1", "mu2", "initial_value"}


def data(model, n=60, seed=0):
    rng = np.random.default_rng(seed)
    inputs = (rng.random(n) < 0.6).astype(float) if model == "td" else rng.normal(size=n).cumsum() * 0.5
    responses = inputs + rng.normal(size=n) * 0.3
    responses[rng.choice(n, n // 6, replace=False)] = np.nan
    return inputs, responses


def random_point(point, rng):
    out = {}
    for name, value in point.items():
        if name in ADDITIVE:
            out[name] = value + rng.normal(0, 0.5)
        elif name == "learning_rate":
            out[name] = float(rng.uniform(0.05, 0.95))
        else:
            out[name] = value * math.exp(rng.normal(0, 0.5))
    return out


def native(model, response, has_cap, inputs, responses, point, free=None):
    order = names(model, response, has_cap)
    free = np.arange(len(order), dtype=np.int64) if free is None else np.asarray(free, dtype=np.int64)
    grad = np.empty(len(free))
    values = np.array([point[name] for name in order])
    nll = _engine.objective(model, response, inputs, None if response == "observations" else responses, values,
                            free, grad, has_cap)
    return nll, grad


@pytest.mark.parametrize("model, response, has_cap, point", CASES, ids=IDS)
def test_objective_is_the_sum_of_independent_per_trial_densities(model, response, has_cap, point):
    inputs, responses = data(model)
    rng = np.random.default_rng(1)
    for p in [point] + [random_point(point, rng) for _ in range(3)]:
        expected = -np.nansum(log_densities(model, response, inputs, responses, p))
        assert native(model, response, has_cap, inputs, responses, p)[0] == pytest.approx(expected, rel=1e-10)


@pytest.mark.parametrize("model, response, has_cap, point", CASES, ids=IDS)
def test_gradient_matches_central_differences(model, response, has_cap, point):
    inputs, responses = data(model, seed=2)
    order = names(model, response, has_cap)
    free = [i for i, name in enumerate(order) if name != "prior_precision_cap"]
    rng = np.random.default_rng(3)
    for p in [random_point(point, rng) for _ in range(3)]:
        _, grad = native(model, response, has_cap, inputs, responses, p, free)
        for j, i in enumerate(free):
            h = 1e-5 * max(abs(p[order[i]]), 1e-2)
            up, down = dict(p), dict(p)
            up[order[i]] += h
            down[order[i]] -= h
            fd = (native(model, response, has_cap, inputs, responses, up)[0]
                  - native(model, response, has_cap, inputs, responses, down)[0]) / (2 * h)
            assert grad[j] == pytest.approx(fd, rel=1e-4, abs=1e-6), order[i]


def test_a_missed_trial_drops_its_term_but_its_input_still_moves_the_model():
    inputs, responses = data("kalman", seed=4)
    responses[np.isnan(responses)] = 0.0
    point = CASES[3][3]
    full = -log_densities("kalman", "gaussian", inputs, responses, point)
    missed = responses.copy()
    missed[10] = np.nan
    nll = native("kalman", "gaussian", False, inputs, missed, point)[0]
    assert nll == pytest.approx(full.sum() - full[10], rel=1e-10)
    moved = inputs.copy()
    moved[10] += 3.0
    assert native("kalman", "gaussian", False, moved, missed, point)[0] != pytest.approx(nll, rel=1e-6)


def local_level(n, initial_mean, process_noise, obs_noise, seed):
    rng = np.random.default_rng(seed)
    state = initial_mean + np.sqrt(process_noise) * rng.normal(size=n).cumsum()
    return state + np.sqrt(obs_noise) * rng.normal(size=n)


# (model, inputs, true parameters, held in the fit, {name: relative tolerance}).
RECOVERY = [
    ("kalman", local_level(2000, 1.0, 0.1, 1.0, seed=5), None,
     dict(initial_mean=1.0, initial_var=1.0, process_noise=0.1, obs_noise=1.0), {"process_noise": 0.4, "obs_noise": 0.15}),
    ("kalman", np.random.default_rng(6).normal(size=1500).cumsum() * 0.3, "gaussian",
     dict(initial_mean=0.5, initial_var=2.0, process_noise=0.3, obs_noise=1.0, zeta=0.1),
     {"process_noise": 0.25, "zeta": 0.15}),
    ("td", (np.random.default_rng(7).random(1500) < 0.7).astype(float), "gaussian",
     dict(initial_value=0.2, learning_rate=0.3, zeta=0.05), {"learning_rate": 0.2, "zeta": 0.15}),
    ("hgf", np.random.default_rng(8).normal(size=1500).cumsum() * 0.3, "gaussian",
     dict(obs_noise=0.5, precision_flexibility=2.0, base_process_noise=0.05, zeta=0.1), {"zeta": 0.15}),
]


@pytest.mark.parametrize("model, inputs, response, truth, tolerance", RECOVERY, ids=[f"{c[0]}-{c[2]}" for c in RECOVERY])
def test_fit_recovers_the_parameters_that_generated_the_data(model, inputs, response, truth, tolerance):
    if response is None:
        responses = None
    else:
        simulated = velmora.simulate(model, inputs, truth, seed=9)
        responses = simulated.responses
        responses[::10] = np.nan
    result = velmora.fit(model, inputs, responses, seed=1)
    assert result.converged, result.message
    assert result.n_trials == (inputs.size if responses is None else np.count_nonzero(~np.isnan(responses)))
    for name, rel in tolerance.items():
        assert result.params[name] == pytest.approx(truth[name], rel=rel), name
        assert 0 < result.se[name] < rel * truth[name], name
    # The estimate is at least as probable as the truth, and the criteria follow from the nll.
    at_truth = velmora.fit(model, inputs, responses, fixed=truth, n_starts=1)
    assert result.nll <= at_truth.nll and at_truth.free == ()
    k = len(result.free)
    assert result.aic == pytest.approx(2 * result.nll + 2 * k)
    assert result.bic == pytest.approx(2 * result.nll + k * math.log(result.n_trials))
    assert math.isfinite(result.lme) and result.trajectory is not None


def test_held_parameters_stay_put_and_a_prior_frees_a_held_one():
    inputs, responses = data("hgf", n=150, seed=10)
    result = velmora.fit("hgf", inputs, responses, fixed={"obs_noise": 0.3}, priors={"mu1": (0.0, 1.0)}, n_starts=2)
    assert result.params["obs_noise"] == 0.3 and result.params["var1"] == 1.0 and result.params["mu2"] == 0.0
    assert set(result.free) == {"precision_flexibility", "base_process_noise", "mu1", "zeta"} == set(result.se)
    capped = velmora.fit("kalman", inputs, fixed={"prior_precision_cap": 2.0}, n_starts=1)
    assert capped.params["prior_precision_cap"] == 2.0 and "prior_precision_cap" not in capped.free
    np.testing.assert_array_equal(capped.trajectory.mean, va.kalman_run(
        *(capped.params[n] for n in ("initial_mean", "initial_var")), inputs,
        *(capped.params[n] for n in ("process_noise", "obs_noise", "prior_precision_cap"))).mean)


def test_points_where_the_model_fails_are_backed_off_from(monkeypatch):
    # The objective fails beyond process_noise 0.05 while the data want more: the fit stays inside.
    inputs = local_level(300, 0.0, 1.0, 1.0, seed=11)
    objective = _engine.objective

    def failing_beyond(model, response, inputs, responses, params, free, grad_out, has_cap):
        if params[2] > 0.05:
            grad_out[:] = 0.0
            return math.inf
        return objective(model, response, inputs, responses, params, free, grad_out, has_cap)

    monkeypatch.setattr(_engine, "objective", failing_beyond)
    result = velmora.fit("kalman", inputs, priors={"process_noise": (math.log(0.01), 1.0)}, n_starts=3)
    assert math.isfinite(result.nll) and result.params["process_noise"] <= 0.05


X, Y = data("kalman", n=20)
BAD = [
    (dict(model="rescorla"), ValueError, "unknown model"),
    (dict(model="forward"), ValueError, "unknown model"),
    (dict(response="logistic"), ValueError, "unknown response model"),
    (dict(fixed={"sigma": 1.0}), ValueError, "no parameter 'sigma'"),
    (dict(priors={"learning_rate": (0.0, 1.0)}), ValueError, "no parameter 'learning_rate'"),
    (dict(priors={"process_noise": (0.0, 0.0)}), ValueError, "variance finite and > 0"),
    (dict(priors={"prior_precision_cap": (0.0, 1.0)}), ValueError, "never free"),
    (dict(fixed={"obs_noise": 1.0}, priors={"obs_noise": (0.0, 1.0)}), ValueError, "both"),
    (dict(fixed={"obs_noise": "1"}), TypeError, "'obs_noise'"),
    (dict(responses=Y[:-1]), ValueError, "responses: expected one per input (20)"),
    (dict(responses=np.full(20, np.nan)), ValueError, "every trial is missing"),
    (dict(inputs=[], responses=None), ValueError, "inputs: empty"),
    (dict(inputs=np.where(np.arange(20) == 4, np.nan, X)), velmora.InvalidParameter, "'observation'"),
    (dict(model="td", responses=None), ValueError, "responses only"),
    (dict(model="hgf", fixed={"var2": 1.0}), ValueError, "'var2' does not change"),
]


@pytest.mark.parametrize("kwargs, error, fragment", BAD, ids=[b[2] for b in BAD])
def test_bad_arguments_are_named_before_any_optimisation(kwargs, error, fragment, monkeypatch):
    monkeypatch.setattr(_engine, "objective", lambda *a: pytest.fail("optimised"), raising=False)
    call = dict(model="kalman", inputs=X, responses=Y) | kwargs
    with pytest.raises(error, match=None) as info:
        velmora.fit(call.pop("model"), call.pop("inputs"), call.pop("responses"), **call)
    assert fragment in str(info.value)


@pytest.mark.parametrize("params, fragment", [
    (dict(initial_mean=0.0, initial_var=1.0, process_noise=0.1, obs_noise=1.0), "missing parameter(s) zeta"),
    (dict(initial_mean=0.0, initial_var=1.0, process_noise=0.1, obs_noise=1.0, zeta=0.1, gain=2.0), "'gain'"),
])
def test_simulate_names_missing_and_unknown_parameters(params, fragment):
    with pytest.raises(ValueError) as info:
        velmora.simulate("kalman", X, params)
    assert fragment in str(info.value)
