"""How a rejected value is printed in a message: positionally, from its shortest round-trip digits."""

import math

import pytest
from conftest import assert_raises
from hypothesis import given, settings
from hypothesis import strategies as st

import velmora._core as core
from reference_filters import format_double

# Special values, and those whose scientific form is the shortest: the digits must move, not grow.
EDGES = [-1.0, math.nan, -math.nan, -math.inf, -2.5e-5, -1e-7, -1e21, -1.5e300, -5e-324, -0.30000000000000004]


def check_printed(value):
    printed = format_double(value)
    assert "e" not in printed and (math.isnan(value) or float(printed) == value)
    message = f"invalid parameter 'obs_noise': {printed} (must be finite and non-negative)"
    assert_raises(core.InvalidParameter, message, core.kalman_run, 0.0, 1.0, [1.0], 0.0, value)


@pytest.mark.parametrize("value", EDGES)
def test_edge_values(value):
    check_printed(value)


@settings(max_examples=500, derandomize=True)
@given(st.floats(max_value=-5e-324, allow_infinity=False))
def test_any_printed_double_reads_back_to_itself(value):
    check_printed(value)
