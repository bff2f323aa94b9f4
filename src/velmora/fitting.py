"""Fitting the models to data: maximum a posteriori estimates, standard errors and model evidence.

:func:`fit` estimates a model's parameters in one of two ways:

- ``responses=None`` (system identification, ``kalman`` and ``hgf``): the filter's predictive
  log-likelihood of the input sequence itself, the ``loglik`` of :mod:`velmora.arrays`.
- ``responses`` given: the inputs drive the model and each response depends on the model's belief
  before that trial through a response model: ``"gaussian"`` (the default for ``kalman``, ``hgf``
  and ``td``), Normal around the belief with variance ``zeta``; ``"unit_square"``, a choice (1 or
  0) with P(1) = m^beta / (m^beta + (1 - m)^beta) for a belief m that is a probability (taken
  1e-12 inside (0, 1) at either end); ``"logistic"`` (the default and only one for ``discount``
  and ``hyperbolic``), a choice with P(1) = 1 / (1 + exp(-beta (d - bias))). The belief is the
  Kalman posterior mean after the previous trial (``initial_mean`` first), the HGF's
  ``prediction``, the TD value before the trial's reward (``initial_value`` first), and for the
  choice models the value of the later offer minus the sooner one (inputs: one row of
  ``amount_sooner``, ``delay_sooner``, ``amount_later``, ``delay_later`` per trial). A NaN
  response is a missed trial: it adds nothing to the likelihood, but the model still sees its input.

Every free parameter is optimised in an unbounded space: log for variances, noises and
``precision_flexibility``, logit for ``learning_rate``, identity for means. Each has a Gaussian prior
in that space; the objective is the negative log-joint, ``nll`` plus the negative log prior.

Default priors (mean, variance), in the transformed space, and default roles:

=============================  =========  ===============  ======================================
parameter                      transform  prior            role by default
=============================  =========  ===============  ======================================
kalman ``initial_mean``        identity   (0, 100)         free
kalman ``initial_var``         log        (log 1, 4)       free
kalman ``process_noise``       log        (log 0.1, 4)     free
kalman ``obs_noise``           log        (log 1, 4)       free; held at 1 when fitting responses
hgf ``obs_noise``              log        (log 1, 4)       free
hgf ``precision_flexibility``  log        (log 1, 4)       free
hgf ``base_process_noise``     log        (log 0.01, 4)    free
hgf ``mu1``                    identity   (0, 100)         held at 0
hgf ``var1``                   log        (log 1, 4)       held at 1
hgf ``mu2``                    identity   (0, 100)         held at 0
td ``initial_value``           identity   (0, 100)         free
td ``learning_rate``           logit      (0, 2.25)        free
discount ``discount_factor``   logit      (4, 16)          free
hyperbolic ``k``               log        (log 0.01, 16)   free
``zeta`` (gaussian)            log        (log 1, 4)       free
``beta`` (unit_square)         log        (log 2, 4)       free
``beta`` (logistic)            log        (0, 16)          free
``bias`` (logistic)            identity   (0, 100)         held at 0
=============================  =========  ===============  ======================================

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

import math
import operator
import sys
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from velmora import _engine
from velmora import arrays as va
from velmora._core import InvalidParameter
from velmora.models import (
    BINARY,
    ENGINE,
    FITTED,
    HELD_FOR_RESPONSES,
    NOT_FITTED,
    PARAMS,
    RESPONSE_MODELS,
    RESPONSE_PARAMS,
    RESPONSES,
    SELF_FIT,
    prior_pair,
)
from velmora.deprecation import UNSET, renamed_keyword
from velmora.results import NO_ESTIMATE_CODE, FitArrays, FitResult

__all__ = ["fit", "FitResult", "FitArrays"]


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
    """The array engine's trajectory for natural parameter values (a noise parameter not given is 0:
    TD is fitted without prediction-error noise)."""
    return va._run(model, inputs, params, seed)


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
        return ENGINE[self.model].given(tuple(self.names))


def _check_model(model: object, allowed: tuple[str, ...]) -> str:
    if not isinstance(model, str) or model not in allowed:
        raise ValueError(f"unknown model {model!r}; expected one of {', '.join(allowed)}")
    return model


def _floats(values: Any, name: str, columns: tuple[str, ...] = ()) -> np.ndarray:
    """A sequence of real numbers (or trials x ``columns``) as float64. Numeric arrays are cast;
    anything else goes item by item through the list functions' conversion, which refuses None, text
    and dates rather than reading them as NaN or parsing them; complex numbers are refused rather
    than cut to their real part."""
    try:
        array = np.asarray(values)
    except (TypeError, ValueError) as error:
        shape = f"trials x {len(columns)} array" if columns else "1-D sequence"
        raise TypeError(f"{name}: expected a {shape} of numbers ({error})") from None
    if array.dtype.kind == "c":
        raise TypeError(f"{name}: complex values are not accepted (got dtype {array.dtype})")
    va._refuse_dates(array, name)
    if array.ndim == 1 and array.dtype.kind not in "biuf":
        return np.frombuffer(_engine.as_doubles(array, name), dtype=np.float64)
    if array.ndim > 1:
        return va._reals(array, name, columns)
    return np.asarray(array, dtype=np.float64, order="C")  # a scalar stays 0-D, to be refused as one


def _as_inputs(inputs: Any, model: str) -> np.ndarray:
    """One participant's inputs: 1-D, or for a model whose trial is several numbers a trials x
    columns array (a DataFrame is read by the model's column names when it has them)."""
    columns = ENGINE[model].inputs
    if len(columns) == 1:
        array = _floats(inputs, "inputs")
        if array.ndim != 1:
            raise ValueError(f"inputs: expected a 1-D sequence, got {array.ndim}-D")
    else:
        array = _floats(va._values(va._by_name(inputs, columns, "inputs")), "inputs", columns)
        if array.ndim != 2 or array.shape[1] != len(columns):
            raise ValueError(
                f"inputs: model '{model}' takes {len(columns)} numbers per trial "
                f"({', '.join(columns)}): expected a trials x {len(columns)} array, got shape "
                f"{array.shape}"
            )
    if array.shape[0] == 0:
        raise ValueError("inputs: empty; a fit needs at least one trial")
    return np.ascontiguousarray(array)


# Columns of a trial's input that must not be negative.
_NON_NEGATIVE = ("delay_sooner", "delay_later")


def _check_finite_inputs(model: str, x: np.ndarray) -> None:
    """Inputs checked as the models check a parameter, naming the trial: non-finite ones refused for
    every model, as the filters refuse them (TD takes any reward, so a NaN would only show as NaN
    beliefs, and a last one not at all), and negative delays."""
    rows = x.reshape(x.shape[0], -1)
    for c, name in enumerate(ENGINE[model].inputs):
        column = rows[:, c]
        non_negative = name in _NON_NEGATIVE
        bad = np.flatnonzero(~np.isfinite(column) | ((column < 0.0) if non_negative else False))
        if bad.size:
            value = "NaN" if np.isnan(column[bad[0]]) else str(column[bad[0]])
            reason = "must be finite and non-negative" if non_negative else "must be finite"
            raise InvalidParameter(f"invalid parameter '{name}': {value} at trial {bad[0]} ({reason})")


def _as_seed(seed: Any) -> int:
    if isinstance(seed, (bool, np.bool_)):
        raise TypeError("seed must be an integer, not bool")
    try:
        value = operator.index(seed)
    except TypeError:
        raise TypeError(
            f"seed must be an integer from 0 to 2**64-1, not {type(seed).__name__}; a fit is "
            "repeatable only under a fixed seed"
        ) from None
    if not 0 <= value < va.SEED_LIMIT:
        raise ValueError(f"seed must lie in 0..2**64-1, got {value}")
    return value


def _as_responses(responses: Any, n: int, response: str) -> np.ndarray:
    array = _floats(responses, "responses")
    if array.ndim != 1 or array.size != n:
        raise ValueError(f"responses: expected one per trial ({n}), got shape {array.shape}")
    _check_response_values(array, response)
    if np.all(np.isnan(array)):
        raise ValueError("responses: every trial is missing (NaN); nothing to fit")
    return array


def _check_response_values(array: np.ndarray, response: str) -> None:
    """Responses the response model can take: choices 1 or 0, anything else finite; NaN: missed."""
    if response in BINARY:
        bad = np.flatnonzero(~((array == 0.0) | (array == 1.0) | np.isnan(array)))
        if bad.size:
            raise ValueError(
                f"responses: a choice is 1, 0 or NaN (missed) under '{response}', got {array[bad[0]]} at trial {bad[0]}"
            )
    elif np.any(np.isinf(array)):
        raise ValueError("responses: must be finite, or NaN for a missed trial")


def _number(name: str, value: object) -> float:
    # NumPy counts a duration (timedelta64) among its integers; it is no number of this model.
    if isinstance(value, (bool, np.timedelta64)) or not isinstance(value, (int, float, np.integer, np.floating)):
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


def _problem(
    model: str,
    response: str,
    inputs: np.ndarray,
    responses: np.ndarray | None,
    fixed: Mapping[str, Any],
    priors: Mapping[str, Any],
) -> tuple[_Problem, dict[str, float | None]]:
    optional = ENGINE[model].optional
    known_params = dict(PARAMS[model])
    held = {name: p.held for name, p in known_params.items() if p.held is not None}
    if response != SELF_FIT:
        known_params.update(RESPONSE_PARAMS[response])
        held.update({name: p.held for name, p in RESPONSE_PARAMS[response].items() if p.held is not None})
        held.update(HELD_FOR_RESPONSES.get(model, {}))
    known = [*known_params, *optional]
    for source in (fixed, priors):
        for name in source:
            if name not in known:
                raise _unknown(model, name, known)
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
            name: _number(name, value) if name in optional else _held(name, value, known_params[name].transform)
            for name, value in fixed.items()
            if not (name in optional and value is None)
        }
    )
    names = [*_order(model, known_params)]
    names = [name for name in names if name not in optional or name in held]
    values = np.array([held.get(name, math.nan) for name in names], dtype=np.float64)
    free = [i for i, name in enumerate(names) if name not in held]
    problem = _Problem(
        model,
        response,
        inputs,
        responses,
        names,
        values,
        np.array(free, dtype=np.int64),
        [known_params[names[i]].transform for i in free],
        np.array([prior[names[i]][0] for i in free]),
        np.array([prior[names[i]][1] for i in free]),
    )
    return problem, _named(problem, problem.natural(problem.prior_mean))


