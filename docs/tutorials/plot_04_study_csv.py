"""
A whole study: from a CSV file to a model comparison
====================================================

A study in long format (one row per trial: ``subject``, ``trial``, ``input``, ``response``) is what
:func:`velmora.fit_many` reads, and what :func:`velmora.simulate_many` writes. Two models are fitted
to every participant, and :func:`velmora.compare` sets them side by side, participant by participant
and at the group level (random-effects Bayesian model selection).
"""

import tempfile
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

import velmora

# %%
# Thirty participants who track a walk with jumps by the HGF, written to a CSV file as an
# experiment would leave it.
rng = np.random.default_rng(1)
truth = pd.DataFrame(
    {
        "subject": [f"s{i:02d}" for i in range(30)],
        "obs_noise": rng.uniform(0.2, 1.5, 30),
        "precision_flexibility": rng.uniform(0.5, 2.5, 30),
        "zeta": 0.05,
    }
)
walk = (rng.normal(0.0, 0.2, 150) + (rng.random(150) < 0.05) * rng.normal(0.0, 3.0, 150)).cumsum()
folder = Path(tempfile.mkdtemp())
velmora.simulate_many("hgf", truth, walk, seed=7).to_csv(folder / "study.csv", index=False)

# %%
# Read it back and fit both models.
data = pd.read_csv(folder / "study.csv")
print(data.head())
fits = {model: velmora.fit_many(data, model, progress=False) for model in ("hgf", "kalman")}
print(fits["hgf"][["subject", "obs_noise", "se_obs_noise", "lme", "converged", "error"]].head())

# %%
# The comparison: each participant's log evidence per model, the winner, and the random-effects
# estimate of how frequent each model is in the population.
result = velmora.compare(fits)
print(result.to_frame().round(3).to_string(index=False))

# %%
# The log evidence difference per participant, and the posterior over the model frequencies.
fig, (left, right) = plt.subplots(1, 2, figsize=(8, 3.5))
difference = (result.lme["hgf"] - result.lme["kalman"]).sort_values()
left.bar(range(len(difference)), difference, color="C0")
left.set_xlabel("participant (sorted)")
left.set_ylabel("lme(hgf) - lme(kalman)")
frame = result.to_frame()
right.bar(frame["model"], frame["expected_frequency"], color=["C0", "C1"])
right.set_ylabel("expected model frequency")
right.set_ylim(0, 1)
fig.tight_layout()
