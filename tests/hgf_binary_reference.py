"""The binary HGF transcribed from its equations with NumPy scalars, one trial at a time: what the
engine's hgf_binary and ehgf_binary are checked against. No code is shared with the engine.

Per trial with input u and the previous posterior (mu2, sigma2, mu3, sigma3):
    muhat1 = s(mu2); pihat2 = 1 / (sigma2 + exp(kappa mu3 + omega2)); pihat3 = 1 / (sigma3 + exp(omega3))
    delta1 = u - muhat1; pi2 = pihat2 + muhat1 (1 - muhat1); mu2 += delta1 / pi2; sigma2 = 1 / pi2
    v = exp(kappa mu3 + omega2); w = v pihat2; delta2 = (sigma2 + (mu2 - muhat2)^2) pihat2 - 1
    pi3 = pihat3 + kappa^2 w (w + (2w - 1) delta2) / 2; mu3 += kappa w delta2 / (2 pi3); sigma3 = 1 / pi3
The enhanced variant moves mu3 by kappa w delta2 / (2 pihat3) and clamps pi3's increment at zero.
A missed input (NaN) leaves the posterior as it was. A division by a precision is taken as the
product with its reciprocal, the variance, as the engine takes it (the same value to rounding).
"""

from __future__ import annotations

import math

import numpy as np

FIELDS = (
    "muhat1",
    "muhat2",
    "sigmahat2",
    "mu2",
    "sigma2",
    "mu3",
    "sigma3",
    "delta1",
    "delta2",
    "learning_rate2",
    "learning_rate3",
)
DEFAULTS = dict(kappa=1.0, mu2=0.0, sigma2=0.1, mu3=1.0, sigma3=1.0)


class Undefined(Exception):
    """The level-3 precision is not positive at ``trial``."""

    def __init__(self, trial: int, pi3: float) -> None:
        super().__init__(trial, pi3)
        self.trial = trial
        self.pi3 = pi3


def trajectories(inputs, omega2, omega3, enhanced=False, **initial):
    """One row of FIELDS per input (a dict of arrays); Undefined where the model is."""
    p = DEFAULTS | initial
    kappa = p["kappa"]
    mu2, sigma2, mu3, sigma3 = p["mu2"], p["sigma2"], p["mu3"], p["sigma3"]
    rows = {name: np.empty(len(inputs)) for name in FIELDS}
    for t, u in enumerate(inputs):
        muhat1 = 1.0 / (1.0 + math.exp(-mu2))
        vol = math.exp(kappa * mu3 + omega2)
        sigmahat2 = sigma2 + vol
        pihat2 = 1.0 / sigmahat2
        pihat3 = 1.0 / (sigma3 + math.exp(omega3))
        row = dict(muhat1=muhat1, muhat2=mu2, sigmahat2=sigmahat2)
        if math.isnan(u):
            row |= dict(mu2=mu2, sigma2=sigma2, mu3=mu3, sigma3=sigma3)
            row |= dict(delta1=math.nan, delta2=math.nan, learning_rate2=math.nan, learning_rate3=math.nan)
        else:
            delta1 = u - muhat1
            pi2 = pihat2 + muhat1 * (1.0 - muhat1)
            new_sigma2 = 1.0 / pi2
            new_mu2 = mu2 + delta1 * new_sigma2
            w = vol * pihat2
            delta2 = (new_sigma2 + (new_mu2 - mu2) ** 2) * pihat2 - 1.0
            increment = 0.5 * kappa**2 * w * (w + (2.0 * w - 1.0) * delta2)
            if enhanced:
                pi3 = pihat3 + max(increment, 0.0)
                weight3 = 0.5 * kappa * w * (sigma3 + math.exp(omega3))
            else:
                pi3 = pihat3 + increment
                if not pi3 > 0.0:
                    raise Undefined(t, pi3)
                weight3 = 0.5 * kappa * w * (1.0 / pi3)
            mu2, sigma2 = new_mu2, new_sigma2
            mu3, sigma3 = mu3 + weight3 * delta2, 1.0 / pi3
            row |= dict(mu2=mu2, sigma2=sigma2, mu3=mu3, sigma3=sigma3, delta1=delta1, delta2=delta2)
            row |= dict(learning_rate2=sigma2, learning_rate3=weight3)
        for name in FIELDS:
            rows[name][t] = row[name]
    return rows


def choice_log_probability(muhat1, responses, response_model, beta, bias=0.0, margin=1e-12):
    """log P(y) per trial (NaN where the response is missed): the unit square's
    muhat1^beta / (muhat1^beta + (1 - muhat1)^beta), muhat1 kept within (margin, 1 - margin), the
    logistic function of beta (muhat1 - bias), or the softmax over the values 1 - muhat1 and muhat1."""
    m = np.asarray(muhat1, dtype=float)
    if response_model == "unit_square":
        m = np.clip(m, margin, 1.0 - margin)
        z = beta * (np.log(m) - np.log1p(-m))
    elif response_model == "softmax":
        # Two options valued 1 - muhat1 (choice 0) and muhat1 (choice 1).
        z = beta * (m - (1.0 - m))
    else:
        z = beta * (m - bias)
    y = np.asarray(responses, dtype=float)
    # log s(z) for y = 1 and log s(-z) for y = 0, without forming 1 - s(z).
    signed = np.where(y == 1.0, z, -z)
    out = -np.logaddexp(0.0, -signed)
    return np.where(np.isnan(y), np.nan, out)


def negative_log_likelihood(inputs, responses, response_model, params, enhanced=False):
    """The negative log-likelihood of the responses at natural ``params`` (the model's and the
    response model's by name)."""
    own = {k: v for k, v in params.items() if k not in ("beta", "bias", "perseveration", "lapse")}
    rows = trajectories(inputs, enhanced=enhanced, **own)
    logp = choice_log_probability(rows["muhat1"], responses, response_model, params["beta"], params.get("bias", 0.0))
    return -float(np.nansum(logp))
