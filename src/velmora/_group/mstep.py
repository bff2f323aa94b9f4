"""The M-step: the group prior that best explains the participants' fits, the standard errors of its
parameters, and the prior written as one unconstrained vector for the extrapolation."""

from __future__ import annotations

import math

import numpy as np

from velmora._group.data import JITTER


class PriorCoding:
    """The group prior (coefficients b, terms x parameters, and Sigma) as one unconstrained vector: b,
    then the log-Cholesky factors of Sigma (its lower triangle, or its diagonal for a diagonal Sigma)."""

    def __init__(self, terms: int, m: int, full: bool) -> None:
        self.m = m
        self.b_size = terms * m
        self.lower = np.tril_indices(m) if full else np.diag_indices(m)

    def pack(self, b: np.ndarray, sigma: np.ndarray) -> np.ndarray:
        factor = np.linalg.cholesky(sigma)
        factor[np.diag_indices(self.m)] = np.log(np.diag(factor))
        return np.concatenate([b.ravel(), factor[self.lower]])

    def unpack(self, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        factor = np.zeros((self.m, self.m))
        factor[self.lower] = y[self.b_size :]
        factor[np.diag_indices(self.m)] = np.exp(np.clip(np.diag(factor), -30.0, 30.0))
        return y[: self.b_size].reshape(-1, self.m), factor @ factor.T

    def natural(self, y: np.ndarray) -> np.ndarray:
        """The group parameters of the packed prior ``y``: each coefficient, then each SD."""
        coefficients, spread = self.unpack(y)
        return np.concatenate([coefficients.ravel(), np.sqrt(np.diag(spread))])


def m_step(theta: np.ndarray, post_cov: np.ndarray, design: np.ndarray, full: bool) -> tuple[np.ndarray, np.ndarray]:
    """The group prior that maximises the expected log joint: regression coefficients b (terms x
    parameters) and Sigma."""
    b = np.linalg.lstsq(design, theta, rcond=None)[0]
    residual = theta - design @ b
    sigma = (residual.T @ residual + post_cov.sum(axis=0)) / len(theta)
    if not full:
        sigma = np.diag(np.diag(sigma))
    return b, sigma + JITTER * np.eye(len(sigma))


def group_errors(
    x: np.ndarray, sigma: np.ndarray, post_cov: np.ndarray, undo: np.ndarray | None = None
) -> tuple[np.ndarray, np.ndarray]:
    """Standard errors of the coefficients (terms x parameters) and of each group SD, from the
    information of the marginal likelihood (Louis's missing information): X'WX for the coefficients of
    parameter j, and (1/2) sum w_i^2 for its variance, with w_i = (Sigma_jj - c_ij) / Sigma_jj^2 for
    participant i's posterior variance c_ij (in the normal-normal model w_i is 1 / (Sigma_jj + s_i^2),
    s_i^2 the variance of its estimate). The estimates' spread alone would leave out how uncertain
    each one is. ``undo`` maps coefficients of ``x`` to those reported (b = undo @ b_x)."""
    se_b, se_sd = np.empty((x.shape[1], len(sigma))), np.empty(len(sigma))
    for j in range(len(sigma)):
        var = sigma[j, j]
        weights = np.maximum(var - post_cov[:, j, j], 1e-12 * var) / var**2
        cov_b = np.linalg.inv(x.T @ (weights[:, None] * x))
        if undo is not None:
            cov_b = undo @ cov_b @ undo.T
        se_b[:, j] = np.sqrt(np.diag(cov_b))
        se_sd[j] = math.sqrt(2.0 / float(np.sum(weights**2))) / (2.0 * math.sqrt(var))
    return se_b, se_sd
