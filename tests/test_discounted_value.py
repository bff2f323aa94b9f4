import math

import pytest

from velmora import discounted_value

NAN, INF = math.nan, math.inf


@pytest.mark.parametrize(
    "reward, delay, factor, expected",
    [
        (10.0, 2.0, 0.5, 2.5),
        (1.0, 0.5, 0.25, 0.5),
        (0.1, 3.0, 0.7, 0.1 * math.pow(0.7, 3.0)),  # the power first, then one rounded product
        (10, 2, True, 10.0),  # integers convert, and the result is a float
        (3.0, 0.0, NAN, 3.0),  # pow(x, 0) is 1
        (-3.0, NAN, 1.0, -3.0),  # pow(1, y) is 1
        (-2.0, 1.0, 0.0, -0.0),
        (INF, 1.0, 0.0, NAN),
        (-2.0, -1.0, 0.0, -INF),
        (0.0, -1.0, 0.0, NAN),
        (1.0, 3.0, -0.5, -0.125),
        (1.0, 0.5, -0.5, NAN),
        (1.0, -2.0, 0.5, 4.0),
        (NAN, 1.0, 0.5, NAN),
    ],
)
def test_special_values_follow_ieee_pow(assert_same, reward, delay, factor, expected):
    assert_same(discounted_value(reward, delay, factor), expected)