def _order(model: str, names: Mapping[str, object]) -> list[str]:
    """The native vector's order: the engine's parameters but its noise ones, then the response
    model's among ``names``."""
    described = ENGINE[model]
    response_params = dict.fromkeys(name for params in RESPONSES.values() for name in params if name in names)
    return [*(name for name in described.params if name not in described.noise), *response_params]


def _named(problem: _Problem, values: np.ndarray) -> dict[str, float | None]:
    """Natural values by name, in the native order; an optional parameter left out shows as None."""
    named = dict(zip(problem.names, (float(v) for v in values)))
    optional = ENGINE[problem.model].optional
    return {name: named.get(name) for name in _order(problem.model, named) if name in named or name in optional}


def _prepare(
    model: str,
    inputs: Any,
    responses: Any,
    response: str | None,
    fixed: Mapping[str, Any] | None,
    priors: Mapping[str, Any] | None,
    n_starts: int,
) -> tuple[_Problem, dict[str, float | None], np.ndarray, str, int]:
    """Every check of fit's arguments, and the problem they pose; fit_many runs it once on stand-in data."""
    _check_model(model, FITTED)
    response = _response_model(model, response)
    if isinstance(n_starts, bool) or not isinstance(n_starts, (int, np.integer)) or not 1 <= n_starts <= sys.maxsize:
        raise ValueError(f"n_starts must be a positive integer up to {sys.maxsize}, got {n_starts!r}")
    x = _as_inputs(inputs, model)
    if responses is None:
        if not ENGINE[model].self_fit:
            raise ValueError(f"model '{model}' is fitted to responses only; pass responses")
        response, y = SELF_FIT, None
    else:
        y = _as_responses(responses, len(x), response)
    problem, start = _problem(model, response, x, y, dict(fixed or {}), dict(priors or {}))
    _check_finite_inputs(model, x)
    run_model(model, x, start)  # the model's own checks of the held values
    return problem, start, x, response, int(len(x) if y is None else np.count_nonzero(~np.isnan(y)))


