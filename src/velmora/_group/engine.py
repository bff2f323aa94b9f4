"""The group fit's calls into the engine, in one place: every participant's fit under a group prior,
and the negative log-likelihood at given parameter vectors."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from velmora import _engine
from velmora.fitting import _STATS, _TRANSFORM_CODES

if TYPE_CHECKING:
    from velmora._group.data import GroupData


def transform_codes(transforms: list[str]) -> np.ndarray:
    """The engine's code of each free parameter's transform."""
    return np.array([_TRANSFORM_CODES[t] for t in transforms], dtype=np.int64)


def fit_participants(
    data: GroupData,
    means: np.ndarray,
    sigma: np.ndarray,
    starts_per_fit: int,
    precision: np.ndarray | None,
    log_det: float,
    first: np.ndarray | None,
) -> dict[str, np.ndarray]:
    """Each participant's MAP fit under the prior N(means, sigma) (``precision`` its inverse where the
    covariance is full): natural estimates, their standard errors, fit statistics, status, and the
    transformed estimate with its posterior covariance. ``first``: each fit's first start."""
    n, m, k = data.n, data.m, data.k
    problem = data.problem
    natural, se = np.empty((n, k)), np.empty((n, m))
    stats, status = np.empty((n, len(_STATS))), np.empty(n, dtype=np.int64)
    theta, cov = np.empty((n, m)), np.empty((n, m, m))
    _engine.fit(
        data.model,
        problem.response,
        data.values,
        data.starts,
        data.lengths,
        data.responses,
        held=problem.values,
        free=problem.free,
        transforms=data.transforms,
        prior_mean=np.ascontiguousarray(means.mean(axis=0)),
        prior_var=np.ascontiguousarray(np.diag(sigma)),
        seeds=data.seeds,
        n_starts=starts_per_fit,
        threads=data.workers,
        optional=problem.given,
        natural=natural,
        se=se,
        stats=stats,
        status=status,
        prior_means=np.ascontiguousarray(means) if data.covariates else None,
        prior_precision=precision,
        prior_log_det_precision=log_det,
        theta=theta,
        cov=cov,
        first_starts=first,
    )
    return {"natural": natural, "se": se, "stats": stats, "status": status, "theta": theta, "cov": cov, "means": means}


def neg_log_likelihoods(data: GroupData, rows: np.ndarray, vectors: np.ndarray, draws: int) -> np.ndarray:
    """The negative log-likelihood of participants ``rows`` at each of their ``draws`` natural parameter
    vectors (rows x draws x parameters): rows x draws."""
    out = np.empty((len(rows), draws))
    _engine.evaluate(
        data.model,
        data.problem.response,
        data.values,
        data.starts[rows],
        data.lengths[rows],
        data.responses,
        params=vectors,
        draws=draws,
        optional=data.problem.given,
        threads=data.workers,
        out=out,
    )
    return out
