"""forward_simulate: rows of the forward model, its seeded injury noise and its checks."""

import math
import random
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import assert_raises, same_value

import reference_models_rng as ref
from velmora import InvalidParameter, NumericalDivergence, forward_simulate

NAN, INF = math.nan, math.inf
Z = [0.6999607946268154, -0.14406163542784764, 0.30288628024558556]  # the first deviates of seed 0


@pytest.mark.parametrize(
    "args, expected",
    [
        (([1.0, 2.0], 0.5, 0.0, 2.0, 0), [(0.0, 0.0, 2.0, 2.0), (1.0, 1.0, 4.0, 3.0)]),
        (([1.0, 2.0], 0.5, 0.0, 2.0, 2**64 - 1), [(0.0, 0.0, 2.0, 2.0), (1.0, 1.0, 4.0, 3.0)]),
        (([0.0], 1.0, 1.0, 1.0, 0), [(0.0, 0.0, Z[0], Z[0])]),
        (([0.0] * 3, 0.0, 1.0, 1.0, 0), [(float(k), 0.0, z, z) for k, z in enumerate(Z)]),
        (([1.0, -2.0], -0.0, -0.0, 1.5, 0), [(0.0, 0.0, 1.5, 1.5), (1.0, 0.0, -3.0, -3.0)]),
        (([-0.0], 0.5, 0.0, 1.0, 0), [(0.0, 0.0, -0.0, -0.0)]),  # without noise, nothing is added: not even a zero
        (([], 0.5, 1.0, 1.0, 0), []),
    ],
)
def test_rows_to_the_last_bit(assert_same, args, expected):
    assert_same(forward_simulate(*args), expected)


@pytest.mark.parametrize("injury_noise_std", [0.0, -0.0, 0.8])
def test_seed_matters_only_with_noise_and_equal_arguments_repeat(injury_noise_std):
    commands = [0.5, -1.0, 2.0, 4.0]
    first, again, *others = (forward_simulate(commands, 0.4, injury_noise_std, 1.3, s) for s in (17, 17, 18, 2**63))
    assert same_value(again, first)
    assert [same_value(other, first) for other in others] == [injury_noise_std == 0.0] * 2


def test_long_noisy_run_matches_reference(assert_same):
    """10^5 deviates pass through the wedge and tail paths of the normal draw many times."""
    seed = 2**64 - 1
    rng = random.Random(seed)
    commands = [rng.uniform(-3.0, 3.0) for _ in range(100_000)]
    assert_same(forward_simulate(commands, 0.3, 2.0, -0.75, seed), ref.forward_simulate(commands, 0.3, 2.0, -0.75, seed))


@pytest.mark.parametrize("commands", [[], [1.0]])
@pytest.mark.parametrize(
    "update_rate, injury_noise_std, message",
    [
        (2.0, 0.0, "invalid parameter 'update_rate': 2 (must be in [0, 1])"),
        (NAN, -1.0, "invalid parameter 'update_rate': NaN (must be in [0, 1])"),
        (1.0000000000000002, 0.0, "invalid parameter 'update_rate': 1.0000000000000002 (must be in [0, 1])"),
        (-0.25, 0.0, "invalid parameter 'update_rate': -0.25 (must be in [0, 1])"),
        (0.5, -1.0, "invalid parameter 'injury_noise_std': -1 (must be finite and non-negative)"),
        (0.5, -1e-300, "invalid parameter 'injury_noise_std': -0." + "0" * 299 + "1 (must be finite and non-negative)"),
        (0.5, INF, "invalid parameter 'injury_noise_std': inf (must be finite and non-negative)"),
        (0.5, NAN, "invalid parameter 'injury_noise_std': NaN (must be finite and non-negative)"),
    ],
)
def test_invalid_parameters_in_check_order_even_when_empty(commands, update_rate, injury_noise_std, message):
    assert_raises(InvalidParameter, message, forward_simulate, commands, update_rate, injury_noise_std, 1.0, 0)


@pytest.mark.parametrize(
    "commands, update_rate, injury_noise_std, gain",
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
    message = "numerical divergence in forward_model::simulate estimate: produced a non-finite value"
    assert_raises(NumericalDivergence, message, forward_simulate, commands, update_rate, injury_noise_std, gain, 0)


def test_stored_ziggurat_tables_are_what_their_generator_computes():
    # Every entry, not only the telling rows: the tables are regenerated with correctly rounded
    # exp and log and compared with the header the core is compiled from.
    tool = Path(__file__).resolve().parent.parent / "tools" / "gen_ziggurat_tables.py"
    subprocess.run([sys.executable, str(tool), "--check"], check=True)
