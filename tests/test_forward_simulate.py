"""forward_simulate: rows of the forward model, its seeded injury noise and its checks."""

import random
import struct

import pytest

from velmora import _core

import reference_models_rng as ref
import reference_rng

NAN = float("nan")
INF = float("inf")
DIVERGENCE = "numerical divergence in forward_model::simulate estimate: produced a non-finite value"


def bits(x):
    return struct.pack("<d", x)


def assert_rows_bitwise(got, want):
    assert type(got) is list
    assert all(type(row) is tuple and len(row) == 4 for row in got)
    assert all(type(v) is float for row in got for v in row)
    assert [tuple(map(bits, row)) for row in got] == [tuple(map(bits, row)) for row in want]


def column(rows, i):
    return [row[i] for row in rows]


@pytest.mark.parametrize("seed", [0, 99, 2**64 - 1])
def test_noise_free_example_for_any_seed(seed):
    rows = _core.forward_simulate([1.0, 2.0], 0.5, 0.0, 2.0, seed)
    assert_rows_bitwise(rows, [(0.0, 0.0, 2.0, 2.0), (1.0, 1.0, 4.0, 3.0)])


def test_first_deviate_example():
    rows = _core.forward_simulate([0.0], 1.0, 1.0, 1.0, 0)
    assert_rows_bitwise(rows, [(0.0, 0.0, 0.6999607946268154, 0.6999607946268154)])


@pytest.mark.parametrize("seed", [0, 1, 2**64 - 1, 777])
def test_actual_column_is_the_deviate_stream(seed):
    """With zero commands and unit gain the k-th actual value is the k-th standard normal."""
    n = 100_000
    rows = _core.forward_simulate([0.0] * n, 0.0, 1.0, 1.0, seed)
    rng = reference_rng.SeededRng(seed)
    expected = [reference_rng.standard_normal(rng) for _ in range(n)]
    assert [bits(a) for a in column(rows, 2)] == [bits(z) for z in expected]
    assert column(rows, 0) == [float(k) for k in range(n)]
    # Enough draws that the tail beyond R is reached (about 26 expected).
    assert sum(abs(z) > reference_rng.ZIG_R for z in expected) > 5


@pytest.mark.parametrize(
    ("seed", "rate", "noise", "gain"),
    [(0, 0.3, 0.5, 1.5), (2**64 - 1, 1.0, 2.0, -0.75), (31337, 0.05, 1e-3, 10.0)],
)
def test_long_noisy_run_matches_reference(seed, rate, noise, gain):
    rng = random.Random(seed)
    commands = [rng.uniform(-3.0, 3.0) for _ in range(100_000)]
    got = _core.forward_simulate(commands, rate, noise, gain, seed)
    assert_rows_bitwise(got, ref.forward_simulate(commands, rate, noise, gain, seed))


@pytest.mark.parametrize("update_rate", [0.0, -0.0])
def test_zero_rate_keeps_estimate_at_zero(update_rate):
    rows = _core.forward_simulate([1.0, -2.0, 3.5], update_rate, 0.4, 1.5, 6)
    assert [bits(p) for p in column(rows, 1)] == [bits(0.0)] * 3
    assert [bits(m) for m in column(rows, 3)] == [bits(a) for a in column(rows, 2)]


@pytest.mark.parametrize("injury_noise_std", [0.0, -0.0])
def test_seed_has_no_effect_without_noise(injury_noise_std):
    commands = [0.5, -1.0, 2.0, 4.0]
    baseline = _core.forward_simulate(commands, 0.4, injury_noise_std, 1.3, 0)
    for seed in (1, 2**63, 2**64 - 1):
        assert_rows_bitwise(_core.forward_simulate(commands, 0.4, injury_noise_std, 1.3, seed), baseline)


