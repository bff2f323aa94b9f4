"""
The array engine on a study
===========================

:mod:`velmora.arrays` runs a model over many subjects in one call, on every core, with one
parameter value per subject where you give an array. Here: 300 subjects, each with its own
observation noise, and the log-likelihood of every trial.
"""

import matplotlib.pyplot as plt
import numpy as np

import velmora.arrays as va

# %%
# A study of 300 subjects x 150 trials: each a random walk observed with its own noise.
rng = np.random.default_rng(0)
n, trials = 300, 150
noise = rng.uniform(0.1, 2.0, n)
study = rng.normal(0, 0.3, (n, trials)).cumsum(axis=1) + rng.normal(0, 1, (n, trials)) * np.sqrt(noise)[:, None]

# %%
# One call for everyone. The fields are (subjects x trials) arrays; row ``i`` is exactly what a call
# with subject ``i`` alone would give.
h = va.hgf_run(study, obs_noise=noise, precision_flexibility=1.0)
print(h.loglik.shape)
print(np.array_equal(h.prediction[7], va.hgf_run(study[7], noise[7], 1.0).prediction))

# %%
# Which observation noise explains each subject best? A grid of candidate values, each run over the
# whole study at once, and each subject's summed log-likelihood.
grid = np.geomspace(0.05, 4.0, 25)
loglik = np.array([va.kalman_run(0.0, 1.0, study, 0.09, g).loglik.sum(axis=1) for g in grid])
best = grid[loglik.argmax(axis=0)]
fig, ax = plt.subplots(figsize=(4.5, 4))
ax.loglog(noise, best, ".", alpha=0.6)
ax.plot([0.1, 2], [0.1, 2], "k--", lw=1)
ax.set_xlabel("true observation noise")
ax.set_ylabel("best on the grid (Kalman)")
fig.tight_layout()

# %%
# The result as a long table (subject, trial, fields):
print(va.kalman_run(0.0, 1.0, study[:2, :3], 0.09, 1.0).to_frame())
