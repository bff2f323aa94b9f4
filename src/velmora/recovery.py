"""Before the experiment: can a design recover a model's parameters, and tell models apart?

:func:`recovery` draws true parameters, simulates participants on the design, fits them and sets the
estimates against the truth; :func:`model_recovery` simulates under each of several models, fits
every model to every participant and counts which one wins. Both run in native batches, here or on
any ``concurrent.futures.Executor`` (a process pool, Dask's ``Client.get_executor()``), with the same
tables either way for the same seed (see :mod:`velmora.design`).
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from concurrent.futures import Executor
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora import design as dz
from velmora.conversion import thread_count
from velmora.stream import check_seed

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]
    from matplotlib.figure import Figure

__all__ = ["recovery", "model_recovery", "Recovery", "ModelRecovery", "recovery_summary"]

# The two-sided 95 % normal quantile: an interval estimate +- Z95 SE covers the truth 95 % of the time.
Z95 = 1.959963984540054


def _simulate_and_fit(label: str, chunk: list[dz.Participant], options: Any) -> list[dict[str, Any]]:
    """A chunk of participants: each simulated, then every model of ``options`` fitted to all of them
    in one native batch per model. A participant whose simulation fails keeps the reason in its row.
    Runs on a worker too: it needs only its arguments."""
    (generating, fitted), threads = options
    rows: list[dict[str, Any]] = []
    data, kept = [], []
    for p in chunk:
        try:
            data.append(dz.simulated(generating, p))
            kept.append(len(rows))
            rows.append({"index": p.index, "error": ""})
        except Exception as error:
            rows.append({"index": p.index, "error": f"simulation failed: {type(error).__name__}: {error}"})
    seeds = [chunk[i].fit_seed for i in kept]
    for k, design in enumerate(fitted):
        fits = dz.fit_batch(design, data, seeds, threads)
        for j, i in enumerate(kept):
            rows[i][f"estimate{k}"] = fits["estimate"][j]
            rows[i][f"se{k}"] = fits["se"][j]
            rows[i][f"converged{k}"] = bool(fits["converged"][j])
            rows[i][f"lme{k}"] = float(fits["lme"][j])
    return rows


def recovery_summary(raw: pandas.DataFrame) -> pandas.DataFrame:
    """Per parameter, from a raw truth/estimate table (transformed space): Pearson ``r`` of estimate
    on truth, ``bias`` (mean estimate - truth), ``rmse``, ``coverage`` of the 95 % interval estimate
    +- 1.96 SE (an SE that is not finite does not cover), ``converged`` and ``se_finite`` shares, and
    ``n``, the participants with an estimate. Shares are over every participant simulated."""
    import pandas as pd

    records = []
    for name, rows in raw.groupby("parameter", sort=False):
        ok = np.isfinite(rows["estimate"].to_numpy())
        truth, estimate, se = (rows[c].to_numpy()[ok] for c in ("truth", "estimate", "se"))
        err = estimate - truth
        finite = np.isfinite(se)
        covered = finite & (np.abs(err) <= Z95 * np.where(finite, se, 0.0))
        records.append(
            {
                "parameter": name,
                # No correlation where either side does not vary (a truth held for everyone).
                "r": float(np.corrcoef(truth, estimate)[0, 1])
                if ok.sum() > 1 and np.ptp(truth) > 0 and np.ptp(estimate) > 0
                else math.nan,
                "bias": float(np.mean(err)) if ok.any() else math.nan,
                "rmse": float(np.sqrt(np.mean(err**2))) if ok.any() else math.nan,
                "coverage": float(np.sum(covered) / len(rows)),
                "converged": float(rows["converged"].mean()),
                "se_finite": float(np.sum(finite) / len(rows)),
                "n": int(ok.sum()),
            }
        )
    return pd.DataFrame(records)


@dataclass(eq=False)
class Recovery:
    """The result of :func:`recovery`.

    ``raw``: one row per participant and free parameter: ``participant``, ``parameter``, ``truth``,
    ``estimate`` and ``se`` in the fit's transformed space (log, logit or identity), ``truth_natural``
    and ``estimate_natural``, ``converged`` and ``error`` (a simulation that failed). ``table``: one
    row per parameter, computed from ``raw`` by :func:`recovery_summary`.
    """

    model: str
    response_model: str
    transforms: dict[str, str]
    raw: pandas.DataFrame = field(repr=False)
    table: pandas.DataFrame

    def summary(self) -> str:
        n = self.raw["participant"].nunique()
        head = f"velmora recovery: {self.model}, response {self.response_model}, {n} simulated participants"
        body = self.table.to_string(index=False, float_format=lambda x: f"{x:.3f}")
        return f"{head}\n(transformed space: {', '.join(f'{k} {v}' for k, v in self.transforms.items())})\n{body}"

    def __repr__(self) -> str:
        return self.summary()

    def plot(self, figure: Figure | None = None) -> Figure:
        """Estimate against truth per parameter (transformed space), with the identity line."""
        from velmora.design_plots import recovery_plot

        return recovery_plot(self, figure)


def recovery(
    model: str,
    inputs: Any,
    *,
    n: int = 200,
    params: Any = None,
    response_model: str | None = None,
    fixed: Mapping[str, Any] | None = None,
    priors: Mapping[str, Any] | None = None,
    n_starts: int = 4,
    options: Sequence[Any] | None = None,
    fit_seed: int | None = None,
    simulation_seeds: Any = None,
    seed: int = 0,
    executor: Executor | None = None,
    threads: int | None = None,
    progress: bool | None = None,
) -> Recovery:
    """Parameter recovery: simulate ``n`` participants with known parameters on a design, fit each,
    and set the estimates against the truth.

    Parameters
    ----------
    model : str
        A model fitted to responses (one of ``velmora.models.FITTED``).
    inputs : array_like or list of arrays
        The design: one input sequence shared by every participant (for a closed-loop choice model,
        the table of what each option would pay), or a list of ``n`` arrays, one per participant.
    n : int, optional
        Participants to simulate (default 200).
    params : None, pandas.DataFrame or callable, optional
        The true parameters. None (the default) draws each free parameter uniformly over its default
        prior's mean +- 1 SD in the transformed space (held parameters at their held values); a table
        gives one row of natural values per participant; a callable ``params(rng)`` returns one
        participant's natural values from a NumPy generator seeded by ``seed`` and its position.
    response_model : str or None, optional
        The response model of both simulation and fit; None: the model's default.
    fixed, priors, n_starts
        As in :func:`velmora.fit`, for the fits; a value held in ``fixed`` is also the truth.
    options : sequence or None, optional
        A chooser's option labels, as in :func:`velmora.simulate` (closed-loop choice designs); the
        fits read the simulated choices by the same labels.
    fit_seed : int or None, optional
        One seed for every participant's fit (as each ``velmora.fit`` call uses by default); None
        derives one per participant from ``seed``.
    simulation_seeds : sequence of int or None, optional
        Each participant's simulation seed (to repeat a published table); None derives them from ``seed``.
    seed : int, optional
        Fixes the truths, the simulations and the fits (default 0).
    executor : concurrent.futures.Executor or None, optional
        Where to run chunks of participants; None (the default): here, on ``threads`` threads. The
        tables are the same either way.
    threads : int or None, optional
        Threads of the native fits here (default: every core).
    progress : bool or None, optional
        A progress bar on standard error; None: when it is a terminal.

    Returns
    -------
    Recovery
        ``raw`` (truth, estimate and SE per participant and parameter), ``table`` (per parameter: r,
        bias, RMSE in the transformed space, 95 % coverage, shares converged and with a finite SE) and
        ``plot()``.
    """
    n = dz.check_count("n", n)
    seed = check_seed(seed)
    threads = thread_count(threads)
    design = dz.Design.build(model, response_model, fixed, priors, n_starts, options)
    people = dz.participants(design, inputs, n, params, seed, fit_seed, simulation_seeds)
    rows = dz.run(_simulate_and_fit, people, (design, [design]), executor, threads, progress, model)
    if all(row.get("error") for row in rows):  # the design or the truths, not a participant's bad luck
        raise ValueError(f"every participant's simulation failed; the first: {rows[0]['error']}")
    raw = _raw_table(design, people, rows)
    return Recovery(
        model,
        design.problem.response,
        dict(zip(design.free, design.problem.transforms)),
        raw,
        recovery_summary(raw),
    )


def _raw_table(design: dz.Design, people: list[dz.Participant], rows: list[dict[str, Any]]) -> pandas.DataFrame:
    import pandas as pd

    free, transforms = design.free, design.problem.transforms
    m = len(free)
    columns: dict[str, list[Any]] = {
        k: [] for k in ("participant", "parameter", "truth", "estimate", "se", "truth_natural", "estimate_natural")
    }
    converged: list[bool] = []
    errors: list[str] = []
    for p, row in zip(people, rows):
        theta = design.theta(p.truth)
        estimate = row.get("estimate0", np.full(m, math.nan))
        se = row.get("se0", np.full(m, math.nan))
        for j, name in enumerate(free):
            columns["participant"].append(p.index)
            columns["parameter"].append(name)
            columns["truth"].append(float(theta[j]))
            columns["estimate"].append(float(estimate[j]))
            columns["se"].append(float(se[j]))
            columns["truth_natural"].append(float(p.truth[name]))
            columns["estimate_natural"].append(dz.natural_value(transforms[j], float(estimate[j])))
            converged.append(bool(row.get("converged0", False)))
            errors.append(str(row.get("error", "")))
    per = len(free)
    return pd.DataFrame(
        {
            **columns,
            "converged": converged,
            "error": errors,
            "simulation_seed": np.repeat(np.array([p.sim_seed for p in people], dtype=np.uint64), per),
            "fit_seed": np.repeat(np.array([p.fit_seed for p in people], dtype=np.uint64), per),
        }
    )


def _check_comparable(designs: list[dz.Design]) -> None:
    """Every model must read the same inputs and fit responses of the same kind: each is fitted to
    every other's simulated participants, and evidences of different data do not compare."""
    from velmora.models import BINARY, ENGINE

    def kind(design: dz.Design) -> tuple[Any, ...]:
        response = "choices" if design.response_model in BINARY else design.response_model
        described = ENGINE[design.model]
        return (described.width, described.chooses, response)

    first = designs[0]
    for other in designs[1:]:
        if kind(other) != kind(first):
            raise ValueError(
                f"{first.model} ({first.response_model} responses) and {other.model} ({other.response_model} "
                "responses) are not fitted to the same inputs and responses; give models of one kind "
                "(or one response_model for all)"
            )


