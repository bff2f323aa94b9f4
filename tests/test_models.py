"""Every function agrees bit for bit with its plain Python transcription (tests/reference_*.py):
results, errors and messages, on drawn arguments and on the edge cases below."""

import ctypes
import ctypes.util
import math
import random
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import same_value
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import reference_models_rng as rng_ref
from reference_filters import RefError, hgf_run_ref, kalman_run_ref
from velmora import VelmoraException, discounted_value, forward_simulate, hgf_run, kalman_run, td_learn_sequence

NAN, INF = math.nan, math.inf


LIBM = ctypes.CDLL(ctypes.util.find_library("m"))
LIBM.pow.restype, LIBM.pow.argtypes = ctypes.c_double, [ctypes.c_double, ctypes.c_double]


def discounted_value_ref(reward, delay, discount_factor):
    return reward * LIBM.pow(discount_factor, delay)  # C's pow: math.pow raises on special values


REFERENCES = {
    kalman_run: kalman_run_ref,
    hgf_run: hgf_run_ref,
    td_learn_sequence: rng_ref.td_learn_sequence,
    forward_simulate: rng_ref.forward_simulate,
    discounted_value: discounted_value_ref,
}


def outcome(call, args):
    try:
        return call(*args)
    except RefError as e:
        return e.args
    except VelmoraException as e:
        return (type(e).__name__, *e.args)


def assert_agree(function, args):
    got, want = outcome(function, args), outcome(REFERENCES[function], args)
    assert same_value(got, want), (got, want)


K, H, TD, FW, DV = kalman_run, hgf_run, td_learn_sequence, forward_simulate, discounted_value
EDGE_CASES = [
    # kalman_run: empty input returns before any check; then process noise, the observation, obs
    # noise and the cap, in that order; a bad observation anywhere; the cap; divergence.
    (K, (0.0, 1.0, [], -1.0, NAN, 0.0)),
    (K, (0.0, 1.0, [NAN], -1.0, 1.0)),
    (K, (0.0, 1.0, [NAN], 0.0, -1.0)),
    (K, (0.0, 1.0, [1.0], 0.0, -1.0, 0.0)),
    (K, (0.0, 1.0, [1.0], 0.0, 1.0, -0.0)),
    (K, (0.0, 1.0, [1.0, 2.0, INF, 3.0], 0.0, 1.0)),
    (K, (0.0, 1.0, [1.0, 1.0], 0.0, 1.0, 1.5)),
    (K, (0.0, 1.0, [1.0, 2.0, 0.5], 0.1, 0.5)),
    (K, (-INF, 1.0, [1.0], 0.0, 1.0)),
    (K, (0.0, 1.0, [1e308], 0.0, 1e-6)),
    # hgf_run: the defaults; the observation before the flexibility; divergence; mu2's clamp, which
    # ignores NaN and keeps +0 over -0, applies to the volatility, not to the stored value.
    (H, ([1.0, 3.0, 2.5], 0.5, 2.0)),
    (H, ([], NAN, -1.0)),
    (H, ([NAN, 1.0], 0.5, -1.0)),
    (H, ([1.0], 0.5, -1e-7, 0.01, NAN)),
    (H, ([1.0, 2.0, NAN], 0.5, 2.0, 0.01, NAN)),
    (H, ([1e308], 1.0, 2.0, 0.01, -1e308)),
    (H, ([3.0, 0.0], 0.5, 2.0, 0.5, 0.0, 1.0, NAN)),
    (H, ([1.0, 0.0], 0.5, 2.0, 0.5, 0.0, 1.0, -4.0)),
    (H, ([3.0, 0.0], 0.5, 2.0, 0.5, 0.0, 1.0, -4.0)),
    (H, ([1.0], 0.5, 1.0, -0.0, 0.0, 1.0, -0.0)),
    # td_learn_sequence: empty first; the learning rate before the noise; no noise, no draw (and no
    # zero added); NaN propagates; the largest seed.
    (TD, (0.0, [], 2.0, 0.9, -1.0, 0)),
    (TD, (0.0, [1.0], NAN, 0.9, NAN, 0)),
    (TD, (0.0, [1.0, 2.0], 1.0000000000000002, 0.9, 0.0, 0)),
    (TD, (0.0, [1.0], 0.5, 0.9, INF, 0)),
    (TD, (-2.5, [1.0, 1e300, -3.0], -0.0, NAN, -0.0, 0)),
    (TD, (0.0, [1.0, 1.0, NAN, 1.0], 0.5, 0.9, 0.0, 0)),
    (TD, (0.0, [0.0, 0.0, 1.0], 1.0, -7.0, 0.5, 2**64 - 1)),
    # forward_simulate: checks even when empty; no noise, no draw; an infinite mismatch times 0;
    # the scaled command overflows; the largest seed.
    (FW, ([], NAN, -1.0, 1.0, 0)),
    (FW, ([], 0.5, -1e-300, 1.0, 0)),
    (FW, ([1.0], 1.0000000000000002, 0.0, 1.0, 0)),
    (FW, ([-0.0], 0.5, 0.0, 1.0, 0)),
    (FW, ([1.0, -2.0], -0.0, -0.0, 1.5, 0)),
    (FW, ([1.0, 2.0, -INF], 0.0, 0.0, 1.0, 0)),
    (FW, ([1.0, 1e308], 0.5, 0.0, 10.0, 0)),
    (FW, ([0.0, 0.0, 0.0], 0.0, 1.0, 1.0, 2**64 - 1)),
    # discounted_value: IEEE pow's special values, then one rounded product.
    *(
        (DV, args)
        for args in [
            (0.1, 3.0, 0.7),
            (3.0, 0.0, NAN),
            (-3.0, NAN, 1.0),
            (-2.0, 1.0, 0.0),
            (INF, 1.0, 0.0),
            (-2.0, -1.0, 0.0),
            (0.0, -1.0, 0.0),
            (1.0, 3.0, -0.5),
            (1.0, 0.5, -0.5),
            (1.0, -2.0, 0.5),
            (NAN, 1.0, 0.5),
        ]
    ),
]


