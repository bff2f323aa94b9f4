"""Benchmarks of the NumPy array API (velmora.arrays) against the list API and against peers.

Prints Markdown tables of medians over repeats, in ns per trial (one element of one sequence):

1. one sequence of N = 10^5: array function against list function, both given a float64 array;
2. a batch of subjects x trials (HGF and Kalman, with the log-likelihood): the array API on one
   thread and on two, and the list API driven by a two-process ProcessPoolExecutor that also
   computes the log-likelihood from the list output with NumPy;
3. peers on the same batch: simdkalman (vectorised over series), filterpy's KalmanFilter looped
   per series (on a subset of subjects) and pyhgf's continuous two-level HGF (JAX, vmapped over
   subjects; compile time shown apart from the steady-state run);
4. peak memory of the batch call, in a fresh process, against the size of its result arrays;
5. linearity: ns per element at N = 10^4 and N = 10^7 for every model (array API).

Run through `bash benchmarks/run`, or directly: `python3 benchmarks/arrays.py [--quick]`.
Sections whose library is missing print why and carry on with the rest.
"""

from __future__ import annotations

import argparse
import json
import concurrent.futures
import gc
import multiprocessing
import statistics
import subprocess
import sys
import time
from collections.abc import Callable

import numpy as np
from report import print_sections

import velmora

try:
    import velmora.arrays as va

    ARRAYS_ERROR = ""
except ImportError as error:  # the array engine is not in this build yet
    va = None
    ARRAYS_ERROR = f"velmora.arrays is not importable ({error}); the array API's columns read n/a"

FLOOR = 1e-6  # the variance floor of both filters
SUBJECTS, TRIALS = 2000, 500
SINGLE_N = 10**5
LINEAR_NS = (10**4, 10**7)
WORKERS = 2
CHUNKS_PER_WORKER = 4

# Model parameters shared by every suite.
KALMAN = {"initial_mean": 0.0, "initial_var": 1.0, "process_noise": 0.01, "obs_noise": 0.5}
HGF = {"obs_noise": 0.5, "precision_flexibility": 0.5}
TD = {"initial_value": 0.0, "learning_rate": 0.1, "discount_factor": 0.9, "rpe_noise_std": 0.5}
FORWARD = {"update_rate": 0.3, "injury_noise_std": 0.2, "sensory_gain": 1.5}
SEED = 7

HGF_FIELDS = ("t", "prediction", "observation", "precision", "prediction_error", "learning_rate", "volatility")
RESULT_FIELDS = {
    "kalman_run": ("mean", "var", "loglik", "lengths"),
    "hgf_run": HGF_FIELDS + ("loglik", "lengths"),
    "td_learn_sequence": ("value", "lengths"),
    "forward_simulate": ("t", "predicted", "actual", "mismatch", "lengths"),
}
NA = "n/a"


# ----------------------------------------------------------------------------------- timing


def seconds(call: Callable[[], object], repeats: int, min_sample: float = 0.05) -> float:
    """Median seconds of one `call()`; each sample loops the call until it lasts `min_sample` s."""
    gc.enable()
    call()  # warm-up: first-touch page faults, lazy initialisation, thread pool start
    loops = 1
    while True:
        start = time.perf_counter()
        for _ in range(loops):
            call()
        elapsed = time.perf_counter() - start
        if elapsed >= min_sample:
            break
        loops *= 4
    samples = [elapsed / loops]
    for _ in range(repeats - 1):
        start = time.perf_counter()
        for _ in range(loops):
            call()
        samples.append((time.perf_counter() - start) / loops)
    return statistics.median(samples)


def ns(value: float | None, digits: int = 1) -> str:
    return NA if value is None else f"{value:,.{digits}f}"


def ratio(num: float | None, den: float | None) -> str:
    return NA if num is None or den is None else f"{num / den:.2f}x"


# ------------------------------------------------------------------------------------- data


def sequence(n: int, seed: int = 1) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal(n)


def batch(subjects: int, trials: int, seed: int = 2) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal((subjects, trials))


# ---------------------------------------------------------------------- list API, with NumPy


def kalman_loglik(
    y: np.ndarray,
    mean: np.ndarray,
    var: np.ndarray,
    initial_mean: float,
    initial_var: float,
    process_noise: float,
    obs_noise: float,
) -> float:
    """Gaussian log predictive density of the observations, from the list API's (mean, var) rows:
    the prior of step t is the posterior of step t-1 widened by the process noise."""
    prior_mean = np.concatenate(([initial_mean], mean[:-1]))
    prior_var = np.maximum(np.concatenate(([max(initial_var, FLOOR)], var[:-1])) + process_noise, FLOOR)
    s = prior_var + max(obs_noise, FLOOR)
    return float(-0.5 * np.sum(np.log(2.0 * np.pi * s) + (y - prior_mean) ** 2 / s))


