"""An independent negative log joint for every (model, response model) pair, random short data sets
to fit, and the checks a fit called converged must pass: a gradient within tolerance by finite
differences of this objective, and no many-start fit lower. Used by tests/test_convergence_sweep.py
and, at a larger size, by benchmarks/convergence.py."""

import math
from dataclasses import dataclass

import numpy as np
from fitting_reference import log_densities
from scipy.special import expit

import velmora
from velmora.models import HELD_FOR_RESPONSES, PARAMS, RESPONSE_PARAMS

# Every pair a fit takes, self-fits ("observations") included.
PAIRS = [
    ("kalman", "observations"),
    ("hgf", "observations"),
    *((model, response) for model in ("kalman", "hgf", "td") for response in ("gaussian", "unit_square", "logistic")),
    ("discount", "logistic"),
    ("hyperbolic", "logistic"),
]
MARGIN = 1e-12  # a unit-square belief is taken this far inside (0, 1)


@dataclass
class DataSet:
    model: str
    response: str
    inputs: np.ndarray
    responses: np.ndarray | None

    def fit(self, **kwargs):
        response = None if self.response == "observations" else self.response
        return velmora.fit(self.model, self.inputs, self.responses, response_model=response, **kwargs)


def beliefs(model, inputs, p):
    """What the model expects before each trial, computed here (the filters through their list runs)."""
    if model in ("discount", "hyperbolic"):
        a_s, d_s, a_l, d_l = inputs.T
        if model == "discount":
            return a_l * p["discount_factor"] ** d_l - a_s * p["discount_factor"] ** d_s
        return a_l / (1.0 + p["k"] * d_l) - a_s / (1.0 + p["k"] * d_s)
    if model == "kalman":
        cap = p.get("prior_precision_cap")
        run = velmora.arrays.kalman_run(
            p["initial_mean"], p["initial_var"], inputs, p["process_noise"], p["obs_noise"], cap
        )
        return np.concatenate(([p["initial_mean"]], run.mean[:-1]))
    if model == "hgf":
        return velmora.arrays.hgf_run(inputs, **{k: p[k] for k in PARAMS["hgf"]}).prediction
    values = [p["initial_value"]]
    for reward in inputs[:-1]:
        values.append(values[-1] + p["learning_rate"] * (reward - values[-1]))
    return np.array(values)


def logit(response, belief, p):
    """log(P / (1 - P)) of a choice of 1 at each belief."""
    if response == "unit_square":
        m = np.clip(belief, MARGIN, 1 - MARGIN)
        return p["beta"] * (np.log(m) - np.log1p(-m))
    return p["beta"] * (belief - p.get("bias", 0.0))


def log_terms(model, response, inputs, responses, p):
    """Each trial's log likelihood; NaN for a missed (NaN) response."""
    if response in ("observations", "gaussian"):
        if model in ("kalman", "hgf", "td"):
            return log_densities(model, response, inputs, responses, p)
    belief = beliefs(model, inputs, p)
    if response == "gaussian":
        terms = -0.5 * (np.log(2 * np.pi * p["zeta"]) + (responses - belief) ** 2 / p["zeta"])
    else:
        z = logit(response, belief, p)
        terms = -np.logaddexp(0.0, np.where(responses == 1.0, -z, z))
    return np.where(np.isnan(responses), np.nan, terms)


def log_likelihood(model, response, inputs, responses, p):
    """The summed log likelihood; missed (NaN) responses add nothing."""
    return float(np.nansum(log_terms(model, response, inputs, responses, p)))


def _natural(transform, theta):
    return math.exp(theta) if transform == "log" else expit(theta) if transform == "logit" else theta


def _transformed(transform, x):
    return math.log(x) if transform == "log" else math.log(x) - math.log1p(-x) if transform == "logit" else x


def parameter_table(model, response):
    """(name, transform, prior mean, prior variance) of each parameter a default fit may free."""
    params = dict(PARAMS[model])
    if response != "observations":
        params.update(RESPONSE_PARAMS[response])
    return {name: (p.transform, *p.prior) for name, p in params.items()}


def neg_log_joint(data, result, theta):
    """The negative log joint at transformed values of result.free, the held ones at result's."""
    table = parameter_table(data.model, data.response)
    p = {name: value for name, value in result.params.items() if value is not None}
    prior = 0.0
    for name, t in zip(result.free, theta):
        transform, mean, var = table[name]
        p[name] = _natural(transform, t)
        prior += 0.5 * ((t - mean) ** 2 / var + math.log(2 * math.pi * var))
    with np.errstate(all="ignore"):
        nll = -log_likelihood(data.model, data.response, data.inputs, data.responses, p)
    return nll + prior


def theta_of(data, result):
    table = parameter_table(data.model, data.response)
    return np.array([_transformed(table[name][0], result.params[name]) for name in result.free])


