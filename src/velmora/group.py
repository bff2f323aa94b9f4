"""Group-level estimation: empirical Bayes over a whole study by expectation-maximisation.

Each pass fits every participant's MAP estimate under the current group prior N(mu_i, Sigma) over
the free transformed parameters (the native batch fit, on every core), then sets the group prior
to the one that best explains those fits: mu_i = X_i b by least squares of the estimates on the
covariates (the mean without them), and Sigma the mean of (estimate - mu_i)(estimate - mu_i)' plus
each participant's posterior covariance (the inverse of the Hessian of its negative log joint;
its diagonal for a diagonal Sigma). With ``method="sampling"`` the E-step weights draws from each
participant's Laplace posterior by importance sampling, so that the M-step uses posterior means
and covariances instead of modes and curvatures (which a skewed posterior makes differ).

This module checks the arguments and puts the steps together; each step is a module of
``velmora._group``.
"""

from __future__ import annotations

import dataclasses
import math
import numbers
import warnings
from collections.abc import Mapping
from concurrent.futures import Executor
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora.conversion import thread_count
from velmora._group.coefficients import coefficient_table
from velmora._group.data import check_design, design, pack, standardised
from velmora._group.estep import Sampler
from velmora._group.evidence import integrated
from velmora._group.mstep import PriorCoding
from velmora._group.result import GroupFit
from velmora._group.squarem import Passes, run, stop_message
from velmora._group.table import participant_rows
from velmora.executors import _progress_bar
from velmora.stream import check_seed
from velmora.tables import (
    GROUP_COLUMN,
    _checked_fit_options,
    check_choices,
    _Participant,
    _require_columns,
    _split,
    input_columns,
    results_table,
)

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]

    from velmora.problem import Problem

__all__ = ["fit_group", "GroupFit"]

_METHODS = ("laplace", "sampling")
_COVARIANCES = ("diagonal", "full")
# The default tolerance on the summed log joint, per participant.
_TOL_PER_PARTICIPANT = 1e-3


