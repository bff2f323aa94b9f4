"""hgf_run: results bit for bit, check order, messages, and the handling of odd arguments."""

import math
import struct

import pytest

from velmora import _core

NAN = math.nan
INF = math.inf

WORKED_OBSERVATIONS = [1.0, 3.0, 2.5]
WORKED_ROWS = [
    (0.0, 0.0, 1.0, 2.99009900990099, 1.0, 0.6688741721854304, 0.01),
    (1.0, 0.6688741721854304, 3.0, 2.4265416231179913, 2.3311258278145695, 0.8242182952666992, 2.01),
    (2.0, 2.590230728038928, 2.5, 2.0813642877508256, -0.09023072803892784, 0.9609081945771493,
     11.878295250208323),
]


def bits(x):
    """Bit pattern of a float; tells -0.0 from 0.0. All NaNs map to one pattern."""
    assert type(x) is float, type(x)
    return "nan" if math.isnan(x) else struct.pack("<d", x)


def rows_bits(rows):
    assert type(rows) is list
    for row in rows:
        assert type(row) is tuple and len(row) == 7
    return [tuple(bits(v) for v in row) for row in rows]


def run(observations, obs_noise=0.5, precision_flexibility=2.0, **kwargs):
    return _core.hgf_run(observations, obs_noise, precision_flexibility, **kwargs)


# --- worked example ---------------------------------------------------------------------------


def test_worked_example_bit_for_bit():
    rows = run(WORKED_OBSERVATIONS)
    assert rows == WORKED_ROWS
    assert rows_bits(rows) == rows_bits(WORKED_ROWS)


@pytest.mark.parametrize(
    "call",
    [
        lambda: _core.hgf_run(WORKED_OBSERVATIONS, 0.5, 2.0, 0.01, 0.0, 1.0, 0.0, 1.0),
        lambda: _core.hgf_run(precision_flexibility=2.0, obs_noise=0.5, observations=tuple(WORKED_OBSERVATIONS)),
        lambda: _core.hgf_run([1, 3, 2.5], 0.5, 2),
    ],
    ids=["all_positional", "keywords_and_tuple", "ints"],
)
def test_worked_example_any_spelling(call):
    assert rows_bits(call()) == rows_bits(WORKED_ROWS)


def test_step_index_and_observation_pass_through():
    observations = [-0.0, 5e-324, -1e300, 7.25, 0.0]
    rows = run(observations, 1.0, 0.5, mu1=-3.5)
    assert [bits(r[0]) for r in rows] == [bits(float(i)) for i in range(5)]
    assert [bits(r[2]) for r in rows] == [bits(y) for y in observations]
    assert bits(rows[0][1]) == bits(-3.5)


# --- check order and messages -----------------------------------------------------------------

FLEX_MSG = "invalid parameter 'precision_flexibility': {} (must be finite and non-negative)"
OBS_MSG = "invalid parameter 'observation': {} (must be finite)"
DIVERGENCE_MSG = "numerical divergence in hgf::step level-1 mean: produced a non-finite value"


@pytest.mark.parametrize(
    "observations, kwargs, cls, message",
    [
        ([1.0], dict(precision_flexibility=-1.0), "InvalidParameter", FLEX_MSG.format("-1")),
        ([1.0], dict(precision_flexibility=NAN), "InvalidParameter", FLEX_MSG.format("NaN")),
        ([1.0], dict(precision_flexibility=INF), "InvalidParameter", FLEX_MSG.format("inf")),
        ([1.0], dict(precision_flexibility=-INF), "InvalidParameter", FLEX_MSG.format("-inf")),
        ([1.0], dict(precision_flexibility=-2.5e-5), "InvalidParameter", FLEX_MSG.format("-0.000025")),
        ([1.0], dict(precision_flexibility=-1e-7, mu1=NAN), "InvalidParameter", FLEX_MSG.format("-0.0000001")),
        ([NAN, 1.0], dict(precision_flexibility=-1.0), "InvalidParameter", OBS_MSG.format("NaN")),
        ([-INF], dict(precision_flexibility=NAN), "InvalidParameter", OBS_MSG.format("-inf")),
        ([1.0, 2.0, INF, 4.0], {}, "InvalidParameter", OBS_MSG.format("inf")),
        ([1.0, 2.0, NAN], dict(mu1=NAN), "NumericalDivergence", DIVERGENCE_MSG),
        ([1.0], dict(mu1=INF), "NumericalDivergence", DIVERGENCE_MSG),
        ([1.0], dict(mu1=-INF), "NumericalDivergence", DIVERGENCE_MSG),
        ([1e308], dict(obs_noise=1.0, mu1=-1e308), "NumericalDivergence", DIVERGENCE_MSG),
    ],
)
def test_errors_in_check_order(observations, kwargs, cls, message):
    kwargs = {"obs_noise": 0.5, "precision_flexibility": 2.0, **kwargs}
    with pytest.raises(_core.VelmoraException) as info:
        _core.hgf_run(observations, **kwargs)
    assert type(info.value) is getattr(_core, cls)
    assert info.value.args == (message,)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(obs_noise=1.0, precision_flexibility=-1.0),
        dict(obs_noise=NAN, precision_flexibility=NAN),
        dict(obs_noise=-INF, precision_flexibility=INF, base_process_noise=NAN, mu1=NAN, var1=NAN, mu2=NAN),
    ],
)
@pytest.mark.parametrize("empty", [[], (), range(0)], ids=["list", "tuple", "range"])
def test_empty_sequence_returns_empty_list(empty, kwargs):
    assert _core.hgf_run(empty, **kwargs) == []


