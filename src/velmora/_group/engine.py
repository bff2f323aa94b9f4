"""The group fit's calls into the engine, in one place: every participant's fit under a group prior,
and the negative log-likelihood at given parameter vectors."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from velmora.problem import TRANSFORM_CODES

if TYPE_CHECKING:
    from velmora._group.data import GroupData
    from velmora.problem import Problem

# Participants per chunk of the E-step on an executor: enough that each message carries far more
# fitting than sending.
E_STEP_CHUNK = 256


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
    options: dict[str, Any] = {
        "n_starts": starts_per_fit,
        "prior_mean": np.ascontiguousarray(means.mean(axis=0)),
        "prior_var": np.ascontiguousarray(np.diag(sigma)),
        "precision": precision,
        "log_det": log_det,
        "posterior": True,
    }
    if data.executor is None:
        fits = data.problem.run_fit(
            data.seeds,
            data.workers,
            means=np.ascontiguousarray(means) if data.covariates else None,
            first=first,
            **options,
        )
    else:
        fits = _on_executor(data, means, first, options)
    return {**fits, "means": means}


def chunk_bounds(n: int) -> list[tuple[int, int]]:
    """The E-step's chunks on an executor: fixed runs of participants, set by their number alone."""
    return [(a, min(a + E_STEP_CHUNK, n)) for a in range(0, n, E_STEP_CHUNK)]


def _part(problem: Problem, a: int, b: int) -> Problem:
    """The problem over participants a to b - 1 alone, their data cut out and re-based."""
    width = len(problem.inputs) // max(int(problem.lengths.sum()), 1)
    first, last = int(problem.starts[a]), int(problem.starts[b - 1] + problem.lengths[b - 1])
    return problem.with_data(
        problem.inputs[first * width : last * width],
        problem.starts[a:b] - first,
        problem.lengths[a:b],
        None if problem.responses is None else problem.responses[first:last],
    )


def fit_chunk(problem: Problem, seeds: np.ndarray, extra: dict[str, Any], options: dict[str, Any]) -> dict[str, Any]:
    """One chunk's fits on one thread (runs in a worker): only each participant's estimate, standard
    errors, statistics, status and posterior covariance go back."""
    return problem.run_fit(seeds, 1, **extra, **options)


def _on_executor(
    data: GroupData, means: np.ndarray, first: np.ndarray | None, options: dict[str, Any]
) -> dict[str, np.ndarray]:
    """The E-step's fits in fixed chunks on ``data.executor``; each participant's fit is the engine's
    for it alone, so the result is the one in process, to the bit."""
    futures = []
    try:
        for a, b in chunk_bounds(data.n):
            extra = {
                "means": np.ascontiguousarray(means[a:b]) if data.covariates else None,
                "first": None if first is None else np.ascontiguousarray(first[a:b]),
            }
            part = _part(data.problem, a, b)
            futures.append(data.executor.submit(fit_chunk, part, data.seeds[a:b], extra, options))
        parts = [future.result() for future in futures]
    except BaseException:
        for future in futures:
            future.cancel()
        raise
    return {key: np.concatenate([part[key] for part in parts]) for key in parts[0]}


def neg_log_likelihoods(data: GroupData, rows: np.ndarray, vectors: np.ndarray, draws: int) -> np.ndarray:
    """The negative log-likelihood of participants ``rows`` at each of their ``draws`` natural parameter
    vectors (rows x draws x parameters): rows x draws."""
    assert vectors.shape[1] == draws
    return data.problem.nll(vectors, rows, data.workers)
