"""Plain Python transcriptions of the two noisy models, for valid parameters only."""

import math

from reference_rng import Normal, SeededRng


def td_learn_sequence(initial_value, rewards, learning_rate, rpe_noise_std, seed):
    rng, noise, v, values = SeededRng(seed), Normal(0.0, rpe_noise_std), initial_value, []
    for r in rewards:
        if rpe_noise_std > 0.0:
            v = v + (((r - v) + noise.sample(rng)) * learning_rate)
        else:
            v = v + ((r - v) * learning_rate)
        values.append(v)
    return values


def forward_simulate(motor_command, update_rate, injury_noise_std, sensory_gain, seed):
    rng, noise, e, rows = SeededRng(seed), Normal(0.0, injury_noise_std), 0.0, []
    for i, c in enumerate(motor_command):
        a = c * sensory_gain
        if injury_noise_std > 0.0:
            a = a + noise.sample(rng)
        d = a - e
        e_next = e + (d * update_rate)
        if not math.isfinite(e_next):
            raise ArithmeticError(f"non-finite estimate at step {i}")
        rows.append((float(i), e, a, d))
        e = e_next
    return rows
