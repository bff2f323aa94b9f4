"""Both filters agree bit for bit with the plain Python transcriptions, errors and messages included."""

import math

from conftest import same_value
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from reference_filters import RefError, hgf_run_ref, kalman_run_ref
from velmora import VelmoraException, hgf_run, kalman_run

CI = settings(max_examples=300, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])

# Moderate values keep most runs alive to the end; the full range reaches overflow and divergence.
finite = st.one_of(st.floats(-1e3, 1e3), st.floats(allow_nan=False, allow_infinity=False))
special = st.sampled_from([0.0, -0.0, 1e-6, 1e-7, 5e-324, 1e308, math.inf, -math.inf, math.nan, -1.0])
anything = st.one_of(finite, special)
non_negative = st.one_of(st.floats(0.0, 1e3), st.floats(0.0, 1e300), st.sampled_from([0.0, -0.0, 1e-6, 1e-9]))
finite_observations = st.lists(finite, max_size=40)
any_observations = st.lists(st.one_of(finite, finite, finite, special), max_size=12)
caps = st.one_of(st.none(), st.floats(1e-3, 1e7), st.floats(0.0, 1e300))


def outcome(call, args):
    try:
        return call(*args)
    except RefError as e:
        return e.args
    except VelmoraException as e:
        return (type(e).__name__, *e.args)


def assert_agree(function, reference, args):
    got, want = outcome(function, args), outcome(reference, args)
    assert same_value(got, want), (got, want)


@CI
@given(st.tuples(finite_observations, non_negative, non_negative, non_negative, finite, non_negative, non_negative))
def test_hgf_on_finite_input(args):
    assert_agree(hgf_run, hgf_run_ref, args)


@CI
@given(st.tuples(any_observations, anything, anything, anything, anything, anything, anything, anything))
def test_hgf_on_any_input(args):
    assert_agree(hgf_run, hgf_run_ref, args)


@CI
@given(st.tuples(finite, non_negative, finite_observations, non_negative, non_negative, caps))
def test_kalman_on_finite_input(args):
    assert_agree(kalman_run, kalman_run_ref, args)


@CI
@given(st.tuples(anything, anything, any_observations, anything, anything, st.one_of(st.none(), anything)))
def test_kalman_on_any_input(args):
    assert_agree(kalman_run, kalman_run_ref, args)