@pytest.mark.parametrize("function, args", EDGE_CASES, ids=lambda x: getattr(x, "__name__", None))
def test_edge_cases(function, args):
    assert_agree(function, args)


CI = settings(max_examples=300, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
# Moderate values keep most runs alive to the end; the full range reaches overflow and divergence.
finite = st.one_of(st.floats(-1e3, 1e3), st.floats(allow_nan=False, allow_infinity=False))
special = st.sampled_from([0.0, -0.0, 1e-6, 1e-7, 5e-324, 1e308, INF, -INF, NAN, -1.0])
anything = st.one_of(finite, special)
non_negative = st.one_of(st.floats(0.0, 1e3), st.floats(0.0, 1e300), st.sampled_from([0.0, -0.0, 1e-6, 1e-9]))
rates = st.one_of(st.floats(0.0, 1.0), special)
finite_values = st.lists(finite, max_size=40)
any_values = st.lists(st.one_of(finite, finite, finite, special), max_size=12)
caps = st.one_of(st.none(), st.floats(1e-3, 1e7), st.floats(0.0, 1e300), special)
seeds = st.integers(0, 2**64 - 1)
DRAWN = {
    "hgf_finite": (
        hgf_run,
        st.tuples(finite_values, non_negative, non_negative, non_negative, finite, non_negative, non_negative),
    ),
    "hgf_any": (hgf_run, st.tuples(any_values, *[anything] * 7)),
    "kalman_finite": (kalman_run, st.tuples(finite, non_negative, finite_values, non_negative, non_negative, caps)),
    "kalman_any": (kalman_run, st.tuples(anything, anything, any_values, anything, anything, caps)),
    "td": (td_learn_sequence, st.tuples(finite, any_values, rates, anything, st.one_of(non_negative, special), seeds)),
    "forward": (forward_simulate, st.tuples(any_values, rates, st.one_of(non_negative, special), anything, seeds)),
    "discounted": (discounted_value, st.tuples(anything, anything, anything)),
}


@pytest.mark.parametrize("name", DRAWN)
@CI
@given(data=st.data())
def test_drawn_arguments(name, data):
    function, arguments = DRAWN[name]
    assert_agree(function, data.draw(arguments))


@pytest.mark.parametrize(
    "function, args",
    [
        (td_learn_sequence, (0.5, None, 0.1, 0.9, 3.0, 20240607)),
        (forward_simulate, (None, 0.3, 2.0, -0.75, 2**64 - 1)),
    ],
)
def test_long_noisy_runs(function, args):
    """10^5 deviates pass through the wedge and tail paths of the normal draw, and every refill."""
    rng = random.Random(args[-1])
    values = [rng.uniform(-3.0, 3.0) for _ in range(100_000)]
    assert_agree(function, tuple(values if a is None else a for a in args))


def test_stored_ziggurat_tables_are_what_their_generator_computes():
    # Every entry: regenerated with correctly rounded exp and log and compared with the header.
    tool = Path(__file__).resolve().parent.parent / "tools" / "gen_ziggurat_tables.py"
    subprocess.run([sys.executable, str(tool), "--check"], check=True, timeout=300)