def fit_group(
    data: pandas.DataFrame,
    model: str,
    *,
    subject: str = "subject",
    input: str | list[str] | None = None,
    response: str | None = "response",
    trial: str | None = None,
    covariates: pandas.DataFrame | None = None,
    covariance: str = "diagonal",
    fixed: Mapping[str, Any] | None = None,
    response_model: str | None = None,
    method: str = "laplace",
    n_starts: int = 4,
    max_iter: int = 100,
    tol: float | None = None,
    n_samples: int = 1000,
    seed: int = 0,
    threads: int | None = None,
    progress: bool | None = None,
    options: Any = None,
    executor: Executor | None = None,
) -> GroupFit:
    """Empirical Bayes over a study: the group distribution of ``model``'s free parameters and every
    participant's estimate under it, by expectation-maximisation (see the module docstring).

    The first pass fits from ``n_starts`` points, the later ones from each participant's last
    estimate. The passes are accelerated by squared extrapolation (SQUAREM), and stop when the summed
    log joint (``method="sampling"``: the summed log marginal likelihood) or the summed evidence
    (Laplace, or sampled) changes by less than ``tol`` or the group prior stops moving, and no
    coefficient or group SD has more than 0.05 of its standard error left to go (by the rate at which
    EM's steps shrink, and on the extrapolated step); else after ``max_iter`` passes, with
    ``converged`` False. The evidence matters where a group variance heads for 0: the log joint at
    the modes then climbs without end. The draws and the starts come from velmora's seeded stream,
    by ``seed`` and each participant's key, so that the result is the same on any number of threads.
    A participant whose data are wrong or whose fit fails is left out of the group estimate and named
    in ``excluded`` (its row has the reason in ``error``); what is wrong for every participant raises
    before any work. Ctrl-C stops the call.

    Parameters
    ----------
    data : pandas.DataFrame
        One row per trial, as :func:`velmora.fit_many` reads it.
    model : str
        A fitted model: one of ``velmora.models.FITTED``.
    subject, input, response, trial : optional
        The columns of ``data``, as in :func:`velmora.fit_many` (``response=None`` fits the inputs
        themselves).
    covariates : pandas.DataFrame or None, optional
        One row per participant: its key in ``subject`` (or the index) and numeric or categorical
        columns. The group mean becomes a linear model of them, with a test of each coefficient.
    covariance : str, optional
        ``"diagonal"`` (independent parameters, the default) or ``"full"``.
    fixed : mapping of str to float, optional
        Parameters held at natural values, out of the group model.
    response_model : str or None, optional
        The response model; None: the model's default.
    method : str, optional
        The E-step: ``"laplace"`` (each participant's Laplace approximation, the default) or
        ``"sampling"`` (importance sampling from it: posterior means rather than modes).
    n_starts : int, optional
        Starting points of each participant's first fit (default 4).
    max_iter : int, optional
        At most this many passes (default 100).
    tol : float or None, optional
        The stopping tolerance on the summed objective; None: 0.001 per participant.
    n_samples : int, optional
        Draws per participant for the integrated likelihood and the sampling E-step (default 1000,
        at least 2).
    seed : int, optional
        The seed of the starts and draws, an integer from 0 to 2**64-1 (default 0).
    threads : int or None, optional
        Threads of the native fits (default: every core); the result does not depend on it.
    progress : bool or None, optional
        A progress bar of the passes on standard error; None: when it is a terminal.
    executor : concurrent.futures.Executor or None, optional
        Where each pass's fits run: None (the default) here, natively on ``threads`` threads; else
        any executor (a process pool, Dask's ``Client.get_executor()``), to which each pass sends
        its participants in fixed chunks of 256, each fitted on one thread; only each participant's
        estimate, standard errors and posterior covariance come back. The result is the same to the
        bit either way. The integrated likelihood (and the sampling E-step's draws) run here.

    Returns
    -------
    GroupFit
        The group ``mean`` and ``cov`` (transformed space), ``coefficients`` with their tests, ``sd``
        and ``sd_se``, every participant's estimates under the fitted prior in ``participants``
        (:func:`velmora.fit_many`'s columns), the integrated ``log_likelihood`` and ``ibic`` with
        their Monte Carlo standard errors, and the run's ``passes``, ``converged``, ``history``,
        ``excluded``, ``unconverged`` and ``message``.

    Raises
    ------
    TypeError
        ``data`` that is not a DataFrame, or arguments of the wrong type.
    KeyError
        A column that ``data`` lacks.
    ValueError
        An unknown method or covariance, a bad ``max_iter``, ``n_samples`` or ``tol``, every parameter
        held, fewer than two participants with usable data, or covariates that do not fit the
        participants.

    Warns
    -----
    UserWarning
        Participants kept in the group estimate whose fit under the group prior did not converge or
        has no standard errors (see ``unconverged``).
    """
    import pandas as pd

    if not isinstance(data, pd.DataFrame):
        raise TypeError(f"data must be a pandas DataFrame in long format, got {type(data).__name__}")
    if method not in _METHODS:
        raise ValueError(f"method must be one of {', '.join(_METHODS)}, got {method!r}")
    if covariance not in _COVARIANCES:
        raise ValueError(f"covariance must be one of {', '.join(_COVARIANCES)}, got {covariance!r}")
    for name, value, low in (("max_iter", max_iter, 1), ("n_samples", n_samples, 2)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < low:
            raise ValueError(f"{name} must be an integer of at least {low}, got {value!r}")
    if tol is not None and (
        isinstance(tol, (bool, np.bool_)) or not isinstance(tol, numbers.Real) or not tol > 0 or not math.isfinite(tol)
    ):
        raise ValueError(f"tol must be a positive number, got {tol!r}")
    inputs = input_columns(model, input)
    _require_columns(
        data, [("subject", subject), *(("input", name) for name in inputs), ("response", response), ("trial", trial)]
    )
    seed = check_seed(seed)
    problem = _checked_fit_options(
        model,
        response_model,
        response is not None,
        {"fixed": fixed, "n_starts": n_starts, "seed": seed, "options": options},
    )
    m = len(problem.free)
    if m == 0:
        raise ValueError("every parameter is held: a group model needs at least one free parameter")

    participants = _split(data, subject, inputs, response, trial, seed)
    if problem.labels is not None and response is not None:
        check_choices(participants, problem.labels)
    errors = _data_errors(problem, participants)
    valid = [i for i in range(len(participants)) if i not in errors]
    if len(valid) < 2:
        reason = f" (participant {participants[min(errors)].key!r}: {errors[min(errors)]})" if errors else ""
        raise ValueError(f"a group model needs at least two participants with usable data, got {len(valid)}{reason}")
    # Only the participants fitted need covariates: one left out for its data may lack them.
    raw, terms = design(covariates, [participants[i].key for i in valid], subject)
    x, undo = standardised(raw)
    check_design(x, "participants with usable data")
    packed = pack(
        model,
        problem,
        [participants[i] for i in valid],
        x,
        with_responses=response is not None,
        full=covariance == "full",
        covariates=covariates is not None,
        workers=thread_count(threads),
    )
    if executor is not None:
        if not callable(getattr(executor, "submit", None)):
            raise TypeError(
                f"executor must be a concurrent.futures.Executor (with submit), got {type(executor).__name__}"
            )
        packed = dataclasses.replace(packed, executor=executor)
    tolerance = _TOL_PER_PARTICIPANT * packed.n if tol is None else float(tol)
    sampler = Sampler(packed, n_samples)
    coding = PriorCoding(x.shape[1], m, covariance == "full")
    b0 = np.zeros((x.shape[1], m))
    b0[0] = problem.prior_mean
    bar = _progress_bar(max_iter, progress, unit="pass")
    try:
        passes = Passes(packed, sampler, coding, method, bar)
        em = run(passes, coding.pack(b0, np.diag(problem.prior_var)), n_starts, max_iter, tolerance)
    finally:
        if bar is not None:
            bar.close()
    current = em.current
    b, sigma = coding.unpack(current["y"])
    evidence = integrated(sampler, current, b, sigma, method)

    # The participants' table under the prior of the last pass, as fit_many's.
    rows, excluded, unconverged = participant_rows(
        packed, current, evidence.sample["marginal"], method, participants, valid, errors
    )
    if unconverged:
        shown = ", ".join(map(repr, list(unconverged)[:5])) + (", ..." if len(unconverged) > 5 else "")
        warnings.warn(
            f"fit_group: {len(unconverged)} participant(s) kept in the group estimate have a fit under the "
            f"group prior that did not converge or has no standard errors ({shown}); see "
            "GroupFit.unconverged",
            stacklevel=2,
        )
    frame = results_table(subject, participants, rows, model)
    # Marks the evidence as taken under a prior fitted to these data, so that compare keeps the table
    # out of the participants' model selection, from a file as from memory.
    frame[GROUP_COLUMN] = True

    keep = current["keep"]
    free_names = problem.free_names
    coefficients, b, se_sd = coefficient_table(x[keep], terms, free_names, b, sigma, current["post_cov"][keep], undo)
    frame.attrs.update(response_model=problem.response)
    return GroupFit(
        model=model,
        response_model=problem.response,
        method=method,
        covariance=covariance,
        free=tuple(free_names),
        transforms=tuple(problem.transforms),
        mean=pd.Series(b[0], index=free_names),
        cov=pd.DataFrame(sigma, index=free_names, columns=free_names),
        coefficients=coefficients,
        participants=frame,
        log_likelihood=evidence.log_likelihood,
        ibic=evidence.ibic,
        n_group_params=evidence.n_group_params,
        n_trials=evidence.n_trials,
        passes=em.passes,
        converged=em.converged,
        history=em.history,
        excluded=excluded,
        log_likelihood_se=evidence.log_likelihood_se,
        unconverged=unconverged,
        sd_se=pd.Series(se_sd, index=free_names),
        message=stop_message(em.converged, em.passes, free_names, np.array(em.sds), se_sd),
    )


def _data_errors(problem: Problem, participants: list[_Participant]) -> dict[int, str]:
    """Why each participant whose data cannot be fitted cannot (by position), with what velmora.fit
    checks of one participant's data; such a participant is left out, not the study stopped."""
    errors: dict[int, str] = {}
    for i, p in enumerate(participants):
        if p.error is None and p.inputs is not None:
            try:
                problem.check_participant(p.inputs, p.responses)
            except Exception as error:
                p.error = f"{type(error).__name__}: {error}"
        if p.error is not None:
            errors[i] = p.error
    return errors
