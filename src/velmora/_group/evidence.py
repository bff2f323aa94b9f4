"""The data's likelihood integrated over the fitted group prior, and the integrated BIC (iBIC)."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from velmora._group.estep import Sampler


@dataclass(frozen=True)
class Evidence:
    """The integrated log-likelihood, its Monte Carlo standard error, the sampling behind it (each
    participant's sampled log marginal likelihood), the group parameters counted and the trials."""

    log_likelihood: float
    log_likelihood_se: float
    sample: dict[str, np.ndarray]
    n_group_params: int
    n_trials: int

    @property
    def ibic(self) -> float:
        """-2 log_likelihood + k log(trials) for the k group parameters."""
        return -2.0 * self.log_likelihood + self.n_group_params * math.log(self.n_trials)


def integrated(sampler: Sampler, state: dict[str, Any], b: np.ndarray, sigma: np.ndarray, method: str) -> Evidence:
    """Participant by participant, by importance sampling from each one's posterior approximation (far
    fewer draws wasted than from the prior), over the participants kept in the last pass ``state``,
    with the Monte Carlo standard error of the sum. The sampling E-step's own draws serve as they are."""
    keep, data = state["keep"], sampler.data
    sample = state["sample"] if method == "sampling" else sampler.sampled(state["fits"], b, sigma)
    m = data.m
    return Evidence(
        log_likelihood=float(sample["marginal"][keep].sum()),
        log_likelihood_se=math.sqrt(float(np.sum(sample["noise"][keep] ** 2))),
        sample=sample,
        n_group_params=b.size + (m * (m + 1) // 2 if data.full else m),
        n_trials=int(data.n_trials[keep].sum()),
    )