def _response_model(model: str, response: object) -> str:
    """The response model named, or the model's default (its first) for None."""
    allowed = RESPONSE_MODELS.get(model, ())
    if response is None and allowed:
        return allowed[0]
    if response not in allowed:
        raise ValueError(f"unknown response model {response!r} for '{model}'; expected one of {', '.join(allowed)}")
    assert isinstance(response, str)
    return response


# ---------------------------------------------------------------------------------------------
# The native fit: every participant of a batch optimised in C++, on every core

_TRANSFORM_CODES = {"identity": 0, "log": 1, "logit": 2}
_STATS = ("nll", "neg_log_joint", "lme", "iterations", "evaluations")


def _fit_native(
    problem: _Problem,
    values: np.ndarray,
    starts: np.ndarray,
    lengths: np.ndarray,
    responses: np.ndarray | None,
    n_trials: np.ndarray,
    seeds: np.ndarray,
    n_starts: int,
    threads: int,
) -> FitArrays:
    """Every participant's MAP fit under ``problem`` by the engine, without the interpreter lock."""
    n, k, m = lengths.size, len(problem.values), len(problem.free)
    natural, se = np.empty((n, k)), np.empty((n, m))
    stats, status = np.empty((n, len(_STATS))), np.empty(n, dtype=np.int64)
    transforms = np.array([_TRANSFORM_CODES[t] for t in problem.transforms], dtype=np.int64)
    _engine.fit(
        problem.model,
        problem.response,
        values,
        starts,
        lengths,
        responses,
        held=problem.values,
        free=problem.free,
        transforms=transforms,
        prior_mean=problem.prior_mean,
        prior_var=problem.prior_var,
        seeds=seeds,
        n_starts=n_starts,
        threads=threads,
        optional=problem.given,
        natural=natural,
        se=se,
        stats=stats,
        status=status,
    )
    return fit_arrays_of(problem, natural, se, stats, status, n_trials)


