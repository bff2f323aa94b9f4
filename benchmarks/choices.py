"""Fitting choices: parameter recovery, model recovery and speed of the binary response models.

Every participant is simulated here in plain NumPy (its own TD loop, discounting formulas, choice
probabilities and Bernoulli draws from numpy's default_rng), not through velmora, so that a fault
shared by velmora's simulation and its likelihood cannot hide. True parameters are drawn uniformly
in the fit's transformed space (logit for ``learning_rate`` and ``discount_factor``, log for ``beta``
and ``k``) from the ranges below; every fit uses velmora's default priors and 4 starts.

- td + unit_square, 200 trials: rewards 0/1 from a Bernoulli source whose probability switches
  between 0.8 and 0.2 every 40 trials; the value m before trial t starts at 0.5 (held there in the
  fit too: ``fixed={"initial_value": 0.5}``) and moves by learning_rate * (reward - m); response 1
  with probability m^beta / (m^beta + (1 - m)^beta). learning_rate 0.05 to 0.6, beta 1 to 10.
- discount and hyperbolic, 100 trials of two offers: the later amount uniform in 10..100 after a
  delay uniform in 1..365 days, the sooner offer now, its amount the participant's true indifference
  amount (later amount x delta^delay, or / (1 + k delay)) times a factor uniform in 0.5..1.5,
  clipped into [1, later amount]; the later offer chosen with probability 1 / (1 + exp(-beta d)),
  d the difference of the offers' values (later - sooner). delta 0.95 to 0.999 (0.001 to 0.05 per
  day), k 0.001 to 0.1 per day, beta 0.1 to 1 per unit of amount.

The column "P in 0.1..0.9" is the share of trials whose response is neither near-certain nor a
near-coin-flip (0.1 < P(1) < 0.9). "nll at truth" is the largest gap, over a case's first 20
participants, between velmora.fit's nll with every parameter held at the truth and this script's own
log-likelihood of the same responses: the two definitions of the model agree.

Parameter recovery fits each case's participants in one native batch (velmora.arrays.fit on every
core) and reports, in the transformed space, Pearson r of truth against estimate, bias, RMSE and the
coverage of the 95 % interval estimate +- 1.96 SE_t, SE_t = SE / |d natural / d transformed| at the
estimate (which undoes the delta method of FitArrays.se; a NaN SE counts as not covering), and the
share converged.

Model recovery simulates participants under discount and under hyperbolic (the design above around
the generating model's indifference points), fits both models to each set, and counts the
participants whose generating model has the higher log model evidence; velmora.compare's
random-effects selection gives each set's exceedance probabilities. Twice: over the ranges above,
and with rates of at least 0.005 per day (delta 0.95 to 0.995, k 0.005 to 0.1), where the two
curves part within a year; the targets are on the second.

Speed, as a user would see it: a discounting fit of 100 trials on one thread by velmora.fit (the mean
over 200 participants fitted one call each, best of 5 repeats) and per participant of
velmora.arrays.fit(threads=1) over 2000 participants (best of 3), with n_starts=4 (the default) and
1; then velmora.fit_many over 10,000 participants x 100 trials from a long DataFrame on 2 threads
and on 1 (best of 2). The machine's other load shows in these times.

Run: `python3 benchmarks/choices.py [--quick]` (also from `bash benchmarks/run`).
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # see benchmarks/fitting.py

import argparse  # noqa: E402
import math  # noqa: E402
import time  # noqa: E402
import timeit  # noqa: E402
from collections.abc import Callable  # noqa: E402
from dataclasses import dataclass, replace  # noqa: E402

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import velmora  # noqa: E402
import velmora.arrays as va  # noqa: E402
from velmora import fitting  # noqa: E402
from velmora.conversion import thread_count  # noqa: E402
from velmora.problem import slope  # noqa: E402

TD_TRIALS = 200
CHOICE_TRIALS = 100
SWITCH = 40  # trials between the reward source's switches
HELD_VALUE = 0.5  # the TD value's start, in simulation and fit
FACTOR = (0.5, 1.5)  # the sooner amount, relative to the indifference amount
LATER_AMOUNT = (10.0, 100.0)
DELAY = (1.0, 365.0)


def logit(p: float | np.ndarray) -> np.ndarray:
    return np.log(np.asarray(p) / (1.0 - np.asarray(p)))


def expit(x: np.ndarray) -> np.ndarray:
    return 1.0 / (1.0 + np.exp(-x))


NATURAL: dict[str, Callable[[np.ndarray], np.ndarray]] = {"log": np.exp, "logit": expit}
TRANSFORMED: dict[str, Callable[[np.ndarray], np.ndarray]] = {"log": np.log, "logit": logit}


@dataclass(frozen=True)
class Case:
    title: str
    model: str
    response: str
    ranges: dict[str, tuple[str, float, float]]  # name -> transform, natural low, natural high
    targets: dict[str, float]  # name -> least r


CHOICE_BETA = ("log", 0.1, 1.0)
CASES = [
    Case(
        "td + unit_square",
        "td",
        "unit_square",
        {"learning_rate": ("logit", 0.05, 0.6), "beta": ("log", 1.0, 10.0)},
        {"learning_rate": 0.85, "beta": 0.8},
    ),
    Case(
        "discount",
        "discount",
        "logistic",
        {"discount_factor": ("logit", 0.95, 0.999), "beta": CHOICE_BETA},
        {"discount_factor": 0.95, "beta": 0.85},
    ),
    Case("hyperbolic", "hyperbolic", "logistic", {"k": ("log", 0.001, 0.1), "beta": CHOICE_BETA}, {"k": 0.95}),
]
# Model recovery's second set of ranges: rates of at least 0.005 per day, where the exponential and
# hyperbolic curves part within a year (below, both are nearly straight lines over 1..365 days).
CURVED = {"discount": {"discount_factor": ("logit", 0.95, 0.995)}, "hyperbolic": {"k": ("log", 0.005, 0.1)}}


# --------------------------------------------------------------------------- simulation


def draw(case: Case, n: int, rng: np.random.Generator) -> dict[str, np.ndarray]:
    """True parameters in natural units, uniform in the transformed space."""
    out = {}
    for name, (transform, lo, hi) in case.ranges.items():
        t_lo, t_hi = TRANSFORMED[transform](np.array([lo, hi]))
        out[name] = NATURAL[transform](rng.uniform(t_lo, t_hi, n))
    return out


def simulate_td(truth: dict[str, np.ndarray], rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Rewards, unit-square responses and their probabilities, participants x trials."""
    lr, beta = truth["learning_rate"], truth["beta"]
    n = lr.size
    p_reward = np.where((np.arange(TD_TRIALS) // SWITCH) % 2 == 0, 0.8, 0.2)
    rewards = (rng.random((n, TD_TRIALS)) < p_reward).astype(float)
    p = np.empty((n, TD_TRIALS))
    value = np.full(n, HELD_VALUE)
    for t in range(TD_TRIALS):
        a, b = value**beta, (1.0 - value) ** beta
        p[:, t] = a / (a + b)
        value = value + lr * (rewards[:, t] - value)
    return rewards, (rng.random(p.shape) < p).astype(float), p


def offer_value(model: str, amount: np.ndarray, delay: np.ndarray, param: np.ndarray) -> np.ndarray:
    if model == "discount":
        return np.asarray(amount * param**delay)
    return np.asarray(amount / (1.0 + param * delay))


def simulate_choices(
    model: str, truth: dict[str, np.ndarray], rng: np.random.Generator
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Offers (participants x trials x 4: amount_sooner, delay_sooner, amount_later, delay_later)
    around each participant's indifference points, the choices (1 = later) and their probabilities."""
    param = (truth["discount_factor"] if model == "discount" else truth["k"])[:, None]
    n = param.shape[0]
    later = rng.uniform(*LATER_AMOUNT, (n, CHOICE_TRIALS))
    delay = rng.uniform(*DELAY, (n, CHOICE_TRIALS))
    indifference = offer_value(model, later, delay, param)
    sooner = np.clip(indifference * rng.uniform(*FACTOR, (n, CHOICE_TRIALS)), 1.0, later)
    inputs = np.stack([sooner, np.zeros_like(sooner), later, delay], axis=-1)
    d = offer_value(model, later, delay, param) - sooner  # the sooner offer is now: worth its amount
    p = expit(truth["beta"][:, None] * d)
    return inputs, (rng.random(p.shape) < p).astype(float), p


def simulate(
    case: Case, n: int, rng: np.random.Generator
) -> tuple[dict[str, np.ndarray], np.ndarray, np.ndarray, np.ndarray]:
    """True parameters, inputs, responses and each response's probability of 1."""
    truth = draw(case, n, rng)
    if case.model == "td":
        return (truth, *simulate_td(truth, rng))
    return (truth, *simulate_choices(case.model, truth, rng))


def fit(model: str, response: str, inputs: np.ndarray, responses: np.ndarray) -> fitting.FitArrays:
    """Every participant in one native batch on every core, default priors and starts."""
    return va.fit(
        model,
        inputs,
        responses,
        response_model=response,
        fixed={"initial_value": HELD_VALUE} if model == "td" else None,
    )


# --------------------------------------------------------------------------- measurement


def recovery(case: Case, n: int, rng: np.random.Generator, results: list[tuple[str, float, str, bool]]) -> list[str]:
    truth, inputs, responses, p = simulate(case, n, rng)
    start = time.perf_counter()
    fits = fit(case.model, case.response, inputs, responses)
    seconds = time.perf_counter() - start
    informative = float(np.mean((p > 0.1) & (p < 0.9)))
    # The engine's likelihood at the truth against this script's own, for a few participants.
    held = {"initial_value": HELD_VALUE} if case.model == "td" else {}
    gap = max(
        abs(
            velmora.fit(
                case.model,
                inputs[i],
                responses[i],
                response_model=case.response,
                fixed={**held, **{k: float(v[i]) for k, v in truth.items()}},
            ).nll
            + float(np.sum(np.log(np.where(responses[i] == 1.0, p[i], 1.0 - p[i]))))
        )
        for i in range(min(n, 20))
    )
    rows = []
    for name, (transform, lo, hi) in case.ranges.items():
        true_t = TRANSFORMED[transform](truth[name])
        est = fits.params[name]
        est_t = TRANSFORMED[transform](est)
        with np.errstate(divide="ignore", invalid="ignore"):
            se_t = fits.se[name] / np.abs(slope(transform, est))
        r = float(np.corrcoef(true_t, est_t)[0, 1])
        err = est_t - true_t
        covered = np.isfinite(se_t) & (np.abs(err) <= 1.96 * np.where(np.isfinite(se_t), se_t, 0.0))
        coverage = float(np.mean(covered))
        rows.append(
            f"| {case.title} | `{name}` ({transform}) | {lo:g} to {hi:g} | {r:.3f} "
            f"| {float(np.mean(err)):+.3f} | {float(np.sqrt(np.mean(err**2))):.3f} | {coverage:.3f} "
            f"| {float(np.mean(fits.converged)):.3f} "
            f"| {informative:.2f} | {gap:.1e} | {n} | {seconds:.2f} |"
        )
        if name in case.targets:
            results.append(
                (f"{case.title}: r of {transform} {name}", r, f">= {case.targets[name]}", r >= case.targets[name])
            )
        if r >= 0.9:
            results.append(
                (f"{case.title}: 95 % coverage of {name}", coverage, "0.92 to 0.98", 0.92 <= coverage <= 0.98)
            )
    return rows


def model_recovery(n: int, rng: np.random.Generator, results: list[tuple[str, float, str, bool]]) -> list[str]:
    """Each set of ranges: participants under each model, both models fitted to every set; the targets
    hold where the curves differ within a year (CURVED)."""
    rows = []
    for label, curved in (("full", False), ("curved", True)):
        cases = {
            case.model: replace(case, ranges={**case.ranges, **CURVED[case.model]}) if curved else case
            for case in CASES[1:]
        }
        for generating, case in cases.items():
            truth, inputs, responses, _ = simulate(case, n, rng)
            fits = {model: fit(model, "logistic", inputs, responses) for model in cases}
            other = next(m for m in cases if m != generating)
            share = float(np.mean(fits[generating].lme > fits[other].lme))
            keys = [f"s{i:05d}" for i in range(n)]
            frame = velmora.compare({m: f.to_frame().assign(subject=keys) for m, f in fits.items()}).to_frame()
            frame = frame.set_index("model")
            picked = str(frame["exceedance"].idxmax())
            _, lo, hi = next(iter(case.ranges.values()))
            rows.append(
                f"| {generating} | {label}: {next(iter(case.ranges))} {lo:g} to {hi:g} | {share:.3f} | "
                + " | ".join(f"{frame.loc[m, 'exceedance']:.3f}" for m in cases)
                + f" | {int(frame.loc[generating, 'n_best'])} of {n} |"
            )
            if curved:
                results.append(
                    (
                        f"model recovery ({label}): {generating} has the higher lme on its own data",
                        share,
                        ">= 0.80",
                        share >= 0.8,
                    )
                )
                results.append(
                    (
                        f"model recovery ({label}): compare() picks {generating} (its exceedance)",
                        float(frame.loc[generating, "exceedance"]),
                        "picked",
                        picked == generating,
                    )
                )
    return rows


def speed(
    per_call_n: int, batch_n: int, study_n: int, rng: np.random.Generator, results: list[tuple[str, float, str, bool]]
) -> list[str]:
    case = CASES[1]
    truth, inputs, responses, _ = simulate(case, max(batch_n, study_n), rng)
    rows = []

    def one_by_one() -> None:
        for i in range(per_call_n):
            velmora.fit("discount", inputs[i], responses[i])

    ms = min(timeit.repeat(one_by_one, number=1, repeat=5)) / per_call_n * 1e3
    rows.append(f"| velmora.fit, one call (mean over {per_call_n} participants) | 4 | 1 | {ms:.3f} ms | |")
    results.append(("velmora.fit: one 100-trial discounting fit (ms)", ms, "<= 0.3", ms <= 0.3))
    for starts in (4, 1):
        batch = (inputs[:batch_n], responses[:batch_n])
        seconds = min(timeit.repeat(lambda: va.fit("discount", *batch, n_starts=starts, threads=1), number=1, repeat=3))
        evaluations = va.fit("discount", *batch, n_starts=starts, threads=1).evaluations
        ms = seconds / batch_n * 1e3
        rows.append(
            f"| velmora.arrays.fit(threads=1), {batch_n} participants | {starts} | 1 | {ms:.3f} ms "
            f"per participant | {float(np.mean(evaluations)):.0f} ({seconds / evaluations.sum() * 1e6:.1f} us "
            "each) |"
        )
        results.append((f"arrays.fit(threads=1, n_starts={starts}): per participant (ms)", ms, "<= 0.3", ms <= 0.3))
    trials = inputs.shape[1]
    x = inputs[:study_n].reshape(-1, 4)
    table = pd.DataFrame(
        {
            "subject": np.repeat(np.arange(study_n), trials),
            "trial": np.tile(np.arange(trials), study_n),
            "amount_sooner": x[:, 0],
            "delay_sooner": x[:, 1],
            "amount_later": x[:, 2],
            "delay_later": x[:, 3],
            "response": responses[:study_n].ravel(),
        }
    )
    study: dict[int, float] = {}
    for threads in (2, 1):
        study[threads] = min(
            timeit.repeat(
                lambda: velmora.fit_many(table, "discount", threads=threads, progress=False), number=1, repeat=2
            )
        )
        rows.append(
            f"| velmora.fit_many(threads={threads}), {study_n} participants x {trials} trials | 4 "
            f"| {threads} | {study[threads]:.2f} s | |"
        )
    results.append(
        (f"fit_many(threads=2): {study_n} participants x {trials} trials (s)", study[2], "<= 3", study[2] <= 3.0)
    )
    rows.append(f"| fit_many: threads=1 / threads=2 | | | {study[1] / study[2]:.2f}x | |")
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a small smoke run (well under a minute)")
    parser.add_argument("--participants", type=int, help="per recovery case (default 500, or 60 with --quick)")
    parser.add_argument("--seed", type=int, default=2024, help="numpy's default_rng seed (default 2024)")
    parser.add_argument("--no-speed", action="store_true", help="skip the timings")
    args = parser.parse_args()
    n = args.participants or (60 if args.quick else 500)
    per_call_n, batch_n, study_n = (20, 200, 1000) if args.quick else (200, 2000, 10_000)
    rng = np.random.default_rng(args.seed)
    results: list[tuple[str, float, str, bool]] = []
    from importlib.metadata import version

    start = time.perf_counter()
    print(
        f"\nvelmora {version('velmora')}: fitting choices, {n} simulated participants per case (NumPy "
        f"simulation, seed {args.seed}), default priors, 4 starts, arrays.fit on {thread_count(None)} threads\n"
    )
    print("### Parameter recovery (transformed space)\n")
    print(f"td: initial_value held at {HELD_VALUE} in simulation and fit.\n")
    print(
        "| case | parameter | true range | r | bias | RMSE | 95 % coverage | converged | P in 0.1..0.9 | "
        "nll at truth: engine - NumPy | n | fit (s) |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for case in CASES:
        print("\n".join(recovery(case, n, rng, results)), flush=True)
    print(f"\n### Model recovery, {CHOICE_TRIALS} trials: which model has the higher lme\n")
    print("| generated by | true range | share won by it | exceedance: discount | exceedance: hyperbolic | n_best |")
    print("|---|---|---|---|---|---|")
    print("\n".join(model_recovery(n, rng, results)), flush=True)
    if not args.no_speed:
        print(f"\n### Speed: discounting, {CHOICE_TRIALS} trials per participant\n")
        print("| call | n_starts | threads | time | objective evaluations per fit (time each) |")
        print("|---|---|---|---|---|")
        print("\n".join(speed(per_call_n, batch_n, study_n, rng, results)), flush=True)
    print("\n### Targets\n")
    print("| measure | value | target | |")
    print("|---|---|---|---|")
    for name, value, target, ok in results:
        print(f"| {name} | {value:.3f} | {target} | {'PASS' if ok else 'MISS'} |")
    print(f"\n({time.perf_counter() - start:.1f} s)")


if __name__ == "__main__":
    main()
