"""A short tour of the five models on small built-in example data."""

from __future__ import annotations

from velmora import _core

# A hidden quantity that sits near 1, jumps to 3 and comes back: enough to see each model react.
OBSERVATIONS = [1.0, 1.2, 0.9, 1.1, 3.0, 3.2, 2.9, 3.1, 1.0, 0.8]
REWARDS = [1.0, 1.0, 0.0, 1.0, 1.0, 1.0, 0.0, 1.0]
MOTOR_COMMANDS = [0.0, 0.5, 1.0, 1.0, 0.5, 0.0]


def _fmt(x: float) -> str:
    return f"{x:9.4f}"


def summary() -> str:
    lines: list[str] = []
    lines.append("velmora demonstration: every model on small built-in data\n")

    lines.append("Kalman filter (process_noise=0.05, obs_noise=0.25) over the observations")
    lines.append("      obs      mean       var")
    for y, (mean, var) in zip(OBSERVATIONS, _core.kalman_run(0.0, 1.0, OBSERVATIONS, 0.05, 0.25)):
        lines.append(f"{_fmt(y)} {_fmt(mean)} {_fmt(var)}")

    lines.append("\nHierarchical Gaussian filter (obs_noise=0.25, precision_flexibility=1.0)")
    lines.append("        t      pred       obs   learn_rate  volatility")
    for t, pred, obs, _precision, _error, rate, vol in _core.hgf_run(OBSERVATIONS, 0.25, 1.0):
        lines.append(f"{_fmt(t)} {_fmt(pred)} {_fmt(obs)} {_fmt(rate)}   {_fmt(vol)}")

    values = _core.td_learn_sequence(0.0, REWARDS, 0.3, 0.9, 0.1, 7)
    lines.append("\nTD value learning (learning_rate=0.3, rpe_noise_std=0.1, seed=7)")
    lines.append("  rewards: " + " ".join(f"{r:.0f}" for r in REWARDS))
    lines.append("  values:  " + " ".join(f"{v:.3f}" for v in values))

    lines.append("\nExponential discounting of a reward of 10 (discount_factor=0.9)")
    lines.append("  " + ", ".join(f"delay {d}: {_core.discounted_value(10.0, d, 0.9):.3f}" for d in (0, 1, 5, 10)))

    lines.append("\nForward model of self-motion (update_rate=0.5, injury_noise_std=0.05, sensory_gain=2, seed=3)")
    lines.append("        t predicted    actual  mismatch")
    for t, predicted, actual, mismatch in _core.forward_simulate(MOTOR_COMMANDS, 0.5, 0.05, 2.0, 3):
        lines.append(f"{_fmt(t)} {_fmt(predicted)} {_fmt(actual)} {_fmt(mismatch)}")
    return "\n".join(lines)