def hgf_loglik(precision: np.ndarray, prediction_error: np.ndarray, obs_noise: float) -> float:
    """Gaussian log predictive density of the observations, from the list API's HGF rows: the
    predicted variance of level 1 is recovered from the posterior precision."""
    r = max(obs_noise, FLOOR)
    s = 1.0 / (precision - 1.0 / r) + r
    return float(-0.5 * np.sum(np.log(2.0 * np.pi * s) + prediction_error**2 / s))


def list_kalman_chunk(rows: np.ndarray) -> dict[str, np.ndarray]:
    """The list API over a chunk of subjects, gathered into the same arrays as the array result."""
    out_mean, out_var, loglik = np.empty(rows.shape), np.empty(rows.shape), np.empty(len(rows))
    for i, y in enumerate(rows):
        result = np.array(
            velmora.kalman_run(
                KALMAN["initial_mean"], KALMAN["initial_var"], y, KALMAN["process_noise"], KALMAN["obs_noise"]
            )
        )
        out_mean[i], out_var[i] = result[:, 0], result[:, 1]
        loglik[i] = kalman_loglik(y, out_mean[i], out_var[i], **KALMAN)
    return {"mean": out_mean, "var": out_var, "loglik": loglik}


def list_hgf_chunk(rows: np.ndarray) -> dict[str, np.ndarray]:
    fields = np.empty((len(HGF_FIELDS),) + rows.shape)
    loglik = np.empty(len(rows))
    for i, y in enumerate(rows):
        result = np.array(velmora.hgf_run(y, HGF["obs_noise"], HGF["precision_flexibility"]))
        fields[:, i, :] = result.T
        loglik[i] = hgf_loglik(fields[3, i], fields[4, i], HGF["obs_noise"])
    out = dict(zip(HGF_FIELDS, fields))
    out["loglik"] = loglik
    return out


def pool_run(pool: concurrent.futures.Executor, worker, data: np.ndarray) -> dict[str, np.ndarray]:
    chunks = np.array_split(data, WORKERS * CHUNKS_PER_WORKER)
    parts = list(pool.map(worker, chunks))
    return {key: np.concatenate([part[key] for part in parts]) for key in parts[0]}


# ---------------------------------------------------------------------------- array API calls


def array_call(name: str, data, threads: int | None = None, seed=SEED):
    if name == "kalman_run":
        return va.kalman_run(
            KALMAN["initial_mean"],
            KALMAN["initial_var"],
            data,
            KALMAN["process_noise"],
            KALMAN["obs_noise"],
            threads=threads,
        )
    if name == "hgf_run":
        return va.hgf_run(data, HGF["obs_noise"], HGF["precision_flexibility"], threads=threads)
    if name == "td_learn_sequence":
        return va.td_learn_sequence(
            TD["initial_value"],
            data,
            TD["learning_rate"],
            TD["discount_factor"],
            TD["rpe_noise_std"],
            seed,
            threads=threads,
        )
    return va.forward_simulate(
        data, FORWARD["update_rate"], FORWARD["injury_noise_std"], FORWARD["sensory_gain"], seed, threads=threads
    )


def list_call(name: str, data):
    if name == "kalman_run":
        return velmora.kalman_run(
            KALMAN["initial_mean"], KALMAN["initial_var"], data, KALMAN["process_noise"], KALMAN["obs_noise"]
        )
    if name == "hgf_run":
        return velmora.hgf_run(data, HGF["obs_noise"], HGF["precision_flexibility"])
    if name == "td_learn_sequence":
        return velmora.td_learn_sequence(
            TD["initial_value"], data, TD["learning_rate"], TD["discount_factor"], TD["rpe_noise_std"], SEED
        )
    return velmora.forward_simulate(
        data, FORWARD["update_rate"], FORWARD["injury_noise_std"], FORWARD["sensory_gain"], SEED
    )


MODELS = ("kalman_run", "hgf_run", "forward_simulate", "td_learn_sequence")
GOALS = {"kalman_run": 5.0, "hgf_run": 5.0, "forward_simulate": 5.0, "td_learn_sequence": 2.0}


# ------------------------------------------------------------------------------- 1. single


CPP_NAMES = {
    "kalman_run": "engine/kalman",
    "hgf_run": "engine/hgf",
    "td_learn_sequence": "engine/td_noisy",
    "forward_simulate": "engine/forward",
}