def fit_arrays_of(
    problem: _Problem, natural: np.ndarray, se: np.ndarray, stats: np.ndarray, status: np.ndarray, n_trials: np.ndarray
) -> FitArrays:
    """The fits of ``problem`` as the engine writes them (participants x vector, participants x free,
    participants x ``_STATS``, one status code each) and their trials in the likelihood, by name."""
    named = _named(problem, problem.values)
    params = {
        name: natural[:, problem.names.index(name)] if name in problem.names else np.full(status.size, math.nan)
        for name in named
    }
    return FitArrays(
        model=problem.model,
        response_model=problem.response,
        params=params,
        se={name: se[:, j] for j, name in enumerate(problem.free_names)},
        free=tuple(problem.free_names),
        nll=stats[:, 0],
        neg_log_joint=stats[:, 1],
        lme=stats[:, 2],
        n_trials=n_trials.astype(np.int64),
        status=status,
        iterations=stats[:, 3].astype(np.int64),
        evaluations=stats[:, 4].astype(np.int64),
    )


def fit(
    model: str,
    inputs: Any,
    responses: Any = None,
    *,
    response_model: str | None = None,
    fixed: Mapping[str, Any] | None = None,
    priors: Mapping[str, Any] | None = None,
    n_starts: int = 4,
    seed: int = 0,
    response: Any = UNSET,
) -> FitResult:
    """Fit a model to one participant: to its inputs alone, or to its responses under a response model.

    A quasi-Newton optimiser (BFGS with a strong Wolfe line search, in the native engine) runs from
    ``n_starts`` points, the first at the prior means and the rest drawn from the priors by the
    models' own seeded generator (``seed``), and with more than one start also from the three lowest
    of 32 further draws (save those that the objective, rising all the way from a converged estimate
    to them, shows to lie in its basin); the best end point is the estimate. ``converged`` holds only where the
    gradient test holds at the estimate and the Hessian there is positive definite; ``message`` says
    how the fit ended otherwise (see :class:`FitResult`). Each free parameter
    is optimised on its log, logit or identity scale under a Gaussian prior there; the transforms,
    the default priors and the parameters a default fit holds are in the table of
    :mod:`velmora.fitting` (:ref:`priors`). :func:`velmora.arrays.fit` fits many participants at
    once; this is its one-participant case.

    Parameters
    ----------
    model : str
        ``"kalman"``, ``"hgf"``, ``"td"``, ``"discount"`` or ``"hyperbolic"``.
    inputs : array_like
        One participant's inputs, one per trial, in the unit of the data: the observations
        (``kalman``, ``hgf``) or the rewards (``td``), a 1-D sequence. For the choice models
        (``discount``, ``hyperbolic``) a trials x 4 array, columns ``amount_sooner``,
        ``delay_sooner``, ``amount_later``, ``delay_later`` (a DataFrame is read by these column
        names when it has them); the delays in any one unit, the discount parameter then being per
        unit of delay.
    responses : array_like or None, optional
        One response per trial; NaN is a missed trial (it adds nothing to the likelihood, but the
        model still sees its input). Under ``"unit_square"`` and ``"logistic"`` a response is a choice,
        1 or 0 (for the choice models 1 is the later offer). ``None`` (the default) fits the inputs
        alone: the filter's predictive log-likelihood of the input sequence itself, for ``kalman``
        and ``hgf`` only.
    response_model : str or None, optional
        The response model: ``"gaussian"`` (Normal around the belief with variance ``zeta``),
        ``"unit_square"`` or ``"logistic"`` (see :mod:`velmora.fitting`). ``None``: the model's
        default, ``"gaussian"`` for ``kalman``, ``hgf`` and ``td``, ``"logistic"`` (the only one) for
        ``discount`` and ``hyperbolic``. Checked but not used when ``responses`` is None.
    fixed : mapping of str to float, optional
        Parameters held at a natural value, by name, e.g. ``{"obs_noise": 1.0}``; they are not
        estimated. ``prior_precision_cap`` (``kalman``) is never free: without it here the filter
        runs uncapped.
    priors : mapping of str to (float, float), optional
        Gaussian priors ``(mean, variance)`` in the parameter's transformed space that replace the
        default ones; a parameter given a prior is free, even one a default fit holds.
    n_starts : int, optional
        How many points the optimiser starts from, at least 1 (default 4); above 1, up to three
        more from a scan of the priors.
    seed : int, optional
        The seed of the starts drawn from the priors, an integer from 0 to 2**64-1 (default 0); a
        fit is repeatable only under a fixed seed.
    response : str, optional
        Deprecated spelling of ``response_model`` (DeprecationWarning).

    Returns
    -------
    FitResult
        The estimates in natural units, their standard errors, ``nll``, ``lme``, ``aic``, ``bic``
        and the trajectory at the estimate. An optimisation that fails is reported in ``converged``
        and ``message``; a fit with no feasible point has NaN estimates and no trajectory.

    Raises
    ------
    ValueError
        Bad arguments, before any optimisation: an unknown model or response model; ``n_starts``
        not a positive integer; inputs empty or of the wrong shape; responses not one per trial,
        infinite, all missing, or (a choice) other than 1, 0 or NaN; no responses for a model fitted
        to responses only; a name in ``fixed`` or ``priors`` the model lacks or whose parameter
        changes no likelihood; a parameter given both a fixed value and a prior; a prior for
        ``prior_precision_cap``; a prior whose variance is not finite and positive, or whose mean
        puts a log or logit parameter beyond floating point; a held value that is not finite or lies
        outside its parameter's range; a seed outside 0 to 2**64-1.
    TypeError
        Inputs or responses that are not real numbers (None, text, dates and complex numbers are
        refused), a held value that is not a number, a prior that is not a ``(mean, variance)``
        pair, or a seed that is not an integer.
    velmora.InvalidParameter
        Non-finite inputs (for every model) or negative delays, naming the trial; and held values
        the model refuses, before any optimisation.
    KeyboardInterrupt
        Ctrl-C, which stops the optimisation.

    See Also
    --------
    velmora.arrays.fit : Many participants in one native call.
    velmora.fit_many : Every participant of a long-format table.
    """
    response = renamed_keyword("fit", "response", "response_model", response, response_model)
    seed = _as_seed(seed)
    problem, _, x, response, n_trials = _prepare(model, inputs, responses, response, fixed, priors, n_starts)
    batch = _fit_native(
        problem,
        x.reshape(-1),
        np.zeros(1, dtype=np.int64),
        np.array([len(x)], dtype=np.int64),
        problem.responses,
        np.array([n_trials]),
        np.array([seed], dtype=np.uint64),
        int(n_starts),
        1,
    )
    result = batch.result(0)
    if batch.status[0] != NO_ESTIMATE_CODE:
        result.trajectory = run_model(model, x, result.params)
    return result


