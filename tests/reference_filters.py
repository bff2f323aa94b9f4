"""Plain Python transcriptions of the two filters, with their checks and error messages. Python
floats are IEEE doubles and Python never fuses or reassociates, so writing every operation in the
same order as the core gives a reference that agrees bit for bit."""

import math
from decimal import Decimal

FLOOR = 1e-6


class RefError(Exception):
    """args: the name of the exception class that the module raises, and its message."""


def format_double(x):
    """Shortest round-trip digits in plain positional notation: 1e-7 -> "0.0000001"."""
    if math.isinf(x) or x == 0.0:
        return ("-" if math.copysign(1.0, x) < 0 else "") + ("inf" if math.isinf(x) else "0")
    return "NaN" if math.isnan(x) else format(Decimal(repr(x)).normalize(), "f")


def invalid(name, value, reason):
    return RefError("InvalidParameter", f"invalid parameter '{name}': {format_double(value)} (must be {reason})")


def divergence(place):
    return RefError("NumericalDivergence", f"numerical divergence in {place}: produced a non-finite value")


def max_num(a, b):
    """Maximum ignoring a NaN operand; +0.0 over -0.0."""
    if math.isnan(a) or math.isnan(b):
        return b if math.isnan(a) else a
    return a if a > b or (a == b and math.copysign(1.0, a) > 0) else b


def kalman_run_ref(initial_mean, initial_var, observations, process_noise, obs_noise, prior_precision_cap=None):
    cap, mean, var, rows = prior_precision_cap, initial_mean, max_num(initial_var, FLOOR), []
    p_obs = 1.0 / max_num(obs_noise, FLOOR)
    for y in observations:
        if not (math.isfinite(process_noise) and process_noise >= 0.0):
            raise invalid("process_noise", process_noise, "finite and non-negative")
        v_pred = max_num(var + process_noise, FLOOR)
        if not math.isfinite(y):
            raise invalid("observation", y, "finite")
        if not (math.isfinite(obs_noise) and obs_noise >= 0.0):
            raise invalid("obs_noise", obs_noise, "finite and non-negative")
        if cap is not None and not (math.isfinite(cap) and cap > 0.0):
            raise invalid("prior_precision_cap", cap, "finite and positive")
        p_prior = 1.0 / v_pred if cap is None else min(1.0 / v_pred, cap)  # never NaN, so min is exact
        p_post = p_obs + p_prior
        if not (math.isfinite(p_post) and p_post > 0.0):
            raise divergence("kalman::update posterior precision")
        mean = (p_obs * y + p_prior * mean) / p_post
        if not math.isfinite(mean):
            raise divergence("kalman::update posterior mean")
        var = max_num(1.0 / p_post, FLOOR)
        rows.append((mean, var))
    return rows


def hgf_run_ref(
    observations, obs_noise, precision_flexibility, base_process_noise=0.01, mu1=0.0, var1=1.0, mu2=0.0, var2=1.0
):
    flex, base, var1, rows = precision_flexibility, base_process_noise, max_num(var1, FLOOR), []
    obs_precision = 1.0 / max_num(obs_noise, FLOOR)
    for t, y in enumerate(observations):
        if not math.isfinite(y):
            raise invalid("observation", y, "finite")
        if not (math.isfinite(flex) and flex >= 0.0):
            raise invalid("precision_flexibility", flex, "finite and non-negative")
        v = max_num(mu2, 0.0) * flex + base
        q = obs_precision + 1.0 / max_num(var1 + v, FLOOR)
        d = y - mu1
        a = obs_precision / q if q else math.nan  # 0 / 0, where Python would raise
        m = mu1 + d * a
        if not math.isfinite(m):
            raise divergence("hgf::step level-1 mean")
        rows.append((float(t), mu1, y, q, d, a, v))
        var1 = max_num(1.0 / q, FLOOR)
        mu2 = max_num(mu2 * 0.5 + (obs_precision * (d * d)) * 0.5, 0.0)
        mu1 = m
    return rows
