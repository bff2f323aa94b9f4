"""The E-step: every participant's fit under the current group prior (Laplace), and importance
sampling from those fits' posteriors (the sampling E-step, and the integrated likelihood)."""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from velmora import _engine
from velmora.stream import seeds as derived_seeds
from velmora._group.data import JITTER, GroupData
from velmora._group.engine import fit_participants, neg_log_likelihoods
from velmora.problem import natural_of

# About how many numbers each array of draws holds at a time (participants x draws x parameters).
_BLOCK_CELLS = 1 << 20


def laplace(
    data: GroupData, b: np.ndarray, sigma: np.ndarray, starts_per_fit: int, first: np.ndarray | None
) -> dict[str, np.ndarray]:
    """Each participant's MAP fit under the prior N(X b, sigma), from ``starts_per_fit`` starts (the
    first at ``first``), with its Laplace posterior covariance."""
    means = data.x @ b
    inverse = np.linalg.inv(sigma) if data.full else None
    precision = None if inverse is None else 0.5 * (inverse + inverse.T)  # symmetric to the last bit
    log_det = float(np.linalg.slogdet(sigma)[1]) * -1.0 if data.full else 0.0
    return fit_participants(data, means, sigma, starts_per_fit, precision, log_det, first)


def gaussian_log_density(x: np.ndarray, mean: np.ndarray, precision: np.ndarray, log_det_precision: float) -> Any:
    d = x - mean
    return -0.5 * (
        np.einsum("...i,ij,...j->...", d, precision, d) + len(precision) * math.log(2 * math.pi) - log_det_precision
    )


def log_mean_exp(log_w: np.ndarray) -> Any:
    """log of each row's mean of exp(log_w); -inf for a row without one finite value."""
    top = log_w.max(axis=1, keepdims=True)
    with np.errstate(invalid="ignore"):
        return np.where(np.isfinite(top[:, 0]), top[:, 0] + np.log(np.exp(log_w - top).mean(axis=1)), -np.inf)


class Sampler:
    """Importance sampling from each participant's Laplace posterior, ``n_samples`` draws each.

    Common random numbers: each participant's standard normal draws come from velmora's own stream,
    seeded by its key's seed, so that they are the same every pass, whoever else is in the study,
    and on every machine and NumPy. They are made block by block rather than held for the study:
    participants per block so that the draws' arrays stay near _BLOCK_CELLS numbers each, and memory
    does not grow with the study. The blocks follow the data alone, never the worker count, and every
    sum runs over whole per-participant arrays: the result is the same to the bit on any number of
    threads.
    """

    def __init__(self, data: GroupData, n_samples: int) -> None:
        self.data = data
        self.n_samples = n_samples
        self.draw_seeds = np.array([derived_seeds(2, int(s))[1] for s in data.seeds], dtype=np.uint64)
        self.block = max(1, _BLOCK_CELLS // (n_samples * max(data.k, data.m)))

    def standard_draws(self, rows: np.ndarray) -> np.ndarray:
        z = np.empty((len(rows), self.n_samples, self.data.m))
        for j, row in enumerate(rows):
            _engine.normal(z[j], int(self.draw_seeds[row]), 0.0, 1.0)
        return z

    def blocks(self, rows: np.ndarray) -> list[np.ndarray]:
        return [rows[i : i + self.block] for i in range(0, len(rows), self.block)]

    def log_likelihoods(self, rows: np.ndarray, theta: np.ndarray) -> np.ndarray:
        """-nll of participants ``rows`` at each of their draws of transformed parameters (rows x draws x m)."""
        problem = self.data.problem
        draws = theta.shape[1]
        vectors = np.broadcast_to(problem.values, (len(rows), draws, self.data.k)).copy()
        for j, index in enumerate(problem.free):
            with np.errstate(over="ignore"):
                vectors[:, :, index] = natural_of(problem.transforms[j], theta[:, :, j])
        return -neg_log_likelihoods(self.data, rows, vectors, draws)

    def sampled(self, fits: dict[str, np.ndarray], b: np.ndarray, sigma: np.ndarray) -> dict[str, np.ndarray]:
        """Importance sampling from each participant's Laplace posterior (its covariance doubled, for
        heavier tails) under the prior N(X b, sigma): posterior means and covariances, each one's log
        marginal likelihood and that estimate's Monte Carlo standard error (by the delta method); NaN
        for a participant without an estimate."""
        n, m, n_samples = self.data.n, self.data.m, self.n_samples
        mean, post, marginal = np.full((n, m), np.nan), np.full((n, m, m), np.nan), np.full(n, np.nan)
        noise = np.full(n, np.nan)
        cov = np.where(np.isfinite(fits["cov"]), fits["cov"], sigma)
        precision = np.linalg.inv(sigma)
        precision = 0.5 * (precision + precision.T)
        log_det = float(np.linalg.slogdet(precision)[1])
        means = self.data.x @ b
        for rows in self.blocks(np.flatnonzero(np.isfinite(fits["theta"]).all(axis=1))):
            z = self.standard_draws(rows)
            chol = np.linalg.cholesky(2.0 * cov[rows] + JITTER * np.eye(m))
            draws = fits["theta"][rows, None, :] + np.einsum("nij,nsj->nsi", chol, z)
            log_q = (
                -0.5 * (z**2).sum(axis=2)
                - np.log(np.diagonal(chol, axis1=1, axis2=2)).sum(axis=1)[:, None]
                - 0.5 * m * math.log(2 * math.pi)
            )
            log_prior = gaussian_log_density(draws, means[rows, None, :], precision, log_det)
            log_w = self.log_likelihoods(rows, draws) + log_prior - log_q
            marginal[rows] = log_mean_exp(log_w)
            with np.errstate(invalid="ignore", divide="ignore"):  # a participant without a finite weight gets NaN
                w = np.exp(log_w - log_w.max(axis=1, keepdims=True))
                total = w.sum(axis=1, keepdims=True)
                # sd(w) / (sqrt(S) mean(w)): the standard error of log mean(w)
                noise[rows] = np.std(w, axis=1, ddof=1) / (math.sqrt(n_samples) * total[:, 0] / n_samples)
                w /= total
            mean[rows] = np.einsum("ns,nsi->ni", w, draws)
            d = draws - mean[rows, None, :]
            post[rows] = np.einsum("ns,nsi,nsj->nij", w, d, d)
        ok = np.isfinite(mean).all(axis=1)
        return {
            "mean": mean,
            "cov": post,
            "marginal": np.where(ok, marginal, np.nan),
            "noise": np.where(ok, noise, np.nan),
        }
