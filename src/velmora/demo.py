"""A short tour of the five models on small built-in example data."""

from __future__ import annotations

from velmora import _core

# A hidden quantity that sits near 1, jumps to 3 and comes back: enough to see each model react.
OBSERVATIONS = [1.0, 1.2, 0.9, 1.1, 3.0, 3.2, 2.9, 3.1, 1.0, 0.8]
REWARDS = [1.0, 1.0, 0.0, 1.0, 1.0, 1.0, 0.0, 1.0]
MOTOR_COMMANDS = [0.0, 0.5, 1.0, 1.0, 0.5, 0.0]
DELAYS = [0.0, 1.0, 2.0, 5.0, 10.0, 20.0]


def _table(header: list[str], rows: list[list[float]], digits: int = 4) -> list[str]:
    width = max(9, *(len(name) for name in header))
    lines = ["  " + " ".join(name.rjust(width) for name in header)]
    lines += ["  " + " ".join(f"{x:{width}.{digits}f}" for x in row) for row in rows]
    return lines


def summary() -> str:
    lines = [
        "velmora: every model on small built-in data",
        "(same arguments, same results, bit for bit; run `velmora COMMAND --help` to use one on your data)",
        "",
    ]

    kalman = _core.kalman_run(0.0, 1.0, OBSERVATIONS, process_noise=0.05, obs_noise=0.25)
    hgf = _core.hgf_run(OBSERVATIONS, obs_noise=0.25, precision_flexibility=1.0)
    lines.append("Two filters follow a quantity that jumps from about 1 to 3 and back.")
    lines.append("Kalman: kalman_run(0.0, 1.0, obs, process_noise=0.05, obs_noise=0.25)")
    lines.append("HGF:    hgf_run(obs, obs_noise=0.25, precision_flexibility=1.0)")
    lines.append("The Kalman filter's variance settles and it adapts slowly; the HGF's volatility rises")
    lines.append("after each jump, and its learning rate with it.")
    lines += _table(
        ["obs", "kalman mean", "kalman var", "hgf pred", "learn rate", "volatility"],
        [[y, mean, var, row[1], row[5], row[6]] for y, (mean, var), row in zip(OBSERVATIONS, kalman, hgf)],
    )

    values = _core.td_learn_sequence(0.0, REWARDS, 0.3, 0.9, 0.1, seed=7)
    again = _core.td_learn_sequence(0.0, REWARDS, 0.3, 0.9, 0.1, seed=7)
    lines.append("")
    lines.append("TD learning: td_learn_sequence(0.0, rewards, 0.3, 0.9, rpe_noise_std=0.1, seed=7)")
    lines.append("The value estimate climbs towards the reward rate, jittered by seeded noise.")
    lines += _table(["reward", "value"], [[r, v] for r, v in zip(REWARDS, values)])
    lines.append(f"  the same seed again gives the same values: {values == again}")

    lines.append("")
    lines.append("Discounting: discounted_value(10.0, delay, 0.9)")
    lines += _table(["delay", "value"], [[d, _core.discounted_value(10.0, d, 0.9)] for d in DELAYS])

    rows = _core.forward_simulate(MOTOR_COMMANDS, 0.5, 0.05, 2.0, seed=3)
    lines.append("")
    lines.append("Forward model: forward_simulate(commands, 0.5, injury_noise_std=0.05, sensory_gain=2.0, seed=3)")
    lines.append("The prediction chases the sensed movement; the mismatch is what surprises the mover.")
    lines += _table(
        ["command", "predicted", "actual", "mismatch"], [[c, *row[1:]] for c, row in zip(MOTOR_COMMANDS, rows)]
    )
    lines += ["", *_study()]
    return "\n".join(lines)


def _study() -> list[str]:
    """Many simulated participants at once, then one of them fitted: what the array engine and
    the fitting layer add to the models."""
    import numpy as np

    from velmora import arrays, fitting, simulation

    rng = np.random.default_rng(11)
    walks = rng.normal(0.0, 0.3, size=(500, 200)).cumsum(axis=1)
    flexibility = np.linspace(0.2, 2.0, 500)
    batch = arrays.hgf_run(walks, obs_noise=0.5, precision_flexibility=flexibility)
    lines = [
        "A study: 500 participants x 200 trials through the HGF in one call (velmora.arrays),",
        "each with their own precision_flexibility; the summed log-likelihood of each one's inputs:",
        f"  lowest flexibility {batch.loglik[0].sum():9.2f}   highest {batch.loglik[-1].sum():9.2f}",
        "",
    ]
    truth = {"obs_noise": 0.5, "precision_flexibility": 1.0, "base_process_noise": 0.01, "zeta": 0.1}
    participant = simulation.simulate("hgf", walks[0], truth, seed=5)
    result = fitting.fit("hgf", walks[0], participant.responses, fixed={"base_process_noise": 0.01})
    lines.append("One participant's responses simulated from known parameters, then fitted (velmora.fit):")
    for name in ("obs_noise", "precision_flexibility", "zeta"):
        lines.append(
            f"  {name:>22} true {truth[name]:6.3f}   estimate {result.params[name]:6.3f}   se {result.se[name]:6.3f}"
        )
    return lines