def fit_arrays(
    model: str,
    inputs: Any,
    responses: Any = None,
    *,
    response: str | None = None,
    fixed: Mapping[str, Any] | None = None,
    priors: Mapping[str, Any] | None = None,
    n_starts: int = 4,
    seeds: Any = None,
    seed: int = 0,
    threads: int | None = None,
) -> FitArrays:
    """:func:`velmora.arrays.fit`: many participants, one native batch."""
    seed = _as_seed(seed)
    width = ENGINE[model].width if model in FITTED else 1
    stand_in = np.zeros((1, width) if width > 1 else 1)
    problem, _, _, response, _ = _prepare(
        model, stand_in, None if responses is None else np.zeros(1), response, fixed, priors, n_starts
    )
    x = va._Call(inputs, "inputs", ENGINE[model].inputs)
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
    n_trials = _check_participants(model, values, x.starts, x.lengths, y, x.batched, response)
    seeds = va.seeds(n, seed) if seeds is None and x.batched else x.seed(seed if seeds is None else seeds, "seeds", 1.0)
    return _fit_native(problem, values, x.starts, x.lengths, y, n_trials, seeds, int(n_starts), va._threads(threads))


def _check_participants(
    model: str,
    values: np.ndarray,
    starts: np.ndarray,
    lengths: np.ndarray,
    responses: np.ndarray | None,
    batched: bool,
    response: str,
) -> np.ndarray:
    """Each participant's own data checked as fit checks one, over the whole batch at once (the
    first participant at fault is named); the trials each has in its likelihood. ``values`` holds
    the model's input width per trial; ``starts`` and ``lengths`` count trials."""
    bad = lengths == 0
    rows = values.reshape(-1, ENGINE[model].width)
    faulty_inputs = ~np.isfinite(rows).all(axis=1)
    for c, name in enumerate(ENGINE[model].inputs):
        if name in _NON_NEGATIVE:
            faulty_inputs |= rows[:, c] < 0.0
    faulty_responses = None
    if responses is not None:
        faulty_responses = (
            ~((responses == 0.0) | (responses == 1.0) | np.isnan(responses))
            if response in BINARY
            else np.isinf(responses)
        )
    for flags in (faulty_inputs, faulty_responses):
        if flags is not None and flags.any():
            bad[np.searchsorted(starts, np.flatnonzero(flags)[0], side="right") - 1] = True
    if bad.any():
        _name_fault(model, values, starts, lengths, responses, batched, int(np.flatnonzero(bad)[0]), response)
    if responses is None:
        return lengths.astype(np.int64)
    # Segment sums over a byte per trial: no second copy of the responses' size.
    n_trials = np.add.reduceat(~np.isnan(responses), starts, dtype=np.int64) if lengths.size else lengths.copy()
    if not n_trials.all():
        _name_fault(model, values, starts, lengths, responses, batched, int(np.flatnonzero(n_trials == 0)[0]), response)
    return n_trials


def _name_fault(
    model: str,
    values: np.ndarray,
    starts: np.ndarray,
    lengths: np.ndarray,
    responses: np.ndarray | None,
    batched: bool,
    i: int,
    response: str,
) -> None:
    """Raises participant i's fault as fit raises it for one participant."""
    span = slice(int(starts[i]), int(starts[i] + lengths[i]))
    width = ENGINE[model].width
    try:
        if lengths[i] == 0:
            raise ValueError("inputs: empty; a fit needs at least one trial")
        _check_finite_inputs(model, values.reshape(-1, width)[span])
        if responses is not None:
            _as_responses(responses[span], int(lengths[i]), response)
    except (ValueError, InvalidParameter) as error:
        if not batched:
            raise
        raise type(error)(f"participant {i}: {error}") from None
