"""velmora.fit and velmora.simulate: the objective, its gradient, recovery of known parameters and
the checks of the arguments."""

import math
import pickle

import numpy as np
import pytest
from fitting_reference import log_densities, names
from scipy import integrate, special, stats

import velmora
from velmora import _engine, fitting, models

KALMAN = dict(initial_mean=0.3, initial_var=2.0, process_noise=0.2, obs_noise=0.7)
HGF = dict(obs_noise=0.4, precision_flexibility=1.3, base_process_noise=0.05, mu1=0.2, var1=0.8, mu2=0.3)
CASES = [  # (model, response, has_cap, a typical natural parameter point)
    ("kalman", "observations", False, KALMAN),
    ("kalman", "observations", True, KALMAN | dict(prior_precision_cap=1.2)),
    ("hgf", "observations", False, HGF),
    ("kalman", "gaussian", False, KALMAN | dict(zeta=0.3)),
    ("hgf", "gaussian", False, HGF | dict(zeta=0.2)),
    ("td", "gaussian", False, dict(initial_value=0.2, learning_rate=0.35, zeta=0.1)),
]
IDS = [f"{m}-{r}{'-cap' if c else ''}" for m, r, c, _ in CASES]


def data(model, n=60, seed=0):
    rng = np.random.default_rng(seed)
    inputs = (rng.random(n) < 0.6).astype(float) if model == "td" else rng.normal(size=n).cumsum() * 0.5
    responses = inputs + rng.normal(size=n) * 0.3
    responses[rng.choice(n, n // 6, replace=False)] = np.nan
    return inputs, responses


def random_point(point, rng):
    """Means moved additively, learning rates uniformly, the rest (positive) multiplicatively."""
    return {
        name: value + rng.normal(0, 0.5)
        if name in ("initial_mean", "mu1", "mu2", "initial_value")
        else rng.uniform(0.05, 0.95)
        if name == "learning_rate"
        else value * math.exp(rng.normal(0, 0.5))
        for name, value in point.items()
    }


def native(model, response, has_cap, inputs, responses, point, free=None):
    order = names(model, response, has_cap)
    free = np.arange(len(order), dtype=np.int64) if free is None else np.asarray(free, dtype=np.int64)
    grad = np.empty(len(free))
    values = np.array([point[name] for name in order])
    responses = None if response == "observations" else responses
    nll = _engine.objective(
        model, response, inputs, responses, params=values, free=free, gradient=grad, optional=has_cap
    )
    return nll, grad


@pytest.mark.parametrize("model, response, has_cap, point", CASES, ids=IDS)
def test_objective_and_gradient_against_per_trial_densities_and_differences(model, response, has_cap, point):
    inputs, responses = data(model)
    order = names(model, response, has_cap)
    free = [i for i, name in enumerate(order) if name != "prior_precision_cap"]
    rng = np.random.default_rng(1)
    for p in [point] + [random_point(point, rng) for _ in range(3)]:
        nll, grad = native(model, response, has_cap, inputs, responses, p, free)
        assert nll == pytest.approx(-np.nansum(log_densities(model, response, inputs, responses, p)), rel=1e-10)
        for j, i in enumerate(free):
            h = 1e-5 * max(abs(p[order[i]]), 1e-2)
            up, down = (
                native(model, response, has_cap, inputs, responses, p | {order[i]: p[order[i]] + d})[0] for d in (h, -h)
            )
            assert grad[j] == pytest.approx((up - down) / (2 * h), rel=1e-4, abs=1e-6), order[i]


def test_a_missed_trial_drops_its_term_but_its_input_still_moves_the_model():
    inputs, responses = data("kalman", seed=4)
    point, missed = CASES[3][3], np.where(np.arange(inputs.size) == 10, np.nan, np.nan_to_num(responses))
    terms = -log_densities("kalman", "gaussian", inputs, np.nan_to_num(responses), point)
    nll = native("kalman", "gaussian", False, inputs, missed, point)[0]
    assert nll == pytest.approx(terms.sum() - terms[10], rel=1e-10)
    moved = inputs + (np.arange(inputs.size) == 10) * 3.0
    assert native("kalman", "gaussian", False, moved, missed, point)[0] != pytest.approx(nll, rel=1e-6)


def local_level(n, initial_mean, process_noise, obs_noise, seed):
    rng = np.random.default_rng(seed)
    state = initial_mean + np.sqrt(process_noise) * rng.normal(size=n).cumsum()
    return state + np.sqrt(obs_noise) * rng.normal(size=n)


# (model, inputs, response model, true parameters, {name: relative tolerance}).
RECOVERY = [
    (
        "kalman",
        local_level(2000, 1.0, 0.1, 1.0, seed=5),
        None,
        dict(initial_mean=1.0, initial_var=1.0, process_noise=0.1, obs_noise=1.0),
        {"process_noise": 0.4, "obs_noise": 0.15},
    ),
    (
        "kalman",
        np.random.default_rng(6).normal(size=1500).cumsum() * 0.3,
        "gaussian",
        dict(initial_mean=0.5, initial_var=2.0, process_noise=0.3, obs_noise=1.0, zeta=0.1),
        {"process_noise": 0.25, "zeta": 0.15},
    ),
    (
        "td",
        (np.random.default_rng(7).random(1500) < 0.7).astype(float),
        "gaussian",
        dict(initial_value=0.2, learning_rate=0.3, zeta=0.05),
        {"learning_rate": 0.2, "zeta": 0.15},
    ),
    (
        "hgf",
        np.random.default_rng(8).normal(size=1500).cumsum() * 0.3,
        "gaussian",
        dict(obs_noise=0.5, precision_flexibility=2.0, base_process_noise=0.05, zeta=0.1),
        {"zeta": 0.15},
    ),
]


@pytest.mark.parametrize(
    "model, inputs, response, truth, tolerance", RECOVERY, ids=[f"{c[0]}-{c[2] or 'observations'}" for c in RECOVERY]
)
def test_fit_recovers_the_parameters_that_generated_the_data(model, inputs, response, truth, tolerance):
    responses = None if response is None else velmora.simulate(model, inputs, truth, seed=9).responses
    if responses is not None:
        responses[::10] = np.nan
    result = velmora.fit(model, inputs, responses, seed=1)
    assert result.converged, result.message
    assert result.n_trials == inputs.size - (0 if responses is None else inputs.size // 10)
    for name, rel in tolerance.items():
        assert result.params[name] == pytest.approx(truth[name], rel=rel), name
        assert 0 < result.se[name] < rel * truth[name], name
    # The optimiser gets at least as high a likelihood as the parameters that made the data.
    at_truth = velmora.fit(model, inputs, responses, fixed=truth, n_starts=1)
    assert result.nll <= at_truth.nll and at_truth.free == () and math.isfinite(result.lme)
    assert pickle.loads(pickle.dumps(result)) == result != at_truth


@pytest.mark.parametrize(
    "responses, fixed", [([1e200, 0.3, 0.2], {}), ([0.5, 0.3, 0.2], {"zeta": 5e-324})], ids=["overflow", "no-variance"]
)
def test_a_fit_without_a_feasible_start_has_no_estimate(responses, fixed):
    result = velmora.fit("td", [0.0, 1.0, 0.0], responses, fixed=fixed)
    assert not result.converged and result.message.startswith("no estimate") and result.trajectory is None
    assert all(
        math.isnan(v)
        for v in [*(result.params[name] for name in result.free), *result.se.values(), result.lme, result.bic]
    )
    assert pickle.loads(pickle.dumps(result)) == result  # NaN where the other has NaN


def test_held_parameters_stay_put_and_a_prior_frees_a_held_one():
    inputs, responses = data("hgf", n=150, seed=10)
    result = velmora.fit("hgf", inputs, responses, fixed={"obs_noise": 0.3}, priors={"mu1": (0.0, 1.0)}, n_starts=2)
    assert result.params["obs_noise"] == 0.3 and result.params["var1"] == 1.0 and result.params["mu2"] == 0.0
    assert set(result.free) == {"precision_flexibility", "base_process_noise", "mu1", "zeta"} == set(result.se)
    capped = velmora.fit("kalman", inputs, fixed={"prior_precision_cap": 2.0}, n_starts=1)
    assert capped.params["prior_precision_cap"] == 2.0 and "prior_precision_cap" not in capped.free


X, Y = data("kalman", n=20)
SIM = dict(model="kalman", inputs=X, params=KALMAN | dict(obs_noise=1.0))
TD = dict(initial_value=0.0, learning_rate=0.3, zeta=0.1)
NAN_AT_4 = np.where(np.arange(20) == 4, np.nan, X)
BAD = [  # (function, arguments replaced, exception, what the message names)
    ("fit", dict(model="rescorla"), ValueError, "unknown model"),
    ("fit", dict(model="forward"), ValueError, "unknown model"),
    ("fit", dict(response_model="poisson"), ValueError, "unknown response model"),
    ("fit", dict(fixed={"sigma": 1.0}), ValueError, "no parameter 'sigma'"),
    ("fit", dict(priors={"process_noise": (0.0, 0.0)}), ValueError, "variance finite and > 0"),
    ("fit", dict(priors={"process_noise": (0.0, 1e-320)}), ValueError, "a variance of 1e-320 has no finite precision"),
    ("fit", dict(priors={"zeta": (0.0, 5e-324)}), ValueError, "a variance of 5e-324 has no finite precision"),
    ("fit", dict(priors={"prior_precision_cap": (0.0, 1.0)}), ValueError, "never free"),
    ("fit", dict(fixed={"obs_noise": 1.0}, priors={"obs_noise": (0.0, 1.0)}), ValueError, "both"),
    ("fit", dict(fixed={"obs_noise": "1"}), TypeError, "'obs_noise'"),
    # NumPy's durations are integers to isinstance: refused by name, not by float()'s own message
    (
        "fit",
        dict(fixed={"obs_noise": np.timedelta64(1, "s")}),
        TypeError,
        "'obs_noise': expected a number, got timedelta64",
    ),
    (
        "fit",
        dict(priors={"zeta": (np.timedelta64(1, "s"), 1.0)}),
        TypeError,
        "prior for 'zeta': expected (mean, variance)",
    ),
    (
        "fit",
        dict(priors={"zeta": (0.0, np.timedelta64(1, "s"))}),
        TypeError,
        "prior for 'zeta': expected (mean, variance)",
    ),
    ("fit", dict(responses=Y[:-1]), ValueError, "responses: expected one per trial (20)"),
    ("fit", dict(responses=np.full(20, np.nan)), ValueError, "every trial is missing"),
    ("fit", dict(inputs=[], responses=None), ValueError, "inputs: empty"),
    ("fit", dict(inputs=NAN_AT_4), velmora.InvalidParameter, "'input': NaN at trial 4"),
    # Every model refuses non-finite inputs, TD too (a last inf would not even change its likelihood).
    ("fit", dict(model="td", inputs=np.append(X[:-1], np.inf)), velmora.InvalidParameter, "'reward': inf at trial 19"),
    ("fit", dict(model="hgf", inputs=NAN_AT_4, responses=None), velmora.InvalidParameter, "'input': NaN at trial 4"),
    ("fit", dict(model="hgf", fixed={"obs_noise": -1.0}), ValueError, "'obs_noise': must be non-negative"),
    ("fit", dict(fixed={"zeta": 0.0}), ValueError, "'zeta': the variance of the responses must be positive"),
    ("fit", dict(priors={"zeta": (800.0, 1.0)}), ValueError, "beyond floating point"),
    ("fit", dict(responses=[None, *Y[1:]]), TypeError, "not NoneType"),
    ("fit", dict(inputs=X + 1j), TypeError, "complex"),
    ("fit", dict(seed=None), TypeError, "seed must be an integer"),
    ("fit", dict(seed=-1), ValueError, "seed must lie in 0..2**64-1"),
    ("simulate", dict(model="td", inputs=NAN_AT_4, params=TD), velmora.InvalidParameter, "'reward': NaN at trial 4"),
    (
        "simulate",
        dict(model="hgf", params=HGF | dict(gain=2.0)),
        ValueError,
        "are obs_noise, precision_flexibility, base_process_noise, mu1, var1, mu2, zeta",
    ),
    ("fit", dict(model="td", responses=None), ValueError, "responses only"),
    ("fit", dict(model="hgf", fixed={"var2": 1.0}), ValueError, "'var2' does not change"),
    ("simulate", {}, ValueError, "missing parameter(s) zeta"),
    ("simulate", dict(params=SIM["params"] | dict(zeta=0.1, gain=2.0)), ValueError, "'gain'"),
]


@pytest.mark.parametrize("function, change, error, fragment", BAD, ids=[b[3] for b in BAD])
def test_bad_arguments_are_named_before_any_optimisation(function, change, error, fragment, monkeypatch):
    monkeypatch.setattr(_engine, "objective", lambda *a, **options: pytest.fail("optimised"), raising=False)
    call = (dict(model="kalman", inputs=X, responses=Y) if function == "fit" else SIM) | change
    args = [call.pop("model"), call.pop("inputs"), call.pop("responses" if function == "fit" else "params")]
    with pytest.raises(error) as info:
        getattr(velmora, function)(*args, **call)
    assert fragment in str(info.value)


def test_standard_errors_are_the_curvature_of_the_objective_in_natural_units():
    # At the optimum the delta method's errors equal those of the Hessian taken directly in natural
    # units (the prior stays a Gaussian in the transformed space), computed here independently.
    rewards, responses = data("td", n=400, seed=4)
    result = velmora.fit("td", rewards, responses)
    transforms = {"initial_value": lambda x: x, "learning_rate": lambda x: math.log(x / (1 - x)), "zeta": math.log}
    priors = {
        name: (models.PARAMS["td"].get(name) or models.RESPONSE_PARAMS["gaussian"]["zeta"]).prior for name in transforms
    }

    def neg_log_joint(x):
        p = dict(zip(transforms, x))
        nll = -np.nansum(log_densities("td", "gaussian", rewards, responses, p))
        return nll + sum((t(p[n]) - priors[n][0]) ** 2 / (2 * priors[n][1]) for n, t in transforms.items())

    x = np.array([result.params[name] for name in transforms])
    h = 1e-4 * np.maximum(np.abs(x), 1e-2)
    step = np.diag(h)
    hessian = np.array(
        [
            [
                (
                    neg_log_joint(x + a + b)
                    - neg_log_joint(x + a - b)
                    - neg_log_joint(x - a + b)
                    + neg_log_joint(x - a - b)
                )
                / (4 * h[i] * h[j])
                for j, b in enumerate(step)
            ]
            for i, a in enumerate(step)
        ]
    )
    expected = np.sqrt(np.diag(np.linalg.inv(hessian)))
    np.testing.assert_allclose([result.se[name] for name in transforms], expected, rtol=2e-3)


TD_REWARDS = (np.random.default_rng(7).random(300) < 0.7).astype(float)
# (model, held parameters, tolerance in nats). Laplace's own error shrinks like 1/trials; at 300 trials it
# measured 0.0009-0.0029 nats with one free parameter and 0.0014-0.0041 with two (five data sets each), so
# these bounds sit just above it, far below a lost 2 pi term (0.92), the prior's normaliser (1.6), a flipped
# log-determinant or the cross-curvature left out (0.05 for the correlation of -0.32 here).
EVIDENCE = [
    ("kalman", dict(initial_mean=0.0, initial_var=1.0, obs_noise=1.0), 0.004),
    ("td", dict(initial_value=0.2, zeta=0.05), 0.004),
    ("kalman", dict(initial_mean=0.0, initial_var=1.0), 0.006),
]


@pytest.mark.parametrize("model, held, tolerance", EVIDENCE, ids=["process_noise", "learning_rate", "two"])
def test_lme_is_the_evidence_integrated_over_the_prior_and_aic_bic_their_definitions(model, held, tolerance):
    if model == "kalman":
        inputs, responses, response = local_level(300, 0.0, 0.1, 1.0, seed=5), None, "observations"
    else:
        inputs, response = TD_REWARDS, "gaussian"
        truth = dict(initial_value=0.2, learning_rate=0.3, zeta=0.05)
        responses = velmora.simulate("td", inputs, truth, seed=9).responses
        responses[::10] = np.nan
    result = velmora.fit(model, inputs, responses, fixed=held)
    table = [{**models.PARAMS[model], **models.RESPONSE_PARAMS["gaussian"]}[name] for name in result.free]
    to_natural = {"log": np.exp, "logit": special.expit}
    to_theta = {"log": np.log, "logit": special.logit}

    def neg_log_joint(*theta):
        point = held | {name: to_natural[p.transform](t) for name, p, t in zip(result.free, table, theta)}
        nll = native(model, response, False, inputs, responses, point, free=[])[0]
        return nll - sum(stats.norm.logpdf(t, p.prior[0], math.sqrt(p.prior[1])) for p, t in zip(table, theta))

    theta = [to_theta[p.transform](result.params[name]) for name, p in zip(result.free, table)]
    peak = neg_log_joint(*theta)
    window = [(t - 2.5, t + 2.5) for t in theta]  # at least 8 posterior standard deviations either side
    if len(theta) == 1:
        mass = integrate.quad(lambda t: math.exp(peak - neg_log_joint(t)), *window[0], points=theta, epsrel=1e-9)[0]
    else:
        mass = integrate.dblquad(
            lambda b, a: math.exp(peak - neg_log_joint(a, b)), *window[0], *window[1], epsrel=1e-7
        )[0]
    assert result.lme == pytest.approx(math.log(mass) - peak, abs=tolerance)
    nll, k = native(model, response, False, inputs, responses, result.params, free=[])[0], len(result.free)
    n = inputs.size if responses is None else np.count_nonzero(~np.isnan(responses))
    assert result.n_trials == n and result.nll == pytest.approx(nll, rel=1e-12)
    assert (result.aic, result.bic) == pytest.approx((2 * nll + 2 * k, 2 * nll + k * math.log(n)), rel=1e-12)


def test_a_binding_cap_leaves_process_noise_and_initial_var_unidentified_and_the_rest_identified():
    # Capped at 1 (q = 0.1, r = 1) the cap takes every prediction after the first, so process_noise and initial_var
    # act through the first alone and not at all once the cap takes that too: the estimate sits on that kink.
    for seed in range(4):
        inputs = local_level(300, 0.0, 0.1, 1.0, seed)
        result = velmora.fit("kalman", inputs, fixed={"prior_precision_cap": 1.0})
        assert math.isnan(result.se["process_noise"]) and math.isnan(result.se["initial_var"]), seed
        # The others keep the errors of a fit holding the two where they ended; the evidence differs from that
        # fit's by the two's prior density ratio alone, here under 0.002.
        unidentified = {name: result.params[name] for name in ("initial_var", "process_noise")}
        held = velmora.fit("kalman", inputs, fixed={"prior_precision_cap": 1.0} | unidentified)
        for name in ("initial_mean", "obs_noise"):
            assert result.se[name] == pytest.approx(held.se[name], rel=1e-3), (seed, name)
        assert result.lme == pytest.approx(held.lme, abs=0.01), seed


# A binding cap puts the optimum on a kink where both optimisers stop some 1e-4 apart, either way round.
@pytest.mark.parametrize("model, response", [c[:2] for c in CASES if not c[2]], ids=[i for i in IDS if "cap" not in i])
def test_the_native_optimum_is_at_least_scipys(model, response):
    # SciPy's L-BFGS-B over the same objective, from its own starts, is the reference optimiser.
    import scipy_route

    for seed in range(3):
        inputs, responses = data(model, n=120, seed=seed)
        y = None if response == "observations" else responses
        native = velmora.fit(model, inputs, y, seed=seed)
        reference = scipy_route.fit(model, inputs, y, seed=seed)
        assert native.neg_log_joint <= reference.neg_log_joint + 1e-6
        assert native.free == reference.free and native.converged


@pytest.mark.parametrize(
    "row",
    [(f"{model} ``{name}``", p.transform) for model, params in models.PARAMS.items() for name, p in params.items()]
    + [
        (f"``{name}`` ({r})", p.transform) for r, params in models.RESPONSE_PARAMS.items() for name, p in params.items()
    ],
)
def test_the_priors_table_has_a_row_for_every_fitted_parameter(row):
    label, transform = row
    lines = [line for line in fitting.__doc__.splitlines() if line.startswith(label + " ")]
    assert len(lines) == 1 and lines[0].split()[len(label.split())] == transform
