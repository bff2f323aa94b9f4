"""The group fit's calls into the engine, in one place: every participant's fit under a group prior,
and the negative log-likelihood at given parameter vectors."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from velmora.problem import TRANSFORM_CODES

if TYPE_CHECKING:
    from velmora._group.data import GroupData


def transform_codes(transforms: list[str]) -> np.ndarray:
    """The engine's code of each free parameter's transform."""
    return np.array([TRANSFORM_CODES[t] for t in transforms], dtype=np.int64)


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
    fits = data.problem.run_fit(
        data.seeds,
        data.workers,
        n_starts=starts_per_fit,
        prior_mean=np.ascontiguousarray(means.mean(axis=0)),
        prior_var=np.ascontiguousarray(np.diag(sigma)),
        means=np.ascontiguousarray(means) if data.covariates else None,
        precision=precision,
        log_det=log_det,
        posterior=True,
        first=first,
    )
    return {**fits, "means": means}


def neg_log_likelihoods(data: GroupData, rows: np.ndarray, vectors: np.ndarray, draws: int) -> np.ndarray:
    """The negative log-likelihood of participants ``rows`` at each of their ``draws`` natural parameter
    vectors (rows x draws x parameters): rows x draws."""
    assert vectors.shape[1] == draws
    return data.problem.nll(vectors, rows, data.workers)
