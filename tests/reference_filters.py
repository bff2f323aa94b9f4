"""Plain Python transcriptions of the two filters, with their checks and error messages.

Python floats are IEEE doubles and Python never fuses or reassociates, so writing every
operation in the same order as the core gives a reference that agrees bit for bit.
"""

from __future__ import annotations

import math
import operator

VARIANCE_FLOOR = 1e-6
FINITE = "must be finite"
FINITE_POSITIVE = "must be finite and positive"
FINITE_NON_NEGATIVE = "must be finite and non-negative"


class RefError(Exception):
    """kind is the name of the exception class the module raises; message its only argument."""

    def __init__(self, kind: str, message: str):
        super().__init__(kind, message)
        self.kind = kind
        self.message = message


def format_double(x: float) -> str:
    """Shortest round-trip digits in plain positional notation: 1e-7 -> "0.0000001"."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    if x == 0.0:
        return sign + "0"
    mantissa, _, exponent = repr(abs(x)).partition("e")
    whole, _, fraction = mantissa.partition(".")
    all_digits = whole + fraction
    digits = all_digits.lstrip("0")
    # Position of the decimal point, counted in digits from the first significant one.
    point = len(whole) + int(exponent or 0) - (len(all_digits) - len(digits))
    digits = digits.rstrip("0")
    if point <= 0:
        return sign + "0." + "0" * -point + digits
    if point >= len(digits):
        return sign + digits + "0" * (point - len(digits))
    return sign + digits[:point] + "." + digits[point:]


def to_double(x) -> float:
    """The interpreter's float protocol: __float__ or __index__, so a str is refused."""
    if hasattr(type(x), "__float__"):
        return float(x)
    return float(operator.index(x))


def invalid(name: str, value: float, reason: str) -> RefError:
    return RefError("InvalidParameter", f"invalid parameter '{name}': {format_double(value)} ({reason})")


def divergence(place: str) -> RefError:
    return RefError("NumericalDivergence", f"numerical divergence in {place}: produced a non-finite value")


def max_num(a: float, b: float) -> float:
    """Maximum ignoring a NaN operand; +0.0 over -0.0."""
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    if a == b:
        return b if math.copysign(1.0, a) < 0 else a
    return a if a > b else b


def min_num(a: float, b: float) -> float:
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    if a == b:
        return a if math.copysign(1.0, a) < 0 else b
    return a if a < b else b


def div(a: float, b: float) -> float:
    """IEEE division: Python raises on a zero divisor where the hardware gives inf or NaN."""
    try:
        return a / b
    except ZeroDivisionError:
        if math.isnan(a) or a == 0.0:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


def finite_non_negative(x: float) -> bool:
    return math.isfinite(x) and x >= 0.0


def kalman_run_ref(initial_mean, initial_var, observations, process_noise, obs_noise, prior_precision_cap=None):
    initial_mean, initial_var = to_double(initial_mean), to_double(initial_var)
    observations = [to_double(y) for y in observations]
    process_noise, obs_noise = to_double(process_noise), to_double(obs_noise)
    cap = None if prior_precision_cap is None else to_double(prior_precision_cap)
    if not observations:
        return []

    mean = initial_mean
    var = max_num(initial_var, VARIANCE_FLOOR)
    p_obs = div(1.0, max_num(obs_noise, VARIANCE_FLOOR))
    rows = []
    for y in observations:
        if not finite_non_negative(process_noise):
            raise invalid("process_noise", process_noise, FINITE_NON_NEGATIVE)
        v_pred = max_num(var + process_noise, VARIANCE_FLOOR)
        if not math.isfinite(y):
            raise invalid("observation", y, FINITE)
        if not finite_non_negative(obs_noise):
            raise invalid("obs_noise", obs_noise, FINITE_NON_NEGATIVE)
        if cap is not None and not (math.isfinite(cap) and cap > 0.0):
            raise invalid("prior_precision_cap", cap, FINITE_POSITIVE)
        p_prior = div(1.0, v_pred)
        if cap is not None:
            p_prior = min_num(p_prior, cap)
        p_post = p_obs + p_prior
        if not (math.isfinite(p_post) and p_post > 0.0):
            raise divergence("kalman::update posterior precision")
        new_mean = div(p_obs * y + p_prior * mean, p_post)
        if not math.isfinite(new_mean):
            raise divergence("kalman::update posterior mean")
        mean, var = new_mean, max_num(div(1.0, p_post), VARIANCE_FLOOR)
        rows.append((mean, var))
    return rows


def hgf_run_ref(observations, obs_noise, precision_flexibility, base_process_noise=0.01, mu1=0.0, var1=1.0,
                mu2=0.0, var2=1.0):
    observations = [to_double(y) for y in observations]
    obs_noise, flex, base = to_double(obs_noise), to_double(precision_flexibility), to_double(base_process_noise)
    mu1, var1, mu2 = to_double(mu1), to_double(var1), to_double(mu2)
    to_double(var2)  # converted like the others, then unused
    if not observations:
        return []

    obs_precision = div(1.0, max_num(obs_noise, VARIANCE_FLOOR))
    var1 = max_num(var1, VARIANCE_FLOOR)
    rows = []
    for t, y in enumerate(observations):
        if not math.isfinite(y):
            raise invalid("observation", y, FINITE)
        if not finite_non_negative(flex):
            raise invalid("precision_flexibility", flex, FINITE_NON_NEGATIVE)
        v = max_num(mu2, 0.0) * flex + base
        s = var1 + v
        p = div(1.0, max_num(s, VARIANCE_FLOOR))
        q = obs_precision + p
        d = y - mu1
        a = div(obs_precision, q)
        m = mu1 + d * a
        if not math.isfinite(m):
            raise divergence("hgf::step level-1 mean")
        rows.append((float(t), mu1, y, q, d, a, v))
        var1 = max_num(div(1.0, q), VARIANCE_FLOOR)
        mu2 = max_num(mu2 * 0.5 + (obs_precision * (d * d)) * 0.5, 0.0)
        mu1 = m
    return rows
