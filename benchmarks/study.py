"""Throughput of fit_many, and the memory of a large native batch fit.

    python3 benchmarks/study.py            # 1,000 participants x 200 trials; memory at 100,000 x 50
    python3 benchmarks/study.py --quick    # 60 participants x 100 trials; memory at 10,000 x 50

The study: a simulated HGF study fitted to Gaussian responses, three free parameters (``obs_noise``,
``precision_flexibility``, ``zeta``; ``base_process_noise`` held at 0.01 with ``fixed=``, the value
it was simulated with), four starts: benchmarks/fitting.py's case. fit_many runs it by default (in
this process, one native batch per chunk on every core), on 2 and on 1 thread, with an explicit
process pool (2 forkserver processes, started before the clock) and on a two-process Dask
LocalCluster (each chunk a native batch on one thread in a worker), and in a serial loop. Beside it
the SciPy route (tests/scipy_route.py, what velmora.fit was before it ran natively) fits the same
participants with the same seeds on a pool of 2 processes, as fit_many's default did with it;
``--scipy-participants`` times a subset and scales it up. The rounds interleave every way, and
the script checks that every way of running fit_many gives the very same table
(pandas.testing.assert_frame_equal with check_exact=True).

Memory: velmora.arrays.fit on many short TD sequences (inputs and responses, 2-D) in a fresh
process; its peak RSS against the bare process and the size of the inputs and outputs. The peak is
the kernel's high-water mark VmHWM, reset through /proc/self/clear_refs once the inputs are made.
resource.getrusage's ru_maxrss is the same mark but also keeps the peak of the image the process
was exec'ed from (this script, with pandas and Dask loaded), so it is shown only for reference.
The child runs with MALLOC_MMAP_THRESHOLD_=131072, so that freed large blocks leave the RSS.
Needs the study extra and distributed.
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # see benchmarks/fitting.py
import sys  # noqa: E402

# The SciPy route is a reference kept beside the tests, not shipped in the wheel.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

import argparse  # noqa: E402
import json  # noqa: E402
import multiprocessing  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import time  # noqa: E402
from collections.abc import Callable  # noqa: E402
from concurrent.futures import Executor, ProcessPoolExecutor  # noqa: E402

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import velmora  # noqa: E402
from velmora.study import SerialExecutor, participant_seed  # noqa: E402

HELD = {"base_process_noise": 0.01}
N_STARTS = 4
MiB = 2**20


def make_study(participants: int, trials: int) -> pd.DataFrame:
    rng = np.random.default_rng(2024)
    truth = pd.DataFrame(
        {
            "subject": [f"s{i:04d}" for i in range(participants)],
            "obs_noise": rng.uniform(0.2, 2.0, participants),
            "precision_flexibility": rng.uniform(0.2, 2.0, participants),
            "zeta": rng.uniform(0.05, 0.5, participants),
            **HELD,
        }
    )
    # A random walk with occasional jumps, so that volatility matters.
    steps = rng.normal(scale=0.2, size=trials) + (rng.random(trials) < 0.05) * rng.normal(scale=3.0, size=trials)
    return velmora.simulate_many("hgf", truth, steps.cumsum(), seed=1)


def fit_many(data: pd.DataFrame, executor: Executor | None = None, threads: int | None = None) -> pd.DataFrame:
    return velmora.fit_many(
        data, "hgf", executor=executor, threads=threads, fixed=HELD, n_starts=N_STARTS, progress=False
    )


def warm(_: int) -> None:
    import scipy.optimize  # noqa: F401

    import scipy_route  # noqa: F401


def scipy_one(key: str, x: np.ndarray, y: np.ndarray) -> float:
    """One participant by the SciPy route, from the seed fit_many gives it; its neg_log_joint."""
    import scipy_route

    return scipy_route.fit("hgf", x, y, fixed=HELD, n_starts=N_STARTS, seed=participant_seed(0, key)).neg_log_joint


def scipy_route(data: pd.DataFrame, pool: Executor) -> list[float]:
    """Every participant of ``data`` by the SciPy route on ``pool``, a few chunks per worker."""
    groups = [(key, g["input"].to_numpy(), g["response"].to_numpy()) for key, g in data.groupby("subject", sort=True)]
    keys, xs, ys = zip(*groups)
    return list(pool.map(scipy_one, keys, xs, ys, chunksize=max(1, len(groups) // 8)))


def throughput(participants: int, trials: int, repeats: int, scipy_participants: int) -> None:
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    data = make_study(participants, trials)
    subset = data[data["subject"].isin(sorted(data["subject"].unique())[:scipy_participants])]

    from distributed import Client, LocalCluster

    times: dict[str, list[float]] = {}
    tables: dict[str, pd.DataFrame] = {}
    scipy_nlj: list[float] = []
    context = multiprocessing.get_context("forkserver")  # this process runs the engine's threads: never fork it
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        Client(cluster) as client,
        ProcessPoolExecutor(2, mp_context=context) as pool,
    ):
        client.run(lambda: __import__("velmora.fitting"))  # workers start with the package imported
        list(pool.map(warm, range(4)))  # the pool's processes started, velmora and SciPy imported
        ways: dict[str, Callable[[], pd.DataFrame | list[float]]] = {
            f"fit_many, default (in-process native, {cores} threads)": lambda: fit_many(data),
            "fit_many, threads=2": lambda: fit_many(data, threads=2),
            "fit_many, threads=1": lambda: fit_many(data, threads=1),
            "fit_many, explicit process pool (2 processes)": lambda: fit_many(data, executor=pool),
            "fit_many, Dask LocalCluster (2 worker processes x 1 thread)": lambda: fit_many(
                data, executor=client.get_executor()
            ),
            "fit_many, SerialExecutor (chunks in the calling thread)": lambda: fit_many(data, SerialExecutor()),
            f"SciPy route, 2 processes ({len(subset.subject.unique())} participants"
            f"{', scaled' if scipy_participants < participants else ''})": lambda: scipy_route(subset, pool),
        }
        scipy_label = list(ways)[-1]
        # Interleaved rounds, so that a change in the machine's load touches every way alike.
        for _ in range(repeats):
            for label, way in ways.items():
                start = time.perf_counter()
                result = way()
                times.setdefault(label, []).append(time.perf_counter() - start)
                if label == scipy_label:
                    scipy_nlj = list(result)  # type: ignore[arg-type]
                else:
                    tables[label] = result  # type: ignore[assignment]

    default_label = next(iter(tables))
    reference = tables[default_label]
    for label, table in tables.items():
        pd.testing.assert_frame_equal(table, reference, check_exact=True, obj=label)
    scale = participants / len(scipy_nlj)
    median = {
        label: statistics.median(values) * (scale if label == scipy_label else 1.0) for label, values in times.items()
    }
    default, scipy = median[default_label], median[scipy_label]
    print(
        f"fit_many, HGF with Gaussian responses, {participants} participants x {trials} trials, 3 free parameters, "
        f"{N_STARTS} starts, {cores} cores, median of {repeats} rounds; "
        f"{int((reference['error'] != '').sum())} participants failed, {int(reference['converged'].sum())} "
        f"converged. Every way of running fit_many gave the identical table "
        f"(pandas.testing.assert_frame_equal, check_exact=True).\n"
    )
    print("| how | wall time (s) | participants/s | time / default | SciPy route / how | all times (s) |")
    print("|---|---|---|---|---|---|")
    for label, seconds in median.items():
        shown = ", ".join(f"{t * (scale if label == scipy_label else 1.0):.2f}" for t in times[label])
        print(
            f"| {label} | {seconds:.3f} | {participants / seconds:.0f} | {seconds / default:.2f} | "
            f"{scipy / seconds:.1f}x | {shown} |"
        )
    ratio = median["fit_many, threads=2"] / median["fit_many, threads=1"]
    print(
        f"\nthreads=2 / threads=1: {ratio:.3f} (target at most 0.55); default: {default:.3f} s "
        f"(target at most 0.6 s); SciPy route / default: {scipy / default:.1f}x"
        + (f" (SciPy route timed on {len(scipy_nlj)} participants, scaled by {scale:g})" if scale != 1.0 else "")
    )


# ---------------------------------------------------------------------------------------- memory


# The fresh process: only NumPy and velmora imported, so that the peak before the inputs is the bare process's.
MEMORY_CHILD = """
import json, resource, sys, time
import numpy as np
import velmora.arrays as va

