import math

import pytest

from velmora import discounted_value

NAN = math.nan
INF = math.inf


@pytest.mark.parametrize(
    "reward, delay, factor, expected",
    [
        (10.0, 2.0, 0.5, 2.5),
        (1.0, 0.5, 0.25, 0.5),
        (3.0, 0.0, NAN, 3.0),  # pow(x, 0) is 1
        (-3.0, NAN, 1.0, -3.0),  # pow(1, y) is 1
        (2.0, 1.0, 0.0, 0.0),
        (-2.0, 1.0, 0.0, -0.0),
        (INF, 1.0, 0.0, NAN),
        (2.0, -1.0, 0.0, INF),
        (-2.0, -1.0, 0.0, -INF),
        (0.0, -1.0, 0.0, NAN),
        (1.0, 3.0, -0.5, -0.125),
        (1.0, 2.0, -0.5, 0.25),
        (1.0, 0.5, -0.5, NAN),
        (1.0, -2.0, 0.5, 4.0),
        (1.0, 3.0, 2.0, 8.0),
        (NAN, 1.0, 0.5, NAN),
    ],
)
def test_special_values_follow_ieee_pow(assert_same, reward, delay, factor, expected):
    assert_same(discounted_value(reward, delay, factor), expected)


def test_power_is_taken_first_then_scaled(assert_same):
    assert_same(discounted_value(0.1, 3.0, 0.7), 0.1 * math.pow(0.7, 3.0))


def test_integers_convert_and_the_result_is_a_float(assert_same):
    assert_same(discounted_value(10, 2, True), 10.0)
