"""After the fit: does the fitted model reproduce the data?

:func:`predictive_check` simulates every participant again from its own estimates, many times, and
sets the data against the simulations: each participant's statistic (by default its mean response,
the choice rate for choices) against its simulated distribution, and the learning curve (the mean
response on each trial across participants) against the simulations' band.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import Executor
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora import design as dz
from velmora import stream
from velmora.conversion import thread_count
from velmora.stream import check_seed
from velmora.tables import participant_seed

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]
    from matplotlib.figure import Figure

__all__ = ["predictive_check", "PredictiveCheck", "predictive_summary"]

Statistic = Callable[[np.ndarray], float]


def mean_response(responses: np.ndarray) -> float:
    """The mean response over the trials answered (the choice rate for choices)."""
    return float(np.nanmean(responses))


@dataclass(frozen=True)
class _Person:
    key: Any
    params: dict[str, float]
    inputs: np.ndarray = field(repr=False)
    seed: int


def _simulate_people(label: str, chunk: list[_Person], options: Any) -> list[dict[str, Any]]:
    """Each participant of a chunk simulated ``n`` times from its estimates: its responses (n x trials)."""
    (model, response_model, n, extra), _threads = options
    from velmora.simulation import simulate

    rows = []
    for person in chunk:
        seeds = stream.seeds(n, person.seed)
        sims = [
            simulate(model, person.inputs, person.params, response_model=response_model, seed=int(s), **extra)
            for s in seeds
        ]
        rows.append({"responses": np.array([np.asarray(sim.responses, dtype=np.float64) for sim in sims])})
    return rows


def predictive_summary(raw: pandas.DataFrame, observed: pandas.DataFrame) -> pandas.DataFrame:
    """Per participant, from the simulated statistics (``raw``: participant, simulation, statistic) and
    the observed ones (``observed``: participant, observed): the simulations' mean and SD and the
    predictive p-value P(simulated > observed) + P(simulated = observed) / 2, over the simulations
    whose statistic is a number (NaN where the observed one, or every simulated one, is not)."""
    sims = raw.groupby("participant", sort=False)["statistic"]
    table = observed.set_index("participant").join(sims.agg(simulated_mean="mean", simulated_sd="std"), how="left")
    obs = table["observed"]
    above = raw.join(obs, on="participant")
    # A NaN compares as neither above nor equal: it would count as below and make the p-value 0.
    known = np.isfinite(above["statistic"].to_numpy(dtype=np.float64)) & np.isfinite(
        above["observed"].to_numpy(dtype=np.float64)
    )
    p = (above["statistic"] > above["observed"]).astype(float) + 0.5 * (above["statistic"] == above["observed"])
    p = p.where(known)
    table["p_value"] = p.groupby(above["participant"], sort=False).mean()
    return table.reset_index()


@dataclass(eq=False)
class PredictiveCheck:
    """The result of :func:`predictive_check`.

    ``participants``: per participant, the observed statistic, the simulations' mean and SD and the
    predictive p-value (from ``raw`` by :func:`predictive_summary`); ``raw``: the statistic of every
    simulation of every participant; ``curve``: per trial, the observed mean response across
    participants against the simulations' mean and 95 % band (2.5th and 97.5th percentiles over the
    simulations of that mean).
    """

    model: str
    statistic_name: str
    quantity: str
    participants: pandas.DataFrame
    curve: pandas.DataFrame
    raw: pandas.DataFrame = field(repr=False)

    def summary(self) -> str:
        p = self.participants["p_value"].dropna()
        extreme = int(((p < 0.025) | (p > 0.975)).sum())
        inside = (self.curve["observed"] >= self.curve["simulated_low"]) & (
            self.curve["observed"] <= self.curve["simulated_high"]
        )
        return (
            f"velmora predictive check: {self.model}, {len(p)} participants\n"
            f"{self.statistic_name}: {extreme} participant(s) outside the simulations' central 95 %\n"
            f"learning curve: the observed mean inside the simulated 95 % band on {float(inside.mean()):.1%} of trials"
        )

    def __repr__(self) -> str:
        return self.summary()

    def plot(self, figure: Figure | None = None) -> Figure:
        """The learning curve against its simulated band, and the participants' p-values."""
        from velmora.design_plots import predictive_plot

        return predictive_plot(self, figure)


