"""Independent NumPy/SciPy computations for the fitting tests."""

import math

import numpy as np
from scipy.stats import norm

import velmora.arrays as va

FLOOR = 1e-6
ORDER = {
    "kalman": ["initial_mean", "initial_var", "process_noise", "obs_noise"],
    "hgf": ["obs_noise", "precision_flexibility", "base_process_noise", "mu1", "var1", "mu2"],
    "td": ["initial_value", "learning_rate"],
}


def names(model, response, has_cap):
    """The native parameter vector's names, in order."""
    cap, zeta = ["prior_precision_cap"] if has_cap else [], ["zeta"] if response != "observations" else []
    return ORDER[model] + cap + zeta


def log_densities(model, response, inputs, responses, p):
    """Per-trial log densities from first principles: the filters' predictive distributions, or the
    response density around the belief before each trial; NaN for a missed trial."""
    if model == "kalman":
        run = va.kalman_run(
            p["initial_mean"],
            p["initial_var"],
            inputs,
            p["process_noise"],
            p["obs_noise"],
            p.get("prior_precision_cap"),
        )
        mean_before = np.concatenate(([p["initial_mean"]], run.mean[:-1]))
        var_before = np.concatenate(([max(p["initial_var"], FLOOR)], run.var[:-1]))
        prior_precision = 1 / np.maximum(var_before + p["process_noise"], FLOOR)
        if p.get("prior_precision_cap") is not None:
            prior_precision = np.minimum(prior_precision, p["prior_precision_cap"])
        predictive_var = 1 / prior_precision + max(p["obs_noise"], FLOOR)
        belief = mean_before
    elif model == "hgf":
        run = va.hgf_run(inputs, **{k: p[k] for k in ORDER["hgf"]})
        predictive_var = 1 / (run.precision - 1 / max(p["obs_noise"], FLOOR)) + max(p["obs_noise"], FLOOR)
        mean_before = belief = run.prediction
    else:
        values = [p["initial_value"]]
        for reward in inputs[:-1]:
            values.append(values[-1] + p["learning_rate"] * (reward - values[-1]))
        belief = np.array(values)
    if response == "observations":
        return norm.logpdf(inputs, mean_before, np.sqrt(predictive_var))
    return norm.logpdf(responses, belief, math.sqrt(p["zeta"]))
