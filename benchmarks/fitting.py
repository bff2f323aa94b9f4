"""Fitting speed: velmora.fit against the fit a user would write today from the list API and SciPy.

The case: an HGF fitted to Gaussian responses, 200 trials, three free parameters (``obs_noise``,
``precision_flexibility``, ``zeta``; ``base_process_noise`` held at its prior centre through
``fixed=``), four starts, over simulated participants. Both fits run L-BFGS-B with SciPy's default
tolerances from the same starts (the prior means, then draws from the priors with
``numpy.random.default_rng(seed)``) under the same priors, which are read from velmora.fitting's
tables. The baseline's objective is ``velmora.hgf_run``'s list result turned into a NumPy array,
the Gaussian response log-likelihood around its ``prediction`` column and the log prior in NumPy;
its gradient is SciPy's finite differences (``jac=None``). velmora.fit uses the native objective
with exact forward-mode gradients.

Prints Markdown tables of medians over participants (each participant's times are the median of
its repeats): seconds per fit, objective evaluations per fit (counted in a separate, untimed pass),
the ratio, and the largest difference between the two estimates in the transformed space.
velmora.fit also computes the Hessian, standard errors and the trajectory at the estimate, so its
optimisation alone (the same starts loop over velmora.fitting's own objective, without those
extras) is timed as well.

As a reference, pyhgf's continuous two-level HGF is fitted to data of the same shape by the route
its documentation shows (``HGFDistribution`` inside a PyMC model, posterior by NUTS with
``pm.sample(chains=2, cores=1, tune=1000)``), with three free parameters; the JAX/PyTensor compile
of each participant's model (its data are part of the compiled program) is timed apart. That is
sampling, not a point estimate, so it answers a different question and is shown as a reference
only; PyMC's generic ``find_MAP`` on the same model is shown beside it.

Run through `bash benchmarks/run`, or directly: `python3 benchmarks/fitting.py [--quick]`.
"""

from __future__ import annotations

import os

# One BLAS thread: L-BFGS-B's small vector operations gain nothing from more, and on a shared
# 2-core machine idle BLAS threads spinning slow every iteration several-fold (see the README).
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import math  # noqa: E402
import multiprocessing  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402
from collections.abc import Callable  # noqa: E402

import numpy as np  # noqa: E402
from report import print_sections  # noqa: E402
from scipy.optimize import minimize  # noqa: E402

import velmora  # noqa: E402
from velmora import _scipy_route, fitting, models  # noqa: E402

TRIALS = 200
N_STARTS = 4
SEED = 0
HELD = {"base_process_noise": models.PARAMS["hgf"]["base_process_noise"].prior[0]}
HELD = {name: math.exp(value) for name, value in HELD.items()}  # the prior centre, natural units
NA = "n/a"


# ------------------------------------------------------------------------------------- data


def participant(index: int) -> tuple[np.ndarray, np.ndarray, dict[str, float]]:
    """Observations of a noisy random walk, and responses simulated by velmora.simulate with
    parameters drawn within one unit of the prior centres (log scale)."""
    rng = np.random.default_rng(1000 + index)
    x = np.cumsum(rng.normal(0.0, 0.3, TRIALS)) + rng.normal(0.0, 1.0, TRIALS)
    truth = {"obs_noise": math.exp(rng.uniform(-1.0, 1.0)),
             "precision_flexibility": math.exp(rng.uniform(-1.0, 1.0)),
             "zeta": math.exp(rng.uniform(math.log(0.05), math.log(0.5))), **HELD}
    y = velmora.simulate("hgf", x, truth, seed=index + 1).responses
    return x, y, truth


# ------------------------------------------------------------------------- the baseline fit


class Baseline:
    """What a user writes today: the list API, NumPy for the likelihood and prior, SciPy's
    finite-difference gradient."""

    def __init__(self, x: np.ndarray, y: np.ndarray, fixed: dict[str, float]):
        table = {**models.PARAMS["hgf"], "zeta": models.ZETA}
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
            values[name] = math.exp(t) if transform == "log" else \
                1.0 / (1.0 + math.exp(-t)) if transform == "logit" else float(t)
        return values

    def __call__(self, theta: np.ndarray) -> float:
        self.evaluations += 1
        p = self.natural(theta)
        try:
            rows = velmora.hgf_run(self.x, p["obs_noise"], p["precision_flexibility"], p["base_process_noise"],
                                   p["mu1"], p["var1"], p["mu2"])
        except (velmora.VelmoraException, OverflowError):
            return math.inf
        prediction = np.array(rows)[:, 1]
        zeta = p["zeta"]
        seen = ~np.isnan(self.y)
        r = self.y[seen] - prediction[seen]
        nll = 0.5 * float(np.sum(np.log(2.0 * np.pi * zeta) + r * r / zeta))
        d = theta - self.prior_mean
        return nll + 0.5 * float(np.sum(d * d / self.prior_var + np.log(2.0 * np.pi * self.prior_var)))

    def fit(self) -> tuple[np.ndarray, float]:
        rng = np.random.default_rng(SEED)
        starts = [self.prior_mean] + [rng.normal(self.prior_mean, np.sqrt(self.prior_var))
                                      for _ in range(N_STARTS - 1)]
        best = None
        for theta0 in starts:
            result = minimize(self, theta0, method="L-BFGS-B")
            if math.isfinite(result.fun) and (best is None or result.fun < best.fun):
                best = result
        assert best is not None
        return np.asarray(best.x), float(best.fun)


