"""Python overhead of fit_many per participant: its CPU time minus the time inside the engine's fit.

2,000 participants of 20 trials (td, unit_square responses), one thread, the least of five rounds.
The engine's fit is wrapped to count its own CPU time, so what remains is the Python work around it
(splitting the table, checking each participant, building the rows).

Run: `OPENBLAS_NUM_THREADS=1 python3 benchmarks/fit_many_overhead.py [--participants N]`.
"""

from __future__ import annotations

import argparse
import os
import time
import warnings

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import velmora  # noqa: E402
from velmora import _engine  # noqa: E402

TRUE = {"initial_value": 0.5, "learning_rate": 0.3, "beta": 3.0}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--participants", type=int, default=2000)
    parser.add_argument("--trials", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    n, t = args.participants, args.trials

    inside = [0.0]
    engine_fit = _engine.fit

    def counted(*positional, **options):  # type: ignore[no-untyped-def]
        start = time.process_time()
        try:
            return engine_fit(*positional, **options)
        finally:
            inside[0] += time.process_time() - start

    _engine.fit = counted
    rng = np.random.default_rng(1)
    rewards = rng.normal(0.5, 0.3, (n, t))
    frames = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # the same call on versions before response_model
        for i in range(n):
            sim = velmora.simulate("td", rewards[i], TRUE, response="unit_square", seed=i)
            frames.append(pd.DataFrame({"subject": i, "reward": rewards[i], "choice": sim.responses}))
    data = pd.concat(frames, ignore_index=True)

    def many() -> None:
        velmora.fit_many(
            data, "td", input="reward", response="choice", response_model="unit_square", threads=1, progress=False
        )

    many()
    rounds = []
    for _ in range(args.rounds):
        inside[0] = 0.0
        start = time.process_time()
        many()
        total = time.process_time() - start
        rounds.append((total - inside[0], total, inside[0]))
    overhead, total, native = min(rounds)
    print(
        f"fit_many of {n} participants x {t} trials: {total:.3f} s CPU, {native:.3f} s in the engine's fit; "
        f"Python overhead {overhead / n * 1e6:.1f} us per participant (least of {args.rounds} rounds)"
    )


if __name__ == "__main__":
    main()
