"""Pure-Python peers of the sequence functions: the same models as plain loops, as a user would
write them without the module (no argument checks; Python's own generator for the noise, so the
noisy peers agree with the module in distribution, not draw for draw)."""

import math
import random

FLOOR = 1e-6


def kalman_run(initial_mean, initial_var, observations, process_noise, obs_noise):
    mean, var, p_obs, rows = initial_mean, max(initial_var, FLOOR), 1.0 / max(obs_noise, FLOOR), []
    for y in observations:
        p_prior = 1.0 / max(var + process_noise, FLOOR)
        p_post = p_obs + p_prior
        mean = (p_obs * y + p_prior * mean) / p_post
        var = max(1.0 / p_post, FLOOR)
        rows.append((mean, var))
    return rows


def hgf_run(observations, obs_noise, precision_flexibility, base_process_noise=0.01, mu1=0.0, var1=1.0, mu2=0.0):
    p_obs, var1, rows = 1.0 / max(obs_noise, FLOOR), max(var1, FLOOR), []
    for t, y in enumerate(observations):
        v = max(mu2, 0.0) * precision_flexibility + base_process_noise
        q = p_obs + 1.0 / max(var1 + v, FLOOR)
        d = y - mu1
        a = p_obs / q
        rows.append((float(t), mu1, y, q, d, a, v))
        var1 = max(1.0 / q, FLOOR)
        mu2 = max(mu2 * 0.5 + (p_obs * (d * d)) * 0.5, 0.0)
        mu1 = mu1 + d * a
    return rows


def td_learn_sequence(initial_value, rewards, learning_rate, rpe_noise_std, seed):
    gauss, v, values = random.Random(seed).gauss, initial_value, []
    for r in rewards:
        v = v + ((r - v) + gauss(0.0, rpe_noise_std)) * learning_rate
        values.append(v)
    return values


def forward_simulate(motor_command, update_rate, injury_noise_std, sensory_gain, seed):
    gauss, estimate, rows = random.Random(seed).gauss, 0.0, []
    for i, c in enumerate(motor_command):
        actual = c * sensory_gain + gauss(0.0, injury_noise_std)
        mismatch = actual - estimate
        nxt = estimate + mismatch * update_rate
        if not math.isfinite(nxt):
            raise ArithmeticError(f"non-finite estimate at step {i}")
        rows.append((float(i), estimate, actual, mismatch))
        estimate = nxt
    return rows
