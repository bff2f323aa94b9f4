"""Fitting the models to data: maximum a posteriori estimates, standard errors and model evidence.

:func:`fit` estimates a model's parameters in one of two ways:

- ``responses=None`` (system identification, ``kalman`` and ``hgf``): the filter's predictive
  log-likelihood of the input sequence itself, the ``loglik`` of :mod:`velmora.arrays`.
- ``responses`` given (``kalman``, ``hgf``, ``td``): the inputs drive the model and each response
  is Normal around the model's belief before that trial, with variance ``zeta`` (response model
  ``"gaussian"``). The belief is the Kalman posterior mean after the previous trial
  (``initial_mean`` first), the HGF's ``prediction``, and the TD value before the trial's reward
  (``initial_value`` first). A NaN response is a missed trial: it adds nothing to the likelihood,
  but the model still sees its input.

Every free parameter is optimised in an unbounded space: log for variances, noises and
``precision_flexibility``, logit for ``learning_rate``, identity for means. Each has a Gaussian prior
in that space; the objective is the negative log-joint, ``nll`` plus the negative log prior.

Default priors (mean, variance), in the transformed space, and default roles:

=============================  =========  =============  ======================================
parameter                      transform  prior          role by default
=============================  =========  =============  ======================================
kalman ``initial_mean``        identity   (0, 100)       free
kalman ``initial_var``         log        (log 1, 4)     free
kalman ``process_noise``       log        (log 0.1, 4)   free
kalman ``obs_noise``           log        (log 1, 4)     free; held at 1 when fitting responses
hgf ``obs_noise``              log        (log 1, 4)     free
hgf ``precision_flexibility``  log        (log 1, 4)     free
hgf ``base_process_noise``     log        (log 0.01, 4)  free
hgf ``mu1``                    identity   (0, 100)       held at 0
hgf ``var1``                   log        (log 1, 4)     held at 1
hgf ``mu2``                    identity   (0, 100)       held at 0
td ``initial_value``           identity   (0, 100)       free
td ``learning_rate``           logit      (0, 2.25)      free
``zeta`` (responses)           log        (log 1, 4)     free
=============================  =========  =============  ======================================

A log prior of variance 4 spans about two orders of magnitude either side of its centre (95 %),
so it only keeps a fit away from degenerate corners. When fitting responses the Kalman filter's
beliefs depend on its three variances only through their ratios to ``obs_noise``, hence the default
hold. ``fixed={"name": value}`` holds a parameter at a natural value; ``priors={"name": (mean,
variance)}`` replaces a prior and makes the parameter free. ``prior_precision_cap`` is never free:
without it in ``fixed`` the filter runs uncapped. ``var2``, ``discount_factor``, ``rpe_noise_std`` and
the seeds do not change a likelihood (TD is fitted without prediction-error noise), so they are no
parameters of a fit.

A cap that binds leaves ``process_noise`` unidentified, and ``initial_var`` with it: once the cap
limits the precision of every prediction after the first, the two reach the likelihood only through
the first, and not at all where the cap takes over that one too, so the estimate sits on that kink
and only the prior holds them there. Such a parameter (the likelihood flat on one side of the
estimate) gets a NaN standard error, the others keep theirs, and ``lme`` integrates it against its
prior alone. Hold them with ``fixed=`` when fitting a filter whose cap binds.
"""

from __future__ import annotations

import contextlib
import math
import operator
import sys
from collections.abc import Mapping
from dataclasses import dataclass, field, fields
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora import _engine
from velmora import arrays as va
from velmora._core import InvalidParameter
from velmora.models import HELD_FOR_RESPONSES, NOT_FITTED, PARAMS, RESPONSE_MODELS, ZETA

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]

__all__ = ["fit", "FitResult"]

_CAP = "prior_precision_cap"
NO_ESTIMATE = "no estimate: the model failed, or its likelihood was not finite, at every starting point"


def _natural(transform: str, theta: np.ndarray) -> np.ndarray:
    if transform == "log":
        return np.asarray(np.exp(theta))
    if transform == "logit":
        return np.asarray(1.0 / (1.0 + np.exp(-theta)))
    return theta


