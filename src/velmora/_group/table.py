"""The participants' rows of a group fit, as :func:`velmora.fit_many` writes them, and who was left
out of the group estimate or kept with a fit that did not converge."""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from velmora._group.data import GroupData
from velmora._group.engine import neg_log_likelihoods
from velmora.problem import natural_of, slope
from velmora.results import aic_of, bic_of
from velmora.tables import _Participant


def _at_posterior_means(data: GroupData, theta: np.ndarray, post_cov: np.ndarray, table: Any) -> np.ndarray:
    """Writes into ``table`` each participant's posterior means (natural units) and spreads in place of
    its estimates and standard errors; returns the negative log-likelihood at those means (NaN for a
    participant without them)."""
    problem = data.problem
    vectors = np.broadcast_to(problem.values, (data.n, 1, data.k)).copy()
    for j, name in enumerate(problem.free_names):
        natural = natural_of(problem.transforms[j], theta[:, j])
        table[name] = natural
        table[f"se_{name}"] = np.abs(slope(problem.transforms[j], natural)) * np.sqrt(post_cov[:, j, j])
        vectors[:, 0, problem.free[j]] = natural
    at_mean = np.full(data.n, np.nan)
    has = np.flatnonzero(np.isfinite(theta).all(axis=1))
    if has.size:
        at_mean[has] = neg_log_likelihoods(data, has, np.ascontiguousarray(vectors[has]), 1)[:, 0]
    return at_mean


def participant_rows(
    data: GroupData,
    state: dict[str, Any],
    marginal: np.ndarray,
    method: str,
    participants: list[_Participant],
    valid: list[int],
    errors: dict[int, str],
) -> tuple[list[dict[str, Any]], dict[Any, str], dict[Any, str]]:
    """Every participant's row under the prior of the last pass ``state`` (in ``participants``' order;
    ``valid`` those fitted, ``errors`` why each other one was not), those left out of the group estimate
    and why, and those kept whose fit did not converge or has no standard errors."""
    problem, fits, keep = data.problem, state["fits"], state["keep"]
    free_names = problem.free_names
    fits_arrays = problem.arrays(fits["natural"], fits["se"], fits["stats"], fits["status"], data.n_trials)
    table = fits_arrays.to_frame().drop(columns="neg_log_joint")
    if method == "sampling":
        # The estimates are posterior means, their spread the posterior's; so that every number in a
        # row belongs to them, nll (and aic, bic) is the likelihood at those means, and lme the
        # sampled log marginal likelihood under the group prior.
        at_mean = _at_posterior_means(data, state["theta"], state["post_cov"], table)
        table["nll"] = at_mean
        table["aic"] = aic_of(at_mean, data.m)
        table["bic"] = bic_of(at_mean, data.m, data.n_trials)
        table["lme"] = marginal
    rows: list[dict[str, Any]] = [{"error": errors.get(i, "")} for i in range(len(participants))]
    for j, record in enumerate(table.to_dict("records")):
        record["n_trials"], record["converged"] = int(record["n_trials"]), bool(record["converged"])
        rows[valid[j]] = record
    excluded = {participants[i].key: reason for i, reason in errors.items()}
    for dropped in np.flatnonzero(~keep):
        at = valid[int(dropped)]
        excluded[participants[at].key] = rows[at].get("error") or "no estimate under the group prior"
    # Participants kept in the group estimate whose own fit under the group prior did not converge, or
    # whose curvature gave no standard error: named, not kept silently.
    unconverged: dict[Any, str] = {}
    for kept in np.flatnonzero(keep):
        record = rows[valid[int(kept)]]
        if not record["converged"]:
            unconverged[participants[valid[int(kept)]].key] = record.get("message") or "not converged"
        elif not all(math.isfinite(record[f"se_{name}"]) for name in free_names):
            unconverged[participants[valid[int(kept)]].key] = "no standard error (the Hessian is not positive definite)"
    return rows, excluded, unconverged
