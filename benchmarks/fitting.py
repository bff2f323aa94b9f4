"""Fitting speed on one thread: the native fit against the SciPy route it replaced.

Three cases over simulated participants, 200 trials each, four starts, default priors:

- hgf responses: an HGF fitted to Gaussian responses, three free parameters (``obs_noise``,
  ``precision_flexibility``, ``zeta``; ``base_process_noise`` held at its prior centre through
  ``fixed=``);
- kalman self-fit: a Kalman filter fitted to a local-level series (four free parameters);
- td responses: TD learning fitted to Gaussian responses (``initial_value``, ``learning_rate``,
  ``zeta``).

The Kalman and TD participants come from benchmarks/recovery.py's generators (its ranges of true
parameters), at 200 trials. Each case times, per participant:

- the SciPy route, ``scipy_route.fit`` (tests/scipy_route.py): L-BFGS-B from SciPy step by step in
  Python over the engine's objective, then the Hessian by differences of exact gradients (what
  ``velmora.fit`` was before it ran natively);
- ``velmora.fit``: the native fit (BFGS, Hessian, standard errors and Laplace evidence in C++), plus
  the trajectory at the estimate in Python;
- ``velmora.arrays.fit(..., threads=1)``: every participant of the case in one native batch on one
  thread (each from seed 0, as ``velmora.fit``), its time divided by the number of participants;
- for the HGF case also the fit a user would write without velmora.fit: ``velmora.hgf_run``'s list
  result turned into a NumPy array, the Gaussian response likelihood and the priors in NumPy,
  L-BFGS-B with finite differences.

Prints Markdown tables of medians over participants (each participant's times are the median of its
repeats; the routes' samples alternate, so that they share the machine's noise), objective
evaluations per fit (counted apart, untimed; the Hessian's included) and each route's speed-up
over the SciPy route; then how often the native optimum's neg_log_joint is at most the SciPy
route's + 1e-6 (each the best over its own starts: the SciPy route draws them from numpy's
default_rng, the native fit from the engine's seeded generator).

Run through `bash benchmarks/run`, or directly: `python3 benchmarks/fitting.py [--quick]`.
"""

from __future__ import annotations

import os

# One BLAS thread: L-BFGS-B's small vector operations gain nothing from more, and on a shared
# 2-core machine idle BLAS threads spinning slow every iteration several-fold (see the README).
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import sys  # noqa: E402

# The SciPy route is a reference kept beside the tests, not shipped in the wheel.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

import argparse  # noqa: E402
import math  # noqa: E402
import multiprocessing  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402
from collections.abc import Callable  # noqa: E402
from dataclasses import dataclass, replace  # noqa: E402

import numpy as np  # noqa: E402
import recovery  # noqa: E402
from report import print_sections  # noqa: E402
from scipy.optimize import minimize  # noqa: E402

import velmora  # noqa: E402
import velmora.arrays as va  # noqa: E402
import scipy_route  # noqa: E402

from velmora import _engine, fitting  # noqa: E402
from velmora.models import PARAMS, RESPONSE_PARAMS  # noqa: E402

TRIALS = 200
N_STARTS = 4
SEED = 0
HELD = {"base_process_noise": math.exp(PARAMS["hgf"]["base_process_noise"].prior[0])}  # its prior centre
TOLERANCE = 1e-6


@dataclass(frozen=True)
class Bench:
    title: str
    model: str
    self_fit: bool
    fixed: dict[str, float]
    data: Callable[[int], tuple[np.ndarray, np.ndarray | None]]  # participant index -> inputs, responses


# ------------------------------------------------------------------------------------- data


def hgf_participant(index: int) -> tuple[np.ndarray, np.ndarray | None]:
    """Observations of a noisy random walk, and responses simulated by velmora.simulate with
    parameters drawn within one unit of the prior centres (log scale)."""
    rng = np.random.default_rng(1000 + index)
    x = np.cumsum(rng.normal(0.0, 0.3, TRIALS)) + rng.normal(0.0, 1.0, TRIALS)
    truth = {
        "obs_noise": math.exp(rng.uniform(-1.0, 1.0)),
        "precision_flexibility": math.exp(rng.uniform(-1.0, 1.0)),
        "zeta": math.exp(rng.uniform(math.log(0.05), math.log(0.5))),
        **HELD,
    }
    return x, velmora.simulate("hgf", x, truth, seed=index + 1).responses


def recovery_participant(title: str) -> Callable[[int], tuple[np.ndarray, np.ndarray | None]]:
    """Participants of recovery.py's case ``title``, at TRIALS trials."""
    case_index = next(i for i, case in enumerate(recovery.CASES) if case.title == title)
    case = replace(recovery.CASES[case_index], trials=TRIALS)

    def data(index: int) -> tuple[np.ndarray, np.ndarray | None]:
        x, y, _ = recovery.simulate(case, np.random.default_rng([case_index, index]))
        return x, y

    return data