# ------------------------------------------------------------------------ velmora's side


def velmora_fit(x: np.ndarray, y: np.ndarray) -> velmora.FitResult:
    return velmora.fit("hgf", x, y, fixed=HELD, n_starts=N_STARTS, seed=SEED)


def velmora_optimise_only(x: np.ndarray, y: np.ndarray) -> float:
    """velmora.fit's starts loop on its own objective, without the Hessian, SEs and trajectory."""
    problem = _scipy_route.Objective(fitting._problem("hgf", "gaussian", x, y, dict(HELD), {})[0])
    rng = np.random.default_rng(SEED)
    starts = [problem.prior_mean] + [rng.normal(problem.prior_mean, np.sqrt(problem.prior_var))
                                     for _ in range(N_STARTS - 1)]
    return min(minimize(problem, theta0, jac=True, method="L-BFGS-B").fun for theta0 in starts)


def transformed(result: velmora.FitResult, names: list[str]) -> np.ndarray:
    table = {**models.PARAMS["hgf"], "zeta": models.ZETA}
    out = []
    for name in names:
        value, transform = result.params[name], table[name].transform
        assert value is not None
        out.append(math.log(value) if transform == "log" else
                   math.log(value / (1.0 - value)) if transform == "logit" else value)
    return np.array(out)


def count_native_evaluations(call: Callable[[], object]) -> int:
    """Calls of the native objective during `call()`, by wrapping it."""
    engine = fitting._engine
    original = engine.objective
    calls = 0

    def counted(*args):
        nonlocal calls
        calls += 1
        return original(*args)

    engine.objective = counted
    try:
        call()
    finally:
        engine.objective = original
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


def velmora_table(participants: int, repeats: int) -> list[str]:
    keys = ("base_s", "base_n", "fit_s", "opt_s", "fit_n", "opt_n", "diff", "dobj")
    rows: dict[str, list[float]] = {k: [] for k in keys}
    converged = 0
    for i in range(participants):
        x, y, _ = participant(i)
        baseline = Baseline(x, y, HELD)
        theta_base, f_base = baseline.fit()
        baseline.evaluations = 0
        baseline.fit()
        rows["base_n"].append(baseline.evaluations)
        result = velmora_fit(x, y)
        converged += result.converged
        base_s, fit_s, opt_s = timed([lambda: Baseline(x, y, HELD).fit(), lambda: velmora_fit(x, y),
                                      lambda: velmora_optimise_only(x, y)], repeats)
        rows["base_s"].append(base_s)
        rows["fit_s"].append(fit_s)
        rows["opt_s"].append(opt_s)
        rows["fit_n"].append(count_native_evaluations(lambda: velmora_fit(x, y)))
        rows["opt_n"].append(count_native_evaluations(lambda: velmora_optimise_only(x, y)))
        rows["diff"].append(float(np.max(np.abs(transformed(result, baseline.free) - theta_base))))
        rows["dobj"].append(abs(result.neg_log_joint - f_base))
    med = {k: statistics.median(v) for k, v in rows.items()}
    fit_ratio, opt_ratio = med["base_s"] / med["fit_s"], med["base_s"] / med["opt_s"]
    ratios = [b / f for b, f in zip(rows["base_s"], rows["fit_s"])]
    return [
        "| route | ms per fit | objective evaluations per fit | baseline / route |",
        "|---|---|---|---|",
        f"| baseline: `hgf_run` list + NumPy + L-BFGS-B, finite differences | {med['base_s'] * 1e3:.1f} | "
        f"{med['base_n']:.0f} (each gradient costs 1 + 3 runs) | 1.00x |",
        f"| `velmora.fit` (with Hessian, SEs, trajectory) | {med['fit_s'] * 1e3:.1f} | "
        f"{med['fit_n']:.0f} native (value + exact gradient; the Hessian's included) | {fit_ratio:.2f}x |",
        f"| `velmora.fit`'s optimisation only | {med['opt_s'] * 1e3:.1f} | {med['opt_n']:.0f} native | "
        f"{opt_ratio:.2f}x |",
        "",
        f"Medians over {participants} participants, each timed as the median of {repeats} samples of at least "
        f"0.05 s, the three routes' samples interleaved; per-participant "
        f"baseline / velmora.fit ranged {min(ratios):.2f}x-{max(ratios):.2f}x, "
        f"{sum(r < 4.0 for r in ratios)} of {participants} below the goal of 4x. "
        f"velmora.fit converged for {converged} of {participants}.",
        f"Agreement: largest |difference| of the estimates in the transformed space, median "
        f"{med['diff']:.2g}, worst {max(rows['diff']):.2g}; of the neg-log-joint at the optimum, "
        f"median {med['dobj']:.2g}, worst {max(rows['dobj']):.2g}.",
    ]


