"""How often a fit called converged is a verified optimum, over every (model, response model) pair.

Per pair, random short data sets (10-60 trials; tests/convergence_reference.py draws them): the
default fit (4 starts) and a 40-start fit from another seed. Reports, per pair: fits called
converged; among them how many have a Newton gain above 1e-6 nats along some parameter by finite
differences of an independent negative log joint (a gradient out of tolerance), and how many lie
more than 1e-6 nats above the best of both fits; fits that reach the best (within 1e-6) whatever
they are called; and the median time of a default fit.

The test suite runs the same sweep small (tests/test_convergence_sweep.py); this one is its larger
version. Run: `python3 benchmarks/convergence.py [--per-pair N] [--seed S]`.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import convergence_reference as ref  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--per-pair", type=int, default=200)
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args()
    print(f"| pair | fits | converged | converged, gradient off | converged, >1e-6 above best | at best | ms per fit |")
    print("|---|---|---|---|---|---|---|")
    totals = np.zeros(5, dtype=np.int64)
    for k, (model, response) in enumerate(ref.PAIRS):
        rng = np.random.default_rng([args.seed, k])
        counts = np.zeros(5, dtype=np.int64)
        times = []
        for i in range(args.per_pair):
            data = ref.random_data_set(model, response, rng, int(rng.integers(10, 61)))
            start = time.perf_counter()
            data.fit(seed=i)
            times.append(time.perf_counter() - start)
            fit, gains, gap = ref.check(data, i)
            counts += [
                1,
                fit.converged,
                fit.converged and bool(np.any(gains > 1e-6)),
                fit.converged and gap > 1e-6,
                gap <= 1e-6,
            ]
        totals += counts
        print(
            f"| {model} + {response} | {counts[0]} | {counts[1]} | {counts[2]} | {counts[3]} | {counts[4]} | "
            f"{1e3 * statistics.median(times):.2f} |"
        )
    print(f"| all | {totals[0]} | {totals[1]} | {totals[2]} | {totals[3]} | {totals[4]} | |")
    honest = totals[1] - max(totals[2], totals[3])
    print(
        f"\nconverged and verified: at least {honest / max(totals[1], 1):.4f} of converged fits; "
        f"at the best optimum: {totals[4] / totals[0]:.4f} of all fits"
    )


if __name__ == "__main__":
    main()
