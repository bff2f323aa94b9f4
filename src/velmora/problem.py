"""One fitting problem: what a fit estimates, the participants' data in the engine's layout, and the
engine's fit and likelihood over them.

A :class:`Problem` is built once from the model, the response model, the held values and the priors
(every check of them made there); :meth:`Problem.with_data` attaches participants. ``fit``,
``velmora.arrays.fit``, ``fit_many`` and ``fit_group`` all go through it, and the engine's entry
points are called here only.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from velmora import _engine
from velmora._core import InvalidParameter, NumericalDivergence
from velmora.choices import choice_trials, option_labels, to_indices
from velmora.conversion import as_responses, check_finite_inputs, number, refused_inputs
from velmora.models import (
    BINARY,
    ENGINE,
    OVER_OPTIONS,
    HELD_FOR_RESPONSES,
    NOT_FITTED,
    PARAMS,
    RESPONSE_PARAMS,
    RESPONSES,
    SELF_FIT,
    prior_pair,
    response_params,
)
from velmora.results import FitArrays
from velmora.stream import seeds as derived_seeds
from velmora.trajectories import run_model

__all__ = ["Problem", "TRANSFORM_CODES", "STATS", "natural_of", "slope", "unknown_parameter"]

TRANSFORM_CODES = {"identity": 0, "log": 1, "logit": 2}
# The statistics the engine writes per participant, in its order.
STATS = ("nll", "neg_log_joint", "lme", "iterations", "evaluations")


def natural_of(transform: str, theta: np.ndarray) -> np.ndarray:
    if transform == "log":
        return np.asarray(np.exp(theta))
    if transform == "logit":
        return np.asarray(1.0 / (1.0 + np.exp(-theta)))
    return theta


def slope(transform: str, x: np.ndarray) -> np.ndarray:
    """d natural / d transformed, at natural value x."""
    if transform == "log":
        return x
    if transform == "logit":
        return x * (1.0 - x)
    return np.ones_like(x)


def unknown_parameter(model: str, name: str, known: list[str]) -> ValueError:
    if name in NOT_FITTED.get(model, ()):
        return ValueError(f"parameter '{name}' does not change the {model} likelihood and is not fitted")
    return ValueError(f"model '{model}' has no parameter '{name}'; its parameters are {', '.join(known)}")


def _held(name: str, value: object, transform: str) -> float:
    """A held value, within the range its parameter can take: the models floor some variances and
    would run with a negative one, and a response variance of 0 gives no likelihood at all."""
    held = number(name, value)
    if name == "zeta" and held <= 0.0:
        raise ValueError(f"parameter 'zeta': the variance of the responses must be positive, got {held}")
    if transform == "log" and held < 0.0:
        raise ValueError(f"parameter '{name}': must be non-negative, got {held}")
    if transform == "logit" and not 0.0 <= held <= 1.0:
        raise ValueError(f"parameter '{name}': must be in [0, 1], got {held}")
    return held


def _order(model: str, names: Mapping[str, object]) -> list[str]:
    """The native vector's order: the engine's parameters but its noise ones, then the response
    model's among ``names``."""
    described = ENGINE[model]
    response_params = dict.fromkeys(name for params in RESPONSES.values() for name in params if name in names)
    return [*(name for name in described.params if name not in described.noise), *response_params]


def _n_trials(starts: np.ndarray, lengths: np.ndarray, responses: np.ndarray | None) -> np.ndarray:
    if responses is None:
        return lengths.astype(np.int64)
    # Segment sums over a byte per trial: no second copy of the responses' size.
    return np.add.reduceat(~np.isnan(responses), starts, dtype=np.int64) if lengths.size else lengths.copy()


