"""The Python reference filters against the documented worked examples; needs no compiled module."""

import math
import struct

import pytest

from reference_filters import RefError, format_double, hgf_run_ref, kalman_run_ref, max_num

NAN = math.nan
INF = math.inf


def bits(x):
    return struct.pack("<d", x)


def assert_rows_bitwise(got, expected):
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        assert [bits(v) for v in g] == [bits(float(v)) for v in e], (g, e)


@pytest.mark.parametrize(
    "args, expected",
    [
        ((0.0, 1.0, [1.0, 1.0], 0.0, 1.0), [(0.5, 0.5), (0.6666666666666666, 0.3333333333333333)]),
        ((0.0, 1.0, [1.0, 1.0], 0.0, 1.0, 1.5), [(0.5, 0.5), (0.7, 0.4)]),
        (
            (0.0, 1.0, [1.0, 2.0, 0.5], 0.1, 0.5),
            [
                (0.6875, 0.34375),
                (1.304635761589404, 0.23509933774834435),
                (0.9817605075337036, 0.2006344171292625),
            ],
        ),
    ],
)
def test_kalman_worked_examples(args, expected):
    assert_rows_bitwise(kalman_run_ref(*args), expected)


def test_hgf_worked_example():
    expected = [
        (0.0, 0.0, 1.0, 2.99009900990099, 1.0, 0.6688741721854304, 0.01),
        (1.0, 0.6688741721854304, 3.0, 2.4265416231179913, 2.3311258278145695, 0.8242182952666992, 2.01),
        (2.0, 2.590230728038928, 2.5, 2.0813642877508256, -0.09023072803892784, 0.9609081945771493,
         11.878295250208323),
    ]
    assert_rows_bitwise(hgf_run_ref([1.0, 3.0, 2.5], 0.5, 2.0), expected)


@pytest.mark.parametrize(
    "value, text",
    [
        (1.0, "1"), (-2.0, "-2"), (100.0, "100"), (0.1, "0.1"), (0.30000000000000004, "0.30000000000000004"),
        (2.5e-5, "0.000025"), (1e-7, "0.0000001"), (1e21, "1000000000000000000000"),
        (1.5e300, "15" + "0" * 299), (5e-324, "0." + "0" * 323 + "5"), (123.456, "123.456"),
        (-1e-300, "-0." + "0" * 299 + "1"), (NAN, "NaN"), (-NAN, "NaN"), (INF, "inf"), (-INF, "-inf"),
        (0.0, "0"), (-0.0, "-0"),
    ],
)
def test_format_double(value, text):
    assert format_double(value) == text


@pytest.mark.parametrize(
    "a, b, expected",
    [
        (NAN, 1e-6, 1e-6), (1e-6, NAN, 1e-6), (NAN, NAN, NAN), (-0.0, 0.0, 0.0), (0.0, -0.0, 0.0),
        (-1.0, 2.0, 2.0), (3.0, -INF, 3.0),
    ],
)
def test_max_num(a, b, expected):
    assert bits(max_num(a, b)) == bits(expected)


@pytest.mark.parametrize(
    "call, kind, message",
    [
        (lambda: kalman_run_ref(0.0, 1.0, [NAN], -1.0, 1.0), "InvalidParameter",
         "invalid parameter 'process_noise': -1 (must be finite and non-negative)"),
        (lambda: kalman_run_ref(0.0, 1.0, [NAN], 0.0, -1.0), "InvalidParameter",
         "invalid parameter 'observation': NaN (must be finite)"),
        (lambda: kalman_run_ref(0.0, 1.0, [1.0], 0.0, 1.0, -0.0), "InvalidParameter",
         "invalid parameter 'prior_precision_cap': -0 (must be finite and positive)"),
        (lambda: kalman_run_ref(0.0, 1.0, [1e308], 0.0, 1e-6), "NumericalDivergence",
         "numerical divergence in kalman::update posterior mean: produced a non-finite value"),
        (lambda: hgf_run_ref([NAN, 1.0], 1.0, -1.0), "InvalidParameter",
         "invalid parameter 'observation': NaN (must be finite)"),
        (lambda: hgf_run_ref([1.0], 1.0, -1.0), "InvalidParameter",
         "invalid parameter 'precision_flexibility': -1 (must be finite and non-negative)"),
        (lambda: hgf_run_ref([1.0], 1.0, 1.0, mu1=INF), "NumericalDivergence",
         "numerical divergence in hgf::step level-1 mean: produced a non-finite value"),
    ],
)
def test_reference_errors(call, kind, message):
    with pytest.raises(RefError) as info:
        call()
    assert (info.value.kind, info.value.message) == (kind, message)


def test_hgf_reference_survives_zero_precision():
    # Infinite obs_noise and infinite volatility give 0 / 0 in the learning rate; the hardware
    # answer is NaN and so a divergence, not a Python ZeroDivisionError.
    with pytest.raises(RefError) as info:
        hgf_run_ref([1.0], INF, 1.0, mu2=INF)
    assert info.value.kind == "NumericalDivergence"