def gradient_gain(data, result, step=1e-5):
    """Per free parameter, what a Newton step along it would gain by central differences of the
    objective above: g^2 / (2 h) with the curvature h, or g^2 itself where h is not positive."""
    theta = theta_of(data, result)
    f0 = neg_log_joint(data, result, theta)
    gains = []
    for j in range(theta.size):
        e = np.zeros_like(theta)
        e[j] = step * max(1.0, abs(theta[j]))
        up, down = neg_log_joint(data, result, theta + e), neg_log_joint(data, result, theta - e)
        g = (up - down) / (2 * e[j])
        h = (up - 2 * f0 + down) / e[j] ** 2
        gains.append(g * g / (2 * h) if h > 0 else g * g)
    return np.array(gains), f0


def random_data_set(model, response, rng, n_trials):
    """A short data set: inputs of the model's kind, responses drawn from the model at a point near
    its prior (choices from the belief, a fifth of them at random), a few missed."""
    if model in ("discount", "hyperbolic"):
        a_s = rng.uniform(1, 50, n_trials)
        d_s = rng.choice([0.0, 1.0, 7.0], n_trials)
        inputs = np.column_stack([a_s, d_s, a_s * rng.uniform(1.05, 3, n_trials), d_s + rng.uniform(1, 300, n_trials)])
        p = {"discount_factor": expit(rng.normal(4, 1.5)), "k": math.exp(rng.normal(math.log(0.01), 1.5))}
    elif model == "td":
        inputs = (rng.random(n_trials) < rng.uniform(0.2, 0.8)).astype(float)
        p = {"initial_value": rng.uniform(0, 1), "learning_rate": rng.uniform(0.05, 0.9)}
    else:
        scale = 1.0 if response != "unit_square" else 0.1
        inputs = 0.5 + np.cumsum(rng.normal(0, rng.uniform(0.05, 1.0) * scale, n_trials))
        if response == "unit_square":
            inputs = np.clip(inputs, 0.02, 0.98)
        p = {
            "initial_mean": float(inputs[0]),
            "initial_var": 1.0,
            "process_noise": rng.uniform(0.01, 0.5),
            "obs_noise": 1.0,
            "precision_flexibility": math.exp(rng.normal(0, 0.5)),
            "base_process_noise": math.exp(rng.normal(math.log(0.01), 1.0)),
            "mu1": 0.0,
            "var1": 1.0,
            "mu2": 0.0,
        }
        p.update(HELD_FOR_RESPONSES.get(model, {}) if response != "observations" else {})
    if response == "observations":
        return DataSet(model, response, inputs, None)
    belief = beliefs(model, inputs, p)
    if response == "gaussian":
        responses = belief + rng.normal(0, rng.uniform(0.1, 1.0), n_trials)
    else:
        if response == "unit_square":
            m = np.clip(belief, MARGIN, 1 - MARGIN)
            z = math.exp(rng.normal(math.log(2), 1)) * (np.log(m) - np.log1p(-m))
        else:
            z = math.exp(rng.normal(-1, 1)) * belief
        prob = np.where(rng.random(n_trials) < 0.2, 0.5, expit(z))
        responses = (rng.random(n_trials) < prob).astype(float)
    responses[rng.random(n_trials) < 0.05] = np.nan
    if np.all(np.isnan(responses)):
        responses[0] = 1.0
    return DataSet(model, response, inputs, responses)


def check(data, seed, many=40):
    """One data set's default fit and a many-start fit: (converged, gains, gap) where gains is the
    per-parameter Newton gain by differences and gap how far the default fit lies above the best of
    both (nats)."""
    fit = data.fit(seed=seed)
    best = data.fit(seed=seed + 1, n_starts=many)
    gains = gradient_gain(data, fit)[0] if fit.converged else np.zeros(0)
    gap = fit.neg_log_joint - min(fit.neg_log_joint, best.neg_log_joint)
    return fit, gains, gap


def reference_curvature(data, result, relative):
    """The Hessian of the objective above at result's estimate by second differences, each step
    `relative` times the parameter's spread (from a pilot at 1e-4)."""
    theta = theta_of(data, result)
    m = theta.size

    def hessian(steps):
        h = np.empty((m, m))
        for a in range(m):
            for b in range(m):
                ea, eb = np.zeros(m), np.zeros(m)
                ea[a], eb[b] = steps[a], steps[b]
                h[a, b] = (
                    neg_log_joint(data, result, theta + ea + eb)
                    - neg_log_joint(data, result, theta + ea - eb)
                    - neg_log_joint(data, result, theta - ea + eb)
                    + neg_log_joint(data, result, theta - ea - eb)
                ) / (4 * steps[a] * steps[b])
        return h

    pilot = np.diag(hessian(np.full(m, 1e-4)))
    spread = np.where(pilot > 0, 1 / np.sqrt(np.abs(pilot)), 1e-2)
    return hessian(relative * spread)
