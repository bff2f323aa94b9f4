"""
One model run and its trajectory
================================

A Kalman filter tracks a hidden quantity that drifts, from noisy observations of it. Its belief
after each observation is a Normal distribution: a mean and a variance, so the uncertainty is part
of the result. The HGF adds a second level that tracks how volatile the quantity is, and learns
faster after surprises.
"""

import matplotlib.pyplot as plt
import numpy as np

import velmora
import velmora.arrays as va

# %%
# A hidden quantity that walks slowly, then jumps, observed with noise of variance 0.25.
rng = np.random.default_rng(3)
hidden = np.concatenate([np.zeros(60), np.full(60, 3.0)]) + rng.normal(0, 0.1, 120).cumsum()
observations = hidden + rng.normal(0, 0.5, 120)

# %%
# The list function gives one ``(mean, var)`` tuple per observation; the array function gives the
# same numbers as arrays, with each observation's predictive log-likelihood.
rows = velmora.kalman_run(0.0, 1.0, observations, process_noise=0.01, obs_noise=0.25)
print(rows[:2])
k = va.kalman_run(0.0, 1.0, observations, process_noise=0.01, obs_noise=0.25)
print(k.mean[:2], k.var[:2], round(float(k.loglik.sum()), 2))

# %%
# The belief with its 95 % interval, and the HGF's learning rate, which rises at the jump.
h = va.hgf_run(observations, obs_noise=0.25, precision_flexibility=1.0)
trials = np.arange(1, 121)
fig, (top, bottom) = plt.subplots(2, 1, figsize=(7, 5), sharex=True)
top.plot(trials, observations, ".", color="0.6", label="observation")
top.plot(trials, hidden, color="k", lw=1, label="hidden quantity")
top.plot(trials, k.mean, color="C0", label="Kalman mean")
half = 1.96 * np.sqrt(k.var)
top.fill_between(trials, k.mean - half, k.mean + half, color="C0", alpha=0.25, label="95 % interval")
top.legend(loc="upper left", fontsize=8)
bottom.plot(trials, h.learning_rate, color="C1")
bottom.set_ylabel("HGF learning rate")
bottom.set_xlabel("trial")
fig.tight_layout()
