"""Throughput of fit_many: a simulated HGF study fitted on every core, serially, on threads and on Dask.

    python3 benchmarks/study.py            # 1,000 participants x 200 trials, 4 starts
    python3 benchmarks/study.py --quick    # 60 participants x 100 trials

Prints wall times, participants per second and speed-ups as a Markdown table, and checks that every
way of running gives the very same table. Needs the study extra and distributed.
"""

from __future__ import annotations

import argparse
import os
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


def timed(label: str, data: pd.DataFrame, executor, n_starts: int, results: dict, **options) -> float:
    start = time.perf_counter()
    table = velmora.fit_many(data, "hgf", executor=executor, n_starts=n_starts, progress=False, **options)
    seconds = time.perf_counter() - start
    results[label] = table
    return seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a small study, for a smoke test")
    parser.add_argument("--participants", type=int)
    parser.add_argument("--trials", type=int)
    parser.add_argument("--serial-participants", type=int,
                        help="fit only this many participants serially and scale the time (default: all)")
    args = parser.parse_args()
    participants = args.participants or (60 if args.quick else 1000)
    trials = args.trials or (100 if args.quick else 200)
    n_starts = 4
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    data = make_study(participants, trials)
    results: dict[str, pd.DataFrame] = {}
    rows = []

    seconds = timed("default", data, None, n_starts, results)
    rows.append(("default executor (process pool)", seconds))

    serial_n = min(args.serial_participants or participants, participants)
    keys = sorted(data["subject"].unique())[:serial_n]
    serial = timed("serial", data[data["subject"].isin(keys)], SerialExecutor(), n_starts, results)
    rows.append((f"serial loop ({serial_n} participants, scaled)" if serial_n < participants else "serial loop",
                 serial * participants / serial_n))

    with ThreadPoolExecutor(cores) as pool:
        rows.append((f"threads ({cores})", timed("threads", data, pool, n_starts, results)))

    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        client.run(lambda: __import__("velmora.fitting"))  # warm the workers' imports before timing
        rows.append(("dask LocalCluster, 2 worker processes", timed("dask", data, client.get_executor(), n_starts,
                                                                   results)))

    reference = results["default"]
    for label, table in results.items():
        same = reference.set_index("subject").loc[table["subject"]].reset_index()
        pd.testing.assert_frame_equal(table.reset_index(drop=True), same, check_exact=True)
    failed = int((reference["error"] != "").sum())

    default = rows[0][1]
    print(f"fit_many, HGF with Gaussian responses, {participants} participants x {trials} trials, {n_starts} starts, "
          f"{cores} cores; {failed} participants failed, {int(reference['converged'].sum())} converged\n")
    print("| how | wall time (s) | participants/s | time / default |")
    print("|---|---|---|---|")
    for label, seconds in rows:
        print(f"| {label} | {seconds:.2f} | {participants / seconds:.1f} | {seconds / default:.2f} |")
    print(f"\nspeed-up of the default executor over the serial loop: {rows[1][1] / default:.2f}x")


if __name__ == "__main__":
    main()