def cpp_loop_ns(binary: str | None) -> dict[str, float]:
    """ns per trial of the engine's loop alone (Google Benchmark, benchmarks/engine_bench.cpp)."""
    if not binary:
        return {}
    out = subprocess.run(
        [binary, "--benchmark_format=json", "--benchmark_repetitions=7", "--benchmark_report_aggregates_only=true"],
        capture_output=True,
        text=True,
        check=True,
    )
    medians = {
        b["run_name"]: b["real_time"]
        for b in json.loads(out.stdout)["benchmarks"]
        if b.get("aggregate_name") == "median"
    }
    return {name: medians[key + "/100000"] / SINGLE_N for name, key in CPP_NAMES.items() if key + "/100000" in medians}


def single_table(repeats: int, cpp: dict[str, float]) -> list[str]:
    rows = [
        "| function | list ns/trial | array ns/trial | list / array | goal | C++ loop ns/trial | array / C++ |",
        "|---|---|---|---|---|---|---|",
    ]
    xs = sequence(SINGLE_N)
    for name in MODELS:
        listed = seconds(lambda name=name: list_call(name, xs), repeats) * 1e9 / SINGLE_N
        arrayed = seconds(lambda name=name: array_call(name, xs), repeats) * 1e9 / SINGLE_N if va else None
        label = name + (" (rpe_noise_std=0.5)" if name == "td_learn_sequence" else "")
        rows.append(
            f"| {label} | {ns(listed)} | {ns(arrayed)} | {ratio(listed, arrayed)} | "
            f">= {GOALS[name]:.0f}x | {ns(cpp.get(name))} | {ratio(arrayed, cpp.get(name))} |"
        )
    return rows


# -------------------------------------------------------------------------------- 2. batch


def batch_table(data: np.ndarray, repeats: int, found: dict[str, float]) -> list[str]:
    """Fills `found` with ns/trial per (model, way) for the peers table."""
    trials = data.size
    rows = [
        (
            "| model | array threads=1 | array threads=2 | threads=1 / threads=2 | list API, 2-process pool "
            "| pool / array threads=2 |"
        ),
        "|---|---|---|---|---|---|",
    ]
    context = multiprocessing.get_context("spawn")  # no fork of a process that may hold threads
    with concurrent.futures.ProcessPoolExecutor(max_workers=WORKERS, mp_context=context) as pool:
        for name, worker in (("hgf_run", list_hgf_chunk), ("kalman_run", list_kalman_chunk)):
            pooled = seconds(lambda worker=worker: pool_run(pool, worker, data), repeats) * 1e9 / trials
            one = two = None
            if va:
                one = seconds(lambda name=name: array_call(name, data, threads=1), repeats) * 1e9 / trials
                two = seconds(lambda name=name: array_call(name, data, threads=2), repeats) * 1e9 / trials
                found[f"{name} threads=1"], found[f"{name} threads=2"] = one, two
            found[f"{name} pool"] = pooled
            rows.append(f"| {name} | {ns(one)} | {ns(two)} | {ratio(one, two)} | {ns(pooled)} | {ratio(pooled, two)} |")
    return rows


# -------------------------------------------------------------------------------- 3. peers


def simdkalman_ns(data: np.ndarray, repeats: int) -> tuple[float | None, str]:
    try:
        import simdkalman
    except ImportError as error:
        return None, f"not installed ({error})"
    # Local-level model: x_t = x_{t-1} + w, y_t = x_t + v; filtering pass only, with the
    # log-likelihood, as `compute(..., smoothed=False, filtered=True)` offers.
    kf = simdkalman.KalmanFilter(
        state_transition=[[1.0]],
        process_noise=[[KALMAN["process_noise"]]],
        observation_model=[[1.0]],
        observation_noise=KALMAN["obs_noise"],
    )

    def run():
        return kf.compute(
            data,
            0,
            initial_value=[KALMAN["initial_mean"]],
            initial_covariance=[[KALMAN["initial_var"]]],
            smoothed=False,
            filtered=True,
            observations=False,
            log_likelihood=True,
        )

    from importlib.metadata import version

    return seconds(run, repeats) * 1e9 / data.size, f"simdkalman {version('simdkalman')}"


