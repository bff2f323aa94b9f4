"""Parameter recovery of velmora.fit: simulate participants with known parameters, fit, compare.

Five cases, each over simulated participants whose true parameters are drawn uniformly, in the
fit's transformed space (log for variances and ``precision_flexibility``, logit for
``learning_rate``, identity for means), from the ranges in ``CASES`` below, all inside the bulk
(two standard deviations) of velmora.fit's default priors:

- kalman self-fit, 500 trials: a local-level process, x_0 ~ N(initial_mean, initial_var),
  x_t = x_{t-1} + N(0, process_noise), y_t = x_t + N(0, obs_noise); the fit sees y only.
- hgf self-fit, 200 trials: observations drawn one at a time from the HGF's own one-step
  predictive distribution, N(prediction, 1/predicted precision + obs_noise), feeding each back
  into the filter: a random walk whose step variance the filter's volatility estimate drives
  (large after surprises). This is the process whose likelihood the self-fit maximises, so its
  parameters are true parameters; the script checks that velmora.arrays.hgf_run on the drawn
  series reproduces the predictions. ``precision_flexibility`` is drawn below ``obs_noise``
  because above it that process explodes (the volatility feeds on its own prediction errors).
- response fits, 200 trials, responses from velmora.simulate: kalman on a noisy random walk
  (``obs_noise`` held at 1, the fit's default), hgf on a random walk whose step variance switches
  between low and high every 25-50 trials, td on rewards from a Bernoulli source whose
  probability switches between 0.8 and 0.2 every 40 trials.

For each parameter, in the transformed space: Pearson r of true against estimated, bias (mean of
estimate - truth), RMSE, and coverage of the 95 % interval estimate +- 1.96 SE_t, where
SE_t = SE / |d natural / d transformed| undoes the delta method that FitResult.se applied
(a fit whose SE is NaN counts as not covering); and the share of converged fits. One scatter plot
per parameter goes to benchmarks/recovery.png.

Each case's participants are fitted in one native batch (velmora.arrays.fit, each participant from
seed 0, so every row is velmora.fit's result for that participant). The same participants are also
fitted by the SciPy route (L-BFGS-B over the same objective, tests/scipy_route.py, its own starts
from numpy's default_rng), and the script counts how often the native optimum's neg_log_joint is at
most the SciPy route's + 1e-6 (``--no-scipy`` skips that).

Run: `python3 benchmarks/recovery.py [--quick]` (also from `bash benchmarks/run`).
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # see benchmarks/fitting.py
import sys  # noqa: E402

# The SciPy route is a reference kept beside the tests, not shipped in the wheel.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

import argparse  # noqa: E402
import concurrent.futures  # noqa: E402
import math  # noqa: E402
import multiprocessing  # noqa: E402
import time  # noqa: E402
from dataclasses import dataclass  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

import velmora  # noqa: E402
import velmora.arrays as va  # noqa: E402
from velmora import fitting  # noqa: E402
from velmora.problem import natural_of, slope  # noqa: E402
from velmora.models import HELD_FOR_RESPONSES, PARAMS, RESPONSE_PARAMS, FittedParam  # noqa: E402

FLOOR = 1e-6  # the filters' variance floor
SEED = 0  # velmora.fit's default seed, each participant's
TOLERANCE = 1e-6  # the native neg-log-joint may exceed the SciPy route's by this much
LOG = math.log


@dataclass(frozen=True)
class Case:
    title: str
    model: str
    kind: str  # "self" or "responses"
    trials: int
    ranges: dict[str, tuple[float, float]]  # transformed space, uniform


CASES = [
    Case(
        "kalman self-fit",
        "kalman",
        "self",
        500,
        {
            "initial_mean": (-2.0, 2.0),
            "initial_var": (-1.5, 1.5),
            "process_noise": (LOG(0.1) - 1.5, LOG(0.1) + 1.5),
            "obs_noise": (-1.5, 1.5),
        },
    ),
    Case(
        "hgf self-fit",
        "hgf",
        "self",
        200,
        # precision_flexibility is drawn as obs_noise * exp(U(-3, -0.3)) (see the docstring)
        {
            "obs_noise": (-1.0, 1.5),
            "precision_flexibility": (-4.0, 1.2),
            "base_process_noise": (LOG(0.01) - 1.5, LOG(0.01) + 1.5),
        },
    ),
    Case(
        "kalman responses",
        "kalman",
        "responses",
        200,
        {
            "initial_mean": (-2.0, 2.0),
            "initial_var": (-1.5, 1.5),
            "process_noise": (LOG(0.1) - 1.5, LOG(0.1) + 1.5),
            "zeta": (-3.0, 0.0),
        },
    ),
    Case(
        "hgf responses",
        "hgf",
        "responses",
        200,
        {
            "obs_noise": (-1.5, 1.5),
            "precision_flexibility": (-1.5, 1.5),
            "base_process_noise": (LOG(0.01) - 1.5, LOG(0.01) + 1.5),
            "zeta": (-3.0, 0.0),
        },
    ),
    Case(
        "td responses",
        "td",
        "responses",
        200,
        {"initial_value": (0.0, 1.0), "learning_rate": (-2.5, 1.5), "zeta": (-3.5, -1.0)},
    ),
]


def table(model: str) -> dict[str, FittedParam]:
    return {**PARAMS[model], **RESPONSE_PARAMS["gaussian"]}


def to_natural(model: str, theta: dict[str, float]) -> dict[str, float]:
    t = table(model)
    return {name: float(natural_of(t[name].transform, np.array([v]))[0]) for name, v in theta.items()}


def to_transformed(transform: str, value: np.ndarray) -> np.ndarray:
    if transform == "log":
        return np.log(value)
    if transform == "logit":
        return np.log(value / (1.0 - value))
    return value


# ------------------------------------------------------------------------------------ data


def draw_truth(case: Case, rng: np.random.Generator) -> dict[str, float]:
    theta = {name: float(rng.uniform(lo, hi)) for name, (lo, hi) in case.ranges.items()}
    if case.kind == "self" and case.model == "hgf":
        theta["precision_flexibility"] = theta["obs_noise"] + float(rng.uniform(-3.0, -0.3))
    return theta


def hgf_predictive_series(p: dict[str, float], n: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    """Draws from the HGF's one-step predictive distribution, each fed back (mu1 = mu2 = 0, var1 = 1);
    the series and the predictions it was drawn around."""
    obs_precision = 1.0 / max(p["obs_noise"], FLOOR)
    mu1, var1, mu2 = 0.0, 1.0, 0.0
    y, prediction = np.empty(n), np.empty(n)
    for t in range(n):
        prediction[t] = mu1
        v = max(mu2, 0.0) * p["precision_flexibility"] + p["base_process_noise"]
        predicted_precision = 1.0 / max(var1 + v, FLOOR)
        y[t] = mu1 + math.sqrt(1.0 / predicted_precision + 1.0 / obs_precision) * rng.standard_normal()
        q = obs_precision + predicted_precision
        d = y[t] - mu1
        mu1 += d * obs_precision / q
        var1 = max(1.0 / q, FLOOR)
        mu2 = max(0.5 * mu2 + 0.5 * obs_precision * d * d, 0.0)
    return y, prediction


def inputs_for(case: Case, rng: np.random.Generator) -> np.ndarray:
    n = case.trials
    if case.model == "kalman":
        return np.cumsum(rng.normal(0.0, math.sqrt(0.1), n)) + rng.normal(0.0, 1.0, n)
    if case.model == "hgf":
        sd = np.empty(n)
        t, high = 0, False
        while t < n:
            block = int(rng.integers(25, 51))
            sd[t : t + block] = 1.0 if high else 0.1
            t, high = t + block, not high
        return np.cumsum(rng.normal(0.0, 1.0, n) * sd) + rng.normal(0.0, 0.5, n)
    p = np.where((np.arange(n) // 40) % 2 == 0, 0.8, 0.2)
    return (rng.random(n) < p).astype(float)


def simulate(case: Case, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray | None, dict[str, float]]:
    """One simulated participant of ``case``: its inputs, its responses (None for a self-fit) and its
    true parameters in the transformed space."""
    theta = draw_truth(case, rng)
    truth = to_natural(case.model, theta)
    if case.kind == "self" and case.model == "kalman":
        x0 = truth["initial_mean"] + math.sqrt(truth["initial_var"]) * rng.standard_normal()
        states = x0 + np.cumsum(rng.normal(0.0, math.sqrt(truth["process_noise"]), case.trials))
        return states + rng.normal(0.0, math.sqrt(truth["obs_noise"]), case.trials), None, theta
    if case.kind == "self":
        data, prediction = hgf_predictive_series(truth, case.trials, rng)
        engine = va.hgf_run(data, **truth, threads=1)["prediction"]
        if not np.allclose(engine, prediction, rtol=1e-9, atol=1e-9):
            raise RuntimeError("the simulated HGF's predictions differ from velmora.arrays.hgf_run's")
        return data, None, theta
    data = inputs_for(case, rng)
    truth.update(HELD_FOR_RESPONSES.get(case.model, {}))  # what the fit holds (kalman obs_noise)
    responses = velmora.simulate(case.model, data, truth, seed=int(rng.integers(2**31))).responses
    return data, responses, theta


def participant(case_index: int, index: int, scipy: bool) -> dict[str, object]:
    """Participant ``index`` of case ``case_index`` (its own random stream), and with ``scipy`` the
    neg-log-joint at the optimum of the SciPy route (L-BFGS-B, tests/scipy_route.py) on its data."""
    case = CASES[case_index]
    data, responses, theta = simulate(case, np.random.default_rng([case_index, index]))
    row: dict[str, object] = {"data": data, "responses": responses, "truth": [theta[n] for n in case.ranges]}
    if scipy:
        import scipy_route

        row["scipy"] = scipy_route.fit(case.model, data, responses, seed=SEED).neg_log_joint
    return row


def run_case(
    pool: concurrent.futures.Executor, case_index: int, participants: int, scipy: bool, threads: int
) -> dict[str, np.ndarray]:
    """Simulates the case's participants (and their SciPy fits) on the pool, then fits them all in one
    native batch, each from the seed velmora.fit uses by default, so each row is velmora.fit's result."""
    case = CASES[case_index]
    rows = list(
        pool.map(participant, [case_index] * participants, range(participants), [scipy] * participants, chunksize=8)
    )
    start = time.perf_counter()
    fits = va.fit(
        case.model,
        [r["data"] for r in rows],
        None if case.kind == "self" else [r["responses"] for r in rows],
        seeds=np.full(participants, SEED, dtype=np.uint64),
        threads=threads,
    )
    seconds = time.perf_counter() - start
    t = table(case.model)
    names = list(case.ranges)
    estimate = np.column_stack([to_transformed(t[name].transform, fits.params[name]) for name in names])
    slopes = np.column_stack([slope(t[name].transform, fits.params[name]) for name in names])
    se = np.column_stack([fits.se[name] for name in names])
    with np.errstate(divide="ignore", invalid="ignore"):
        se = np.where(slopes != 0.0, se / np.abs(slopes), math.nan)
    return {
        "truth": np.array([r["truth"] for r in rows]),
        "estimate": estimate,
        "se": se,
        "converged": fits.converged,
        "native": fits.neg_log_joint,
        "scipy": np.array([r.get("scipy", math.nan) for r in rows]),
        "seconds": np.array(seconds),
    }


