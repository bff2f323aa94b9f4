"""td_learn_sequence: value trajectories, noise from the seeded generator, and its checks."""

import math
import random

import pytest
from conftest import assert_raises, same_value

import reference_models_rng as ref
from velmora import InvalidParameter, td_learn_sequence

NAN, INF = math.nan, math.inf


def td(initial_value, rewards, learning_rate, rpe_noise_std, seed, discount_factor=0.9):
    return td_learn_sequence(initial_value, rewards, learning_rate, discount_factor, rpe_noise_std, seed)


@pytest.mark.parametrize(
    "args, expected",
    [
        ((0.0, [1.0, 1.0, 0.0], 0.5, 0.0, 0), [0.5, 0.75, 0.375]),
        ((0.0, [1.0, 1.0, 0.0], 0.5, 0.0, 2**64 - 1), [0.5, 0.75, 0.375]),
        ((0.0, [1.0, 1.0, 0.0], 0.5, 2.0, 0), [1.1999607946268154, 0.95591876188556, 0.7808456611883656]),
        ((0.0, [0.0], 1.0, 1.0, 0), [0.6999607946268154]),  # the first deviate of seed 0
        ((0.0, [0.0], 1.0, 0.5, 0), [0.3499803973134077]),  # and with a standard deviation of 0.5
        ((-2.5, [1.0, 1e300, -3.0], 0.0, 0.0, 0), [-2.5, -2.5, -2.5]),  # learning rate 0 keeps the value
        ((-2.5, [1.0, 1e300, -3.0], -0.0, -0.0, 0), [-2.5, -2.5, -2.5]),
        ((0.0, [1.0, 1.0, NAN, 1.0], 0.5, 0.0, 0), [0.5, 0.75, NAN, NAN]),  # NaN propagates, without an error
    ],
)
def test_trajectories_to_the_last_bit(assert_same, args, expected):
    assert_same(td(*args), expected)


@pytest.mark.parametrize("rpe_noise_std", [0.0, -0.0, 0.8])
def test_seed_matters_only_with_noise_and_equal_arguments_repeat(rpe_noise_std):
    rewards = [1.0, 0.0, 3.0, -1.0, 0.5]
    first = td(0.25, rewards, 0.4, rpe_noise_std, 8)
    # Every discount factor gives the same trajectory: it takes no part.
    assert all(same_value(td(0.25, rewards, 0.4, rpe_noise_std, 8, d), first) for d in (0.9, 0.0, 1.0, -7.0, NAN))
    others = [td(0.25, rewards, 0.4, rpe_noise_std, seed) for seed in (9, 2**64 - 1)]
    assert [same_value(other, first) for other in others] == [rpe_noise_std == 0.0] * 2


@pytest.mark.parametrize("learning_rate, rpe_noise_std", [(2.0, -1.0), (NAN, INF)])
def test_empty_rewards_return_empty_before_any_check(learning_rate, rpe_noise_std):
    assert td(0.0, [], learning_rate, rpe_noise_std, 0) == []


@pytest.mark.parametrize(
    "learning_rate, rpe_noise_std, message",
    [
        (NAN, 0.0, "invalid parameter 'learning_rate': NaN (must be in [0, 1])"),
        (-0.1, 0.0, "invalid parameter 'learning_rate': -0.1 (must be in [0, 1])"),
        (1.0000000000000002, 0.0, "invalid parameter 'learning_rate': 1.0000000000000002 (must be in [0, 1])"),
        (2.0, -1.0, "invalid parameter 'learning_rate': 2 (must be in [0, 1])"),
        (0.5, -1.0, "invalid parameter 'rpe_noise_std': -1 (must be finite and non-negative)"),
        (0.5, INF, "invalid parameter 'rpe_noise_std': inf (must be finite and non-negative)"),
        (0.5, NAN, "invalid parameter 'rpe_noise_std': NaN (must be finite and non-negative)"),
    ],
)
def test_invalid_parameters_in_check_order(learning_rate, rpe_noise_std, message):
    assert_raises(InvalidParameter, message, td, 0.0, [1.0, 2.0], learning_rate, rpe_noise_std, 0)


def test_long_noisy_run_matches_reference(assert_same):
    """10^5 deviates pass through the wedge and tail paths of the normal draw many times."""
    seed = 20240607
    rng = random.Random(seed)
    rewards = [rng.uniform(-2.0, 2.0) for _ in range(100_000)]
    assert_same(td(0.5, rewards, 0.1, 3.0, seed), ref.td_learn_sequence(0.5, rewards, 0.1, 3.0, seed))
