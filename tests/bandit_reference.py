"""The bandit models and the softmax choice rule written out again in NumPy, from their equations,
one trial at a time: the independent route the engine's likelihoods, values and gradients are
checked against (tests/test_bandits.py) and the benchmarks' hand-written SciPy fits run on
(benchmarks/bandits.py). Nothing here reads the engine.

The equations, per trial t with choice c (an option's index; NaN: a missed trial) and outcome r:

- rw: delta = r - Q(c), Q(c) += learning_rate * delta; every other option moves toward
  initial_value by decay (on every trial with a choice, seen outcome or not).
- rw_dual: as rw (no decay) with learning_rate_pos where delta > 0, learning_rate_neg otherwise.
- rw_fictitious (two options): also Q(u) += learning_rate * (-r - Q(u)) for the other option u.
- kalman_bandit: chosen option: gain = var / (var + observation_noise^2), mean += gain * (r - mean),
  var *= 1 - gain; then every option: mean = decay * mean + (1 - decay) * decay_center,
  var = decay^2 * var + diffusion_noise^2 (on every trial with a choice, seen outcome or not).
- softmax: P(c = k) proportional to exp(beta * Q(k) + perseveration * [k == last choice made]),
  then (1 - lapse) * P + lapse / K.

A missed trial changes nothing and has no likelihood term; a choice whose outcome is NaN counts in
the likelihood and nothing learns from its outcome.
"""

from __future__ import annotations

import math
from collections.abc import Mapping

import numpy as np

RESPONSE_PARAMS = ("beta", "perseveration", "lapse")
MODEL_PARAMS = {
    "rw": ("learning_rate", "initial_value", "decay"),
    "rw_dual": ("learning_rate_pos", "learning_rate_neg", "initial_value"),
    "rw_fictitious": ("learning_rate", "initial_value"),
    "kalman_bandit": (
        "decay",
        "decay_center",
        "diffusion_noise",
        "initial_mean",
        "initial_var",
        "observation_noise",
    ),
}
# The values the equations reduce to when a parameter is left out.
NEUTRAL = {"initial_value": 0.0, "decay": 0.0, "perseveration": 0.0, "lapse": 0.0, "observation_noise": 4.0}


def _get(params: Mapping[str, float], name: str) -> float:
    return float(params[name]) if name in params else NEUTRAL[name]


def log_softmax(utilities: np.ndarray) -> np.ndarray:
    top = float(np.max(utilities))
    return utilities - (top + math.log(float(np.sum(np.exp(utilities - top)))))


def choice_log_probabilities(values: np.ndarray, previous: int | None, params: Mapping[str, float]) -> np.ndarray:
    """log P(c = k) for every k, from the option values before the trial and the last choice made."""
    k = values.size
    u = float(params["beta"]) * values
    if previous is not None:
        u = u.copy()
        u[previous] += _get(params, "perseveration")
    log_p = log_softmax(u)
    lapse = _get(params, "lapse")
    if lapse == 0.0:
        return log_p
    return np.log((1.0 - lapse) * np.exp(log_p) + lapse / k)


class Agent:
    """One model's state over K options and its update from one choice and its outcome."""

    def __init__(self, model: str, params: Mapping[str, float], k: int) -> None:
        if model == "rw_fictitious" and k != 2:
            raise ValueError("rw_fictitious has two options")
        self.model, self.p, self.k = model, params, k
        if model == "kalman_bandit":
            self.q = np.full(k, float(params["initial_mean"]))
            self.var = np.full(k, float(params["initial_var"]))
        else:
            self.q = np.full(k, _get(params, "initial_value"))
            self.var = np.full(k, np.nan)

    def learn(self, c: int, r: float) -> float:
        """Updates after choice c with outcome r (NaN: not seen); returns the prediction error."""
        p, q, seen = self.p, self.q, not math.isnan(r)
        delta = r - q[c] if seen else math.nan
        if self.model == "rw":
            decay, q0 = _get(p, "decay"), _get(p, "initial_value")
            for j in range(self.k):
                if j != c:
                    q[j] += decay * (q0 - q[j])
            if seen:
                q[c] += float(p["learning_rate"]) * delta
        elif self.model == "rw_dual":
            if seen:
                rate = p["learning_rate_pos"] if delta > 0 else p["learning_rate_neg"]
                q[c] += float(rate) * delta
        elif self.model == "rw_fictitious":
            if seen:
                u = 1 - c
                fictitious = -r - q[u]
                q[c] += float(p["learning_rate"]) * delta
                q[u] += float(p["learning_rate"]) * fictitious
        elif self.model == "kalman_bandit":
            if seen:
                noise = _get(p, "observation_noise")
                gain = self.var[c] / (self.var[c] + noise**2)
                q[c] += gain * delta
                self.var[c] *= 1.0 - gain
            decay = float(p["decay"])
            q[:] = decay * q + (1.0 - decay) * float(p["decay_center"])
            self.var[:] = decay**2 * self.var + float(p["diffusion_noise"]) ** 2
        else:
            raise ValueError(f"unknown model {self.model!r}")
        return delta


def run(
    model: str, outcomes: np.ndarray, choices: np.ndarray, params: Mapping[str, float], k: int
) -> dict[str, np.ndarray]:
    """Per trial: ``loglik`` (log P of the choice made; NaN where missed), ``values`` and ``vars``
    (per option, before the trial), ``log_probabilities`` (before the trial) and
    ``prediction_error`` (after the trial's update; NaN where nothing was learnt)."""
    n = len(choices)
    agent = Agent(model, params, k)
    out = {
        "loglik": np.full(n, np.nan),
        "values": np.empty((n, k)),
        "vars": np.empty((n, k)),
        "log_probabilities": np.empty((n, k)),
        "prediction_error": np.full(n, np.nan),
    }
    previous: int | None = None
    for t in range(n):
        out["values"][t] = agent.q
        out["vars"][t] = agent.var
        log_p = choice_log_probabilities(agent.q, previous, params)
        out["log_probabilities"][t] = log_p
        if math.isnan(choices[t]):
            continue
        c = int(choices[t])
        out["loglik"][t] = log_p[c]
        out["prediction_error"][t] = agent.learn(c, float(outcomes[t]))
        previous = c
    return out


def nll(model: str, outcomes: np.ndarray, choices: np.ndarray, params: Mapping[str, float], k: int) -> float:
    """The negative log-likelihood of the choices made."""
    return -float(np.nansum(run(model, outcomes, choices, params, k)["loglik"]))


def natural(transform: str, x: float) -> float:
    """A parameter's natural value from its transformed one."""
    if transform == "log":
        return math.exp(x) if x < 709.0 else math.inf
    if transform == "logit":
        # Written for either sign of x, so that neither exp overflows.
        return 1.0 / (1.0 + math.exp(-x)) if x >= 0.0 else math.exp(x) / (1.0 + math.exp(x))
    return x


def transformed(transform: str, v: float) -> float:
    if transform == "log":
        return math.log(v)
    if transform == "logit":
        return math.log(v / (1.0 - v))
    return v


def slope(transform: str, v: float) -> float:
    """d natural / d transformed at the natural value v."""
    if transform == "log":
        return v
    if transform == "logit":
        return v * (1.0 - v)
    return 1.0


def neg_log_prior(theta: np.ndarray, means: np.ndarray, variances: np.ndarray) -> float:
    """The Gaussian priors' negative log density on the transformed scale, normalised."""
    return float(np.sum(0.5 * (np.log(2.0 * np.pi * variances) + (theta - means) ** 2 / variances)))
