"""Both filters agree bit for bit with the plain Python transcriptions, errors included."""

import math
import struct

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from reference_filters import RefError, hgf_run_ref, kalman_run_ref
from velmora import _core

CI = settings(max_examples=300, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])

# Moderate values keep most runs alive to the end; the full range reaches overflow and divergence.
moderate = st.floats(-1e3, 1e3, allow_nan=False)
finite = st.one_of(moderate, st.floats(allow_nan=False, allow_infinity=False))
special = st.sampled_from([0.0, -0.0, 1e-6, 1e-7, 5e-324, 1e308, math.inf, -math.inf, math.nan, -1.0])
anything = st.one_of(finite, special)
non_negative = st.one_of(st.floats(0.0, 1e3), st.floats(0.0, 1e300), st.sampled_from([0.0, -0.0, 1e-6, 1e-9]))
finite_observations = st.lists(finite, max_size=40)
any_observations = st.lists(st.one_of(finite, finite, finite, special), max_size=12)


def canonical(rows):
    """Rows as bit patterns; every NaN counts as one, since its payload is not part of the result."""
    assert type(rows) is list
    for row in rows:
        assert type(row) is tuple and all(type(v) is float for v in row), row
    return [tuple("nan" if math.isnan(v) else struct.pack("<d", v) for v in row) for row in rows]


def outcome(call):
    try:
        return "ok", canonical(call())
    except RefError as e:
        return e.kind, e.message
    except _core.VelmoraException as e:
        assert e.args == (str(e),)
        return type(e).__name__, str(e)


def assert_agree(module_call, reference_call):
    assert outcome(module_call) == outcome(reference_call)


@CI
@given(finite_observations, non_negative, non_negative, non_negative, finite, non_negative, non_negative)
def test_hgf_matches_reference_on_finite_input(ys, obs_noise, flex, base, mu1, var1, mu2):
    args = (ys, obs_noise, flex, base, mu1, var1, mu2)
    assert_agree(lambda: _core.hgf_run(*args), lambda: hgf_run_ref(*args))


@CI
@given(any_observations, anything, anything, anything, anything, anything, anything, anything)
def test_hgf_matches_reference_on_any_input(ys, obs_noise, flex, base, mu1, var1, mu2, var2):
    args = (ys, obs_noise, flex, base, mu1, var1, mu2, var2)
    assert_agree(lambda: _core.hgf_run(*args), lambda: hgf_run_ref(*args))


caps = st.one_of(st.none(), st.floats(1e-3, 1e7), st.floats(0.0, 1e300))


@CI
@given(finite, non_negative, finite_observations, non_negative, non_negative, caps)
def test_kalman_matches_reference_on_finite_input(mean, var, ys, process_noise, obs_noise, cap):
    args = (mean, var, ys, process_noise, obs_noise, cap)
    assert_agree(lambda: _core.kalman_run(*args), lambda: kalman_run_ref(*args))


@CI
@given(anything, anything, any_observations, anything, anything, st.one_of(st.none(), anything))
def test_kalman_matches_reference_on_any_input(mean, var, ys, process_noise, obs_noise, cap):
    args = (mean, var, ys, process_noise, obs_noise, cap)
    assert_agree(lambda: _core.kalman_run(*args), lambda: kalman_run_ref(*args))
