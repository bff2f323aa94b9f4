"""Before the experiment: how many participants does a group difference need?

:func:`power` simulates whole studies with a difference between two equal groups in one parameter,
fits each study and counts how often the difference is detected, per sample size. A study is one
task: here, one after another on ``threads`` threads each, or spread over an executor one thread
each, with the same table either way for the same seed.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Mapping, Sequence
from concurrent.futures import Executor
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora import design as dz
from velmora import stream
from velmora.conversion import thread_count
from velmora.stream import check_seed

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]
    from matplotlib.figure import Figure

__all__ = ["power", "Power", "power_summary", "wilson_interval"]

_METHODS = ("group", "two-stage")
# By default the population's spread of each free parameter is this share of its prior SD, so that
# the participants lie in the prior's bulk and the effect (in group SDs) is of a plausible size.
GROUP_SD_SHARE = 0.5


def wilson_interval(successes: np.ndarray, trials: np.ndarray, level: float = 0.95) -> tuple[np.ndarray, np.ndarray]:
    """Wilson's score interval of a binomial proportion: it stays inside [0, 1] and keeps its level
    near 0 and 1, where the detection rates of a power curve sit."""
    from scipy import stats  # type: ignore[import-untyped,unused-ignore]

    z = float(stats.norm.ppf(0.5 + level / 2.0))
    n = np.asarray(trials, dtype=np.float64)
    p = np.asarray(successes, dtype=np.float64) / n
    centre = (p + z * z / (2 * n)) / (1 + z * z / n)
    half = z * np.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / (1 + z * z / n)
    # At 0 or 1 successes' share a bound meets the share itself: rounding must not put it past.
    return np.minimum(np.maximum(centre - half, 0.0), p), np.maximum(np.minimum(centre + half, 1.0), p)


@dataclass(frozen=True)
class _Study:
    n_participants: int
    index: int
    seed: int


@dataclass(frozen=True)
class _Setup:
    design: dz.Design
    parameter: str
    difference: float  # transformed units
    mean: np.ndarray  # group 0's mean per free parameter, transformed
    sd: np.ndarray
    inputs: Any
    method: str
    alpha: float


def _one_study(setup: _Setup, study: _Study, threads: int) -> dict[str, Any]:
    """One study simulated and fitted: the estimated difference, its SE, p-value and interval's
    coverage of the truth."""
    import pandas as pd
    from scipy import stats  # type: ignore[import-untyped,unused-ignore]

    design = setup.design
    n = study.n_participants
    group = (np.arange(n) >= n // 2).astype(np.float64)  # two halves; the second has the effect
    j = design.free.index(setup.parameter)
    z = stream.normal((n, len(design.free)), dz.sub_seed(study.seed, "truth"))
    theta = setup.mean + setup.sd * z
    theta[:, j] += setup.difference * group
    sim_seeds = stream.seeds(n, dz.sub_seed(study.seed, "simulate"))
    # One array per participant of the largest study: a smaller study takes the first n.
    shared = isinstance(setup.inputs, (list, tuple)) and all(isinstance(x, np.ndarray) for x in setup.inputs)
    per = dz.per_participant_inputs(list(setup.inputs[:n]) if shared else setup.inputs, n)
    people = [dz.Participant(i, design.natural(theta[i]), int(sim_seeds[i]), 0, per[i]) for i in range(n)]
    data, kept, failures = [], [], []
    for p in people:
        # A participant whose model cannot run at its drawn values (an HGF whose precision turns
        # negative) leaves the study, as a participant who cannot do the task would; counted in the row.
        try:
            data.append(dz.simulated(design, p))
            kept.append(p.index)
        except Exception as error:
            failures.append(f"{type(error).__name__}: {error}")
    if min(np.sum(group[kept] == 0), np.sum(group[kept] == 1)) < 2:
        raise ValueError(
            f"too few participants of a study could be simulated to test it; the first failure: {failures[0]}"
        )
    group = group[kept]
    row: dict[str, Any] = {"n_participants": n, "study": study.index, "failed_simulations": len(failures)}
    if setup.method == "two-stage":
        seeds = stream.seeds(n, dz.sub_seed(study.seed, "fit"))[kept]
        fits = dz.fit_batch(design, data, list(seeds), threads)
        ok = np.isfinite(fits["estimate"][:, j])
        a, b = fits["estimate"][ok & (group == 0), j], fits["estimate"][ok & (group == 1), j]
        test = stats.ttest_ind(b, a, equal_var=False)
        se = math.sqrt(a.var(ddof=1) / a.size + b.var(ddof=1) / b.size)
        estimate, p_value, df = float(b.mean() - a.mean()), float(test.pvalue), float(test.df)
        converged = float(np.mean(fits["converged"]))
        row["unconverged_participants"] = int(np.sum(~fits["converged"]))
    else:
        from velmora.group import fit_group
        from velmora.tables import input_columns

        columns = input_columns(design.model, None)
        lengths = [len(y) for _, y in data]
        # One long table built at once: a frame per participant would cost more than its fit.
        study_table = pd.DataFrame(np.concatenate([np.reshape(x, (len(y), -1)) for x, y in data]), columns=columns)
        study_table.insert(0, "subject", np.repeat(kept, lengths))
        study_table["response"] = np.concatenate([y for _, y in data])
        with warnings.catch_warnings():
            # Participants unconverged under the group prior are counted in the table instead.
            warnings.simplefilter("ignore", UserWarning)
            fitted = fit_group(
                study_table,
                design.model,
                covariates=pd.DataFrame({"subject": kept, "group": group}),
                response_model=design.response_model,
                fixed=design.fixed,
                n_starts=design.n_starts,
                options=design.options,
                # The fewest draws: they only estimate the integrated likelihood, which power does not
                # read (the coefficients and their tests are the same with any number).
                n_samples=2,
                seed=dz.sub_seed(study.seed, "fit"),
                threads=threads,
                progress=False,
            )
        c = fitted.coefficients
        hit = c[(c["parameter"] == setup.parameter) & (c["term"] == "group")].iloc[0]
        estimate, se, p_value = float(hit["estimate"]), float(hit["se"]), float(hit["p_value"])
        # The degrees of freedom of the coefficient's t test: participants kept minus the two terms.
        df = float(len(kept) - len(fitted.excluded) - 2)
        converged = float(fitted.converged)
        row["unconverged_participants"] = len(fitted.unconverged)
    half = float(stats.t.ppf(0.975, df)) * se if df > 0 else math.nan
    row.update(
        true_difference=setup.difference,
        estimate=estimate,
        se=se,
        p_value=p_value,
        detected=bool(p_value < setup.alpha),
        covered=bool(abs(estimate - setup.difference) <= half),
        converged=converged,
    )
    return row


def _studies(label: str, chunk: list[_Study], options: Any) -> list[dict[str, Any]]:
    setup, threads = options
    return [_one_study(setup, study, threads) for study in chunk]


def power_summary(raw: pandas.DataFrame) -> pandas.DataFrame:
    """Per sample size, from a raw table of studies: ``detection_rate`` with its 95 % Wilson interval
    (``detection_low``, ``detection_high``), ``coverage`` of the true difference by the 95 % interval,
    the mean ``estimate`` and ``se``, and the share of ``converged`` fits."""
    grouped = raw.groupby("n_participants", sort=True)
    table = grouped.agg(
        n_studies=("detected", "size"),
        detected=("detected", "sum"),
        coverage=("covered", "mean"),
        estimate=("estimate", "mean"),
        se=("se", "mean"),
        converged=("converged", "mean"),
    ).reset_index()
    table.insert(1, "detection_rate", table["detected"] / table["n_studies"])
    low, high = wilson_interval(table["detected"].to_numpy(), table["n_studies"].to_numpy())
    table.insert(2, "detection_low", low)
    table.insert(3, "detection_high", high)
    return table.drop(columns="detected")


@dataclass(eq=False)
class Power:
    """The result of :func:`power`: ``table`` one row per sample size (from ``raw`` by
    :func:`power_summary`), ``raw`` one row per simulated study (with ``failed_simulations``, its
    participants whose model could not run at their drawn values, left out of its fit), and ``plot()``."""

    model: str
    parameter: str
    effect: float
    difference: float
    method: str
    alpha: float
    raw: pandas.DataFrame = field(repr=False)
    table: pandas.DataFrame

    def summary(self) -> str:
        head = (
            f"velmora power: {self.model}, {self.parameter} differs by {self.effect:g} group SD "
            f"({self.difference:.4g} on its transformed scale) between two equal groups; {self.method} fits, "
            f"alpha {self.alpha:g}"
        )
        body: str = self.table.to_string(index=False, float_format=lambda x: f"{x:.3f}")
        return head + "\n" + body

    def __repr__(self) -> str:
        return self.summary()

    def plot(self, figure: Figure | None = None) -> Figure:
        """Detection rate with its interval and interval coverage, against participants per study."""
        from velmora.design_plots import power_plot

        return power_plot(self, figure)


def power(
    model: str,
    inputs: Any,
    *,
    effect: Mapping[str, float],
    n_participants: Sequence[int] = (20, 40, 60, 80, 100),
    n_studies: int = 100,
    method: str = "group",
    alpha: float = 0.05,
    group_mean: Mapping[str, float] | None = None,
    group_sd: Mapping[str, float] | None = None,
    response_model: str | None = None,
    fixed: Mapping[str, Any] | None = None,
    n_starts: int = 4,
    options: Sequence[Any] | None = None,
    seed: int = 0,
    executor: Executor | None = None,
    threads: int | None = None,
    progress: bool | None = None,
) -> Power:
    """Power to detect a difference between two equal groups in one parameter, per sample size.

    Each study draws its participants' transformed parameters from a normal population (mean
    ``group_mean``, SD ``group_sd`` per free parameter, in the transformed space; by default the
    prior mean and half the prior SD), adds ``effect`` group SDs to the named parameter in the second
    half of the participants, simulates them on ``inputs`` and fits the study: ``method="group"`` by
    :func:`velmora.fit_group` with the group as a covariate (the coefficient's t test), or
    ``"two-stage"`` by separate fits and Welch's t test on the transformed estimates.

    Parameters
    ----------
    model : str
        A model fitted to responses.
    inputs : array_like or list of arrays
        The design, shared by every participant, or one array per participant of the largest study.
    effect : mapping of one parameter to a number
        The difference, in group SDs of that (free) parameter's transformed value.
    n_participants : sequence of int, optional
        Sample sizes to simulate (each at least 4).
    n_studies : int, optional
        Studies per sample size (default 100).
    method : str, optional
        ``"group"`` (default) or ``"two-stage"``.
    alpha : float, optional
        The test's level (default 0.05).
    group_mean, group_sd : mapping, optional
        The population of the first group, per free parameter (transformed space).
    response_model, fixed, n_starts, options, seed, executor, threads, progress
        As in :func:`velmora.recovery`; a study is one task on the executor.

    Returns
    -------
    Power
        ``table`` (per sample size: detection rate with its 95 % interval, coverage of the true
        difference by the 95 % interval, mean estimate and SE, share converged), ``raw`` (per study)
        and ``plot()``.
    """
    import pandas as pd

    if method not in _METHODS:
        raise ValueError(f"method must be one of {', '.join(_METHODS)}, got {method!r}")
    if not isinstance(effect, Mapping) or len(effect) != 1:
        raise ValueError(f"effect must map one parameter to its difference in group SDs, got {effect!r}")
    if not 0.0 < float(alpha) < 1.0:
        raise ValueError(f"alpha must lie between 0 and 1, got {alpha!r}")
    ((parameter, size),) = effect.items()
    if not math.isfinite(float(size)):
        raise ValueError(f"effect must be a finite number of group SDs, got {size!r}")
    # A size given twice would run its studies twice over, the same seeds giving the same studies:
    # its interval would count each study twice.
    sizes = list(dict.fromkeys(dz.check_count("n_participants", k, 4) for k in n_participants))
    if not sizes:
        raise ValueError("n_participants must give at least one sample size")
    n_studies = dz.check_count("n_studies", n_studies)
    seed = check_seed(seed)
    threads = thread_count(threads)
    design = dz.Design.build(model, response_model, fixed, None, n_starts, options)
    free = design.free
    for given in (effect, group_mean or {}, group_sd or {}):
        unknown = [name for name in given if name not in free]
        if unknown:
            raise ValueError(f"{unknown[0]!r} is not a free parameter of {model}; free: {', '.join(free)}")
    for name, value in (group_mean or {}).items():
        if not math.isfinite(float(value)):
            raise ValueError(f"group_mean of {name!r} must be finite, got {value!r}")
    for name, value in (group_sd or {}).items():
        # A negative SD would turn the effect's sign round; a zero one makes every effect zero.
        if not 0.0 < float(value) < math.inf:
            raise ValueError(f"group_sd of {name!r} must be a positive number, got {value!r}")
    mean = np.array([(group_mean or {}).get(name, m) for name, m in zip(free, design.problem.prior_mean)])
    sd = np.array(
        [(group_sd or {}).get(name, GROUP_SD_SHARE * math.sqrt(v)) for name, v in zip(free, design.problem.prior_var)]
    )
    difference = float(size) * float(sd[free.index(parameter)])
    setup = _Setup(design, parameter, difference, mean, sd, inputs, method, float(alpha))
    studies = [_Study(k, s, dz.sub_seed(seed, "study", k, s)) for k in sizes for s in range(n_studies)]
    rows = dz.run(_studies, studies, setup, executor, threads, progress, model, chunk=1, unit="study")
    raw = pd.DataFrame(rows)
    return Power(model, parameter, float(size), difference, method, float(alpha), raw, power_summary(raw))