def _slope(transform: str, x: np.ndarray) -> np.ndarray:
    """d natural / d transformed, at natural value x."""
    if transform == "log":
        return x
    if transform == "logit":
        return x * (1.0 - x)
    return np.ones_like(x)


def run_model(model: str, inputs: np.ndarray, params: Mapping[str, Any], seed: int = 0) -> va.Trajectories:
    """The array engine's trajectory for natural parameter values (TD without prediction-error noise)."""
    if model == "kalman":
        return va.kalman_run(params["initial_mean"], params["initial_var"], inputs, params["process_noise"],
                             params["obs_noise"], params.get(_CAP), threads=1)
    if model == "hgf":
        p = {name: params[name] for name in PARAMS["hgf"] if name in params}
        return va.hgf_run(inputs, threads=1, **p)
    if model == "td":
        return va.td_learn_sequence(params["initial_value"], inputs, params["learning_rate"], 1.0, 0.0, 0,
                                    threads=1)
    return va.forward_simulate(inputs, params["update_rate"], params["injury_noise_std"], params["sensory_gain"],
                               seed, threads=1)


def belief(model: str, trajectory: va.Trajectories, params: Mapping[str, Any]) -> np.ndarray:
    """What the model expects before each trial, the centre of that trial's response."""
    if model == "hgf":
        return np.asarray(trajectory["prediction"])
    after, first = (trajectory["mean"], params["initial_mean"]) if model == "kalman" else \
        (trajectory["value"], params["initial_value"])
    return np.concatenate(([first], after[:-1]))


@dataclass
class _Problem:
    """What a fit estimates: the likelihood's parameter vector (held values, and which entries are free
    with their transforms and Gaussian priors in the transformed space), with one participant's data."""

    model: str
    response: str
    inputs: np.ndarray
    responses: np.ndarray | None
    names: list[str]  # the native vector's names, in its order
    values: np.ndarray  # natural values; the free entries are overwritten per evaluation
    free: np.ndarray  # int64 indices into values
    transforms: list[str]
    prior_mean: np.ndarray
    prior_var: np.ndarray
    has_cap: bool

    @property
    def free_names(self) -> list[str]:
        return [self.names[i] for i in self.free]

    @np.errstate(over="ignore")  # far out in the search exp gives inf: an infeasible variance, or a logistic of 0
    def natural(self, theta: np.ndarray) -> np.ndarray:
        values = self.values.copy()
        for j, i in enumerate(self.free):
            values[i] = _natural(self.transforms[j], theta[j : j + 1])[0]
        return values

    @property
    def given(self) -> int:
        """The engine's mask of the optional parameters the vector holds."""
        return 1 if self.has_cap else 0


