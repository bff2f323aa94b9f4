"""Random-effects model selection against cases worked out by hand and independent computations."""

import numpy as np
import pytest
from scipy import optimize, special, stats

from velmora.bms import bms, exceedance_probabilities

DECISIVE = 1000.0  # a log evidence margin that makes every participant's assignment certain


def decisive(counts):
    """Log evidences of sum(counts) participants, counts[k] of them decisively for model k."""
    rows = []
    for k, n in enumerate(counts):
        rows += [np.eye(len(counts))[k] * DECISIVE] * int(n)
    return np.array(rows)


@pytest.mark.parametrize("counts", [(3, 1), (5, 0), (2, 2, 1), (0, 4, 1, 1)])
def test_certain_assignments_give_the_counts_and_the_exact_omnibus_risk(counts):
    counts = np.array(counts, dtype=float)
    k = counts.size
    s = bms(decisive(counts))
    # The Dirichlet posterior of a multinomial with a flat prior and known assignments.
    np.testing.assert_allclose(s.alpha, 1.0 + counts, rtol=1e-12)
    # With certain assignments the bound is exact: F1 - sum L = log B(1 + counts) / B(1), against
    # F0 - sum L = N log(1/K) for equal frequencies.
    log_beta = lambda a: special.gammaln(a).sum() - special.gammaln(a.sum())  # noqa: E731
    f1_minus_f0 = log_beta(1.0 + counts) - log_beta(np.ones(k)) + counts.sum() * np.log(k)
    assert s.bor == pytest.approx(1.0 / (1.0 + np.exp(f1_minus_f0)), rel=1e-9)
    np.testing.assert_allclose(s.protected_exceedance, (1 - s.bor) * s.exceedance + s.bor / k, rtol=1e-12)


@pytest.mark.parametrize("margin", [-3.0, -0.4, 0.0, 0.7, 5.0])
def test_one_participant_solves_the_fixed_point_equation(margin):
    # alpha = (1 + g, 2 - g) with g = sigmoid(margin + psi(1 + g) - psi(2 - g)); solved here by root finding.
    equation = lambda g: special.expit(margin + special.digamma(1 + g) - special.digamma(2 - g)) - g  # noqa: E731
    g = optimize.brentq(equation, 1e-12, 1 - 1e-12, xtol=1e-14)
    s = bms(np.array([[margin, 0.0]]))
    np.testing.assert_allclose(s.alpha, [1 + g, 2 - g], atol=1e-8)
    assert s.exceedance[0] == pytest.approx(stats.beta.sf(0.5, 1 + g, 2 - g), abs=1e-8)


@pytest.mark.parametrize(
    "alpha",
    [[3.0, 5.0, 2.5], [1.0, 1.0, 1.0, 7.0], [20.0, 21.0, 19.5], [1.2, 0.6, 3.3, 2.0, 1.1], "counts 5001 5000 4990"],
)
def test_exceedance_by_integration_matches_sampling_the_dirichlet(alpha):
    if isinstance(alpha, str):  # a large study through bms: that many participants decisively for each model
        counts = np.array(alpha.split()[1:], dtype=float)
        selection, alpha = bms(decisive(counts)), 1.0 + counts
        np.testing.assert_allclose(selection.alpha, alpha, rtol=1e-12)
        computed = selection.exceedance
    else:
        computed = exceedance_probabilities(np.array(alpha))
    draws = np.random.default_rng(12345).dirichlet(alpha, 1_000_000)
    sampled = np.bincount(draws.argmax(axis=1), minlength=len(alpha)) / len(draws)
    # Five standard errors of a frequency from a million draws.
    np.testing.assert_allclose(computed, sampled, atol=2.5e-3)


def test_relabelling_models_relabels_every_output():
    lme = np.random.default_rng(7).normal(scale=3.0, size=(30, 4))
    order = [2, 0, 3, 1]
    s, t = bms(lme), bms(lme[:, order])
    for field in ("alpha", "exceedance", "protected_exceedance"):
        np.testing.assert_allclose(getattr(t, field), getattr(s, field)[order], rtol=1e-7, atol=1e-12)
    assert t.bor == pytest.approx(s.bor)


@pytest.mark.parametrize("models", [2, 3, 5])
def test_no_evidence_either_way_favours_no_model(models):
    s = bms(np.zeros((12, models)))
    np.testing.assert_allclose(s.exceedance, 1 / models, rtol=1e-7)
    np.testing.assert_allclose(s.protected_exceedance, 1 / models, rtol=1e-7)
    assert s.bor > 0.5  # equal frequencies explain identical evidence better