# ------------------------------------------------------------------------------ statistics


def summary_rows(case: Case, r: dict[str, np.ndarray]) -> list[str]:
    rows = []
    n = len(r["truth"])
    for j, name in enumerate(case.ranges):
        truth, est, se = r["truth"][:, j], r["estimate"][:, j], r["se"][:, j]
        corr = float(np.corrcoef(truth, est)[0, 1])
        err = est - truth
        finite = np.isfinite(se)
        covered = finite & (np.abs(err) <= 1.96 * np.where(finite, se, 0.0))
        rows.append(
            f"| {case.title} | `{name}` | {case.ranges[name][0]:.2f} to {case.ranges[name][1]:.2f} | "
            f"{corr:.3f} | {float(np.mean(err)):+.3f} | {float(np.sqrt(np.mean(err**2))):.3f} | "
            f"{float(np.mean(covered)):.3f} | {float(np.mean(finite)):.3f} | "
            f"{float(np.mean(r['converged'])):.3f} | {n} |"
        )
    return rows


def plot(results: list[tuple[Case, dict[str, np.ndarray]]], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    columns = max(len(case.ranges) for case, _ in results)
    fig, axes = plt.subplots(len(results), columns, figsize=(2.6 * columns, 2.4 * len(results)), squeeze=False)
    for i, (case, r) in enumerate(results):
        for j in range(columns):
            ax = axes[i][j]
            if j >= len(case.ranges):
                ax.axis("off")
                continue
            name = list(case.ranges)[j]
            truth, est = r["truth"][:, j], r["estimate"][:, j]
            ax.scatter(truth, est, s=4, alpha=0.5, linewidths=0)
            lo, hi = case.ranges[name]
            ax.plot([lo, hi], [lo, hi], color="k", linewidth=0.8)
            ax.set_title(f"{case.title}\n{name}, r = {np.corrcoef(truth, est)[0, 1]:.2f}", fontsize=7)
            ax.tick_params(labelsize=6)
            if j == 0:
                ax.set_ylabel("estimate (transformed)", fontsize=6)
            if i == len(results) - 1:
                ax.set_xlabel("truth (transformed)", fontsize=6)
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


# ------------------------------------------------------------------------------------ main


def quality_rows(results: list[tuple[Case, dict[str, np.ndarray]]]) -> list[str]:
    """Per case: how often the native optimum is at least as low as the SciPy route's (within TOLERANCE)."""
    rows = [
        "| case | native <= SciPy + 1e-6 | share | SciPy lower by more: worst | median native - SciPy | "
        "native batch (s) |",
        "|---|---|---|---|---|---|",
    ]
    for case, r in results:
        diff = r["native"] - r["scipy"]
        good = np.isfinite(r["native"]) & ((diff <= TOLERANCE) | ~np.isfinite(r["scipy"]))
        worse = diff[~good & np.isfinite(diff)]
        rows.append(
            f"| {case.title} | {int(good.sum())} of {good.size} | {float(good.mean()):.3f} | "
            f"{f'{float(worse.max()):.2g}' if worse.size else '-'} | {float(np.nanmedian(diff)):+.2g} | "
            f"{float(r['seconds']):.2f} |"
        )
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="40 participants per case (under a minute)")
    parser.add_argument("--participants", type=int, help="participants per case (default 500, or 40 with --quick)")
    parser.add_argument("--workers", type=int, default=2, help="processes simulating, and fitting by SciPy (default 2)")
    parser.add_argument("--threads", type=int, default=2, help="threads of the native batch fit (default 2)")
    parser.add_argument("--no-scipy", action="store_true", help="skip the SciPy route's fits and their comparison")
    parser.add_argument(
        "--plot",
        type=Path,
        help="where to write the scatter plots (default benchmarks/recovery.png; with --quick, none unless given)",
    )
    args = parser.parse_args()
    participants = args.participants or (40 if args.quick else 500)
    path = args.plot or (None if args.quick else Path(__file__).with_name("recovery.png"))
    scipy = not args.no_scipy

    from importlib.metadata import version

    print(
        f"\nvelmora {version('velmora')}: parameter recovery, {participants} simulated participants per case, "
        f"default priors, 4 starts; native batch fit on {args.threads} threads; simulation"
        f"{' and the SciPy route' if scipy else ''} on {args.workers} worker processes"
    )
    start = time.perf_counter()
    results = []
    # forkserver: the parent runs the engine's threads, and a process that runs threads is never forked.
    context = multiprocessing.get_context("forkserver")
    with concurrent.futures.ProcessPoolExecutor(args.workers, mp_context=context) as pool:
        for i, case in enumerate(CASES):
            case_start = time.perf_counter()
            results.append((case, run_case(pool, i, participants, scipy, args.threads)))
            print(f"  {case.title}: {time.perf_counter() - case_start:.1f} s", flush=True)
    print("\n### Recovery in the transformed space (log variances, logit learning rate)\n")
    print("| case | parameter | true range | r | bias | RMSE | 95 % coverage | SE finite | converged | n |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for case, r in results:
        print("\n".join(summary_rows(case, r)))
    if scipy:
        print("\n### The native optimum against the SciPy route's (neg_log_joint, best of 4 starts each)\n")
        print("\n".join(quality_rows(results)))
        native = np.concatenate([r["native"] for _, r in results])
        diff = native - np.concatenate([r["scipy"] for _, r in results])
        good = np.isfinite(native) & ((diff <= TOLERANCE) | np.isnan(diff))
        print(
            f"\nAll cases: {int(good.sum())} of {good.size} ({float(good.mean()):.2%}) at or below SciPy's + "
            f"{TOLERANCE:g} (target: at least 99 %)."
        )
    if path is not None:
        plot(results, path)
        print(f"\nScatter plots: {path}")
    print(f"\n({time.perf_counter() - start:.1f} s)")


if __name__ == "__main__":
    main()