@dataclass
class FitResult:
    """A model fitted to one participant's data.

    ``params``: every parameter at the estimate, natural units (held ones included); ``se``: standard
    error of each free parameter, from the Hessian of the negative log-joint in transformed space
    mapped back by the delta method; NaN for a parameter the likelihood is flat in on one side of the
    estimate (not identified, as ``process_noise`` under a binding ``prior_precision_cap``), and for
    every parameter where the Hessian over the identified ones is not positive definite. ``nll``: the
    negative log-likelihood at the estimate; ``neg_log_joint``: ``nll`` plus the negative log prior;
    ``lme``: Laplace approximation of the log model evidence, an unidentified parameter integrated
    against its prior alone (NaN with the standard errors). ``aic`` = 2 nll + 2k, ``bic`` = 2 nll +
    k log n for k free parameters and ``n_trials`` trials in the likelihood; the ``nll`` there is the
    one at the MAP estimate, not at the maximum-likelihood one (as the HGF toolboxes report them), so
    both are somewhat larger than their textbook values, by how much the prior pulls the estimate.
    ``converged`` and ``message`` from the optimiser; ``trajectory``: the array engine's result at the
    estimate.

    A fit that found no feasible point (the model failed, or its likelihood overflowed, at every
    start) has no estimate: its free parameters, standard errors and criteria are NaN, ``converged``
    is False, ``message`` says so and ``trajectory`` is None. Two results are equal when every field
    is, NaN where the other has NaN.
    """

    model: str
    response: str
    params: dict[str, float | None]
    se: dict[str, float]
    free: tuple[str, ...]
    nll: float
    neg_log_joint: float
    lme: float
    aic: float
    bic: float
    n_trials: int
    converged: bool
    message: str
    trajectory: va.Trajectories | None = field(repr=False)

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return all(_same(getattr(self, f.name), getattr(other, f.name)) for f in fields(self))

    def to_dict(self) -> dict[str, Any]:
        """One flat row: model, response, each parameter, ``se_<name>`` per free one, the criteria."""
        row: dict[str, Any] = {"model": self.model, "response": self.response}
        row.update(self.params)
        row.update({f"se_{name}": value for name, value in self.se.items()})
        for name in ("nll", "neg_log_joint", "lme", "aic", "bic", "n_trials", "converged", "message"):
            row[name] = getattr(self, name)
        return row

    def to_frame(self) -> pandas.DataFrame:
        """``to_dict()`` as a one-row DataFrame, ready to concatenate across participants."""
        import pandas as pd

        return pd.DataFrame([self.to_dict()])

    def summary(self) -> str:
        source = "observations" if self.response == "observations" else f"responses ({self.response})"
        lines = [f"velmora fit: {self.model} to {source}, {self.n_trials} trials",
                 f"converged: {self.converged} ({self.message})",
                 f"{'parameter':<24}{'estimate':>12}{'se':>12}"]
        for name, value in self.params.items():
            se = f"{self.se[name]:12.4g}" if name in self.se else f"{'held':>12}"
            shown = f"{value:12.4g}" if value is not None else f"{'none':>12}"
            lines.append(f"{name:<24}{shown}{se}")
        lines.append(f"nll {self.nll:.4f}  neg_log_joint {self.neg_log_joint:.4f}  lme {self.lme:.4f}  "
                     f"aic {self.aic:.4f}  bic {self.bic:.4f}")
        return "\n".join(lines)

    def __repr__(self) -> str:
        return self.summary()

    def _repr_html_(self) -> str:
        import html

        return f"<pre>{html.escape(self.summary())}</pre>"


def _same(a: Any, b: Any) -> bool:
    """Equal, with NaN equal to NaN (a value that is not there), also within dicts."""
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(_same(a[k], b[k]) for k in a)
    return bool(a == b)


def _check_model(model: object, allowed: tuple[str, ...]) -> str:
    if not isinstance(model, str) or model not in allowed:
        raise ValueError(f"unknown model {model!r}; expected one of {', '.join(allowed)}")
    return model


def _floats(values: Any, name: str) -> np.ndarray:
    """A sequence of real numbers as float64. Numeric arrays are cast; anything else goes item by
    item through the list functions' conversion, which refuses None, text and dates rather than
    reading them as NaN or parsing them; complex numbers are refused rather than cut to their real part."""
    try:
        array = np.asarray(values)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name}: expected a 1-D sequence of numbers ({error})") from None
    if array.dtype.kind == "c":
        raise TypeError(f"{name}: complex values are not accepted (got dtype {array.dtype})")
    if array.ndim == 1 and array.dtype.kind not in "biuf":
        return np.frombuffer(_engine.as_doubles(array, name), dtype=np.float64)
    return np.asarray(array, dtype=np.float64, order="C")  # a scalar stays 0-D, to be refused as one


def _as_inputs(inputs: Any) -> np.ndarray:
    array = _floats(inputs, "inputs")
    if array.ndim != 1:
        raise ValueError(f"inputs: expected a 1-D sequence, got {array.ndim}-D")
    if array.size == 0:
        raise ValueError("inputs: empty; a fit needs at least one trial")
    return array


def _check_finite_inputs(model: str, x: np.ndarray) -> None:
    """Non-finite inputs refused for every model, as the filters refuse them: TD takes any reward,
    so a NaN would only show as NaN beliefs (and a last one not at all)."""
    bad = np.flatnonzero(~np.isfinite(x))
    if bad.size:
        value = "NaN" if np.isnan(x[bad[0]]) else str(x[bad[0]])
        name = "reward" if model == "td" else "input"
        raise InvalidParameter(f"invalid parameter '{name}': {value} at trial {bad[0]} (must be finite)")