@dataclass
class Problem:
    """What a fit estimates: the likelihood's parameter vector (held values, and which entries are free
    with their transforms and Gaussian priors in the transformed space), and the participants' data
    as the engine reads them (inputs end to end, each participant's first trial and trial count)."""

    model: str
    response: str
    names: list[str]  # the native vector's names, in its order
    values: np.ndarray  # natural values; the free entries are overwritten per evaluation
    free: np.ndarray  # int64 indices into values
    transforms: list[str]
    prior_mean: np.ndarray
    prior_var: np.ndarray
    n_starts: int = 4
    inputs: np.ndarray = field(default_factory=lambda: np.empty(0), repr=False)
    starts: np.ndarray = field(default_factory=lambda: np.empty(0, dtype=np.int64), repr=False)
    lengths: np.ndarray = field(default_factory=lambda: np.empty(0, dtype=np.int64), repr=False)
    responses: np.ndarray | None = field(default=None, repr=False)
    # A model that chooses: its options' labels, in order (the engine reads their positions).
    labels: np.ndarray | None = field(default=None, repr=False)

    @property
    def options(self) -> int:
        """K for a model that chooses among options; 0 for any other."""
        return 0 if self.labels is None else int(self.labels.size)

    @classmethod
    def build(
        cls,
        model: str,
        response: str,
        fixed: Mapping[str, Any],
        priors: Mapping[str, Any],
        n_starts: int = 4,
        options: Any = None,
    ) -> Problem:
        """The problem posed by ``fixed`` and ``priors`` (checked here, and the held values by the
        model's own run on one stand-in trial), without data."""
        optional = ENGINE[model].optional
        known_params = dict(PARAMS[model])
        held = {name: p.held for name, p in known_params.items() if p.held is not None}
        if response != SELF_FIT:
            known_params.update(response_params(model, response))
            held.update({name: p.held for name, p in RESPONSE_PARAMS[response].items() if p.held is not None})
            held.update(HELD_FOR_RESPONSES.get(model, {}))
        known = [*known_params, *optional]
        for source in (fixed, priors):
            for name in source:
                if name not in known:
                    raise unknown_parameter(model, name, known)
        both = sorted(set(fixed) & set(priors))
        if both:
            raise ValueError(f"parameter '{both[0]}' is given both a fixed value and a prior")
        never_free = [name for name in optional if name in priors]
        if never_free:
            raise ValueError(f"parameter '{never_free[0]}' is never free; give it in fixed")
        prior = {name: p.prior for name, p in known_params.items()}
        for name, value in priors.items():
            mean, var = prior_pair(name, value)
            if not (math.isfinite(mean) and math.isfinite(var)) or var <= 0.0:
                raise ValueError(
                    f"prior for '{name}': the mean must be finite and the variance finite and > 0, got ({mean}, {var})"
                )
            if not math.isfinite(1.0 / var):
                # A subnormal variance: its precision overflows and makes the log joint infinite everywhere.
                raise ValueError(
                    f"prior for '{name}': a variance of {var} has no finite precision (1 / variance); "
                    "it must be at least 1 / 1.7976931348623157e+308"
                )
            if known_params[name].transform != "identity" and abs(mean) > 700.0:
                # exp() of the mean overflows to inf or underflows to 0: no start would be feasible.
                raise ValueError(
                    f"prior for '{name}': a mean of {mean} on the {known_params[name].transform} scale "
                    "puts the parameter beyond floating point; it must lie within -700 .. 700"
                )
            prior[name] = (mean, var)
            held.pop(name, None)
        # An optional parameter is held when given and left out of the vector otherwise.
        held.update(
            {
                name: number(name, value) if name in optional else _held(name, value, known_params[name].transform)
                for name, value in fixed.items()
                if not (name in optional and value is None)
            }
        )
        names = [name for name in _order(model, known_params) if name not in optional or name in held]
        free = [i for i, name in enumerate(names) if name not in held]
        problem = cls(
            model,
            response,
            names,
            np.array([held.get(name, math.nan) for name in names], dtype=np.float64),
            np.array(free, dtype=np.int64),
            [known_params[names[i]].transform for i in free],
            np.array([prior[names[i]][0] for i in free]),
            np.array([prior[names[i]][1] for i in free]),
            n_starts,
            labels=option_labels(model, options),
        )
        if problem.labels is None and response in OVER_OPTIONS:
            # The model's own option values: its responses are their indices.
            problem.labels = np.arange(ENGINE[model].option_values, dtype=np.float64)
        try:
            if problem.labels is not None:
                # A missed stand-in trial: the run checks the held values before its first trial.
                choice_trials(model, response, np.zeros(1), np.full(1, np.nan), problem.start, problem.options)
            else:
                stand_in = np.zeros((1, ENGINE[model].width))
                run_model(model, stand_in if ENGINE[model].width > 1 else stand_in[:, 0], problem.start)
        except NumericalDivergence:
            # Valid held values where the model has no value at the start (the binary HGF past its
            # level-3 precision, an overflowing volatility): a fit there has no estimate, not an error.
            pass
        return problem

    @property
    def free_names(self) -> list[str]:
        return [self.names[i] for i in self.free]

    @property
    def given(self) -> int:
        """The engine's mask of the optional parameters the vector holds."""
        return ENGINE[self.model].given(tuple(self.names))

    @property
    def start(self) -> dict[str, float | None]:
        """The natural values at the prior means, by name."""
        return self.named(self.natural(self.prior_mean))

    @np.errstate(over="ignore")  # far out in the search exp gives inf: an infeasible variance, or a logistic of 0
    def natural(self, theta: np.ndarray) -> np.ndarray:
        """The parameter vector in natural units at transformed free values ``theta``."""
        values = self.values.copy()
        for j, i in enumerate(self.free):
            values[i] = natural_of(self.transforms[j], theta[j : j + 1])[0]
        return values

    def named(self, values: np.ndarray) -> dict[str, float | None]:
        """Natural values by name, in the native order; an optional parameter left out shows as None."""
        named = dict(zip(self.names, (float(v) for v in values)))
        optional = ENGINE[self.model].optional
        return {name: named.get(name) for name in _order(self.model, named) if name in named or name in optional}

    # -- the participants' data --------------------------------------------------------------------

    def with_data(
        self, inputs: np.ndarray, starts: np.ndarray, lengths: np.ndarray, responses: np.ndarray | None
    ) -> Problem:
        """This problem over participants: ``inputs`` end to end (the model's input width per trial),
        ``starts`` and ``lengths`` counting trials, ``responses`` one per trial (None: a self-fit).
        A model that chooses takes its responses as option labels, refused (naming the participant
        when there are several, and the trial) where one is not an option."""
        if self.labels is not None and responses is not None:
            responses = to_indices(responses, self.labels, starts if starts.size > 1 else None)
        return dataclasses.replace(self, inputs=inputs, starts=starts, lengths=lengths, responses=responses)

    @property
    def n_trials(self) -> np.ndarray:
        """The trials each participant has in the likelihood (a missed response counts for none)."""
        return _n_trials(self.starts, self.lengths, self.responses)

    def check_data(self, batched: bool = True) -> np.ndarray:
        """Each participant's own data checked as fit checks one, over the whole batch at once (the
        first participant at fault is named, with its index when ``batched``); the trials each has in
        its likelihood."""
        return self._check(self.inputs, self.starts, self.lengths, self.responses, batched)

    def check_participant(self, inputs: np.ndarray, responses: np.ndarray | None) -> None:
        """One participant's own data (its inputs, one row or number per trial) checked as fit checks them."""
        lengths = np.array([len(inputs)], dtype=np.int64)
        self._check(inputs.reshape(-1), np.zeros(1, dtype=np.int64), lengths, responses, False)

    def _check(
        self, inputs: np.ndarray, starts: np.ndarray, lengths: np.ndarray, responses: np.ndarray | None, batched: bool
    ) -> np.ndarray:
        bad = lengths == 0
        rows = inputs.reshape(-1, ENGINE[self.model].width)
        faulty_inputs = refused_inputs(self.model, rows).any(axis=1)
        faulty_responses = None
        if responses is not None:
            # A choice among options is an option's index here already (with_data).
            faulty_responses = (
                ~((responses == 0.0) | (responses == 1.0) | np.isnan(responses))
                if self.response in BINARY
                else np.isinf(responses)
            )
        for flags in (faulty_inputs, faulty_responses):
            if flags is not None and flags.any():
                bad[np.searchsorted(starts, np.flatnonzero(flags)[0], side="right") - 1] = True
        data = (inputs, starts, lengths, responses)
        if bad.any():
            self._name_fault(*data, batched, int(np.flatnonzero(bad)[0]))
        n_trials = _n_trials(starts, lengths, responses)
        if responses is not None and not n_trials.all():
            self._name_fault(*data, batched, int(np.flatnonzero(n_trials == 0)[0]))
        return n_trials

    def _name_fault(
        self,
        inputs: np.ndarray,
        starts: np.ndarray,
        lengths: np.ndarray,
        responses: np.ndarray | None,
        batched: bool,
        i: int,
    ) -> None:
        """Raises participant i's fault as fit raises it for one participant."""
        span = slice(int(starts[i]), int(starts[i] + lengths[i]))
        try:
            if lengths[i] == 0:
                raise ValueError("inputs: empty; a fit needs at least one trial")
            check_finite_inputs(self.model, inputs.reshape(-1, ENGINE[self.model].width)[span])
            if responses is not None:
                as_responses(responses[span], int(lengths[i]), self.response)
        except (ValueError, InvalidParameter) as error:
            if not batched:
                raise
            raise type(error)(f"participant {i}: {error}") from None

    # -- the engine ------------------------------------------------------------------------------------

    def fit(self, seeds: np.ndarray | None = None, threads: int = 1) -> FitArrays:
        """Every participant's MAP fit by the engine, without the interpreter lock; ``seeds`` one per
        participant (None: as :func:`velmora.arrays.fit` derives them from seed 0)."""
        if seeds is None:
            n = self.lengths.size
            seeds = np.zeros(1, dtype=np.uint64) if n == 1 else derived_seeds(n, 0)
        out = self.run_fit(seeds, threads)
        return self.arrays(out["natural"], out["se"], out["stats"], out["status"])

    def run_fit(
        self,
        seeds: np.ndarray,
        threads: int,
        *,
        n_starts: int | None = None,
        prior_mean: np.ndarray | None = None,
        prior_var: np.ndarray | None = None,
        means: np.ndarray | None = None,
        precision: np.ndarray | None = None,
        log_det: float = 0.0,
        posterior: bool = False,
        first: np.ndarray | None = None,
    ) -> dict[str, np.ndarray]:
        """The engine's fit of every participant as it writes it: ``natural`` (participants x vector),
        ``se`` (x free), ``stats`` (x ``STATS``), ``status`` and, with ``posterior``, each one's
        transformed estimate ``theta`` and its inverse Hessian ``cov``. A group prior replaces the
        problem's: ``prior_mean`` and ``prior_var`` (diagonal), per-participant ``means``, a full
        ``precision`` with ``log_det``; ``first`` gives each participant's first start."""
        n, k, m = self.lengths.size, len(self.values), len(self.free)
        out = {
            "natural": np.empty((n, k)),
            "se": np.empty((n, m)),
            "stats": np.empty((n, len(STATS))),
            "status": np.empty(n, dtype=np.int64),
        }
        if posterior:
            out["theta"], out["cov"] = np.empty((n, m)), np.empty((n, m, m))
        _engine.fit(
            self.model,
            self.response,
            self.inputs,
            self.starts,
            self.lengths,
            self.responses,
            params=self.values,
            free=self.free,
            transforms=np.array([TRANSFORM_CODES[t] for t in self.transforms], dtype=np.int64),
            prior_mean=self.prior_mean if prior_mean is None else prior_mean,
            prior_var=self.prior_var if prior_var is None else prior_var,
            seeds=seeds,
            n_starts=self.n_starts if n_starts is None else n_starts,
            threads=threads,
            optional=self.given,
            natural=out["natural"],
            se=out["se"],
            stats=out["stats"],
            status=out["status"],
            options=self.options,
            prior_means=means,
            prior_precision=precision,
            prior_log_det_precision=log_det,
            theta=out.get("theta"),
            cov=out.get("cov"),
            first_starts=first,
        )
        return out

    def evaluate(self, theta: np.ndarray, rows: np.ndarray | None = None, threads: int = 1) -> np.ndarray:
        """The negative log-likelihood of participants ``rows`` (None: all) at each of their draws of
        transformed free values ``theta`` (rows x draws x free): rows x draws."""
        rows = np.arange(self.lengths.size) if rows is None else rows
        vectors = np.broadcast_to(self.values, (len(rows), theta.shape[1], len(self.values))).copy()
        for j, index in enumerate(self.free):
            with np.errstate(over="ignore"):
                vectors[:, :, index] = natural_of(self.transforms[j], theta[:, :, j])
        return self.nll(vectors, rows, threads)

    def nll(self, vectors: np.ndarray, rows: np.ndarray, threads: int = 1) -> np.ndarray:
        """The negative log-likelihood of participants ``rows`` at natural parameter vectors
        (rows x draws x vector): rows x draws."""
        out = np.empty(vectors.shape[:2])
        _engine.evaluate(
            self.model,
            self.response,
            self.inputs,
            self.starts[rows],
            self.lengths[rows],
            self.responses,
            params=np.ascontiguousarray(vectors),
            draws=vectors.shape[1],
            optional=self.given,
            threads=threads,
            out=out,
            options=self.options,
        )
        return out

    def arrays(
        self,
        natural: np.ndarray,
        se: np.ndarray,
        stats: np.ndarray,
        status: np.ndarray,
        n_trials: np.ndarray | None = None,
    ) -> FitArrays:
        """The fits as the engine writes them (participants x vector, participants x free,
        participants x ``STATS``, one status code each), by name."""
        named = self.named(self.values)
        params = {
            name: natural[:, self.names.index(name)] if name in self.names else np.full(status.size, math.nan)
            for name in named
        }
        return FitArrays(
            model=self.model,
            response_model=self.response,
            params=params,
            se={name: se[:, j] for j, name in enumerate(self.free_names)},
            free=tuple(self.free_names),
            nll=stats[:, 0],
            neg_log_joint=stats[:, 1],
            lme=stats[:, 2],
            n_trials=(self.n_trials if n_trials is None else n_trials).astype(np.int64),
            status=status,
            iterations=stats[:, 3].astype(np.int64),
            evaluations=stats[:, 4].astype(np.int64),
        )