@dataclass(eq=False)
class ModelRecovery:
    """The result of :func:`model_recovery`.

    ``confusion``: generating models (rows) x fitted models (columns), the share of each generating
    model's participants whose highest log evidence (Laplace) was each fitted model's.
    ``selection``: the same layout, the random-effects model selection's exceedance probabilities over
    each generating model's participants (``frequency``: its expected model frequencies). ``raw``:
    one row per simulated participant with its generating model, the log evidence under every fitted
    model (``lme_<model>``) and ``best``.
    """

    models: tuple[str, ...]
    raw: pandas.DataFrame = field(repr=False)
    confusion: pandas.DataFrame
    selection: pandas.DataFrame
    frequency: pandas.DataFrame

    def summary(self) -> str:
        fmt: Any = "{:.3f}".format
        return "\n".join(
            [
                "velmora model recovery: share of participants best fitted by each model (rows: generating)",
                self.confusion.to_string(float_format=fmt),
                "random-effects selection: exceedance probabilities",
                self.selection.to_string(float_format=fmt),
            ]
        )

    def __repr__(self) -> str:
        return self.summary()

    def plot(self, figure: Figure | None = None) -> Figure:
        """The two confusion matrices as heat maps, each cell labelled."""
        from velmora.design_plots import confusion_plot

        return confusion_plot(self, figure)