def test_failed_run_leaves_nothing_behind():
    before = run([0.5, -2.0, 4.0])
    with pytest.raises(_core.InvalidParameter):
        run([0.5, -2.0, 4.0, NAN])
    with pytest.raises(_core.NumericalDivergence):
        run([0.5, -2.0], mu1=NAN)
    assert rows_bits(run([0.5, -2.0, 4.0])) == rows_bits(before)


# --- odd but accepted arguments ---------------------------------------------------------------

OBSERVATIONS = [0.3, -1.2, 4.0, 3.9, -0.5, 2.0]


@pytest.mark.parametrize("obs_noise", [0.0, -0.0, -3.0, -INF, 1e-9, 9.99e-7, NAN])
def test_obs_noise_at_or_below_floor_behaves_like_floor(obs_noise):
    assert rows_bits(run(OBSERVATIONS, obs_noise)) == rows_bits(run(OBSERVATIONS, 1e-6))


def test_floored_obs_noise_gives_maximal_precision():
    # Both precisions are exactly 1e6 here, so the first step weighs prior and observation equally.
    (row,) = run([1.0], 0.0, 0.0, base_process_noise=0.0, var1=0.0)
    assert (row[3], row[5]) == (2000000.0, 0.5)


def test_infinite_obs_noise_never_learns():
    rows = run([1.0, -4.0, 9.5, 2.0, 100.0], INF, 1.0, base_process_noise=0.0, mu1=1.5, mu2=8.0)
    for row, y in zip(rows, [1.0, -4.0, 9.5, 2.0, 100.0]):
        assert bits(row[1]) == bits(1.5)
        assert bits(row[4]) == bits(y - 1.5)
        assert bits(row[5]) == bits(0.0)
    # Nothing is learned, so the volatility estimate halves at every step.
    assert [row[6] for row in rows] == [8.0, 4.0, 2.0, 1.0, 0.5]


@pytest.mark.parametrize("var1", [0.0, -0.0, -5.0, -INF, 1e-12, NAN])
def test_var1_at_or_below_floor_behaves_like_floor(var1):
    assert rows_bits(run(OBSERVATIONS, var1=var1)) == rows_bits(run(OBSERVATIONS, var1=1e-6))


def test_infinite_var1_takes_the_first_observation():
    rows = run([3.25, 1.0], 0.5, 2.0, var1=INF)
    assert rows[0][3] == 2.0 and rows[0][5] == 1.0
    assert bits(rows[1][1]) == bits(3.25)


@pytest.mark.parametrize("mu2", [-4.0, -1e300, -INF, -0.0, NAN])
def test_negative_or_nan_mu2_ignored_by_first_volatility(mu2):
    rows = run(OBSERVATIONS, mu2=mu2, base_process_noise=0.125)
    assert bits(rows[0][6]) == bits(0.125)


@pytest.mark.parametrize(
    "mu2, y, second_volatility",
    [
        # obs_precision 2 and mu1 0: the new half of the first update is y * y.
        (-4.0, 1.0, 0.5),  # max(-2 + 1, 0) = 0
        (-4.0, 3.0, 14.5),  # max(-2 + 9, 0) = 7, times 2, plus 0.5
        (NAN, 3.0, 0.5),  # NaN plus anything, then the NaN-ignoring max: 0
        (4.0, 1.0, 6.5),  # 2 + 1 = 3
    ],
)
def test_first_level_two_update_starts_from_stored_mu2(mu2, y, second_volatility):
    rows = run([y, 0.0], 0.5, 2.0, base_process_noise=0.5, mu2=mu2)
    assert bits(rows[1][6]) == bits(second_volatility)


@pytest.mark.parametrize("flex", [0.0, -0.0])
def test_zero_flexibility_leaves_base_noise_only(flex):
    rows = run(OBSERVATIONS, 0.2, flex, base_process_noise=0.3, mu2=50.0)
    assert all(bits(r[6]) == bits(0.3) for r in rows)


def test_nan_base_process_noise_is_carried_silently():
    rows = run(OBSERVATIONS, 0.5, 1.0, base_process_noise=NAN)
    assert len(rows) == len(OBSERVATIONS)
    assert all(math.isnan(r[6]) and r[3] == 1000002.0 for r in rows)


@pytest.mark.parametrize("base", [-2.0, -INF])
def test_negative_base_process_noise_floors_the_predicted_variance(base):
    rows = run(OBSERVATIONS, 0.5, 0.0, base_process_noise=base)
    assert all(bits(r[6]) == bits(base) and r[3] == 1000002.0 for r in rows)


def test_infinite_volatility_is_returned():
    rows = run(OBSERVATIONS, 0.5, 1.0, mu2=INF)
    assert all(r[6] == INF and r[3] == 2.0 and r[5] == 1.0 for r in rows)


@pytest.mark.parametrize("var2", [NAN, INF, -INF, -1.0, 0.0, 1e300, True, 7])
def test_var2_has_no_effect(var2):
    assert rows_bits(run(OBSERVATIONS, var2=var2)) == rows_bits(run(OBSERVATIONS))


@pytest.mark.parametrize("var2", ["1.0", None, [1.0]])
def test_var2_is_still_converted(var2):
    with pytest.raises(TypeError) as info:
        run(OBSERVATIONS, var2=var2)
    assert str(info.value).startswith("argument 'var2': ")
