"""Group-level estimation: velmora.fit_group against independent fits, full Bayes by MCMC, and power.

Every study has 200 simulated participants whose true parameters are independent normals in the
fit's transformed space (each case's ``group`` below), simulated here in NumPy (the HGF's
predictions by velmora.arrays.hgf_run); the engine's log-likelihood at the truth is checked against
NumPy's on each case's first study. fit_many (default priors) and fit_group (laplace, diagonal,
defaults otherwise) run on 2 threads.

1. Recovery: 100 studies per case, 50 of the HGF (its fit_group takes about 3 s a study; 100 add
   about 3 minutes). TD with Gaussian responses, 30 trials of 1/0 rewards from a source whose probability
   switches between 0.8 and 0.2 every 15 trials (initial_value, learning_rate and zeta all vary);
   the HGF with Gaussian responses, 200 trials of benchmarks/fitting.py's inputs (a random walk of
   steps of SD 0.3 seen through noise of SD 1), base_process_noise held at 0.01 in simulation and
   fits; TD + unit_square choices, 60 trials of the same rewards, initial_value held at 0.5. Per
   parameter: the means over studies of r and RMSE of estimate against truth, each method (r is
   unchanged by shrinking every estimate towards the mean by one factor, so pooling raises it only
   where participants are measured unequally well; RMSE shows all its gain; target: r no lower by
   0.01, RMSE lower). The group mean's 95 % interval, mean +- 1.96 SE, by two SEs: fit_group's (its
   coefficient table's intercept) and, recomputed here from the participants' SEs as a check, the
   missing-information SE, 1 / sqrt(sum_i (s2 - c_i) / s2^2) for the group
   variance s2 and each participant's posterior variance c_i (from its se), the Laplace marginal
   likelihood's information about the mean; each checked by its coverage of the true mean and
   against the SD of the estimated means across studies.
2. Power: 100 TD Gaussian studies whose learning_rate (logit) differs by half a group SD between two
   halves of 100, fit_group with covariates = the half; the share of studies with the coefficient's
   p < 0.05 (reported, and from the missing-information SE) beside t-tests on fit_many's and on the
   true parameters, and the two-sample t-test's power (scipy.stats) at d = 0.5 and at d shrunk by
   estimation noise, d * sqrt(s2 / (s2 + v)), v the mean of fit_many's squared SEs.
3. Full hierarchical Bayes on the first TD study: a Metropolis-within-Gibbs sampler (``mcmc``), 4
   chains; its posterior means of every participant and its 95 % intervals of the group means
   against fit_group's laplace and sampling estimates; wall times.
4. Speed: fit_group over 1,000 participants x 200 trials of the HGF case.
5. benchmarks/group.png: estimate against truth, fit_many and fit_group, on the first TD study.

Run: `python3 benchmarks/group.py [--quick]` (also from `bash benchmarks/run`).
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # see benchmarks/fitting.py

import argparse  # noqa: E402
import math  # noqa: E402
import time  # noqa: E402
from dataclasses import dataclass, field  # noqa: E402
from collections.abc import Callable  # noqa: E402
from pathlib import Path  # noqa: E402
from typing import Any  # noqa: E402

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from scipy import stats  # noqa: E402

import velmora  # noqa: E402
import velmora.arrays as va  # noqa: E402
from velmora import fitting  # noqa: E402
from velmora.problem import natural_of, slope  # noqa: E402

N = 200  # participants per study
THREADS = 2
SWITCH = 15  # trials between the reward source's switches
HGF_HELD = {"base_process_noise": 0.01}
EFFECT = ("learning_rate", 0.5)  # the power case's parameter and its difference in group SDs
MARGIN = 1e-12  # a unit-square belief is taken this far inside (0, 1), as the engine takes it


@dataclass(frozen=True)
class Case:
    title: str
    model: str
    response: str
    trials: int
    group: dict[str, tuple[str, float, float]]  # name -> transform, mean and SD in the transformed space
    fixed: dict[str, float] = field(default_factory=dict)


TD = Case(
    "TD, Gaussian, 30 trials",
    "td",
    "gaussian",
    30,
    {
        "initial_value": ("identity", 0.5, 0.15),
        "learning_rate": ("logit", -1.0, 0.7),
        "zeta": ("log", math.log(0.1), 0.3),
    },
)
HGF = Case(
    "HGF, Gaussian, 200 trials",
    "hgf",
    "gaussian",
    200,
    {"obs_noise": ("log", 0.0, 0.5), "precision_flexibility": ("log", 0.0, 0.5), "zeta": ("log", math.log(0.15), 0.3)},
    HGF_HELD,
)
CHOICE = Case(
    "TD + unit_square, 60 trials",
    "td",
    "unit_square",
    60,
    {"learning_rate": ("logit", -1.0, 0.6), "beta": ("log", math.log(4.0), 0.4)},
    {"initial_value": 0.5},
)
CASES = [TD, HGF, CHOICE]


def transformed(transform: str, x: np.ndarray) -> np.ndarray:
    return x if transform == "identity" else np.log(x) if transform == "log" else np.log(x / (1.0 - x))


# --------------------------------------------------------------------------------- simulation


@dataclass
class Study:
    theta: np.ndarray  # participants x parameters, transformed truth
    inputs: np.ndarray  # participants x trials
    responses: np.ndarray
    loglik: np.ndarray  # each participant's log-likelihood at the truth, by NumPy

    def frame(self) -> pd.DataFrame:
        n, t = self.inputs.shape
        return pd.DataFrame(
            {"subject": np.repeat(np.arange(n), t), "input": self.inputs.ravel(), "response": self.responses.ravel()}
        )


def simulate(case: Case, n: int, rng: np.random.Generator, shift: np.ndarray | None = None) -> Study:
    """``shift`` (participants x parameters, transformed) moves each participant's group mean."""
    mean = np.array([m for _, m, _ in case.group.values()]) + (0.0 if shift is None else shift)
    theta = mean + np.array([s for *_, s in case.group.values()]) * rng.standard_normal((n, len(case.group)))
    p = {name: natural_of(t, theta[:, j])[:, None] for j, (name, (t, *_)) in enumerate(case.group.items())}
    if case.model == "hgf":
        x = np.cumsum(rng.normal(0.0, 0.3, (n, case.trials)), axis=1) + rng.normal(0.0, 1.0, (n, case.trials))
        belief = va.hgf_run(x, p["obs_noise"][:, 0], p["precision_flexibility"][:, 0], threads=THREADS, **HGF_HELD)[
            "prediction"
        ]
    else:
        chance = np.where((np.arange(case.trials) // SWITCH) % 2 == 0, 0.8, 0.2)
        x = (rng.random((n, case.trials)) < chance).astype(float)
        belief = np.empty_like(x)
        value = p["initial_value"][:, 0].copy() if "initial_value" in p else np.full(n, case.fixed["initial_value"])
        for t in range(case.trials):
            belief[:, t] = value
            value += p["learning_rate"][:, 0] * (x[:, t] - value)
    if case.response == "gaussian":
        y = belief + np.sqrt(p["zeta"]) * rng.standard_normal(x.shape)
        loglik = (-0.5 * (np.log(2 * math.pi * p["zeta"]) + (y - belief) ** 2 / p["zeta"])).sum(axis=1)
    else:
        m = np.clip(belief, MARGIN, 1.0 - MARGIN)
        chosen = 1.0 / (1.0 + ((1.0 - m) / m) ** p["beta"])
        y = (rng.random(x.shape) < chosen).astype(float)
        loglik = np.log(np.where(y == 1.0, chosen, 1.0 - chosen)).sum(axis=1)
    return Study(theta, x, y, loglik)


def likelihood(case: Case, study: Study) -> Callable[[np.ndarray], np.ndarray]:
    """Each participant's log-likelihood at many transformed parameter vectors (participants x draws x
    parameters), in one engine call."""
    problem = fitting.problem_for(case.model, case.response, True, case.fixed, None, 1)
    assert problem.free_names == list(case.group)
    n, t = study.inputs.shape
    lengths = np.full(n, t, dtype=np.int64)
    problem = problem.with_data(study.inputs.ravel().copy(), np.arange(n) * t, lengths, study.responses.ravel().copy())
    everyone = np.arange(n)

    def log_likelihood(theta: np.ndarray) -> np.ndarray:
        return -problem.evaluate(theta, everyone, THREADS)

    return log_likelihood


# --------------------------------------------------------------------------------- fits


def fit_options(case: Case) -> dict[str, Any]:
    return {"fixed": case.fixed or None, "response_model": case.response, "threads": THREADS, "progress": False}


def estimates(case: Case, table: pd.DataFrame) -> tuple[np.ndarray, np.ndarray]:
    """Transformed estimates and their SEs (the delta method undone), participants x parameters."""
    est, se = [], []
    for name, (t, *_) in case.group.items():
        value = table[name].to_numpy(dtype=float)
        est.append(transformed(t, value))
        with np.errstate(divide="ignore", invalid="ignore"):
            se.append(table[f"se_{name}"].to_numpy(dtype=float) / np.abs(slope(t, value)))
    return np.column_stack(est), np.column_stack(se)


def missing_information_se(design: np.ndarray, s2: np.ndarray, c: np.ndarray) -> np.ndarray:
    """SE of each regression coefficient (terms x parameters) from the marginal likelihood's information
    X' diag((s2 - c_i) / s2^2) X, per parameter (its posterior correlations with the others left out)."""
    out = np.empty((design.shape[1], len(s2)))
    for j in range(len(s2)):
        w = np.clip(s2[j] - np.nan_to_num(c[:, j], nan=s2[j]), 1e-12, None) / s2[j] ** 2
        out[:, j] = np.sqrt(np.diag(np.linalg.inv(design.T @ (w[:, None] * design))))
    return out


def recovery_study(case: Case, rng: np.random.Generator) -> dict[str, Any]:
    study = simulate(case, N, rng)
    start = time.perf_counter()
    many = velmora.fit_many(study.frame(), case.model, **fit_options(case))
    mid = time.perf_counter()
    group = velmora.fit_group(study.frame(), case.model, **fit_options(case))
    out: dict[str, Any] = {
        "many_s": mid - start,
        "group_s": time.perf_counter() - mid,
        "study": study,
        "passes": group.passes,
        "converged": group.converged,
        "mean": group.mean.to_numpy(),
    }
    (out["many"], _), (out["group"], se_group) = estimates(case, many), estimates(case, group.participants)
    for method in ("many", "group"):
        out[f"r_{method}"] = [np.corrcoef(study.theta[:, j], out[method][:, j])[0, 1] for j in range(len(case.group))]
        out[f"rmse_{method}"] = np.sqrt(np.nanmean((out[method] - study.theta) ** 2, axis=0))
    s2 = group.sd.to_numpy() ** 2
    intercepts = group.coefficients[group.coefficients.term == "intercept"].set_index("parameter")
    out["se_reported"] = intercepts.loc[list(case.group), "se"].to_numpy()
    out["se_missing"] = missing_information_se(np.ones((N, 1)), s2, se_group**2)[0]
    return out


def recovery(
    case: Case, studies: int, seed: int, results: list[tuple[str, float, str, bool]], keep: dict[str, Any]
) -> tuple[list[str], str]:
    runs = [recovery_study(case, np.random.default_rng([seed, CASES.index(case), s])) for s in range(studies)]
    keep[case.title] = runs[0]
    study = runs[0]["study"]
    gap = float(np.max(np.abs(likelihood(case, study)(study.theta[:, None, :])[:, 0] - study.loglik)))
    col = {key: np.array([r[key] for r in runs]) for key in runs[0] if key not in ("study", "many", "group")}
    truth = np.array([m for _, m, _ in case.group.values()])
    rows = []
    for j, (name, (t, m, s)) in enumerate(case.group.items()):
        cover = {
            kind: float(np.mean(np.abs(col["mean"][:, j] - truth[j]) <= 1.96 * col[f"se_{kind}"][:, j]))
            for kind in ("reported", "missing")
        }
        r_many, r_group = float(col["r_many"][:, j].mean()), float(col["r_group"][:, j].mean())
        rmse = (float(col["rmse_many"][:, j].mean()), float(col["rmse_group"][:, j].mean()))
        rows.append(
            f"| {case.title} | `{name}` ({t}) N({m:.3g}, {s:g}^2) | {r_many:.3f} | {r_group:.3f} | "
            f"{rmse[0]:.3f} | {rmse[1]:.3f} | {col['mean'][:, j].mean() - m:+.3f} | "
            f"{np.std(col['mean'][:, j], ddof=min(1, studies - 1)):.4f} | "
            f"{col['se_reported'][:, j].mean():.4f} | {col['se_missing'][:, j].mean():.4f} | "
            f"{cover['reported']:.2f} | {cover['missing']:.2f} |"
        )
        results.append(
            (
                f"{case.title}: {name}, fit_group's mean r - fit_many's (and RMSE lower: "
                f"{rmse[1]:.3f} against {rmse[0]:.3f})",
                r_group - r_many,
                ">= -0.01, RMSE lower",
                r_group >= r_many - 0.01 and rmse[1] < rmse[0],
            )
        )
        for kind, label in (("reported", "fit_group's SE"), ("missing", "missing-information SE, recomputed")):
            results.append(
                (
                    f"{case.title}: coverage of the group mean of {name}, {label}",
                    cover[kind],
                    "0.92 to 0.98",
                    0.92 <= cover[kind] <= 0.98,
                )
            )
    note = (
        f"- {case.title}: {studies} studies; fit_group passes {col['passes'].mean():.0f} (most "
        f"{col['passes'].max()}), converged {col['converged'].mean():.2f}; per study fit_many "
        f"{col['many_s'].mean():.2f} s, fit_group {col['group_s'].mean():.2f} s; log-likelihood at the truth, "
        f"engine - NumPy: {gap:.1e}"
    )
    return rows, note


# --------------------------------------------------------------------------------- power


def power(studies: int, seed: int, results: list[tuple[str, float, str, bool]]) -> list[str]:
    name, d = EFFECT
    j = list(TD.group).index(name)
    sd = TD.group[name][2]
    half = (np.arange(N) >= N // 2).astype(float)
    shift = np.outer(half, np.eye(len(TD.group))[j]) * d * sd
    covariates = pd.DataFrame({"subject": np.arange(N), "half": half})
    design = np.column_stack([np.ones(N), half])
    hits: dict[str, list[bool]] = {"reported": [], "missing": [], "many": [], "truth": []}
    covered: dict[str, list[bool]] = {"reported": [], "missing": []}
    noise = []
    for s in range(studies):
        study = simulate(TD, N, np.random.default_rng([seed, 10, s]), shift)
        data = study.frame()
        group = velmora.fit_group(data, TD.model, covariates=covariates, **fit_options(TD))
        assert group.coefficients is not None
        row = group.coefficients.set_index(["parameter", "term"]).loc[(name, "half")]
        _, se_group = estimates(TD, group.participants)
        s2 = group.sd.to_numpy() ** 2
        se = {"reported": row["se"], "missing": missing_information_se(design, s2, se_group**2)[1, j]}
        hits["reported"].append(row["p_value"] < 0.05)
        hits["missing"].append(2 * stats.t.sf(abs(row["estimate"]) / se["missing"], N - 2) < 0.05)
        for kind in covered:
            covered[kind].append(abs(row["estimate"] - d * sd) <= 1.96 * se[kind])
        est_many, se_many = estimates(TD, velmora.fit_many(data, TD.model, **fit_options(TD)))
        for kind, x in (("many", est_many[:, j]), ("truth", study.theta[:, j])):
            hits[kind].append(stats.ttest_ind(x[half == 1], x[half == 0]).pvalue < 0.05)
        noise.append(np.nanmean(se_many[:, j] ** 2))

    def predicted(effect: float) -> float:
        df, nc, crit = N - 2, effect * math.sqrt(N / 4), stats.t.ppf(0.975, N - 2)
        return float(stats.nct.sf(crit, df, nc) + stats.nct.cdf(-crit, df, nc))

    d_eff = d * math.sqrt(sd**2 / (sd**2 + float(np.mean(noise))))
    share = {kind: float(np.mean(h)) for kind, h in hits.items()}
    band = 1.96 * math.sqrt(predicted(d_eff) * (1 - predicted(d_eff)) / studies)
    cover = {kind: float(np.mean(c)) for kind, c in covered.items()}
    rows = [
        f"| fit_group, coefficient's p as reported | {share['reported']:.2f} | {cover['reported']:.2f} |",
        f"| fit_group, p from the missing-information SE | {share['missing']:.2f} | {cover['missing']:.2f} |",
        f"| t-test on fit_many's estimates | {share['many']:.2f} | |",
        f"| t-test on the true parameters | {share['truth']:.2f} | |",
        f"| predicted: two-sample t-test, d = {d} (the ceiling) | {predicted(d):.2f} | |",
        f"| predicted: d = {d_eff:.3f} (estimation noise: fit_many's mean squared SE {np.mean(noise):.3f}) | "
        f"{predicted(d_eff):.2f} | |",
    ]
    for kind in ("reported", "missing"):
        results.append(
            (
                f"power, {kind} p: within the binomial 95 % band of the predicted {predicted(d_eff):.2f}",
                share[kind],
                f"{predicted(d_eff) - band:.2f} to {predicted(d_eff) + band:.2f}",
                abs(share[kind] - predicted(d_eff)) <= band,
            )
        )
        results.append(
            (f"power: coverage of the difference ({kind} SE)", cover[kind], "0.92 to 0.98", 0.92 <= cover[kind] <= 0.98)
        )
    return rows


# --------------------------------------------------------------------------------- MCMC

A0 = B0 = 0.001  # inverse-gamma prior of each group variance


def mcmc(
    lik: Callable[[np.ndarray], np.ndarray],
    start: np.ndarray,
    scale: np.ndarray,
    sweeps: int,
    burn: int,
    chains: int,
    rng: np.random.Generator,
) -> dict[str, np.ndarray]:
    """Metropolis-within-Gibbs for theta_i ~ N(mu, diag(s2)), mu flat, s2_j ~ IG(A0, B0): per sweep,
    a random-walk Metropolis step for every participant of every chain (one engine call), then mu
    and s2 from their conditionals. Burn-in tunes each participant's proposal: its step size
    towards an acceptance of 0.3, and halfway its shape, the covariance of its draws so far."""
    n, m = start.shape
    theta = start[:, None, :] + 2.0 * scale[:, None, :] * rng.standard_normal((n, chains, m))
    ll = lik(theta)
    mu, s2 = theta.mean(axis=0), theta.var(axis=0)
    chol = np.eye(m) * (2.38 / math.sqrt(m) * scale)[:, :, None]
    step, total, accepted = np.ones((n, chains)), np.zeros((n, chains, m)), np.zeros((n, chains))
    mu_chain, sd_chain, kept, draws = np.empty((sweeps, chains, m)), np.empty((sweeps, chains, m)), [], []
    for sweep in range(burn + sweeps):
        proposal = theta + step[:, :, None] * np.einsum("nij,ncj->nci", chol, rng.standard_normal((n, chains, m)))
        ll_new = lik(proposal)
        log_ratio = ll_new - ll - 0.5 * (((proposal - mu) ** 2 - (theta - mu) ** 2) / s2).sum(axis=2)
        accept = np.log(rng.random((n, chains))) < log_ratio  # NaN: rejected
        theta[accept], ll[accept] = proposal[accept], ll_new[accept]
        mu = theta.mean(axis=0) + np.sqrt(s2 / n) * rng.standard_normal((chains, m))
        s2 = (B0 + 0.5 * ((theta - mu) ** 2).sum(axis=0)) / rng.gamma(A0 + 0.5 * n, size=(chains, m))
        if sweep < burn:
            step *= np.exp((accept - 0.3) / math.sqrt(1 + sweep / 20))
            if burn // 4 <= sweep < burn // 2 and sweep % 5 == 0:
                draws.append(theta.copy())
            if sweep == burn // 2 - 1:
                d = np.stack(draws, axis=2).reshape(n, -1, m)
                d -= d.mean(axis=1, keepdims=True)
                cov = np.einsum("nsi,nsj->nij", d, d) / d.shape[1]
                chol = np.linalg.cholesky((2.38**2 / m) * cov + 1e-10 * np.eye(m))
                step[:] = 1.0
            continue
        i = sweep - burn
        total, accepted = total + theta, accepted + accept
        mu_chain[i], sd_chain[i] = mu, np.sqrt(s2)
        if i % 10 == 0:
            kept.append(theta.copy())
    return {
        "mean": total.sum(axis=1) / (sweeps * chains),
        "acceptance": accepted.mean(axis=1) / sweeps,
        "mu": mu_chain,
        "sd": sd_chain,
        "kept": np.stack(kept, axis=2),
    }  # kept: n x chains x draws x m


def versus_mcmc(study: Study, sweeps: int, seed: int, results: list[tuple[str, float, str, bool]]) -> list[str]:
    import arviz

    data = study.frame()
    fits, seconds = {}, {}
    for label, options in (
        ("laplace", {}),
        ("sampling", {"method": "sampling"}),
        ("sampling, n_samples=4000", {"method": "sampling", "n_samples": 4000}),
    ):
        start = time.perf_counter()
        fits[label] = velmora.fit_group(data, TD.model, **options, **fit_options(TD))
        seconds[label] = time.perf_counter() - start
    est, se = estimates(TD, velmora.fit_many(data, TD.model, **fit_options(TD)))
    start = time.perf_counter()
    chain = mcmc(
        likelihood(TD, study),
        est,
        np.nan_to_num(se, nan=1.0).clip(0.01, 1.0),
        sweeps,
        sweeps // 2,
        4,
        np.random.default_rng([seed, 20]),
    )
    t_mcmc = time.perf_counter() - start
    names = list(TD.group)
    kept = np.moveaxis(chain["kept"], 0, 2)  # chains x draws x participants x parameters
    ess = arviz.ess(arviz.convert_to_dataset(kept))["x"].to_numpy()  # participants x parameters
    mc_error = kept.reshape(-1, *kept.shape[2:]).std(axis=0) / np.sqrt(ess)
    rows = [
        f"MCMC: 4 chains x {sweeps} sweeps after {sweeps // 2} of burn-in; acceptance "
        f"{chain['acceptance'].mean():.2f} (participants {chain['acceptance'].min():.2f} to "
        f"{chain['acceptance'].max():.2f}); the participants' posterior means: ESS of the draws thinned by 10 "
        f"median {np.median(ess):.0f}, least {ess.min():.0f}; Monte Carlo error (from the thinned ESS, an upper "
        "bound) / the spread of the means: "
        + ", ".join(
            f"{n} {np.sqrt(np.mean(mc_error[:, j] ** 2)) / chain['mean'][:, j].std():.3f}" for j, n in enumerate(names)
        )
        + ".\n",
        "Cells: group mean / group SD / r of the participants' estimates with MCMC's posterior means (laplace: "
        "modes; sampling: means). MCMC's row: posterior means (95 % interval); then ESS and split R-hat.\n",
        "| method | wall time | " + " | ".join(f"`{n}`" for n in names) + " |",
        "|---" * (2 + len(names)) + "|",
    ]
    interval = {}
    cells, diagnostics = [], []
    for j, name in enumerate(names):
        mu, sd = chain["mu"][:, :, j], chain["sd"][:, :, j]
        interval[name] = np.quantile(mu, [0.025, 0.975])
        cells.append(
            f"{mu.mean():.4f} ({interval[name][0]:.4f} to {interval[name][1]:.4f}) / {sd.mean():.4f} "
            f"({np.quantile(sd, 0.025):.4f} to {np.quantile(sd, 0.975):.4f})"
        )
        diagnostics.append(" / ".join(f"{arviz.ess(x.T):.0f}, {arviz.rhat(x.T):.3f}" for x in (mu, sd)))
    rows += [
        f"| MCMC | {t_mcmc:.1f} s | " + " | ".join(cells) + " |",
        "| MCMC: ESS, R-hat of mean / SD | | " + " | ".join(diagnostics) + " |",
    ]
    for label, fit in fits.items():
        e = estimates(TD, fit.participants)[0]
        r = [float(np.corrcoef(chain["mean"][:, j], e[:, j])[0, 1]) for j in range(len(names))]
        rows.append(
            f"| fit_group {label} | {seconds[label]:.2f} s, {fit.passes} passes"
            f"{'' if fit.converged else ' (not converged)'} | "
            + " | ".join(f"{fit.mean[n]:.4f} / {fit.sd[n]:.4f} / {r[j]:.4f}" for j, n in enumerate(names))
            + " |"
        )
        for j, name in enumerate(names if label in ("laplace", "sampling") else []):
            lo, hi = interval[name]
            results.append(
                (
                    f"MCMC: fit_group {label}'s group mean of {name} in the MCMC 95 % interval",
                    float(fit.mean[name]),
                    f"{lo:.3f} to {hi:.3f}",
                    bool(lo <= fit.mean[name] <= hi),
                )
            )
            if label == "sampling":
                results.append(
                    (f"MCMC: r of {name}'s posterior means with fit_group sampling", r[j], ">= 0.999", r[j] >= 0.999)
                )
    return rows


# --------------------------------------------------------------------------------- speed, figure


def speed(n: int, seed: int, results: list[tuple[str, float, str, bool]]) -> list[str]:
    data = simulate(HGF, n, np.random.default_rng([seed, 30])).frame()
    start = time.perf_counter()
    velmora.fit_many(data, HGF.model, **fit_options(HGF))
    t_many = time.perf_counter() - start
    start = time.perf_counter()
    group = velmora.fit_group(data, HGF.model, **fit_options(HGF))
    seconds = time.perf_counter() - start
    results.append(
        (
            f"fit_group: {n} participants x {HGF.trials} trials of the HGF, threads={THREADS} (s)",
            seconds,
            "<= 10",
            seconds <= 10.0,
        )
    )
    return [
        f"| fit_group, {n} x {HGF.trials} | {seconds:.2f} s | {group.passes} | {group.converged} | "
        f"{seconds / group.passes * 1e3:.0f} ms |",
        f"| fit_many, for scale | {t_many:.2f} s | | | |",
    ]


def plot(first: dict[str, Any], path: Path) -> None:
    from matplotlib.figure import Figure

    study = first["study"]
    names = list(TD.group)
    fig = Figure(figsize=(3.6 * len(names), 3.6))
    for j, (name, (t, *_)) in enumerate(TD.group.items()):
        ax = fig.add_subplot(1, len(names), j + 1)
        truth = study.theta[:, j]
        for key, label, colour in (("many", "fit_many", "tab:grey"), ("group", "fit_group", "tab:orange")):
            est = first[key][:, j]
            ax.scatter(
                truth,
                est,
                s=9,
                alpha=0.6,
                color=colour,
                linewidths=0,
                label=f"{label}: r = {np.corrcoef(truth, est)[0, 1]:.2f}, "
                f"RMSE = {np.sqrt(np.mean((est - truth) ** 2)):.2f}",
            )
        lo, hi = np.quantile(truth, [0.0, 1.0])
        ax.plot([lo, hi], [lo, hi], color="k", linewidth=0.8)
        ax.set_ylim(lo - 0.6 * (hi - lo), hi + 0.6 * (hi - lo))
        ax.set_title(f"{name} ({t})", fontsize=10)
        ax.set_xlabel("truth", fontsize=9)
        ax.set_ylabel("estimate" if j == 0 else "", fontsize=9)
        ax.legend(fontsize=7, loc="upper left")
    fig.suptitle(f"{TD.model}, Gaussian responses, {N} participants x {TD.trials} trials", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=100)


# --------------------------------------------------------------------------------- main


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a small smoke run (about a minute)")
    parser.add_argument("--studies", type=int, help="studies per cheap case and for power (default 100; quick 3)")
    parser.add_argument("--hgf-studies", type=int, help="studies of the HGF case (default 50; quick 2)")
    parser.add_argument("--sweeps", type=int, help="MCMC sweeps per chain after burn-in (default 40000; quick 400)")
    parser.add_argument("--seed", type=int, default=2024, help="numpy's default_rng seed (default 2024)")
    parser.add_argument("--plot", type=Path, help="the figure (default benchmarks/group.png; quick: none)")
    args = parser.parse_args()
    studies = args.studies or (3 if args.quick else 100)
    hgf_studies = args.hgf_studies or (2 if args.quick else 50)
    sweeps = args.sweeps or (400 if args.quick else 40_000)
    speed_n = 200 if args.quick else 1000
    path = args.plot or (None if args.quick else Path(__file__).with_name("group.png"))
    from importlib.metadata import version

    start = time.perf_counter()
    print(
        f"\nvelmora {version('velmora')}: group-level estimation, {N} participants per study, {THREADS} threads, "
        f"seed {args.seed}\n"
    )
    results: list[tuple[str, float, str, bool]] = []
    first: dict[str, Any] = {}
    print(
        f"### Recovery: fit_many against fit_group (transformed space; means over studies: {studies} per case, "
        f"{hgf_studies} of the HGF, whose fit_group takes seconds)\n"
    )
    print(
        "| case | parameter, group distribution | r fit_many | r fit_group | RMSE fit_many | RMSE fit_group | "
        "group mean: bias | its SD over studies | fit_group's SE | SE recomputed | coverage fit_group's SE | "
        "coverage missing-information |"
    )
    print("|---" * 12 + "|")
    notes = []
    for case in CASES:
        rows, note = recovery(case, hgf_studies if case is HGF else studies, args.seed, results, first)
        print("\n".join(rows), flush=True)
        notes.append(note)
    print("\n" + "\n".join(notes))
    print(
        f"\n### Power: {EFFECT[0]} (logit) differs by {EFFECT[1]} group SD between two halves of {N} ({TD.title}, "
        f"{studies} studies)\n"
    )
    print("| test | share of studies with p < 0.05 | coverage of the true difference |\n|---|---|---|")
    print("\n".join(power(studies, args.seed, results)), flush=True)
    print(f"\n### Full hierarchical Bayes (MCMC) on the first study of {TD.title}\n")
    print("\n".join(versus_mcmc(first[TD.title]["study"], sweeps, args.seed, results)), flush=True)
    print(f"\n### Speed: {HGF.title}, base_process_noise held\n")
    print("| call | wall time | passes | converged | per pass |\n|---|---|---|---|---|")
    print("\n".join(speed(speed_n, args.seed, results)), flush=True)
    if path is not None:
        plot(first[TD.title], path)
        print(f"\nFigure: {path}")
    print("\n### Targets\n\n| measure | value | target | |\n|---|---|---|---|")
    for name, value, target, ok in results:
        print(f"| {name} | {value:.3f} | {target} | {'PASS' if ok else 'MISS'} |")
    print(f"\n({time.perf_counter() - start:.1f} s)")


if __name__ == "__main__":
    main()
