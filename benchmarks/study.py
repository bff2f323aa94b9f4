"""Throughput of fit_many: a simulated HGF study fitted on every core, serially, on threads and on Dask.

    python3 benchmarks/study.py            # 1,000 participants x 200 trials, 4 starts
    python3 benchmarks/study.py --quick    # 60 participants x 100 trials

Prints wall times, participants per second and speed-ups as a Markdown table, and checks that every
way of running gives the very same table. Needs the study extra and distributed.
"""

from __future__ import annotations

import argparse
import os
import statistics
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd

import velmora
from velmora.study import SerialExecutor


def make_study(participants: int, trials: int) -> pd.DataFrame:
    rng = np.random.default_rng(2024)
    truth = pd.DataFrame({
        "subject": [f"s{i:04d}" for i in range(participants)],
        "obs_noise": rng.uniform(0.2, 2.0, participants),
        "precision_flexibility": rng.uniform(0.2, 2.0, participants),
        "zeta": rng.uniform(0.05, 0.5, participants),
    })
    # A random walk with occasional jumps, so that volatility matters.
    steps = rng.normal(scale=0.2, size=trials) + (rng.random(trials) < 0.05) * rng.normal(scale=3.0, size=trials)
    return velmora.simulate_many("hgf", truth, steps.cumsum(), seed=1)


def fit(data: pd.DataFrame, executor, n_starts: int) -> tuple[float, pd.DataFrame]:
    start = time.perf_counter()
    table = velmora.fit_many(data, "hgf", executor=executor, n_starts=n_starts, progress=False)
    return time.perf_counter() - start, table


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a small study, for a smoke test")
    parser.add_argument("--participants", type=int)
    parser.add_argument("--trials", type=int)
    parser.add_argument("--repeats", type=int, help="rounds over every way of running; medians are shown")
    args = parser.parse_args()
    participants = args.participants or (60 if args.quick else 1000)
    trials = args.trials or (100 if args.quick else 200)
    repeats = args.repeats or (1 if args.quick else 3)
    n_starts = 4
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    data = make_study(participants, trials)

    from distributed import Client, LocalCluster

    times: dict[str, list[float]] = {}
    tables: dict[str, pd.DataFrame] = {}
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client, ThreadPoolExecutor(cores) as threads:
        client.run(lambda: __import__("velmora.fitting"))  # workers start with the package imported
        ways = {
            "default executor": lambda: None,
            "serial loop": SerialExecutor,
            f"threads ({cores})": lambda: threads,
            "dask LocalCluster, 2 worker processes": client.get_executor,
        }
        # Interleaved rounds, so that a change in the machine's load touches every way alike.
        for _ in range(repeats):
            for label, executor in ways.items():
                seconds, tables[label] = fit(data, executor(), n_starts)
                times.setdefault(label, []).append(seconds)

    reference = tables["serial loop"]
    for table in tables.values():
        pd.testing.assert_frame_equal(table, reference, check_exact=True)
    median = {label: statistics.median(values) for label, values in times.items()}
    default = median["default executor"]
    print(f"fit_many, HGF with Gaussian responses, {participants} participants x {trials} trials, {n_starts} starts, "
          f"{cores} cores, median of {repeats}; {int((reference['error'] != '').sum())} participants failed, "
          f"{int(reference['converged'].sum())} converged; every way gave the same table\n")
    print("| how | wall time (s) | participants/s | time / default | all times (s) |")
    print("|---|---|---|---|---|")
    for label, seconds in median.items():
        print(f"| {label} | {seconds:.2f} | {participants / seconds:.1f} | {seconds / default:.2f} | "
              f"{', '.join(f'{t:.2f}' for t in times[label])} |")
    print(f"\nspeed-up of the default executor over the serial loop: {median['serial loop'] / default:.2f}x")


if __name__ == "__main__":
    main()