def filterpy_ns(data: np.ndarray, repeats: int) -> tuple[float | None, float | None, str]:
    try:
        import filterpy
        from filterpy.kalman import KalmanFilter
    except ImportError as error:
        return None, None, f"not installed ({error})"

    def new_filter():
        kf = KalmanFilter(dim_x=1, dim_z=1)
        kf.x[:] = KALMAN["initial_mean"]
        kf.P[:] = KALMAN["initial_var"]
        kf.Q[:] = KALMAN["process_noise"]
        kf.R[:] = KALMAN["obs_noise"]
        return kf

    def loop():
        for y in data:
            kf = new_filter()
            mean, var = np.empty(len(y)), np.empty(len(y))
            for t, z in enumerate(y):
                kf.predict()
                kf.update(z)
                mean[t], var[t] = kf.x[0, 0], kf.P[0, 0]

    def batch_filter():
        for y in data:
            new_filter().batch_filter(y)

    looped = seconds(loop, repeats, min_sample=0.0) * 1e9 / data.size
    batched = seconds(batch_filter, repeats, min_sample=0.0) * 1e9 / data.size
    return looped, batched, f"filterpy {filterpy.__version__}"


def pyhgf_ns(data: np.ndarray, repeats: int) -> tuple[float | None, float | None, str]:
    """pyhgf's documented route for many subjects is its `logp`, vmapped over subjects (what its
    PyMC distribution does); jitted once here so the steady state reuses the compiled program."""
    try:
        import jax

        jax.config.update("jax_enable_x64", True)  # float64 like velmora
        import pyhgf
        from pyhgf.distribution import logp
        from pyhgf.model import HGF as PyHGF
        from pyhgf.response import first_level_gaussian_surprise
    except ImportError as error:
        return None, None, f"not installed ({error})"
    hgf = PyHGF(n_levels=2, model_type="continuous")
    input_precision = 1.0 / HGF["obs_noise"]

    def one_subject(y, time_steps):
        # mean_1..3, precision_1..3, tonic_volatility_1..3, tonic_drift_1..3, coupling_1..2, ...
        surprise = logp(
            0.0,
            0.0,
            0.0,
            1.0,
            1.0,
            1.0,
            -3.0,
            -3.0,
            -3.0,
            0.0,
            0.0,
            0.0,
            1.0,
            1.0,
            input_precision,
            np.ones(1),
            y,
            time_steps,
            hgf=hgf,
            response_function_inputs=None,
            response_function=first_level_gaussian_surprise,
        )
        return surprise.sum()  # per-trial log density -> the subject's log-likelihood

    run = jax.jit(jax.vmap(one_subject))
    time_steps = np.ones_like(data)
    start = time.perf_counter()
    run(data, time_steps).block_until_ready()
    first = time.perf_counter() - start
    steady = seconds(lambda: run(data, time_steps).block_until_ready(), repeats) * 1e9 / data.size
    compile_seconds = first - steady * data.size / 1e9
    return steady, compile_seconds, f"pyhgf {pyhgf.__version__}, JAX {jax.__version__}"


def peers_table(data: np.ndarray, filterpy_subjects: int, repeats: int, found: dict[str, float]) -> list[str]:
    subjects = len(data)
    rows = ["| implementation | ns/trial | note |", "|---|---|---|"]
    for name in ("kalman_run", "hgf_run"):
        for way in ("threads=1", "threads=2", "pool"):
            key = f"{name} {way}"
            what = f"velmora list API, {WORKERS}-process pool" if way == "pool" else f"velmora.arrays {way}"
            rows.append(f"| {name}: {what} | {ns(found.get(key))} | from section 2 |")
        if name == "kalman_run":
            value, note = simdkalman_ns(data, repeats)
            rows.append(
                f"| simdkalman compute(filtered, log_likelihood), all {subjects} series at once | "
                f"{ns(value)} | {note} |"
            )
            looped, batched, note = filterpy_ns(data[:filterpy_subjects], repeats)
            sub = f"{filterpy_subjects} of {subjects} subjects, time scaled per trial; {note}"
            rows.append(f"| filterpy KalmanFilter predict/update looped per series | {ns(looped, 0)} | {sub} |")
            rows.append(f"| filterpy KalmanFilter.batch_filter per series | {ns(batched, 0)} | {sub} |")
        else:
            steady, compile_seconds, note = pyhgf_ns(data, repeats)
            rows.append(
                f"| pyhgf continuous 2-level HGF, jit(vmap(logp)) over {subjects} subjects, steady state | "
                f"{ns(steady)} | {note}; float64; XLA uses every core |"
            )
            rows.append(
                f"| pyhgf first call: trace + compile (s, less one steady run) | "
                f"{NA if compile_seconds is None else f'{compile_seconds:.2f} s'} | not per trial |"
            )
    return rows