BENCHES = [
    Bench("HGF, Gaussian responses, 3 free parameters", "hgf", False, HELD, hgf_participant),
    Bench("Kalman self-fit, 4 free parameters", "kalman", True, {}, recovery_participant("kalman self-fit")),
    Bench("TD, Gaussian responses, 3 free parameters", "td", False, {}, recovery_participant("td responses")),
]


# ------------------------------------------------------------------------- the list-API fit


class ListBaseline:
    """What a user writes without velmora.fit: the list API, NumPy for the likelihood and prior,
    SciPy's finite-difference gradient, from starts drawn as the SciPy route draws them."""

    def __init__(self, x: np.ndarray, y: np.ndarray, fixed: dict[str, float]):
        table = {**PARAMS["hgf"], **RESPONSE_PARAMS["gaussian"]}
        self.x, self.y = list(x), y
        self.held = {name: p.held for name, p in table.items() if p.held is not None}
        self.held.update(fixed)
        self.free = [name for name in table if name not in self.held]
        self.transforms = [table[name].transform for name in self.free]
        self.prior_mean = np.array([table[name].prior[0] for name in self.free])
        self.prior_var = np.array([table[name].prior[1] for name in self.free])
        self.evaluations = 0

    def natural(self, theta: np.ndarray) -> dict[str, float]:
        values = dict(self.held)
        for name, transform, t in zip(self.free, self.transforms, theta):
            values[name] = (
                math.exp(t) if transform == "log" else 1.0 / (1.0 + math.exp(-t)) if transform == "logit" else float(t)
            )
        return values

    def __call__(self, theta: np.ndarray) -> float:
        self.evaluations += 1
        p = self.natural(theta)
        try:
            rows = velmora.hgf_run(
                self.x,
                p["obs_noise"],
                p["precision_flexibility"],
                p["base_process_noise"],
                p["mu1"],
                p["var1"],
                p["mu2"],
            )
        except (velmora.VelmoraException, OverflowError):
            return math.inf
        prediction = np.array(rows)[:, 1]
        zeta = p["zeta"]
        seen = ~np.isnan(self.y)
        r = self.y[seen] - prediction[seen]
        nll = 0.5 * float(np.sum(np.log(2.0 * np.pi * zeta) + r * r / zeta))
        d = theta - self.prior_mean
        return nll + 0.5 * float(np.sum(d * d / self.prior_var + np.log(2.0 * np.pi * self.prior_var)))

    def fit(self) -> float:
        rng = np.random.default_rng(SEED)
        starts = [self.prior_mean] + [rng.normal(self.prior_mean, np.sqrt(self.prior_var)) for _ in range(N_STARTS - 1)]
        results = [minimize(self, theta0, method="L-BFGS-B") for theta0 in starts]
        return min(r.fun for r in results if math.isfinite(r.fun))


# ------------------------------------------------------------------------------ measuring


def count_objective_calls(call: Callable[[], object]) -> int:
    """Calls of the engine's objective during `call()` (the SciPy route's evaluations), by wrapping it."""
    original = _engine.objective
    calls = 0

    def counted(*args, **options):
        nonlocal calls
        calls += 1
        return original(*args, **options)

    _engine.objective = counted
    try:
        call()
    finally:
        _engine.objective = original
    return calls


def timed(calls: list[Callable[[], object]], repeats: int, min_sample: float = 0.05) -> list[float]:
    """Median seconds of one call of each of `calls`; each sample loops a call until it lasts
    `min_sample` s, and the calls' samples alternate so that they share the machine's noise."""
    loops = []
    for call in calls:
        call()  # warm-up
        n = 1
        while True:
            start = time.perf_counter()
            for _ in range(n):
                call()
            if time.perf_counter() - start >= min_sample:
                break
            n *= 2
        loops.append(n)
    samples: list[list[float]] = [[] for _ in calls]
    for _ in range(repeats):
        for call, n, out in zip(calls, loops, samples):
            start = time.perf_counter()
            for _ in range(n):
                call()
            out.append((time.perf_counter() - start) / n)
    return [statistics.median(out) for out in samples]


def transformed(model: str, result: velmora.FitResult) -> np.ndarray:
    """The free parameters' estimates in the space they are optimised in."""
    table = {**PARAMS[model], **RESPONSE_PARAMS["gaussian"]}
    return np.array([recovery.to_transformed(table[name].transform, result.params[name]) for name in result.free])