def model_recovery(
    models: Sequence[str],
    inputs: Any,
    *,
    n: int = 100,
    params: Mapping[str, Any] | None = None,
    response_model: str | None = None,
    options: Sequence[Any] | None = None,
    n_starts: int = 4,
    seed: int = 0,
    executor: Executor | None = None,
    threads: int | None = None,
    progress: bool | None = None,
) -> ModelRecovery:
    """Model recovery: ``n`` participants simulated under each of ``models`` on the same design, every
    model fitted to every participant, and the winner counted.

    ``models``: at least two models fitted to responses of the same kind on the same inputs.
    ``params``: per generating model, as :func:`recovery`'s ``params`` (missing: the priors' central
    range). ``response_model``, ``options``, ``n_starts``, ``seed``, ``executor``, ``threads`` and
    ``progress`` are :func:`recovery`'s. Returns a :class:`ModelRecovery`: the confusion matrix by best
    evidence and by random-effects selection, the raw evidence table and ``plot()``.
    """
    import pandas as pd

    from velmora.bms import bms

    if isinstance(models, str):  # a string is a sequence too: of one-letter "models"
        raise TypeError(f"models must be a sequence of model names, got the string {models!r}")
    names = tuple(models)
    if len(names) < 2 or len(set(names)) != len(names):
        raise ValueError(f"models must name at least two distinct models, got {list(models)!r}")
    n = dz.check_count("n", n)
    seed = check_seed(seed)
    threads = thread_count(threads)
    params = dict(params or {})
    unknown = [k for k in params if k not in names]
    if unknown:
        raise ValueError(f"params given for {unknown[0]!r}, which is not among the models")
    designs = [dz.Design.build(m, response_model, None, None, n_starts, options) for m in names]
    _check_comparable(designs)
    frames = []
    for g, generating in enumerate(designs):
        people = dz.participants(generating, inputs, n, params.get(names[g]), dz.sub_seed(seed, names[g]))
        rows = dz.run(_simulate_and_fit, people, (generating, designs), executor, threads, progress, names[g])
        frame = pd.DataFrame(
            {
                "generating": names[g],
                "participant": [p.index for p in people],
                **{f"lme_{m}": [row.get(f"lme{k}", math.nan) for row in rows] for k, m in enumerate(names)},
                "error": [str(row.get("error", "")) for row in rows],
            }
        )
        frames.append(frame)
    raw = pd.concat(frames, ignore_index=True)
    lme = raw[[f"lme_{m}" for m in names]].to_numpy()
    usable = np.isfinite(lme).all(axis=1)
    raw["best"] = [names[int(np.argmax(values))] if ok else "" for values, ok in zip(lme, usable)]
    confusion = pd.DataFrame(0.0, index=pd.Index(names, name="generating"), columns=list(names))
    selection = confusion.copy()
    frequency = confusion.copy()
    for source in names:
        mine = (raw["generating"] == source).to_numpy() & usable
        counts = raw.loc[mine, "best"].value_counts()
        for m in names:
            confusion.loc[source, m] = counts.get(m, 0) / max(int(mine.sum()), 1)
        if mine.any():
            chosen = bms(lme[mine])
            selection.loc[source] = chosen.exceedance
            frequency.loc[source] = chosen.expected_frequency
        else:
            selection.loc[source] = frequency.loc[source] = math.nan
    return ModelRecovery(names, raw, confusion, selection, frequency)