# ------------------------------------------------------------------------------- 4. memory

MEMORY_SCRIPT = """
import sys
import numpy as np
import velmora.arrays as va
sys.path.insert(0, {here!r})
from arrays import RESULT_FIELDS, array_call, batch, peak_rss_kib
data = batch({subjects}, {trials})
before = peak_rss_kib()
result = array_call({name!r}, data, threads={threads})
after = peak_rss_kib()
size = sum(getattr(result, f).nbytes for f in RESULT_FIELDS[{name!r}]
           if isinstance(getattr(result, f, None), np.ndarray))
print((after - before) * 1024, size)
"""


def peak_rss_kib() -> int:
    """This process's peak resident size (VmHWM starts afresh in each process)."""
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))


def memory_table(subjects: int, trials: int) -> list[str]:
    rows = [
        "| model | threads | peak RSS rise MiB | result arrays MiB | rise / result | goal |",
        "|---|---|---|---|---|---|",
    ]
    here = str(__import__("pathlib").Path(__file__).resolve().parent)
    for name in ("hgf_run", "kalman_run"):
        for threads in (1, 2):
            if va is None:
                rows.append(f"| {name} | {threads} | {NA} | {NA} | {NA} | <= 1.2x |")
                continue
            script = MEMORY_SCRIPT.format(here=here, subjects=subjects, trials=trials, name=name, threads=threads)
            done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=False)
            if done.returncode != 0:
                rows.append(f"| {name} | {threads} | failed: {done.stderr.strip().splitlines()[-1]} | | | |")
                continue
            peak, size = (int(v) for v in done.stdout.split())
            rows.append(
                f"| {name} | {threads} | {peak / 2**20:.1f} | {size / 2**20:.1f} | {peak / size:.2f} | <= 1.2x |"
            )
    return rows


# ---------------------------------------------------------------------------- 5. linearity


def linearity_table(repeats: int) -> list[str]:
    small, large = LINEAR_NS
    rows = [
        f"| function | ns/elem at N = {small:.0e} | ns/elem at N = {large:.0e} | large / small |",
        "|---|---|---|---|",
    ]
    for name in MODELS:
        if va is None:
            rows.append(f"| {name} | {NA} | {NA} | {NA} |")
            continue
        per = []
        for n in (small, large):
            xs = sequence(n, seed=n % 1000)
            sample = 0.05 if n <= small else 0.0  # one call at N = 10^7 already lasts long enough
            per.append(seconds(lambda name=name, xs=xs: array_call(name, xs), repeats, sample) * 1e9 / n)
        rows.append(f"| {name} | {per[0]:.2f} | {per[1]:.2f} | {per[1] / per[0]:.2f} |")
    return rows


# ------------------------------------------------------------------------------------ main


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer repeats, smaller peer subsets (under a minute)")
    parser.add_argument("--repeats", type=int, help="samples per median (default 7, or 3 with --quick)")
    parser.add_argument("--cpp-bench", help="the engine_bench binary, for the C++ loop's own speed")
    args = parser.parse_args()
    repeats = args.repeats or (3 if args.quick else 7)
    filterpy_subjects = 4 if args.quick else 20

    if ARRAYS_ERROR:
        print(f"\n> {ARRAYS_ERROR}")
    from importlib.metadata import version

    print(
        f"\nvelmora {version('velmora')} on {multiprocessing.cpu_count()} CPUs, "
        f"NumPy {np.__version__}, {repeats} repeats per median"
    )

    data = batch(SUBJECTS, TRIALS)
    found: dict[str, float] = {}
    sections = [
        (
            f"1. One sequence, N = {SINGLE_N:.0e}, float64 array input to both (ns per trial)",
            lambda: single_table(repeats, cpp_loop_ns(args.cpp_bench)),
        ),
        (
            (
                f"2. Batch of {SUBJECTS} subjects x {TRIALS} trials with log-likelihood (ns per trial; the pool "
                f"is started and warmed before timing, {WORKERS * CHUNKS_PER_WORKER} chunks of subjects)"
            ),
            lambda: batch_table(data, repeats, found),
        ),
        ("3. Peers on the same batch (ns per trial)", lambda: peers_table(data, filterpy_subjects, repeats, found)),
        (
            f"4. Peak memory of one batch call, {SUBJECTS} x {TRIALS}, in a fresh process",
            lambda: memory_table(SUBJECTS, TRIALS),
        ),
        ("5. Linearity of the array API, one sequence (ns per element)", lambda: linearity_table(repeats)),
    ]
    print_sections(sections)


if __name__ == "__main__":
    main()
