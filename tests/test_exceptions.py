"""How a rejected value is printed in a message."""

import math

import pytest
from conftest import assert_raises
from hypothesis import given, settings
from hypothesis import strategies as st

import velmora._core as core
from reference_filters import format_double

def obs_noise_message(value):
    return f"invalid parameter 'obs_noise': {value} (must be finite and non-negative)"


@pytest.mark.parametrize(
    "value, printed",
    [
        (-1.0, "-1"),
        (math.nan, "NaN"),
        (-math.nan, "NaN"),
        (-math.inf, "-inf"),
        (-2.5e-5, "-0.000025"),
        (-1e-7, "-0.0000001"),
        (-1e21, "-1000000000000000000000"),
        (-1.5e300, "-15" + "0" * 299),
        (-5e-324, "-0." + "0" * 323 + "5"),
        (-0.30000000000000004, "-0.30000000000000004"),
    ],
)
def test_doubles_print_positionally_from_their_shortest_digits(value, printed):
    assert_raises(core.InvalidParameter, obs_noise_message(printed), core.kalman_run, 0.0, 1.0, [1.0], 0.0, value)


@settings(max_examples=500, derandomize=True)
@given(st.floats(max_value=-5e-324, allow_infinity=False))
def test_any_printed_double_reads_back_to_itself(value):
    printed = format_double(value)
    assert float(printed) == value and "e" not in printed
    assert_raises(core.InvalidParameter, obs_noise_message(printed), core.kalman_run, 0.0, 1.0, [1.0], 0.0, value)
