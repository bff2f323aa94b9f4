import math

import pytest

from velmora import InvalidParameter, NumericalDivergence, kalman_run

NAN = math.nan
INF = math.inf


@pytest.mark.parametrize(
    "args, expected",
    [
        ((0.0, 1.0, [1.0, 1.0], 0.0, 1.0), [(0.5, 0.5), (0.6666666666666666, 0.3333333333333333)]),
        ((0.0, 1.0, [1.0, 1.0], 0.0, 1.0, 1.5), [(0.5, 0.5), (0.7, 0.4)]),
        (
            (0.0, 1.0, [1.0, 2.0, 0.5], 0.1, 0.5),
            [(0.6875, 0.34375), (1.304635761589404, 0.23509933774834435), (0.9817605075337036, 0.2006344171292625)],
        ),
    ],
)
def test_worked_examples_to_the_last_bit(assert_same, args, expected):
    assert_same(kalman_run(*args), expected)


def test_empty_observations_return_before_any_check():
    assert kalman_run(0.0, 1.0, [], -1.0, NAN, 0.0) == []


@pytest.mark.parametrize("initial_var", [0.0, -5.0, NAN, 1e-9])
def test_initial_variance_is_floored(assert_same, initial_var):
    assert_same(kalman_run(0.3, initial_var, [1.0, 2.0], 0.1, 0.5), kalman_run(0.3, 1e-6, [1.0, 2.0], 0.1, 0.5))


def test_infinite_initial_variance_trusts_the_first_observation_alone(assert_same):
    (mean, var), = kalman_run(5.0, INF, [3.0], 0.0, 0.25)
    assert_same(mean, (4.0 * 3.0) / 4.0)
    assert_same(var, 0.25)


@pytest.mark.parametrize("noise", [0.0, -0.0])
def test_zero_noises_are_accepted(noise):
    rows = kalman_run(0.0, 1.0, [2.0], noise, noise)
    # The observation precision is exactly 1e6; the posterior variance 1/1000001 is floored to 1e-6.
    assert rows == [((1e6 * 2.0 + 1.0 * 0.0) / 1000001.0, 1e-6)]


@pytest.mark.parametrize("cap", [None, 1e6, 1e300])
def test_a_cap_at_or_above_the_precision_ceiling_changes_nothing(assert_same, cap):
    assert_same(kalman_run(0.0, 0.0, [1.0, -1.0, 4.0], 0.0, 0.0, cap), kalman_run(0.0, 0.0, [1.0, -1.0, 4.0], 0.0, 0.0))


@pytest.mark.parametrize(
    "args, message",
    [
        ((0.0, 1.0, [1.0], -1.0, 1.0), "invalid parameter 'process_noise': -1 (must be finite and non-negative)"),
        ((0.0, 1.0, [1.0], INF, 1.0), "invalid parameter 'process_noise': inf (must be finite and non-negative)"),
        ((0.0, 1.0, [1.0], 0.0, NAN), "invalid parameter 'obs_noise': NaN (must be finite and non-negative)"),
        ((0.0, 1.0, [NAN], 0.0, 1.0), "invalid parameter 'observation': NaN (must be finite)"),
        ((0.0, 1.0, [-INF], 0.0, 1.0), "invalid parameter 'observation': -inf (must be finite)"),
        ((0.0, 1.0, [1.0], 0.0, 1.0, 0.0), "invalid parameter 'prior_precision_cap': 0 (must be finite and positive)"),
        ((0.0, 1.0, [1.0], 0.0, 1.0, -0.0), "invalid parameter 'prior_precision_cap': -0 (must be finite and positive)"),
        ((0.0, 1.0, [1.0], 0.0, 1.0, -1.0), "invalid parameter 'prior_precision_cap': -1 (must be finite and positive)"),
        ((0.0, 1.0, [1.0], 0.0, 1.0, INF), "invalid parameter 'prior_precision_cap': inf (must be finite and positive)"),
        ((0.0, 1.0, [1.0], 0.0, 1.0, NAN), "invalid parameter 'prior_precision_cap': NaN (must be finite and positive)"),
        # The order of the checks: process noise, then the first observation, then obs noise, then the cap.
        ((0.0, 1.0, [NAN], -1.0, 1.0), "invalid parameter 'process_noise': -1 (must be finite and non-negative)"),
        ((0.0, 1.0, [NAN], 0.0, -1.0), "invalid parameter 'observation': NaN (must be finite)"),
        ((0.0, 1.0, [1.0], 0.0, -1.0, 0.0), "invalid parameter 'obs_noise': -1 (must be finite and non-negative)"),
        # A bad observation is reported wherever it is, with its value.
        ((0.0, 1.0, [1.0, 2.0, INF, 3.0], 0.0, 1.0), "invalid parameter 'observation': inf (must be finite)"),
    ],
)
def test_invalid_parameters_in_check_order(args, message):
    with pytest.raises(InvalidParameter) as info:
        kalman_run(*args)
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "args",
    [
        (NAN, 1.0, [1.0], 0.0, 1.0),
        (INF, 1.0, [1.0], 0.0, 1.0),
        (-INF, 1.0, [1.0], 0.0, 1.0),
        (0.0, 1.0, [1e308], 0.0, 1e-6),  # P_obs * y overflows
    ],
)
def test_non_finite_posterior_mean_diverges(args):
    with pytest.raises(NumericalDivergence) as info:
        kalman_run(*args)
    assert str(info.value) == "numerical divergence in kalman::update posterior mean: produced a non-finite value"


def test_rows_match_observations_and_respect_the_floor():
    rows = kalman_run(1.0, 1e-12, [float(i % 7) for i in range(500)], 0.0, 0.0)
    assert len(rows) == 500
    assert all(type(m) is float and type(v) is float and v >= 1e-6 for m, v in rows)
