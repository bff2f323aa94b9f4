"""Before and after the experiment at scale: recovery, power and their run on a Dask cluster.

    python3 benchmarks/design.py            # the full sizes below (a few minutes on 2 cores)
    python3 benchmarks/design.py --quick    # a tenth of the work, for a first look

Measures, in one run on this machine:

- recovery of the HGF with Gaussian responses: 1,000 simulated participants x 200 trials, in
  process on 2 threads (target: at most 3 s);
- a power curve of the TD model: 5 sample sizes (20 to 100 participants) x 100 studies, 60
  trials, each study fitted by fit_group with the group as a covariate (target: at most 60 s);
- the same two on a Dask LocalCluster of 2 single-threaded worker processes, as a ratio to in
  process (target: at most 1.5), and whether the tables are identical;
- power under no effect over 400 studies of 40 participants: the detection rate against the
  nominal 0.05 (target: within 0.03).
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # see benchmarks/fitting.py
import argparse  # noqa: E402
import dataclasses  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import velmora  # noqa: E402

import recovery  # noqa: E402  (benchmarks/recovery.py, beside this script)


def volatile_walk(n: int, seed: int) -> np.ndarray:
    """The recovery benchmark's HGF design: a random walk whose step SD switches between 0.1 and 1
    every 25 to 50 trials."""
    case = next(case for case in recovery.CASES if case.title == "hgf responses")
    return recovery.inputs_for(dataclasses.replace(case, trials=n), np.random.default_rng(seed))


def reversal_rewards(n: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    p = np.where((np.arange(n) // 20) % 2 == 0, 0.8, 0.2)
    return (rng.random(n) < p).astype(float)


def timed(call):  # type: ignore[no-untyped-def]
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a tenth of the participants and studies")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--no-dask", action="store_true", help="skip the LocalCluster comparison")
    args = parser.parse_args()
    scale = 10 if args.quick else 1
    participants, studies, null_studies = 1000 // scale, 100 // scale, 400 // scale
    sizes = [20, 40, 60, 80, 100]
    hgf_design, td_design = volatile_walk(200, 1), reversal_rewards(60, 2)

    def recover(executor=None):  # type: ignore[no-untyped-def]
        return velmora.recovery(
            "hgf", hgf_design, n=participants, seed=1, threads=args.threads, executor=executor, progress=False
        )

    def curve(executor=None):  # type: ignore[no-untyped-def]
        return velmora.power(
            "td",
            td_design,
            effect={"learning_rate": 0.5},
            n_participants=sizes,
            n_studies=studies,
            seed=2,
            threads=args.threads,
            executor=executor,
            progress=False,
        )

    velmora.recovery("hgf", hgf_design, n=4, threads=1)  # imports and first calls out of the timings
    velmora.power("td", td_design, effect={"learning_rate": 0.5}, n_participants=[8], n_studies=1)
    print(f"\nvelmora {velmora.__version__}: design benchmarks, {args.threads} threads in process\n")
    recovered, t_recovery = timed(recover)
    print(f"HGF recovery, {participants} participants x 200 trials: {t_recovery:.2f} s (target <= 3 s)")
    print(recovered.table.to_string(index=False, float_format=lambda x: f"{x:.3f}"))
    powered, t_power = timed(curve)
    print(
        f"\nTD power curve, {len(sizes)} sizes x {studies} studies (20-100 participants, 60 trials, fit_group): "
        f"{t_power:.1f} s (target <= 60 s)"
    )
    print(powered.table.to_string(index=False, float_format=lambda x: f"{x:.3f}"))

    if not args.no_dask:
        import distributed

        with (
            distributed.LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
            ) as cluster,
            distributed.Client(cluster) as client,
        ):
            executor = client.get_executor()
            # The workers import velmora, SciPy and pandas once, outside the timings.
            velmora.recovery("hgf", hgf_design, n=8, executor=executor)
            velmora.power(
                "td", td_design, effect={"learning_rate": 0.5}, n_participants=[8], n_studies=4, executor=executor
            )
            there, t_recovery_dask = timed(lambda: recover(executor))
            curve_there, t_power_dask = timed(lambda: curve(executor))
        same_recovery = there.raw.equals(recovered.raw)
        same_power = curve_there.raw.equals(powered.raw)
        print("\nOn a Dask LocalCluster of 2 worker processes, 1 thread each (ratio to in process; target <= 1.5):")
        print(
            f"  recovery: {t_recovery_dask:.2f} s, ratio {t_recovery_dask / t_recovery:.2f}, identical table: "
            f"{same_recovery}"
        )
        print(f"  power: {t_power_dask:.1f} s, ratio {t_power_dask / t_power:.2f}, identical table: {same_power}")

    null, t_null = timed(
        lambda: velmora.power(
            "td",
            td_design,
            effect={"learning_rate": 0.0},
            n_participants=[40],
            n_studies=null_studies,
            seed=3,
            threads=args.threads,
            progress=False,
        )
    )
    row = null.table.iloc[0]
    rate = float(row["detection_rate"])
    print(
        f"\nNo effect, {null_studies} studies of 40 participants ({t_null:.1f} s): detection rate {rate:.3f} "
        f"(95 % interval {row['detection_low']:.3f} to {row['detection_high']:.3f}); |rate - 0.05| = "
        f"{abs(rate - 0.05):.3f} (target <= 0.03); interval coverage {row['coverage']:.3f}"
    )


if __name__ == "__main__":
    main()