def predictive_check(
    fits: Any,
    data: pandas.DataFrame,
    *,
    n_simulations: int = 100,
    statistic: Statistic | None = None,
    model: str | None = None,
    response_model: str | None = None,
    subject: str | None = None,
    input: str | list[str] | None = None,
    response: str = "response",
    trial: str | None = None,
    designs: Mapping[Any, Any] | None = None,
    options: Sequence[Any] | None = None,
    seed: int = 0,
    executor: Executor | None = None,
    progress: bool | None = None,
) -> PredictiveCheck:
    """Simulations from each participant's estimates against the data.

    Parameters
    ----------
    fits : pandas.DataFrame or GroupFit
        A :func:`velmora.fit_many` table (or a group fit, whose participants' estimates are used).
    data : pandas.DataFrame
        The long table that was fitted.
    n_simulations : int, optional
        Simulations per participant (default 100).
    statistic : callable or None, optional
        A participant's statistic of its responses (a 1-D array, NaN for a missed trial); None: the
        mean response (the choice rate for choices).
    model, response_model : str or None, optional
        Read from the table's ``attrs`` (as ``fit_many`` writes them) when not given.
    subject, input, response, trial : optional
        The columns of ``data``, as in :func:`velmora.fit_many`.
    designs : mapping or None, optional
        Per participant key, what to simulate on instead of its input columns (the table of what each
        option would pay, for a closed-loop choice model).
    options : sequence or None, optional
        A chooser's option labels, as in :func:`velmora.simulate` (closed-loop designs).
    seed, executor, progress
        As in :func:`velmora.recovery`; participants are the tasks.

    Returns
    -------
    PredictiveCheck
        ``participants``, ``curve``, ``raw`` and ``plot()``.
    """
    import pandas as pd

    from velmora.models import BINARY
    from velmora.tables import input_columns

    table = fits.participants if hasattr(fits, "participants") and hasattr(fits, "coefficients") else fits
    if not isinstance(table, pd.DataFrame) or not isinstance(data, pd.DataFrame):
        raise TypeError("fits and data must be pandas DataFrames (a fit_many table, or a GroupFit, and its data)")
    model = model or table.attrs.get("model")
    if model is None:
        raise ValueError("name the model: the fits table does not record it")
    response_model = response_model or table.attrs.get("response_model")
    subject = subject or table.attrs.get("subject", "subject")
    n_simulations = dz.check_count("n_simulations", n_simulations, 2)
    seed = check_seed(seed)
    statistic = statistic or mean_response
    design = dz.Design.build(model, response_model, None, None, 1, options)
    response_model = design.response_model
    columns = input_columns(model, input)
    names = [c for c in design.problem.names if c in table.columns]
    people, observed = [], []
    if subject in table.columns and table[subject].duplicated().any():
        # Its simulations would count twice in the learning curve and in its p-value's table.
        twice = table.loc[table[subject].duplicated(), subject].tolist()[0]
        raise ValueError(f"the fits table has participant {twice!r} more than once")
    rows_by_key = {k: rows for k, rows in data.groupby(subject, sort=False)}
    for record in table.to_dict("records"):
        key = record[subject]
        params = {name: float(record[name]) for name in names if not _missing(record.get(name))}
        rows = rows_by_key.get(key)
        if rows is None or str(record.get("error") or "") or any(_missing(record.get(n)) for n in design.free):
            continue
        if trial is not None:
            rows = rows.sort_values(trial, kind="stable")
        x = rows[columns].to_numpy(dtype=np.float64)
        x = x[:, 0] if len(columns) == 1 else x
        given = None if designs is None else designs.get(key)
        people.append(_Person(key, params, x if given is None else np.asarray(given, dtype=np.float64), 0))
        observed.append(rows[response].to_numpy(dtype=np.float64))
    if not people:
        raise ValueError("no participant has both estimates and data")
    # Each participant's simulations from its key alone, as fit_many's seeds are.
    base = participant_seed(seed, "predictive")
    people = [_Person(p.key, p.params, p.inputs, participant_seed(base, p.key)) for p in people]
    extra = {} if options is None else {"options": list(options)}
    sims = dz.run(
        _simulate_people,
        people,
        (model, response_model, n_simulations, extra),
        executor,
        thread_count(None),
        progress,
        model,
        chunk=16,
    )
    raw = pd.DataFrame(
        {
            "participant": np.repeat([p.key for p in people], n_simulations),
            "simulation": np.tile(np.arange(n_simulations), len(people)),
            "statistic": [statistic(r) for s in sims for r in s["responses"]],
        }
    )
    observed_table = pd.DataFrame(
        {"participant": [p.key for p in people], "observed": [statistic(y) for y in observed]}
    )
    participants = predictive_summary(raw, observed_table)
    participants = participants.rename(columns={"participant": subject})
    curve = _curve(observed, [s["responses"] for s in sims])
    quantity = "choice (share of 1)" if response_model in BINARY else "response"
    name = getattr(statistic, "__name__", "statistic").replace("_", " ")
    return PredictiveCheck(model, name, quantity, participants, curve, raw)


def _missing(value: Any) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value))


def _curve(observed: list[np.ndarray], simulated: list[np.ndarray]) -> pandas.DataFrame:
    """Per trial: the observed mean response across participants, and each simulation's, summarised."""
    import pandas as pd

    length = max(len(y) for y in observed)
    obs = np.full((len(observed), length), np.nan)
    sims = np.full((simulated[0].shape[0], len(observed), length), np.nan)
    for i, (y, s) in enumerate(zip(observed, simulated)):
        obs[i, : len(y)] = y
        sims[:, i, : s.shape[1]] = s
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a trial nobody answered: NaN, said by the column n
        per_sim = np.nanmean(sims, axis=1)  # simulations x trials
        low, high = np.nanpercentile(per_sim, [2.5, 97.5], axis=0)
        return pd.DataFrame(
            {
                "trial": np.arange(length),
                "observed": np.nanmean(obs, axis=0),
                "simulated_mean": np.nanmean(per_sim, axis=0),
                "simulated_low": low,
                "simulated_high": high,
                "n": np.sum(np.isfinite(obs), axis=0),
            }
        )