# ------------------------------------------------------------------------------ pyhgf reference


def pyhgf_table(participants: int, tune: int, draws: int) -> list[str]:
    try:
        import jax

        jax.config.update("jax_enable_x64", True)
        import logging

        import pymc as pm
        import pyhgf
        from pyhgf.distribution import HGFDistribution
        from pyhgf.response import first_level_gaussian_surprise
    except ImportError as error:
        return [f"pyhgf reference not run: {error}"]
    logging.getLogger("pymc").setLevel(logging.ERROR)
    compile_s, sample_s, map_s, velmora_s = [], [], [], []
    for i in range(participants):
        x, _, _ = participant(i)
        start = time.perf_counter()
        op = HGFDistribution(n_levels=2, model_type="continuous", input_data=x[np.newaxis],
                             response_function=first_level_gaussian_surprise)
        with pm.Model() as model:
            omega_1 = pm.Normal("tonic_volatility_1", -3.0, 2.0)
            omega_2 = pm.Normal("tonic_volatility_2", -3.0, 2.0)
            log_pi_u = pm.Normal("log_input_precision", 0.0, 2.0)
            pm.Potential("hgf", op(tonic_volatility_1=omega_1, tonic_volatility_2=omega_2,
                                   input_precision=pm.math.exp(log_pi_u), mean_1=np.array(0.0),
                                   precision_1=np.array(1.0), precision_2=np.array(1.0)))
        point = model.initial_point()
        model.compile_logp()(point)
        model.compile_dlogp()(point)
        compile_s.append(time.perf_counter() - start)
        start = time.perf_counter()
        with model:
            pm.sample(draws=draws, tune=tune, chains=2, cores=1, progressbar=False, random_seed=i,
                      compute_convergence_checks=False)
        sample_s.append(time.perf_counter() - start)
        start = time.perf_counter()
        with model:
            pm.find_MAP(progressbar=False)
        map_s.append(time.perf_counter() - start)
        velmora_s.append(timed([lambda: velmora.fit("hgf", x, n_starts=N_STARTS, seed=SEED)], 3)[0])
    med = statistics.median
    return [
        "| pyhgf route (per participant) | seconds | note |",
        "|---|---|---|",
        f"| compile: build the model, first log-density and gradient | {med(compile_s):.2f} | JAX jit and "
        "PyTensor; repeated per participant, whose data are baked into the op |",
        f"| `pm.sample` NUTS, 2 chains x ({tune} tune + {draws} draws), 1 core | {med(sample_s):.2f} | "
        "the documented route: a posterior, not a point estimate |",
        f"| `pm.find_MAP` on the same model | {med(map_s):.2f} | PyMC's generic MAP (not in pyhgf's "
        "docs); includes PyMC's own compile of its objective |",
        f"| for scale: `velmora.fit(\"hgf\", x)` on the same series | {med(velmora_s):.4f} | velmora's own HGF "
        "self-fit, 3 free (obs_noise, precision_flexibility, base_process_noise), 4 starts, no compile step |",
        "",
        f"pyhgf {pyhgf.__version__}, PyMC {pm.__version__}, JAX {jax.__version__}; medians over "
        f"{participants} participant(s), self-fit of the observations (pyhgf's continuous HGF with "
        "`first_level_gaussian_surprise`), free: tonic volatility 1 and 2 and the log input precision.",
    ]


# ------------------------------------------------------------------------------------ main


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer participants and repeats (under a minute)")
    parser.add_argument("--no-pyhgf", action="store_true", help="skip the pyhgf reference")
    args = parser.parse_args()
    participants, repeats = (5, 1) if args.quick else (20, 5)
    from importlib.metadata import version

    print(f"\nvelmora {version('velmora')} on {multiprocessing.cpu_count()} CPUs, NumPy {np.__version__}, "
          f"OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS')}")
    sections = [(f"Fitting an HGF to Gaussian responses, {TRIALS} trials, 3 free parameters, {N_STARTS} starts",
                 lambda: velmora_table(participants, repeats))]
    if not args.no_pyhgf:
        tune, draws = (200, 200) if args.quick else (1000, 1000)
        sections.append((f"Reference: pyhgf, continuous two-level HGF, {TRIALS} trials",
                         lambda: pyhgf_table(1 if args.quick else 3, tune, draws)))
    print_sections(sections)


if __name__ == "__main__":
    main()
