"""What recovery, model recovery, power and predictive checks share: simulated participants fitted in
native batches, in deterministic chunks, here or on any ``concurrent.futures.Executor``.

Every participant's true parameters, simulation seed and fit seed are fixed by the call's seed and
the participant's position before any work starts, and a native batch fit gives each participant
the same result whatever else is in the batch and however many threads run it; so the tables do
not depend on the chunks, the executor or the thread count.

What a model's parameters are (their transforms, priors and held values) comes from the fit's
:class:`~velmora.problem.Problem`, built from the engine's report; nothing here restates a model.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import Executor
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from velmora import stream
from velmora.executors import _progress_bar, run_chunks
from velmora.problem import Problem, natural_of, slope
from velmora.tables import participant_seed

__all__ = ["Design", "fitted_inputs", "transformed_of", "SPREAD"]

# Default truths are drawn uniformly over the prior mean +- SPREAD prior SDs of each free parameter
# (transformed space): the central range, where a design should work, not the prior's far tails.
SPREAD = 1.0
# Fits per chunk on an executor: enough that a message costs little beside the fits it carries.
_CHUNK = 64


def fitted_inputs(simulation: Any) -> np.ndarray:
    """What a fit of a simulated participant reads as inputs: the outcomes of its own choices where a
    closed-loop simulation reports them, else the inputs it was given."""
    outcomes = getattr(simulation, "outcomes", None)
    return np.asarray(simulation.inputs if outcomes is None else outcomes, dtype=np.float64)


def transformed_of(transform: str, natural: np.ndarray) -> np.ndarray:
    """The inverse of :func:`velmora.problem.natural_of`: a natural value in the fit's transformed space."""
    x = np.asarray(natural, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        if transform == "log":
            return np.asarray(np.log(x))
        if transform == "logit":
            return np.asarray(np.log(x / (1.0 - x)))
    return x


def check_count(name: str, value: object, low: int = 1) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < low:
        raise ValueError(f"{name} must be an integer of at least {low}, got {value!r}")
    return int(value)


def sub_seed(seed: int, *purpose: object) -> int:
    """A seed for one purpose of a call (truths, simulations, fits, ...), fixed by the call's seed."""
    return participant_seed(seed, purpose)


@dataclass(frozen=True)
class Participant:
    """One simulated participant: its position, true natural parameter values and seeds."""

    index: int
    truth: dict[str, float]
    sim_seed: int
    fit_seed: int
    inputs: np.ndarray = field(repr=False)


@dataclass(frozen=True)
class Design:
    """How participants are simulated and fitted: the model, its response model, the fits' problem
    (held values and priors), simulation options for a closed-loop design, and the fits' starts."""

    model: str
    response_model: str | None
    problem: Problem
    options: Sequence[Any] | None = None
    fixed: Mapping[str, Any] | None = None
    priors: Mapping[str, Any] | None = None
    n_starts: int = 4

    @classmethod
    def build(
        cls,
        model: str,
        response_model: str | None,
        fixed: Mapping[str, Any] | None,
        priors: Mapping[str, Any] | None,
        n_starts: int,
        options: Sequence[Any] | None,
    ) -> Design:
        from velmora.fitting import problem_for

        # The options label a chooser's responses in the fit as in the simulation.
        problem = problem_for(model, response_model, True, fixed, priors, n_starts, options)
        return cls(model, problem.response, problem, options, fixed, priors, n_starts)

    @property
    def free(self) -> list[str]:
        return self.problem.free_names

    def natural(self, theta: np.ndarray) -> dict[str, float]:
        """Natural values by name at transformed free values ``theta`` (held ones at their values)."""
        named = self.problem.named(self.problem.natural(theta))
        return {name: value for name, value in named.items() if value is not None}

    def central_draws(self, n: int, seed: int) -> np.ndarray:
        """``n`` transformed truths (n x free) uniform over each prior mean +- SPREAD prior SDs."""
        u = stream.uniform((n, len(self.free)), seed)
        half = SPREAD * np.sqrt(self.problem.prior_var)
        return np.asarray(self.problem.prior_mean - half + 2.0 * half * u)

    def truths(self, n: int, params: Any, seed: int) -> list[dict[str, float]]:
        """Each participant's true natural values: drawn over the priors' central range (``params``
        None), one row of a table per participant, or ``params(rng)`` for a callable (one NumPy
        generator per participant, seeded by its position)."""
        if params is None:
            return [self.natural(theta) for theta in self.central_draws(n, seed)]
        if callable(params):
            return [self._named(params(np.random.default_rng([seed, i])), i) for i in range(n)]
        import pandas as pd  # type: ignore[import-untyped,unused-ignore]

        if isinstance(params, pd.DataFrame):
            if len(params) != n:
                raise ValueError(f"params has {len(params)} rows for n = {n} participants")
            return [self._named(row, i) for i, row in enumerate(params.to_dict("records"))]
        raise TypeError(f"params must be None, a DataFrame or a callable, got {type(params).__name__}")

    def _named(self, values: Mapping[str, Any], index: int) -> dict[str, float]:
        """A participant's given values over the held ones; every free parameter must be given."""
        base = {k: v for k, v in self.problem.named(self.problem.values).items() if v is not None and not math.isnan(v)}
        missing = [name for name in self.free if name not in values]
        if missing:
            raise ValueError(f"participant {index}: no true value for {', '.join(map(repr, missing))}")
        known = set(self.problem.names)
        given = {str(k): float(v) for k, v in values.items() if k in known}
        # The fit holds these values: a participant simulated at another would not be recovered.
        clash = [name for name in given if name in base and name not in self.free and given[name] != base[name]]
        if clash:
            name = clash[0]
            raise ValueError(
                f"participant {index}: {name!r} is {given[name]!r}, but the fit holds it at {base[name]!r}"
            )
        return {**base, **given}

    def theta(self, truth: Mapping[str, float]) -> np.ndarray:
        """Transformed free values of a natural truth."""
        return np.array(
            [
                float(transformed_of(t, np.array([truth[name]]))[0])
                for name, t in zip(self.free, self.problem.transforms)
            ]
        )


def participants(
    design: Design,
    inputs: Any,
    n: int,
    params: Any,
    seed: int,
    fit_seed: int | None = None,
    simulation_seeds: Any = None,
) -> list[Participant]:
    """The simulated participants of a call, fixed by ``seed`` before any work runs. ``fit_seed``: one
    seed for every fit (velmora.fit's default), else derived per participant; ``simulation_seeds``:
    each participant's simulation seed, else derived."""
    truths = design.truths(n, params, sub_seed(seed, "truth"))
    if simulation_seeds is None:
        sim = stream.seeds(n, sub_seed(seed, "simulate"))
    else:
        sim = np.asarray([stream.check_seed(s) for s in simulation_seeds], dtype=np.uint64)
        if sim.shape != (n,):
            raise ValueError(f"simulation_seeds must give one seed per participant ({n}), got {sim.size}")
    fits = stream.seeds(n, sub_seed(seed, "fit")) if fit_seed is None else np.full(n, fit_seed, dtype=np.uint64)
    per = per_participant_inputs(inputs, n)
    return [Participant(i, truths[i], int(sim[i]), int(fits[i]), per[i]) for i in range(n)]


def per_participant_inputs(inputs: Any, n: int) -> list[np.ndarray]:
    """One shared design (an array), or a list or tuple of arrays, one per participant."""
    if isinstance(inputs, (list, tuple)) and inputs and all(isinstance(x, np.ndarray) for x in inputs):
        if len(inputs) != n:
            raise ValueError(f"inputs has {len(inputs)} participants' arrays for n = {n}")
        return [np.asarray(x, dtype=np.float64) for x in inputs]
    shared = np.asarray(inputs, dtype=np.float64)
    return [shared] * n


def simulated(design: Design, p: Participant) -> tuple[np.ndarray, np.ndarray]:
    """One participant simulated (closed loop where the design gives options): the inputs its fit
    reads and its responses."""
    from velmora.simulation import simulate

    extra = {} if design.options is None else {"options": design.options}
    sim = simulate(design.model, p.inputs, p.truth, response_model=design.response_model, seed=p.sim_seed, **extra)
    assert sim.responses is not None
    return fitted_inputs(sim), np.asarray(sim.responses, dtype=np.float64)


def fit_batch(
    design: Design, data: Sequence[tuple[np.ndarray, np.ndarray]], fit_seeds: Sequence[int], threads: int
) -> dict[str, np.ndarray]:
    """Participants' data fitted as one native batch: transformed estimates and standard errors (rows x
    free), convergence and evidence."""
    from velmora.arrays import fit

    free = design.free
    if not data:
        empty = np.empty((0, len(free)))
        return {"estimate": empty, "se": empty, "converged": np.empty(0, bool), "lme": np.empty(0)}
    fits = fit(
        design.model,
        [x for x, _ in data],
        [y for _, y in data],
        response_model=design.response_model,
        fixed=design.fixed,
        priors=design.priors,
        n_starts=design.n_starts,
        seeds=np.asarray(fit_seeds, dtype=np.uint64),
        threads=threads,
        options=design.options,
    )
    transforms = design.problem.transforms
    estimate = np.column_stack([transformed_of(t, fits.params[name]) for name, t in zip(free, transforms)])
    slopes = np.column_stack([slope(t, fits.params[name]) for name, t in zip(free, transforms)])
    se = np.column_stack([fits.se[name] for name in free])
    # FitResult.se is in natural units by the delta method; undone here to the transformed space.
    with np.errstate(divide="ignore", invalid="ignore"):
        se = np.where(slopes != 0.0, se / np.abs(slopes), math.nan)
    return {"estimate": estimate, "se": se, "converged": fits.converged, "lme": fits.lme}


def run(
    task: Callable[[str, list[Any], Any], list[dict[str, Any]]],
    items: list[Any],
    options: Any,
    executor: Executor | None,
    threads: int,
    progress: bool | None,
    label: str,
    chunk: int = _CHUNK,
    unit: str = "participant",
) -> list[dict[str, Any]]:
    """``task(label, chunk, options)`` over ``items``: here on ``threads`` threads, or on ``executor``
    in chunks of ``chunk`` items on one thread each. Rows come back in the items' order."""
    if executor is None:
        bar = _progress_bar(len(items), progress, unit=unit)
        rows: list[dict[str, Any]] = []
        # Without a bar, one call: one native batch. With one, pieces small enough that it moves.
        size = max(len(items), 1) if bar is None else max(chunk * threads, math.ceil(len(items) / 20))
        try:
            for start in range(0, len(items), size):
                piece = items[start : start + size]
                rows += task(label, piece, (options, threads))
                if bar is not None:
                    bar.update(len(piece))
        finally:
            if bar is not None:
                bar.close()
        return rows
    if not callable(getattr(executor, "submit", None)):
        raise TypeError(f"executor must be a concurrent.futures.Executor (with submit), got {type(executor).__name__}")
    rows = run_chunks(task, label, items, (options, 1), executor, progress, chunk)
    failed = [row["error"] for row in rows if "error" in row and len(row) == 1]
    if failed:
        # Each failed item's row, after its chunk was retried item by item: a count of items, not chunks.
        raise RuntimeError(f"{len(failed)} of {len(items)} {unit} tasks failed on the executor; the first: {failed[0]}")
    return rows


def natural_value(transform: str, theta: float) -> float:
    return float(natural_of(transform, np.array([theta]))[0])
