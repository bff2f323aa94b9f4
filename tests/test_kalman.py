"""kalman_run: worked examples to the last bit, its checks in order (other arithmetic: test_filters_property)."""

import math

import pytest
from conftest import assert_raises

from velmora import InvalidParameter, NumericalDivergence, kalman_run

NAN, INF = math.nan, math.inf


@pytest.mark.parametrize(
    "args, expected",
    [
        ((0.0, 1.0, [1.0, 1.0], 0.0, 1.0), [(0.5, 0.5), (0.6666666666666666, 0.3333333333333333)]),
        ((0.0, 1.0, [1.0, 1.0], 0.0, 1.0, 1.5), [(0.5, 0.5), (0.7, 0.4)]),
        ((0.0, 1.0, [1.0, 2.0, 0.5], 0.1, 0.5),
         [(0.6875, 0.34375), (1.304635761589404, 0.23509933774834435), (0.9817605075337036, 0.2006344171292625)]),
    ],
)
def test_worked_examples_to_the_last_bit(assert_same, args, expected):
    assert_same(kalman_run(*args), expected)


def test_empty_observations_return_before_any_check():
    assert kalman_run(0.0, 1.0, [], -1.0, NAN, 0.0) == []


def invalid(name, printed, reason):
    return f"invalid parameter '{name}': {printed} (must be {reason})"


@pytest.mark.parametrize(
    "args, message",
    [
        ((0.0, 1.0, [1.0], -1.0, 1.0), invalid("process_noise", "-1", "finite and non-negative")),
        ((0.0, 1.0, [1.0], INF, 1.0), invalid("process_noise", "inf", "finite and non-negative")),
        ((0.0, 1.0, [1.0], 0.0, NAN), invalid("obs_noise", "NaN", "finite and non-negative")),
        ((0.0, 1.0, [-INF], 0.0, 1.0), invalid("observation", "-inf", "finite")),
        ((0.0, 1.0, [1.0], 0.0, 1.0, 0.0), invalid("prior_precision_cap", "0", "finite and positive")),
        ((0.0, 1.0, [1.0], 0.0, 1.0, -0.0), invalid("prior_precision_cap", "-0", "finite and positive")),
        ((0.0, 1.0, [1.0], 0.0, 1.0, INF), invalid("prior_precision_cap", "inf", "finite and positive")),
        ((0.0, 1.0, [1.0], 0.0, 1.0, NAN), invalid("prior_precision_cap", "NaN", "finite and positive")),
        # The order: process noise, then the first observation, then obs noise, then the cap.
        ((0.0, 1.0, [NAN], -1.0, 1.0), invalid("process_noise", "-1", "finite and non-negative")),
        ((0.0, 1.0, [NAN], 0.0, -1.0), invalid("observation", "NaN", "finite")),
        ((0.0, 1.0, [1.0], 0.0, -1.0, 0.0), invalid("obs_noise", "-1", "finite and non-negative")),
        # A bad observation is reported wherever it is, with its value.
        ((0.0, 1.0, [1.0, 2.0, INF, 3.0], 0.0, 1.0), invalid("observation", "inf", "finite")),
    ],
)
def test_invalid_parameters_in_check_order(args, message):
    assert_raises(InvalidParameter, message, kalman_run, *args)


@pytest.mark.parametrize(
    "args",
    [(NAN, 1.0, [1.0], 0.0, 1.0), (INF, 1.0, [1.0], 0.0, 1.0), (-INF, 1.0, [1.0], 0.0, 1.0),
     (0.0, 1.0, [1e308], 0.0, 1e-6)],  # the last: P_obs * y overflows
)
def test_non_finite_posterior_mean_diverges(args):
    message = "numerical divergence in kalman::update posterior mean: produced a non-finite value"
    assert_raises(NumericalDivergence, message, kalman_run, *args)
