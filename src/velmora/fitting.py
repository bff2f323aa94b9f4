"""Fitting the models to data: maximum a posteriori estimates, standard errors and model evidence.

:func:`fit` estimates a model's parameters in one of two ways:

- ``responses=None`` (system identification, for the models with a predictive density of their own
  inputs): the filter's predictive log-likelihood of the input sequence itself, the ``loglik`` of
  :mod:`velmora.arrays`.
- ``responses`` given: the inputs drive the model and each response depends on the model's belief
  before that trial through a response model (see :doc:`/guide/fitting` for the response models
  and what each model's belief is). A NaN response is a missed trial: it adds nothing to the
  likelihood, but the model still sees its input.

Every free parameter is optimised in an unbounded space (log, logit or identity, as the table
below says). Each has a Gaussian prior in that space; the objective is the negative log-joint,
``nll`` plus the negative log prior. ``fixed={"name": value}`` holds a parameter at a natural value;
``priors={"name": (mean, variance)}`` replaces a prior and makes the parameter free. An optional
parameter of a model is never free: without it in ``fixed`` the model runs without it. Parameters of
the list functions that change no likelihood, and the seeds, are no parameters of a fit.

Default priors (mean, variance), in the transformed space, and default roles, as the engine
declares them:

"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

import numpy as np

from velmora.choices import choice_trajectory
from velmora.conversion import (
    Call,
    as_inputs,
    as_responses,
    check_finite_inputs,
    check_model,
    check_n_starts,
    resolve_response_model,
    thread_count,
)
from velmora.models import (
    ENGINE,
    FITTED,
    HELD_FOR_RESPONSES,
    PARAMS,
    RESPONSE_MODELS,
    RESPONSE_PARAMS,
    SELF_FIT,
    response_params,
)
from velmora.deprecation import UNSET, renamed_keyword
from velmora.problem import Problem
from velmora.results import NO_ESTIMATE_CODE, FitArrays, FitResult
from velmora.stream import check_seed
from velmora.stream import seeds as derived_seeds
from velmora.trajectories import Trajectories, run_model

__all__ = ["fit", "FitResult", "FitArrays"]


def _prior_text(transform: str, prior: tuple[float, float]) -> str:
    mean, var = prior
    shown = f"log {math.exp(mean):.6g}" if transform == "log" and mean != 0.0 else f"{mean:g}"
    if transform == "log" and mean == 0.0:
        shown = "log 1"
    return f"({shown}, {var:g})"


def _priors_table() -> str:
    """The table of every fitted parameter's transform, default prior and role, from the models'
    declarations (reST, for this module's docstring and the reference page)."""
    rows = []
    for model, params in PARAMS.items():
        for name, p in params.items():
            role = "free" if p.held is None else f"held at {p.held:g}"
            held = HELD_FOR_RESPONSES.get(model, {})
            if name in held:
                role += f"; held at {held[name]:g} when fitting responses"
            rows.append((f"{model} ``{name}``", p.transform, _prior_text(p.transform, p.prior), role))
    for response, params in RESPONSE_PARAMS.items():
        for name, p in params.items():
            role = "free" if p.held is None else f"held at {p.held:g}"
            rows.append((f"``{name}`` ({response})", p.transform, _prior_text(p.transform, p.prior), role))
    # A model's own priors for its response models' parameters, where they differ from the above.
    for model in FITTED:
        for response in RESPONSE_MODELS.get(model, ()):
            for name, p in response_params(model, response).items():
                if p.prior != RESPONSE_PARAMS[response][name].prior:
                    role = "free" if p.held is None else f"held at {p.held:g}"
                    rows.append(
                        (f"{model} ``{name}`` ({response})", p.transform, _prior_text(p.transform, p.prior), role)
                    )
    header = ("parameter", "transform", "prior", "role by default")
    widths = [max(len(r[c]) for r in (header, *rows)) for c in range(4)]
    rule = "  ".join("=" * w for w in widths)

    def line(cells: tuple[str, ...]) -> str:
        return "  ".join(cell.ljust(width) for cell, width in zip(cells, widths)).rstrip()

    return "\n".join([rule, line(header), rule, *map(line, rows), rule])


__doc__ = (__doc__ or "") + _priors_table() + "\n"


def problem_for(
    model: str,
    response: str | None,
    responses: bool,
    fixed: Mapping[str, Any] | None,
    priors: Mapping[str, Any] | None,
    n_starts: int,
    options: Any = None,
) -> Problem:
    """Every check of fit's arguments but the data, and the problem they pose (``responses``: whether
    responses are fitted, or the inputs alone; ``options``: the labels of a model that chooses)."""
    check_model(model, FITTED)
    response = resolve_response_model(model, response)
    n_starts = check_n_starts(n_starts)
    if not responses:
        if not ENGINE[model].self_fit:
            raise ValueError(f"model '{model}' is fitted to responses only; pass responses")
        response = SELF_FIT
    return Problem.build(model, response, dict(fixed or {}), dict(priors or {}), n_starts, options)


def prepare(
    model: str,
    inputs: Any,
    responses: Any,
    response: str | None,
    fixed: Mapping[str, Any] | None,
    priors: Mapping[str, Any] | None,
    n_starts: int,
    options: Any = None,
) -> tuple[Problem, np.ndarray]:
    """One participant's fit posed: the problem over its data, and its inputs."""
    check_model(model, FITTED)
    resolved = resolve_response_model(model, response)
    check_n_starts(n_starts)
    x = as_inputs(inputs, model)
    y = None if responses is None else as_responses(responses, len(x), resolved)
    problem = problem_for(model, resolved, y is not None, fixed, priors, n_starts, options)
    check_finite_inputs(model, x)
    problem = problem.with_data(x.reshape(-1), np.zeros(1, dtype=np.int64), np.array([len(x)], dtype=np.int64), y)
    return problem, x


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
    options: Any = None,
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
        A fitted model: one of ``velmora.models.FITTED`` (the engine's report).
    inputs : array_like
        One participant's inputs, one per trial, in the unit of the data: the observations
        (``kalman``, ``hgf``), the rewards (``td``) or the binary outcomes, 1, 0 or NaN for a
        missed one (``hgf_binary``, ``ehgf_binary``), a 1-D sequence. For the choice models
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
        ``discount`` and ``hyperbolic``, ``"unit_square"`` for ``hgf_binary`` and ``ehgf_binary``.
        Checked but not used when ``responses`` is None.
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
    seed = check_seed(seed, "seed", "fit")
    problem, x = prepare(model, inputs, responses, response, fixed, priors, n_starts, options)
    batch = problem.fit(np.array([seed], dtype=np.uint64))
    result = batch.result(0)
    if batch.status[0] != NO_ESTIMATE_CODE:
        result.trajectory = trajectory_at(problem, x, result.params)
    return result


def trajectory_at(problem: Problem, x: np.ndarray, params: Mapping[str, Any]) -> Trajectories:
    """One participant's trajectory at natural parameter values: a model that chooses learns from its
    choices, so its values and choice probabilities come from the trials with the responses."""
    if problem.labels is None:
        return run_model(problem.model, x, params)
    assert problem.responses is not None
    return choice_trajectory(problem.model, problem.response, x, problem.responses, params, problem.labels)


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
    options: Any = None,
) -> FitArrays:
    """:func:`velmora.arrays.fit`: many participants, one native batch."""
    seed = check_seed(seed, "seed", "fit")
    problem = problem_for(model, response, responses is not None, fixed, priors, n_starts, options)
    x = Call(inputs, "inputs", ENGINE[model].inputs)
    x.convert_sequence()
    n = x.subjects
    if responses is None:
        y = None
    else:
        ry = Call(responses, "responses")
        if ry.batched != x.batched or ry.subjects != n:
            raise ValueError(f"responses: expected one sequence per participant ({n}) shaped like the inputs")
        ry.convert_sequence()
        if not np.array_equal(ry.lengths, x.lengths):
            i = int(np.flatnonzero(ry.lengths != x.lengths)[0])
            raise ValueError(f"responses: participant {i} has {ry.lengths[i]} responses for {x.lengths[i]} inputs")
        y = np.ascontiguousarray(ry.values, dtype=np.float64)
    problem = problem.with_data(np.ascontiguousarray(x.values, dtype=np.float64), x.starts, x.lengths, y)
    problem.check_data(x.batched)
    if seeds is None and x.batched:
        seeds = derived_seeds(n, seed)
    else:
        seeds = x.seed(seed if seeds is None else seeds, "seeds", 1.0)
    return problem.fit(seeds, thread_count(threads))
