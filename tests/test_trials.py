"""Each trial from the engine (velmora.trials): log-likelihoods against the independent reference and
the objective, and simulated responses against draws made here from the same seeded stream."""

import math
import zlib

import numpy as np
import pytest
from convergence_reference import PAIRS, _natural, beliefs, log_terms, logit, parameter_table, random_data_set
from scipy.special import expit

import velmora
import velmora.arrays as va
from velmora import _engine, trials
from velmora._core import InvalidParameter
from velmora.models import ENGINE, RESPONSES

RESPONSE_PAIRS = [pair for pair in PAIRS if pair[1] != "observations"]
# The Kalman filter's optional cap, which changes the vector's layout; it binds on most trials.
CAPPED = [(model, response, {"prior_precision_cap": 0.8}) for model, response in PAIRS if model == "kalman"]


def data_and_point(model, response, n_trials=40):
    """A data set of the pair, and natural values a little off each default prior's centre."""
    rng = np.random.default_rng(zlib.crc32(f"{model}/{response}".encode()))
    data = random_data_set(model, response, rng, n_trials)
    table = parameter_table(model, response)
    return data, {name: float(_natural(transform, mean + 0.3)) for name, (transform, mean, _) in table.items()}


def objective_nll(model, response, data, p):
    """The objective's negative log-likelihood at p, its vector laid out here from the engine's report."""
    m = ENGINE[model]
    names = [n for n in m.params if n not in m.noise and (n not in m.optional or n in p)]
    names += RESPONSES.get(response, ())
    vector = np.array([p[n] for n in names])
    no_free = np.zeros(0, dtype=np.int64)
    responses = data.responses
    return _engine.objective(
        model,
        response,
        data.inputs.ravel(),
        responses,
        params=vector,
        free=no_free,
        gradient=np.zeros(0),
        optional=m.given(p),
    )


@pytest.mark.parametrize("model, response, extra", [(*pair, {}) for pair in PAIRS] + CAPPED)
def test_each_trials_loglik_is_the_references_and_they_sum_to_the_objective(model, response, extra):
    data, p = data_and_point(model, response)
    p.update(extra)
    terms = trials.logliks(model, response, data.inputs, data.responses, p)
    expected = log_terms(model, response, data.inputs, data.responses, p)
    np.testing.assert_array_equal(np.isnan(terms), np.isnan(expected))
    assert np.isfinite(terms[~np.isnan(expected)]).all()
    np.testing.assert_allclose(terms, expected, rtol=1e-9, atol=1e-12)
    assert math.isclose(np.nansum(terms), -objective_nll(model, response, data, p), rel_tol=1e-12)


@pytest.mark.parametrize("model, response", RESPONSE_PAIRS)
def test_simulated_responses_are_drawn_from_the_seeded_stream_around_each_belief(model, response):
    data, p = data_and_point(model, response, n_trials=400)
    simulated = velmora.simulate(model, data.inputs, p, response_model=response, seed=17).responses
    belief = beliefs(model, data.inputs, p)
    n = len(data.inputs)
    if response == "gaussian":
        np.testing.assert_allclose(simulated, belief + math.sqrt(p["zeta"]) * va.normal(n, 17), rtol=1e-12, atol=1e-12)
    else:
        expected = (va.uniform(n, 17) < expit(logit(response, belief, p))).astype(np.float64)
        np.testing.assert_array_equal(simulated, expected)
        assert 0 < simulated.sum() < n  # both choices drawn: the comparison above could tell them apart


@pytest.mark.parametrize(
    "call, error, fragment",
    [
        (
            lambda x, y, v, o: _engine.trial_logliks(
                "kalmann", "gaussian", x, y, params=v, loglik=o, belief=None, optional=0
            ),
            ValueError,
            "model",
        ),
        (
            lambda x, y, v, o: _engine.trial_logliks("td", "normal", x, y, params=v, loglik=o, belief=None, optional=0),
            ValueError,
            "response model",
        ),
        (
            lambda x, y, v, o: _engine.trial_logliks(
                "discount", "gaussian", x, y, params=v, loglik=o, belief=None, optional=0
            ),
            ValueError,
            "kind",
        ),
        (
            lambda x, y, v, o: _engine.trial_logliks(
                "td", "gaussian", x, y, params=v[:2], loglik=o, belief=None, optional=0
            ),
            ValueError,
            "length",
        ),
        (
            lambda x, y, v, o: _engine.trial_logliks(
                "td", "gaussian", x, None, params=v, loglik=o, belief=None, optional=0
            ),
            ValueError,
            "None",
        ),
        (
            lambda x, y, v, o: _engine.trial_logliks(
                "td", "gaussian", x, y[:3], params=v, loglik=o, belief=None, optional=0
            ),
            ValueError,
            "per trial",
        ),
        (
            lambda x, y, v, o: _engine.trial_logliks(
                "td", "gaussian", x, y, params=v, loglik=o[:3], belief=None, optional=0
            ),
            ValueError,
            "per trial",
        ),
        (
            lambda x, y, v, o: _engine.trial_logliks(
                "td", "gaussian", x, y, params=v, loglik=o, belief=o[:3], optional=0
            ),
            ValueError,
            "per trial",
        ),
        (
            lambda x, y, v, o: _engine.trial_logliks(
                "td", "gaussian", x, y, params=v, loglik=o, belief=None, optional=2
            ),
            ValueError,
            "optional",
        ),
        (
            lambda x, y, v, o: _engine.trial_logliks(
                "td", "gaussian", x, y, params=v.astype(int), loglik=o, belief=None, optional=0
            ),
            TypeError,
            "params",
        ),
        (
            lambda x, y, v, o: _engine.simulate_responses(
                "td", "gaussian", x, -1, params=v, out=o, belief=None, optional=0
            ),
            OverflowError,
            "negative",
        ),
        (
            lambda x, y, v, o: _engine.simulate_responses(
                "td", "gaussian", x, 1, params=v, out=o[:3], belief=None, optional=0
            ),
            ValueError,
            "per trial",
        ),
        (
            lambda x, y, v, o: _engine.simulate_responses(
                "kalman", "observations", x, 1, params=y[:4], out=o, belief=None, optional=0
            ),
            ValueError,
            "None",
        ),
    ],
    ids=[
        "model",
        "response",
        "pair",
        "params",
        "responses_missing",
        "responses_short",
        "out_short",
        "belief_short",
        "given",
        "params_int",
        "seed",
        "simulated_short",
        "self_fit_draws",
    ],
)
def test_the_engine_refuses_a_layout_that_does_not_hold(call, error, fragment):
    x, y, out = np.linspace(0.0, 1.0, 6), np.ones(6), np.zeros(6)
    with pytest.raises(error, match=fragment):
        call(x, y, np.array([0.5, 0.3, 1.0]), out)


@pytest.mark.parametrize("draw", [False, True], ids=["loglik", "simulated"])
def test_a_model_that_fails_at_the_values_raises_its_own_error(draw):
    p = {"initial_value": 0.0, "learning_rate": 1.5, "zeta": 1.0}
    x = np.ones(5)
    with pytest.raises(InvalidParameter, match="learning_rate"):
        trials.simulated("td", "gaussian", x, p, 3) if draw else trials.logliks("td", "gaussian", x, x, p)