def test_equal_arguments_give_equal_rows_and_seeds_differ():
    commands = [0.5, -1.0, 2.0, 4.0]
    first = _core.forward_simulate(commands, 0.4, 0.8, 1.3, 17)
    assert_rows_bitwise(_core.forward_simulate(commands, 0.4, 0.8, 1.3, 17), first)
    other = _core.forward_simulate(commands, 0.4, 0.8, 1.3, 18)
    assert all(a != b for a, b in zip(column(first, 2), column(other, 2)))


@pytest.mark.parametrize("commands", [[], [1.0]])
@pytest.mark.parametrize(
    ("update_rate", "injury_noise_std", "message"),
    [
        (2.0, 0.0, "invalid parameter 'update_rate': 2 (must be in [0, 1])"),
        (1.5, 0.0, "invalid parameter 'update_rate': 1.5 (must be in [0, 1])"),
        (NAN, -1.0, "invalid parameter 'update_rate': NaN (must be in [0, 1])"),
        (1.0000000000000002, 0.0, "invalid parameter 'update_rate': 1.0000000000000002 (must be in [0, 1])"),
        (-0.25, 0.0, "invalid parameter 'update_rate': -0.25 (must be in [0, 1])"),
        (0.5, -1.0, "invalid parameter 'injury_noise_std': -1 (must be finite and non-negative)"),
        (0.5, -1e-300, "invalid parameter 'injury_noise_std': -0." + "0" * 299 + "1 (must be finite and non-negative)"),
        (0.5, INF, "invalid parameter 'injury_noise_std': inf (must be finite and non-negative)"),
        (0.5, -INF, "invalid parameter 'injury_noise_std': -inf (must be finite and non-negative)"),
        (0.5, NAN, "invalid parameter 'injury_noise_std': NaN (must be finite and non-negative)"),
    ],
)
def test_invalid_parameters_in_check_order_even_when_empty(commands, update_rate, injury_noise_std, message):
    with pytest.raises(_core.InvalidParameter) as info:
        _core.forward_simulate(commands, update_rate, injury_noise_std, 1.0, 0)
    assert isinstance(info.value, _core.VelmoraException)
    assert info.value.args == (message,)


def test_empty_commands_with_valid_parameters():
    assert _core.forward_simulate([], 0.5, 1.0, 1.0, 0) == []


@pytest.mark.parametrize("update_rate", [0.0, -0.0, 1.0])
@pytest.mark.parametrize("injury_noise_std", [0.0, -0.0])
def test_boundary_parameters_accepted(update_rate, injury_noise_std):
    assert len(_core.forward_simulate([1.0, 2.0], update_rate, injury_noise_std, 1.0, 0)) == 2


@pytest.mark.parametrize(
    ("commands", "update_rate", "injury_noise_std", "gain"),
    [
        ([1.0, 2.0, INF, 1.0], 0.5, 0.0, 1.0),
        ([1.0, NAN], 0.5, 0.7, 1.0),
        ([1.0, 2.0, -INF], 0.0, 0.0, 1.0),  # an infinite mismatch times 0.0 is NaN
        ([1.0, 2.0], 1.0, 0.0, INF),
        ([1.0], 0.5, 0.0, NAN),
        ([1.0, 1e308], 0.5, 0.0, 10.0),  # the scaled command overflows
    ],
)
def test_non_finite_estimate_diverges_without_rows(commands, update_rate, injury_noise_std, gain):
    with pytest.raises(_core.NumericalDivergence) as info:
        _core.forward_simulate(commands, update_rate, injury_noise_std, gain, 0)
    assert info.value.args == (DIVERGENCE,)


def test_seed_conversion():
    assert_rows_bitwise(_core.forward_simulate([1.0], 0.5, 1.0, 1.0, True), _core.forward_simulate([1.0], 0.5, 1.0, 1.0, 1))
    with pytest.raises(OverflowError) as info:
        _core.forward_simulate([1.0], 0.5, 1.0, 1.0, 2**64)
    assert "seed" not in str(info.value)
    with pytest.raises(TypeError) as info:
        _core.forward_simulate([1.0], 0.5, 1.0, 1.0, 1.0)
    assert str(info.value).startswith("argument 'seed': ")