def _as_seed(seed: Any) -> int:
    if isinstance(seed, (bool, np.bool_)):
        raise TypeError("seed must be an integer, not bool")
    try:
        value = operator.index(seed)
    except TypeError:
        raise TypeError(f"seed must be an integer from 0 to 2**64-1, not {type(seed).__name__}; a fit is "
                        "repeatable only under a fixed seed") from None
    if not 0 <= value < va.SEED_LIMIT:
        raise ValueError(f"seed must lie in 0..2**64-1, got {value}")
    return value


def _as_responses(responses: Any, n: int) -> np.ndarray:
    array = _floats(responses, "responses")
    if array.ndim != 1 or array.size != n:
        raise ValueError(f"responses: expected one per input ({n}), got shape {array.shape}")
    if np.any(np.isinf(array)):
        raise ValueError("responses: must be finite, or NaN for a missed trial")
    if np.all(np.isnan(array)):
        raise ValueError("responses: every trial is missing (NaN); nothing to fit")
    return array


def _number(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"parameter '{name}': expected a number, got {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"parameter '{name}': must be finite, got {number}")
    return number


def _held(name: str, value: object, transform: str) -> float:
    """A held value, within the range its parameter can take: the models floor some variances and
    would run with a negative one, and a response variance of 0 gives no likelihood at all."""
    number = _number(name, value)
    if name == "zeta" and number <= 0.0:
        raise ValueError(f"parameter 'zeta': the variance of the responses must be positive, got {number}")
    if transform == "log" and number < 0.0:
        raise ValueError(f"parameter '{name}': must be non-negative, got {number}")
    if transform == "logit" and not 0.0 <= number <= 1.0:
        raise ValueError(f"parameter '{name}': must be in [0, 1], got {number}")
    return number


def _unknown(model: str, name: str, known: list[str]) -> ValueError:
    if name in NOT_FITTED.get(model, ()):
        return ValueError(f"parameter '{name}' does not change the {model} likelihood and is not fitted")
    return ValueError(f"model '{model}' has no parameter '{name}'; its parameters are {', '.join(known)}")


def _problem(model: str, response: str, inputs: np.ndarray, responses: np.ndarray | None,
             fixed: Mapping[str, Any], priors: Mapping[str, Any]) -> tuple[_Problem, dict[str, float | None]]:
    known_params = dict(PARAMS[model])
    held = {name: p.held for name, p in known_params.items() if p.held is not None}
    if response != "observations":
        known_params["zeta"] = ZETA
        held.update(HELD_FOR_RESPONSES.get(model, {}))
    known = [*known_params, *([_CAP] if model == "kalman" else [])]
    for source in (fixed, priors):
        for name in source:
            if name not in known:
                raise _unknown(model, name, known)
    both = sorted(set(fixed) & set(priors))
    if both:
        raise ValueError(f"parameter '{both[0]}' is given both a fixed value and a prior")
    if _CAP in priors:
        raise ValueError(f"parameter '{_CAP}' is never free; give it in fixed")
    prior = {name: p.prior for name, p in known_params.items()}
    for name, value in priors.items():
        try:
            mean, var = (float(v) for v in value)
        except (TypeError, ValueError):
            raise TypeError(f"prior for '{name}': expected (mean, variance), got {value!r}") from None
        if not (math.isfinite(mean) and math.isfinite(var)) or var <= 0.0:
            raise ValueError(f"prior for '{name}': the mean must be finite and the variance finite and > 0, "
                             f"got ({mean}, {var})")
        if known_params[name].transform != "identity" and abs(mean) > 700.0:
            # exp() of the mean overflows to inf or underflows to 0: no start would be feasible.
            raise ValueError(f"prior for '{name}': a mean of {mean} on the {known_params[name].transform} scale "
                             "puts the parameter beyond floating point; it must lie within -700 .. 700")
        prior[name] = (mean, var)
        held.pop(name, None)
    cap = fixed.get(_CAP)
    held.update({name: _held(name, value, known_params[name].transform) for name, value in fixed.items()
                 if name != _CAP})
    if cap is not None:
        cap = _number(_CAP, cap)
    names = list(PARAMS[model])
    if cap is not None:
        names.append(_CAP)
    if "zeta" in known_params:
        names.append("zeta")
    values = np.array([held.get(name, math.nan) if name != _CAP else cap for name in names], dtype=np.float64)
    free = [i for i, name in enumerate(names) if name != _CAP and name not in held]
    problem = _Problem(
        model, response, inputs, responses, names, values, np.array(free, dtype=np.int64),
        [known_params[names[i]].transform for i in free],
        np.array([prior[names[i]][0] for i in free]), np.array([prior[names[i]][1] for i in free]),
        cap is not None)
    return problem, _named(problem, problem.natural(problem.prior_mean))


def _named(problem: _Problem, values: np.ndarray) -> dict[str, float | None]:
    """Natural values by name, in the native order; a Kalman filter without a cap shows it as None."""
    named = dict(zip(problem.names, (float(v) for v in values)))
    order = [*PARAMS[problem.model], *([_CAP] if problem.model == "kalman" else []), "zeta"]
    return {name: named.get(name) for name in order if name in named or name == _CAP}


def _prepare(model: str, inputs: Any, responses: Any, response: str, fixed: Mapping[str, Any] | None,
             priors: Mapping[str, Any] | None,
             n_starts: int) -> tuple[_Problem, dict[str, float | None], np.ndarray, str, int]:
    """Every check of fit's arguments, and the problem they pose; fit_many runs it once on stand-in data."""
    _check_model(model, tuple(PARAMS))
    if response not in RESPONSE_MODELS[model]:
        raise ValueError(f"unknown response model {response!r}; expected one of {', '.join(RESPONSE_MODELS[model])}")
    if isinstance(n_starts, bool) or not isinstance(n_starts, (int, np.integer)) or not 1 <= n_starts <= sys.maxsize:
        raise ValueError(f"n_starts must be a positive integer up to {sys.maxsize}, got {n_starts!r}")
    x = _as_inputs(inputs)
    if responses is None:
        if model == "td":
            raise ValueError("model 'td' is fitted to responses only; pass responses")
        response, y = "observations", None
    else:
        y = _as_responses(responses, x.size)
    problem, start = _problem(model, response, x, y, dict(fixed or {}), dict(priors or {}))
    _check_finite_inputs(model, x)
    run_model(model, x, start)  # the model's own checks of the held values
    return problem, start, x, response, int(x.size if y is None else np.count_nonzero(~np.isnan(y)))


# ---------------------------------------------------------------------------------------------
# The native fit: every participant of a batch optimised in C++, on every core

_TRANSFORM_CODES = {"identity": 0, "log": 1, "logit": 2}
# The engine's status of each participant's fit, by code.
_STATUS = ("converged",
           "stopped before converging: iteration or evaluation limit, or no lower point along the search direction",
           NO_ESTIMATE, "interrupted")
_NO_ESTIMATE_CODE = 2
_STATS = ("nll", "neg_log_joint", "lme", "iterations", "evaluations")


@dataclass(eq=False)
class FitArrays:
    """Many participants fitted in one call: one entry per participant in every array.

    ``params``: each parameter's estimates in natural units (held ones included; NaN for a fit with
    no estimate, and for an optional parameter left out); ``se``: each free parameter's standard
    errors; ``nll``, ``neg_log_joint``, ``lme``, ``aic``, ``bic``, ``n_trials``, ``converged`` as in
    :class:`FitResult`; ``status`` the engine's code of each fit (0 converged, 1 stopped before
    converging, 2 no estimate) and ``message`` its words; ``error`` is ``message`` where a fit has no
    estimate and empty elsewhere. ``to_frame()`` gives one row per participant.
    """

    model: str
    response: str
    params: dict[str, np.ndarray]
    se: dict[str, np.ndarray]
    free: tuple[str, ...]
    nll: np.ndarray
    neg_log_joint: np.ndarray
    lme: np.ndarray
    n_trials: np.ndarray
    status: np.ndarray
    iterations: np.ndarray
    evaluations: np.ndarray

    def __len__(self) -> int:
        return int(self.nll.size)

    @property
    def converged(self) -> np.ndarray:
        return np.asarray(self.status == 0)

    @property
    def aic(self) -> np.ndarray:
        """2 nll + 2k, with the nll at the MAP estimate (see :class:`FitResult`)."""
        return np.asarray(2.0 * self.nll + 2.0 * len(self.free))

    @property
    def bic(self) -> np.ndarray:
        """2 nll + k log n, with the nll at the MAP estimate and n the trials in the likelihood."""
        with np.errstate(divide="ignore"):
            return np.asarray(2.0 * self.nll + len(self.free) * np.log(self.n_trials))

    @property
    def message(self) -> list[str]:
        return [_STATUS[code] for code in self.status]

    @property
    def error(self) -> list[str]:
        return [_STATUS[code] if code == _NO_ESTIMATE_CODE else "" for code in self.status]

    def to_frame(self) -> pandas.DataFrame:
        """One row per participant: the estimates, ``se_<name>`` per free parameter, the criteria,
        ``n_trials``, ``converged``, ``message`` and ``error``."""
        import pandas as pd

        columns: dict[str, Any] = dict(self.params)
        columns.update({f"se_{name}": values for name, values in self.se.items()})
        columns.update(nll=self.nll, neg_log_joint=self.neg_log_joint, lme=self.lme, aic=self.aic, bic=self.bic,
                       n_trials=self.n_trials, converged=self.converged, message=self.message, error=self.error)
        return pd.DataFrame(columns)

    def result(self, i: int, trajectory: va.Trajectories | None = None) -> FitResult:
        """Participant ``i``'s fit as a :class:`FitResult`."""
        params: dict[str, float | None] = {
            name: None if name == _CAP and math.isnan(values[i]) else float(values[i])
            for name, values in self.params.items()}
        return FitResult(self.model, self.response, params, {name: float(v[i]) for name, v in self.se.items()},
                         self.free, float(self.nll[i]), float(self.neg_log_joint[i]), float(self.lme[i]),
                         float(self.aic[i]), float(self.bic[i]), int(self.n_trials[i]), bool(self.converged[i]),
                         self.message[i], trajectory)


def _fit_native(problem: _Problem, values: np.ndarray, starts: np.ndarray, lengths: np.ndarray,
                responses: np.ndarray | None, n_trials: np.ndarray, seeds: np.ndarray, n_starts: int,
                threads: int) -> FitArrays:
    """Every participant's MAP fit under ``problem`` by the engine, without the interpreter lock."""
    n, k, m = lengths.size, len(problem.values), len(problem.free)
    natural, se = np.empty((n, k)), np.empty((n, m))
    stats, status = np.empty((n, len(_STATS))), np.empty(n, dtype=np.int64)
    transforms = np.array([_TRANSFORM_CODES[t] for t in problem.transforms], dtype=np.int64)
    _engine.fit(problem.model, problem.response, values, starts, lengths, responses, problem.values, problem.free,
                transforms, problem.prior_mean, problem.prior_var, seeds, n_starts, threads, problem.given,
                natural, se, stats, status)
    named = _named(problem, problem.values)
    params = {name: natural[:, problem.names.index(name)] if name in problem.names else np.full(n, math.nan)
              for name in named}
    return FitArrays(problem.model, problem.response, params,
                     {name: se[:, j] for j, name in enumerate(problem.free_names)}, tuple(problem.free_names),
                     stats[:, 0], stats[:, 1], stats[:, 2], n_trials.astype(np.int64), status,
                     stats[:, 3].astype(np.int64), stats[:, 4].astype(np.int64))


def fit(model: str, inputs: Any, responses: Any = None, *, response: str = "gaussian",
        fixed: Mapping[str, Any] | None = None, priors: Mapping[str, Any] | None = None, n_starts: int = 4,
        seed: int = 0) -> FitResult:
    """Fit ``model`` ("kalman", "hgf" or "td") to ``inputs`` alone (``responses=None``) or to a
    participant's ``responses`` under the response model ``response``; see the module docstring.

    A quasi-Newton optimiser (BFGS with a strong Wolfe line search, in the native engine) runs from
    ``n_starts`` points, the first at the prior means and the rest drawn from the priors by the
    models' own seeded generator (``seed``: an integer from 0 to 2**64-1); the best end point is the
    estimate. Bad arguments raise ``ValueError`` or ``TypeError`` before any optimisation,
    non-finite inputs ``InvalidParameter`` (for every model), as do held values the model refuses;
    an optimisation that fails is reported in ``converged`` and ``message``, and a fit with no
    feasible point has NaN estimates (see :class:`FitResult`). :func:`velmora.arrays.fit` fits many
    participants at once; this is its one-participant case.
    """
    seed = _as_seed(seed)
    problem, _, x, response, n_trials = _prepare(model, inputs, responses, response, fixed, priors, n_starts)
    batch = _fit_native(problem, x, np.zeros(1, dtype=np.int64), np.array([x.size], dtype=np.int64),
                        problem.responses, np.array([n_trials]), np.array([seed], dtype=np.uint64), int(n_starts), 1)
    if batch.status[0] == _NO_ESTIMATE_CODE:
        return batch.result(0)
    estimate = {name: float(values[0]) for name, values in batch.params.items()}
    if math.isnan(estimate.get(_CAP, 0.0)):
        estimate.pop(_CAP)
    return batch.result(0, run_model(model, x, estimate))


def fit_arrays(model: str, inputs: Any, responses: Any = None, *, response: str = "gaussian",
               fixed: Mapping[str, Any] | None = None, priors: Mapping[str, Any] | None = None, n_starts: int = 4,
               seeds: Any = None, seed: int = 0, threads: int | None = None) -> FitArrays:
    """:func:`velmora.arrays.fit`: many participants, one native batch."""
    seed = _as_seed(seed)
    problem, _, _, response, _ = _prepare(model, np.zeros(1), None if responses is None else np.zeros(1), response,
                                          fixed, priors, n_starts)
    x = va._Call(inputs, "inputs")
    x.convert_sequence()
    n = x.subjects
    if responses is None:
        y = None
    else:
        ry = va._Call(responses, "responses")
        if ry.batched != x.batched or ry.subjects != n:
            raise ValueError(f"responses: expected one sequence per participant ({n}) shaped like the inputs")
        ry.convert_sequence()
        if not np.array_equal(ry.lengths, x.lengths):
            i = int(np.flatnonzero(ry.lengths != x.lengths)[0])
            raise ValueError(f"responses: participant {i} has {ry.lengths[i]} responses for {x.lengths[i]} inputs")
        y = np.ascontiguousarray(ry.values, dtype=np.float64)
    values = np.ascontiguousarray(x.values, dtype=np.float64)
    n_trials = _check_participants(model, values, x.starts, x.lengths, y, x.batched)
    seeds = va.seeds(n, seed) if seeds is None and x.batched else x.seed(seed if seeds is None else seeds, "seeds", 1.0)
    return _fit_native(problem, values, x.starts, x.lengths, y, n_trials, seeds, int(n_starts), va._threads(threads))


def _check_participants(model: str, values: np.ndarray, starts: np.ndarray, lengths: np.ndarray,
                        responses: np.ndarray | None, batched: bool) -> np.ndarray:
    """Each participant's own data checked as fit checks one, over the whole batch at once (the
    first participant at fault is named); the trials each has in its likelihood."""
    bad = lengths == 0
    for flags in (~np.isfinite(values), None if responses is None else np.isinf(responses)):
        if flags is not None and flags.any():
            bad[np.searchsorted(starts, np.flatnonzero(flags)[0], side="right") - 1] = True
    if bad.any():
        _name_fault(model, values, starts, lengths, responses, batched, int(np.flatnonzero(bad)[0]))
    if responses is None:
        return lengths.astype(np.int64)
    # Segment sums over a byte per trial: no second copy of the responses' size.
    n_trials = np.add.reduceat(~np.isnan(responses), starts, dtype=np.int64) if lengths.size else lengths.copy()
    if not n_trials.all():
        _name_fault(model, values, starts, lengths, responses, batched, int(np.flatnonzero(n_trials == 0)[0]))
    return n_trials


def _name_fault(model: str, values: np.ndarray, starts: np.ndarray, lengths: np.ndarray,
                responses: np.ndarray | None, batched: bool, i: int) -> None:
    """Raises participant i's fault as fit raises it for one participant."""
    span = slice(int(starts[i]), int(starts[i] + lengths[i]))
    try:
        if lengths[i] == 0:
            raise ValueError("inputs: empty; a fit needs at least one trial")
        _check_finite_inputs(model, values[span])
        if responses is not None:
            _as_responses(responses[span], int(lengths[i]))
    except (ValueError, InvalidParameter) as error:
        if not batched:
            raise
        raise type(error)(f"participant {i}: {error}") from None