def bench_table(bench: Bench, participants: int, repeats: int) -> list[str]:
    data = [bench.data(i) for i in range(participants)]
    options = {"fixed": bench.fixed, "n_starts": N_STARTS, "seed": SEED}
    inputs = np.array([x for x, _ in data])
    responses = None if bench.self_fit else np.array([y for _, y in data])
    seeds = np.full(participants, SEED, dtype=np.uint64)  # velmora.fit's own starts, for each participant

    def batch() -> fitting.FitArrays:
        return va.fit(bench.model, inputs, responses, fixed=bench.fixed, n_starts=N_STARTS, seeds=seeds, threads=1)

    fits = batch()
    native = [velmora.fit(bench.model, x, y, **options) for x, y in data]
    scipy = [scipy_route.fit(bench.model, x, y, **options) for x, y in data]
    same = all(
        f.neg_log_joint == fits.neg_log_joint[i] and f.params == fits.result(i).params for i, f in enumerate(native)
    )
    list_api = bench.model == "hgf" and not bench.self_fit
    rows: dict[str, list[float]] = {"scipy": [], "fit": [], "batch": [], "list": []}
    for x, y in data:
        calls = [
            lambda: scipy_route.fit(bench.model, x, y, **options),
            lambda: velmora.fit(bench.model, x, y, **options),
            lambda: batch(),
        ]
        if list_api:
            calls.append(lambda: ListBaseline(x, y, bench.fixed).fit())
        seconds = timed(calls, repeats)
        seconds[2] /= participants
        for key, s in zip(rows, seconds):
            rows[key].append(s)
    scipy_n = [count_objective_calls(lambda: scipy_route.fit(bench.model, x, y, **options)) for x, y in data]
    med = {key: statistics.median(v) for key, v in rows.items() if v}
    ratio = {key: [s / f for s, f in zip(rows["scipy"], rows[key])] for key in ("fit", "batch")}
    evaluations = statistics.median(fits.evaluations.tolist())
    nlj_native = np.array([f.neg_log_joint for f in native])
    nlj_scipy = np.array([f.neg_log_joint for f in scipy])
    diff = nlj_native - nlj_scipy
    good = diff <= TOLERANCE
    estimates = np.array(
        [
            float(np.max(np.abs(transformed(bench.model, f) - transformed(bench.model, s))))
            for f, s in zip(native, scipy)
        ]
    )
    table = [
        "| route, one thread | ms per participant | objective evaluations per fit | SciPy route / route |",
        "|---|---|---|---|",
        f"| SciPy route (`tests/scipy_route.py`, L-BFGS-B in Python) | {med['scipy'] * 1e3:.2f} | "
        f"{statistics.median(scipy_n):.0f} | 1.00x |",
        f"| `velmora.fit` (native, with Hessian, SEs, lme, trajectory) | {med['fit'] * 1e3:.3f} | "
        f"{evaluations:.0f} | {med['scipy'] / med['fit']:.1f}x |",
        f"| `velmora.arrays.fit(..., threads=1)`, {participants} participants in one batch | "
        f"{med['batch'] * 1e3:.3f} | {evaluations:.0f} | {med['scipy'] / med['batch']:.1f}x |",
    ]
    if list_api:
        table.append(
            f"| for scale: `hgf_run` list + NumPy + L-BFGS-B, finite differences | {med['list'] * 1e3:.1f} | "
            "| " + f"{med['scipy'] / med['list']:.2f}x |"
        )
    table += [
        "",
        f"Medians over {participants} participants, each timed as the median of {repeats} samples of at least "
        f"0.05 s, the routes' samples interleaved. Per participant, SciPy route / `velmora.fit` ranged "
        f"{min(ratio['fit']):.1f}x-{max(ratio['fit']):.1f}x ({sum(r < 10.0 for r in ratio['fit'])} below 10x), "
        f"SciPy route / batch {min(ratio['batch']):.1f}x-{max(ratio['batch']):.1f}x. Evaluations: value and "
        f"gradient, Hessian and the flatness checks included; native median, range "
        f"{int(fits.evaluations.min())}-{int(fits.evaluations.max())}. The batch "
        f"{'gave' if same else 'did NOT give'} the very estimates and neg_log_joint of `velmora.fit`; "
        f"converged: native {int(fits.converged.sum())}, SciPy route {sum(s.converged for s in scipy)} "
        f"of {participants}.",
        f"Optimum: native neg_log_joint <= SciPy route's + {TOLERANCE:g} for {int(good.sum())} of {participants} "
        f"({float(good.mean()):.0%}); native - SciPy median {float(np.median(diff)):+.2g}, "
        f"range {float(diff.min()):+.2g} to {float(diff.max()):+.2g}; largest |difference| of the estimates in "
        f"the transformed space median {float(np.median(estimates)):.2g}, worst {float(estimates.max()):.2g}.",
    ]
    return table


# ------------------------------------------------------------------------------------ main


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer participants and repeats (under a minute)")
    parser.add_argument("--participants", type=int, help="participants per case (default 20, or 5 with --quick)")
    parser.add_argument("--repeats", type=int, help="timed samples per participant (default 5, or 1 with --quick)")
    args = parser.parse_args()
    participants = args.participants or (5 if args.quick else 20)
    repeats = args.repeats or (1 if args.quick else 5)
    from importlib.metadata import version

    print(
        f"\nvelmora {version('velmora')} on {multiprocessing.cpu_count()} CPUs, NumPy {np.__version__}, "
        f"OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS')}; load average before: "
        f"{', '.join(f'{x:.2f}' for x in os.getloadavg())}"
    )
    print_sections(
        [
            (
                f"{bench.title}, {TRIALS} trials, {N_STARTS} starts",
                lambda bench=bench: bench_table(bench, participants, repeats),
            )
            for bench in BENCHES
        ]
    )


if __name__ == "__main__":
    main()
