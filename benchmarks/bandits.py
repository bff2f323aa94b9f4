"""Choices among K options (rw, rw_dual, rw_fictitious with softmax): speed, parameter and model
recovery on closed-loop simulated data, and the native fit against a SciPy route with the same priors.

    python3 benchmarks/bandits.py            # the full run (several minutes on two busy cores)
    python3 benchmarks/bandits.py --quick    # fewer participants and repeats (under a minute)
    python3 benchmarks/bandits.py --parts ad # only (a) and (d)

(a) One participant, rw + softmax, 200 trials, two options, default priors and starts: the median
    wall and CPU time of one ``velmora.fit`` (and with ``n_starts=1``), and per participant of
    ``velmora.arrays.fit(threads=1)`` over 200 participants; against a lean hand-written SciPy fit
    of the same model and priors timed in the same run: ``scipy.optimize.minimize(method="L-BFGS-B")``
    from the prior means with its own numerical gradient, on one BLAS thread, over a loop over
    trials on NumPy arrays (as a researcher writes it) and over Python floats (the fastest such loop).
(b) 10,000 participants x 200 trials in one ``velmora.arrays.fit`` call on 2 threads (wall time).
(c) Recovery on closed-loop simulated data, 200 trials: a two-armed bandit paying 1 with
    probability 0.8/0.2 (else 0), reversing every 40 trials; a four-armed restless bandit whose
    reward probabilities start uniform in [0.25, 0.75] and take Gaussian steps (sd 0.05) clipped to
    [0.25, 0.75]. True values are drawn uniformly over the prior mean +- 1 prior sd on the transformed
    scale (logit learning_rate in [-1.5, 1.5], log beta in [-4, 4]); the narrower beta row draws log
    beta in [0.5, 3] (beta 1.6 to 20), where choices follow the values closely enough to say much
    about the learning rate. r is Pearson's between truth and estimate on the transformed scale; the
    Laplace interval is estimate +- 1.96 se there (se mapped from the natural scale by the
    transform's slope). Model recovery: each of rw, rw_dual, rw_fictitious simulated on the reversal
    task, every one fitted, the winner chosen by the highest lme and by the lowest BIC; outcomes
    coded 1/0 and +1/-1 (rw_fictitious's unchosen option learns toward -r); rw_dual's rates drawn
    independently, and in a last variant at least 1.5 apart on the logit scale.
(d) The native fit against a SciPy route over the engine's objective and exact gradient with the
    same priors (L-BFGS-B from the prior means and 3 draws from the priors), on 200 participants of
    the reversal task; both estimates' negative log joint evaluated by the NumPy implementation in
    tests/bandit_reference.py.
"""

from __future__ import annotations

import argparse
import math
import os
import statistics
import sys
import time
from collections.abc import Callable, Mapping
from pathlib import Path

import numpy as np

import velmora
import velmora.arrays as va
from velmora import _engine
from velmora import choices as vc
from velmora.models import PARAMS, RESPONSE_PARAMS
from velmora.results import FitArrays

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import bandit_reference as ref

TRIALS = 200
HELD = {"initial_value": 0.0, "decay": 0.0, "perseveration": 0.0, "lapse": 0.0}
RECOVERED = ("rw", "rw_dual", "rw_fictitious")