def rss():  # now, from /proc
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()

def peak():  # the high-water mark of this process's memory, from /proc
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))

def ru_maxrss():  # getrusage's, which also keeps the peak of the image this process was exec'ed from
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

participants, trials = int(sys.argv[1]), int(sys.argv[2])
va.fit("td", np.zeros((2, trials)), np.full((2, trials), 0.5), threads=1)  # the engine loaded and run once
out = {"rss_before_inputs": rss(), "peak_before_inputs": peak()}
rng = np.random.default_rng(5)
switching = np.where((np.arange(trials) // 10) % 2 == 0, 0.8, 0.2)
rewards = (rng.random((participants, trials)) < switching).astype(float)
values = va.td_learn_sequence(0.5, rewards, rng.uniform(0.1, 0.6, participants), 1.0, 0.0, 0)["value"]
responses = np.concatenate((np.full((participants, 1), 0.5), values[:, :-1]), axis=1)
responses += rng.normal(0.0, 0.2, responses.shape)
del values
out.update(rss_before_fit=rss(), peak_before_fit=peak())
with open("/proc/self/clear_refs", "w") as f:  # the high-water mark reset to now (Linux 4.0 on): the fit's own peak
    f.write("5")
start = time.perf_counter()
fits = va.fit("td", rewards, responses)
out.update(seconds=time.perf_counter() - start, rss_after_fit=rss(), peak_after_fit=peak(), ru_maxrss=ru_maxrss(),
           inputs=rewards.nbytes + responses.nbytes, converged=int(fits.converged.sum()),
           outputs=sum(a.nbytes for a in (*fits.params.values(), *fits.se.values(), fits.nll, fits.neg_log_joint,
                                          fits.lme, fits.n_trials, fits.status, fits.iterations, fits.evaluations)))
print(json.dumps(out))
"""


def memory(participants: int, trials: int) -> None:
    # A fixed mmap threshold: every large block goes back to the system when freed, so that the RSS
    # counts what is held, not what the allocator kept of the inputs' construction.
    env = {**os.environ, "MALLOC_MMAP_THRESHOLD_": str(2**17)}
    out = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, str(participants), str(trials)],
        check=True,
        capture_output=True,
        text=True,
        env=env,
    )
    m = json.loads(out.stdout)
    bare = m["rss_before_inputs"]
    held = m["inputs"] + m["outputs"]
    print(
        f"\nMemory: velmora.arrays.fit('td', rewards, responses) on {participants:,} participants x {trials} "
        f"trials (2-D float64; responses around TD values, learning rates 0.1-0.6), every core, in a fresh "
        f"process: {m['seconds']:.1f} s, {m['converged']:,} converged.\n"
    )
    print("| | MiB |")
    print("|---|---|")
    print(f"| RSS of the bare process (Python, NumPy, velmora; after one small fit) | {bare / MiB:.1f} |")
    print(f"| its peak RSS so far (VmHWM) | {m['peak_before_inputs'] / MiB:.1f} |")
    print(f"| RSS with the inputs made | {m['rss_before_fit'] / MiB:.1f} |")
    print(f"| peak RSS during the fit (VmHWM, reset before it) | {m['peak_after_fit'] / MiB:.1f} |")
    print(f"| ru_maxrss at the end (includes the launching process's image) | {m['ru_maxrss'] / MiB:.1f} |")
    print(f"| RSS after the fit, the result held | {m['rss_after_fit'] / MiB:.1f} |")
    print(f"| inputs (rewards + responses) | {m['inputs'] / MiB:.1f} |")
    print(f"| outputs (every array of the result) | {m['outputs'] / MiB:.1f} |")
    print(
        f"\nPeak RSS during the fit above the bare process: {(m['peak_after_fit'] - bare) / MiB:.1f} MiB, "
        f"{(m['peak_after_fit'] - bare) / held:.2f}x inputs + outputs ({held / MiB:.1f} MiB); "
        f"above the process with its inputs: {(m['peak_after_fit'] - m['rss_before_fit']) / MiB:.1f} MiB "
        f"({(m['peak_after_fit'] - m['rss_before_fit']) / m['outputs']:.2f}x the outputs)."
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a small study, for a smoke test")
    parser.add_argument("--participants", type=int)
    parser.add_argument("--trials", type=int)
    parser.add_argument("--repeats", type=int, help="rounds over every way of running; medians are shown")
    parser.add_argument("--scipy-participants", type=int, help="participants the SciPy route fits (default all)")
    parser.add_argument("--memory-participants", type=int, help="participants of the memory run (default 100,000)")
    parser.add_argument("--no-memory", action="store_true")
    args = parser.parse_args()
    participants = args.participants or (60 if args.quick else 1000)
    trials = args.trials or (100 if args.quick else 200)
    repeats = args.repeats or (1 if args.quick else 3)
    print(f"load average before: {', '.join(f'{x:.2f}' for x in os.getloadavg())}\n")
    throughput(participants, trials, repeats, min(participants, args.scipy_participants or participants))
    if not args.no_memory:
        memory(args.memory_participants or (10_000 if args.quick else 100_000), 50)


if __name__ == "__main__":
    main()
