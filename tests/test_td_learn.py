"""td_learn_sequence: value trajectories, noise from the seeded generator, and its checks."""

import math
import random
import struct

import pytest

from velmora import _core

import reference_models_rng as ref

NAN = float("nan")
INF = float("inf")


def bits(x):
    return struct.pack("<d", x)


def assert_floats_bitwise(got, want):
    assert type(got) is list
    assert all(type(v) is float for v in got)
    assert [bits(v) for v in got] == [bits(w) for w in want]


def td(initial_value, rewards, learning_rate, rpe_noise_std, seed, discount_factor=0.9):
    return _core.td_learn_sequence(initial_value, rewards, learning_rate, discount_factor, rpe_noise_std, seed)


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((0.0, [1.0, 1.0, 0.0], 0.5, 0.0, 0), [0.5, 0.75, 0.375]),
        ((0.0, [1.0, 1.0, 0.0], 0.5, 0.0, 2**64 - 1), [0.5, 0.75, 0.375]),
        ((0.0, [1.0, 1.0, 0.0], 0.5, 2.0, 0), [1.1999607946268154, 0.95591876188556, 0.7808456611883656]),
        ((0.0, [0.0], 1.0, 1.0, 0), [0.6999607946268154]),
    ],
)
def test_worked_examples(args, expected):
    assert_floats_bitwise(td(*args), expected)


@pytest.mark.parametrize("discount_factor", [0.0, 1.0, -7.0, NAN, INF])
def test_discount_factor_takes_no_part(discount_factor):
    rewards = [1.0, -0.5, 2.0, 0.0]
    baseline = td(0.25, rewards, 0.3, 0.8, 5, discount_factor=0.5)
    assert_floats_bitwise(td(0.25, rewards, 0.3, 0.8, 5, discount_factor=discount_factor), baseline)


def test_discount_factor_is_still_converted():
    with pytest.raises(TypeError) as info:
        td(0.0, [1.0], 0.5, 0.0, 0, discount_factor="high")
    assert str(info.value).startswith("argument 'discount_factor': ")


@pytest.mark.parametrize(("learning_rate", "rpe_noise_std"), [(0.5, 0.0), (2.0, -1.0), (NAN, INF), (-1.0, NAN)])
def test_empty_rewards_return_empty_before_any_check(learning_rate, rpe_noise_std):
    assert td(0.0, [], learning_rate, rpe_noise_std, 0) == []


@pytest.mark.parametrize(
    ("learning_rate", "rpe_noise_std", "message"),
    [
        (NAN, 0.0, "invalid parameter 'learning_rate': NaN (must be in [0, 1])"),
        (-0.1, 0.0, "invalid parameter 'learning_rate': -0.1 (must be in [0, 1])"),
        (1.0000000000000002, 0.0, "invalid parameter 'learning_rate': 1.0000000000000002 (must be in [0, 1])"),
        (2.0, -1.0, "invalid parameter 'learning_rate': 2 (must be in [0, 1])"),
        (0.5, -1.0, "invalid parameter 'rpe_noise_std': -1 (must be finite and non-negative)"),
        (0.5, -1e-7, "invalid parameter 'rpe_noise_std': -0.0000001 (must be finite and non-negative)"),
        (0.5, INF, "invalid parameter 'rpe_noise_std': inf (must be finite and non-negative)"),
        (0.5, NAN, "invalid parameter 'rpe_noise_std': NaN (must be finite and non-negative)"),
    ],
)
def test_invalid_parameters_in_check_order(learning_rate, rpe_noise_std, message):
    with pytest.raises(_core.InvalidParameter) as info:
        td(0.0, [1.0, 2.0], learning_rate, rpe_noise_std, 0)
    assert isinstance(info.value, _core.VelmoraException)
    assert info.value.args == (message,)


@pytest.mark.parametrize("learning_rate", [0.0, -0.0, 1.0])
@pytest.mark.parametrize("rpe_noise_std", [0.0, -0.0, 1e-300])
def test_boundary_parameters_accepted(learning_rate, rpe_noise_std):
    assert len(td(0.0, [1.0, 2.0], learning_rate, rpe_noise_std, 0)) == 2


@pytest.mark.parametrize("rpe_noise_std", [0.0, -0.0])
def test_zero_rate_without_noise_keeps_initial_value(rpe_noise_std):
    assert_floats_bitwise(td(-2.5, [1.0, 1e300, -3.0], 0.0, rpe_noise_std, 0), [-2.5, -2.5, -2.5])


@pytest.mark.parametrize("rpe_noise_std", [0.0, -0.0])
def test_seed_has_no_effect_without_noise(rpe_noise_std):
    rewards = [1.0, 0.0, 3.0, -1.0, 0.5]
    baseline = td(0.0, rewards, 0.4, rpe_noise_std, 0)
    for seed in (1, 12345, 2**64 - 1):
        assert_floats_bitwise(td(0.0, rewards, 0.4, rpe_noise_std, seed), baseline)


def test_seed_changes_noisy_trajectory_and_repeats_exactly():
    rewards = [1.0, 0.0, 3.0, -1.0, 0.5]
    first = td(0.0, rewards, 0.4, 0.1, 8)
    assert_floats_bitwise(td(0.0, rewards, 0.4, 0.1, 8), first)
    other = td(0.0, rewards, 0.4, 0.1, 9)
    assert all(a != b for a, b in zip(first, other))


def test_bool_seed_is_an_integer():
    assert_floats_bitwise(td(0.0, [1.0, 2.0], 0.5, 1.0, True), td(0.0, [1.0, 2.0], 0.5, 1.0, 1))


def test_nan_reward_propagates_without_error():
    values = td(0.0, [1.0, 1.0, NAN, 1.0, 0.0], 0.5, 0.0, 0)
    assert values[:2] == [0.5, 0.75]
    assert all(math.isnan(v) for v in values[2:])


def test_noise_depends_only_on_seed_and_position():
    """The k-th reward always meets the k-th deviate, whatever the rewards and rate are."""
    rewards_a = [0.0] * 6
    rewards_b = [5.0, -1.0, 2.0, 0.0, 7.0, 3.0]
    for rewards in (rewards_a, rewards_b):
        for rate in (0.2, 1.0):
            assert_floats_bitwise(td(1.5, rewards, rate, 0.7, 42), ref.td_learn_sequence(1.5, rewards, rate, 0.7, 42))


@pytest.mark.parametrize(
    ("seed", "rate", "noise"),
    [(0, 0.1, 1.0), (2**64 - 1, 0.5, 0.25), (20240607, 1.0, 3.0)],
)
def test_long_noisy_run_matches_reference(seed, rate, noise):
    """10^5 steps pass through the wedge and tail paths of the normal draw many times."""
    rng = random.Random(seed)
    rewards = [rng.uniform(-2.0, 2.0) for _ in range(100_000)]
    got = td(0.5, rewards, rate, noise, seed)
    assert len(got) == len(rewards)
    want = ref.td_learn_sequence(0.5, rewards, rate, noise, seed)
    assert_floats_bitwise(got, want)