def reversal(seed: int, values: tuple[float, float] = (1.0, 0.0), n: int = TRIALS) -> np.ndarray:
    block = np.array([[0.8, 0.2]] * 40 + [[0.2, 0.8]] * 40)
    probabilities = np.tile(block, (n // 80 + 1, 1))[:n]
    return vc.payoffs(probabilities, seed=seed, values=values)


def restless(seed: int, k: int = 4, n: int = TRIALS) -> np.ndarray:
    rng = np.random.default_rng(seed)
    p = np.empty((n, k))
    p[0] = rng.uniform(0.25, 0.75, k)
    for t in range(1, n):
        p[t] = np.clip(p[t - 1] + rng.normal(0.0, 0.05, k), 0.25, 0.75)
    return vc.payoffs(p, seed=seed)


def draw(model: str, rng: np.random.Generator, log_beta: tuple[float, float]) -> dict[str, float]:
    """Natural values drawn uniformly over the prior mean +- 1 prior sd of each free parameter."""
    params = dict(HELD)
    for name, declared in PARAMS[model].items():
        if declared.held is not None:
            continue
        mean, var = declared.prior
        params[name] = ref.natural(declared.transform, rng.uniform(mean - math.sqrt(var), mean + math.sqrt(var)))
    params["beta"] = math.exp(rng.uniform(*log_beta))
    return params


def simulate(
    model: str, truths: list[dict[str, float]], table: Callable[[int], np.ndarray], seed: int
) -> tuple[np.ndarray, np.ndarray]:
    """Outcomes and choices (option indices), participants x trials."""
    out, chosen = [], []
    for i, truth in enumerate(truths):
        c, o = vc.closed_loop(model, "softmax", table(seed + i), {**HELD, **truth}, seed=seed + 7919 * (i + 1))
        out.append(o)
        chosen.append(c)
    return np.array(out), np.array(chosen)


def fit_all(model: str, outcomes: np.ndarray, choices: np.ndarray, k: int, threads: int = 2) -> FitArrays:
    return va.fit(model, outcomes, choices, response_model="softmax", options=list(range(k)), threads=threads)


def median_ms(samples: list[float]) -> float:
    return statistics.median(samples) * 1e3


# (a) speed.


def rw_softmax_nll_numpy(outcomes: np.ndarray, choices: np.ndarray, learning_rate: float, beta: float) -> float:
    """rw with softmax over two options as a researcher writes it: a loop over trials on NumPy arrays."""
    q = np.zeros(2)
    total = 0.0
    for t in range(len(choices)):
        u = beta * q
        top = u.max()
        log_p = u - top - np.log(np.exp(u - top).sum())
        c = int(choices[t])
        total -= log_p[c]
        q[c] += learning_rate * (outcomes[t] - q[c])
    return float(total)


def rw_softmax_nll_flat(outcomes: np.ndarray, choices: np.ndarray, learning_rate: float, beta: float) -> float:
    """The same over Python floats, no array per trial: the fastest plain-Python loop."""
    q0 = q1 = 0.0
    total = 0.0
    for r, c in zip(outcomes.tolist(), choices.tolist()):
        d = beta * (q1 - q0) if c == 0 else beta * (q0 - q1)
        # -log P(c) = log(1 + exp(d)), d the other option's utility over the chosen one's.
        total += d + math.log1p(math.exp(-d)) if d > 0 else math.log1p(math.exp(d))
        if c == 0:
            q0 += learning_rate * (r - q0)
        else:
            q1 += learning_rate * (r - q1)
    return total


def lean_scipy_fit(
    outcomes: np.ndarray, choices: np.ndarray, nll: Callable[..., float] = rw_softmax_nll_numpy
) -> tuple[np.ndarray, float]:
    """rw + softmax over two options by L-BFGS-B on logit learning_rate and log beta under the
    default priors, from the prior means, with SciPy's own finite-difference gradient: the fit a
    researcher writes."""
    from scipy.optimize import minimize

    lr_mean, lr_var = PARAMS["rw"]["learning_rate"].prior
    beta_mean, beta_var = RESPONSE_PARAMS["softmax"]["beta"].prior
    means, variances = np.array([lr_mean, beta_mean]), np.array([lr_var, beta_var])

    def objective(theta: np.ndarray) -> float:
        rate = ref.natural("logit", theta[0])
        beta = ref.natural("log", theta[1])
        return nll(outcomes, choices, rate, beta) + ref.neg_log_prior(theta, means, variances)

    result = minimize(objective, means, method="L-BFGS-B")
    return result.x, float(result.fun)


def speed(rows: list[tuple[str, str]], quick: bool) -> None:
    from threadpoolctl import threadpool_limits

    n = 200
    rng = np.random.default_rng(1)
    truths = [draw("rw", rng, (0.5, 3.0)) for _ in range(n)]
    outcomes, choices = simulate("rw", truths, reversal, seed=10_000)

    velmora.fit("rw", outcomes[0], choices[0], response_model="softmax")  # warm up
    # Wall time, and CPU time (process_time), which other jobs on a shared machine inflate less.
    single: dict[int, list[tuple[float, float]]] = {4: [], 1: []}
    for n_starts, times in single.items():
        for i in range(60 if quick else n):
            wall, cpu = time.perf_counter(), time.process_time()
            velmora.fit("rw", outcomes[i], choices[i], response_model="softmax", n_starts=n_starts)
            times.append((time.perf_counter() - wall, time.process_time() - cpu))
    batch = []
    for _ in range(2 if quick else 5):
        wall, cpu = time.perf_counter(), time.process_time()
        fits = fit_all("rw", outcomes, choices, 2, threads=1)
        batch.append(((time.perf_counter() - wall) / n, (time.process_time() - cpu) / n))

    # One BLAS thread: idle OpenBLAS threads spinning between SciPy's small vector operations make
    # the same fit ten times slower or more on a busy machine.
    lean: dict[str, list[tuple[float, float]]] = {"numpy": [], "flat": []}
    with threadpool_limits(limits=1, user_api="blas"):
        for kind, nll in (("numpy", rw_softmax_nll_numpy), ("flat", rw_softmax_nll_flat)):
            for i in range(5 if quick else 30):
                wall, cpu = time.perf_counter(), time.process_time()
                lean_scipy_fit(outcomes[i], choices[i], nll)
                lean[kind].append((time.perf_counter() - wall, time.process_time() - cpu))

    def ms(samples: list[tuple[float, float]]) -> tuple[float, float]:
        return median_ms([w for w, _ in samples]), median_ms([c for _, c in samples])

    fit4, fit1, per = ms(single[4]), ms(single[1]), ms(batch)
    rows += [
        ("(a) velmora.fit, default starts (4), median ms wall / CPU (target <= 0.3)", f"{fit4[0]:.3f} / {fit4[1]:.3f}"),
        ("(a) velmora.fit, n_starts=1, median ms wall / CPU", f"{fit1[0]:.3f} / {fit1[1]:.3f}"),
        (
            "(a) arrays.fit(threads=1) over 200, default starts, ms per participant wall / CPU",
            f"{per[0]:.3f} / {per[1]:.3f}",
        ),
        (
            "(a)   objective evaluations / iterations per fit, median",
            f"{np.median(fits.evaluations):.0f} / {np.median(fits.iterations):.0f}",
        ),
    ]
    for kind, label in (("numpy", "NumPy loop"), ("flat", "Python-float loop")):
        scipy = ms(lean[kind])
        rows += [
            (
                f"(a) lean SciPy L-BFGS-B fit, {label}, median ms wall / CPU ({len(lean[kind])} participants)",
                f"{scipy[0]:.1f} / {scipy[1]:.1f}",
            ),
            (
                f"(a)   {label}: SciPy / velmora.fit default starts, wall / CPU (target >= 100x)",
                f"{scipy[0] / fit4[0]:.0f}x / {scipy[1] / fit4[1]:.0f}x",
            ),
            (
                f"(a)   {label}: SciPy / arrays.fit per participant, wall / CPU",
                f"{scipy[0] / per[0]:.0f}x / {scipy[1] / per[1]:.0f}x",
            ),
            (
                f"(a)   {label}: SciPy / velmora.fit n_starts=1 (the SciPy fit's one start), wall / CPU",
                f"{scipy[0] / fit1[0]:.0f}x / {scipy[1] / fit1[1]:.0f}x",
            ),
        ]


# (b) many participants on two threads.


def many(rows: list[tuple[str, str]], quick: bool) -> None:
    n = 1000 if quick else 10_000
    rng = np.random.default_rng(2)
    truths = [draw("rw", rng, (-4.0, 4.0)) for _ in range(n)]
    outcomes, choices = simulate("rw", truths, reversal, seed=20_000)
    wall, cpu = time.perf_counter(), time.process_time()
    fits = fit_all("rw", outcomes, choices, 2, threads=2)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    rows += [
        (
            f"(b) {n:,} participants x 200 trials, arrays.fit on 2 threads, s wall (target <= 4 s for 10,000)",
            f"{wall:.2f}",
        ),
        # CPU seconds over both threads: half of it is the wall time two idle cores would take.
        ("(b)   CPU s over both threads / 2", f"{cpu / 2:.2f}"),
        ("(b) share converged", f"{np.mean(fits.converged):.3f}"),
    ]


# (c) recovery.


def transformed_estimates(fits: FitArrays, name: str, transform: str) -> tuple[np.ndarray, np.ndarray]:
    """Estimates and standard errors on the transformed scale."""
    value, se = fits.params[name], fits.se[name]
    slope = {"log": value, "logit": value * (1.0 - value)}.get(transform, np.ones_like(value))
    theta = np.log(value) if transform == "log" else np.log(value / (1.0 - value))
    return theta, se / slope


def recovery(rows: list[tuple[str, str]], quick: bool) -> None:
    n = 100 if quick else 500
    cases = [
        ("two-armed reversal 0.8/0.2, every 40", reversal, 2, (-4.0, 4.0)),
        ("four-armed restless", restless, 4, (-4.0, 4.0)),
        ("two-armed reversal, log beta in [0.5, 3]", reversal, 2, (0.5, 3.0)),
        ("four-armed restless, log beta in [0.5, 3]", restless, 4, (0.5, 3.0)),
    ]
    for c, (label, table, k, log_beta) in enumerate(cases):
        rng = np.random.default_rng(30 + c)
        truths = [draw("rw", rng, log_beta) for _ in range(n)]
        outcomes, choices = simulate("rw", truths, table, seed=100_000 * (c + 1))
        fits = fit_all("rw", outcomes, choices, k)
        for name, transform in (("learning_rate", "logit"), ("beta", "log")):
            truth = np.array([ref.transformed(transform, t[name]) for t in truths])
            theta, se = transformed_estimates(fits, name, transform)
            ok = np.isfinite(theta) & np.isfinite(se)
            r = np.corrcoef(truth[ok], theta[ok])[0, 1]
            covered = np.abs(theta - truth)[ok] <= 1.96 * se[ok]
            target = " (target >= 0.85; coverage 0.92-0.98)"
            rows.append(
                (
                    f"(c) {label}: {transform} {name} r / 95% coverage{target}",
                    f"{r:.3f} / {covered.mean():.3f} (n={ok.sum()})",
                )
            )
        rows.append((f"(c) {label}: share converged", f"{np.mean(fits.converged):.3f}"))

    per_model = 40 if quick else 200
    # The last variant draws rw_dual's two rates at least 1.5 apart on the logit scale (else drawn
    # again): where they are close its data are rw's, and no criterion can tell them apart.
    variants = [
        (coding, log_beta, 0.0) for coding in ((1.0, 0.0), (1.0, -1.0)) for log_beta in ((-4.0, 4.0), (0.5, 3.0))
    ]
    variants.append(((1.0, -1.0), (0.5, 3.0), 1.5))
    for coding, log_beta, apart in variants:
        by_lme = np.zeros((3, 3), dtype=int)
        by_bic = np.zeros((3, 3), dtype=int)
        for g, generating in enumerate(RECOVERED):
            rng = np.random.default_rng(40 + g)
            truths = []
            while len(truths) < per_model:
                truth = draw(generating, rng, log_beta)
                if (
                    generating != "rw_dual"
                    or abs(
                        ref.transformed("logit", truth["learning_rate_pos"])
                        - ref.transformed("logit", truth["learning_rate_neg"])
                    )
                    >= apart
                ):
                    truths.append(truth)
            outcomes, choices = simulate(
                generating, truths, lambda s, coding=coding: reversal(s, coding), seed=1_000_000 * (g + 1)
            )
            fits = [fit_all(m, outcomes, choices, 2) for m in RECOVERED]
            lme = np.column_stack([f.lme for f in fits])
            bic = np.column_stack([f.bic for f in fits])
            np.add.at(by_lme[g], np.argmax(np.where(np.isnan(lme), -np.inf, lme), axis=1), 1)
            np.add.at(by_bic[g], np.argmin(np.where(np.isnan(bic), np.inf, bic), axis=1), 1)
        label = f"outcomes {coding[0]:+g}/{coding[1]:+g}, log beta in [{log_beta[0]:g}, {log_beta[1]:g}]"
        if apart:
            label += f", rw_dual rates >= {apart:g} apart (logit)"
        for rule, table in (("lme", by_lme), ("BIC", by_bic)):
            rows.append(
                (
                    f"(c) model recovery by {rule}, {label}: % correct (target >= 80)",
                    f"{100 * np.trace(table) / table.sum():.1f}",
                )
            )
            rows.append(
                (
                    f"(c)   confusion by {rule} (rows generated, columns chosen: {', '.join(RECOVERED)})",
                    " | ".join(" ".join(f"{v:3d}" for v in row) for row in table),
                )
            )


# (d) the native fit against SciPy with the same priors.


def scipy_route(outcomes: np.ndarray, choices: np.ndarray, seed: int) -> dict[str, float]:
    """L-BFGS-B over the engine's objective and exact gradient, under the default priors, from the
    prior means and three draws from the priors; the best end point, in natural units."""
    from scipy.optimize import minimize

    names = ("learning_rate", "beta")
    declared = (PARAMS["rw"]["learning_rate"], RESPONSE_PARAMS["softmax"]["beta"])
    means = np.array([d.prior[0] for d in declared])
    variances = np.array([d.prior[1] for d in declared])
    free = np.array([0, 3], dtype=np.int64)

    def natural(theta: np.ndarray) -> dict[str, float]:
        return {**HELD, **{n: ref.natural(d.transform, x) for n, d, x in zip(names, declared, theta)}}

    def objective(theta: np.ndarray) -> tuple[float, np.ndarray]:
        values = natural(theta)
        # A line search may step where a rate rounds to 0 or 1 or beta overflows: infeasible there.
        if not (0.0 < values["learning_rate"] < 1.0 and math.isfinite(values["beta"])):
            return math.inf, np.zeros(2)
        vector = np.array([values[p] for p in (*ref.MODEL_PARAMS["rw"], *ref.RESPONSE_PARAMS)])
        grad = np.empty(2)
        f = _engine.objective("rw", "softmax", outcomes, choices, params=vector, free=free, gradient=grad, options=2)
        if not math.isfinite(f):
            return math.inf, np.zeros(2)
        slopes = np.array([ref.slope(d.transform, values[n]) for n, d in zip(names, declared)])
        return (
            f + ref.neg_log_prior(theta, means, variances),
            grad * slopes + (theta - means) / variances,
        )

    rng = np.random.default_rng(seed)
    starts = [means] + [rng.normal(means, np.sqrt(variances)) for _ in range(3)]
    best = min((minimize(objective, s, jac=True, method="L-BFGS-B") for s in starts), key=lambda r: r.fun)
    return natural(best.x)


def against_scipy(rows: list[tuple[str, str]], quick: bool) -> None:
    from threadpoolctl import threadpool_limits

    n = 50 if quick else 200
    rng = np.random.default_rng(5)
    truths = [draw("rw", rng, (-4.0, 4.0)) for _ in range(n)]
    outcomes, choices = simulate("rw", truths, reversal, seed=5_000_000)
    fits = fit_all("rw", outcomes, choices, 2)
    declared = {**PARAMS["rw"], **RESPONSE_PARAMS["softmax"]}
    means = np.array([declared[p].prior[0] for p in ("learning_rate", "beta")])
    variances = np.array([declared[p].prior[1] for p in ("learning_rate", "beta")])

    def neg_log_joint(i: int, values: Mapping[str, float]) -> float:
        theta = np.array([ref.transformed(declared[p].transform, values[p]) for p in ("learning_rate", "beta")])
        return ref.nll("rw", outcomes[i], choices[i], values, 2) + ref.neg_log_prior(theta, means, variances)

    gaps = np.empty(n)
    with threadpool_limits(limits=1, user_api="blas"):
        for i in range(n):
            native = {**HELD, "learning_rate": fits.params["learning_rate"][i], "beta": fits.params["beta"][i]}
            gaps[i] = neg_log_joint(i, native) - neg_log_joint(i, scipy_route(outcomes[i], choices[i], seed=i))
    rows += [
        (
            f"(d) native <= SciPy + 1e-6 in negative log joint (target >= 99 %), of {n}",
            f"{100 * np.mean(gaps <= 1e-6):.1f} %",
        ),
        (
            "(d) native - SciPy negative log joint: min / median / max",
            f"{gaps.min():.2e} / {np.median(gaps):.2e} / {gaps.max():.2e}",
        ),
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer participants and repeats")
    parser.add_argument("--parts", default="abcd", help="which of (a)-(d) to run, e.g. ac (default: all)")
    args = parser.parse_args()
    began = time.perf_counter()
    width = 125
    print(f"velmora {velmora.__version__}, {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f}")
    print(f"| {'measure':<{width}} | value |")
    print(f"|{'-' * (width + 2)}|-------|", flush=True)
    for letter, part in zip("abcd", (speed, many, recovery, against_scipy)):
        if letter not in args.parts:
            continue
        rows: list[tuple[str, str]] = []
        part(rows, args.quick)
        for label, value in rows:
            print(f"| {label:<{width}} | {value} |", flush=True)
    print(
        f"({time.perf_counter() - began:.0f} s{', --quick' if args.quick else ''}, load average {os.getloadavg()[0]:.2f})"
    )


if __name__ == "__main__":
    main()
