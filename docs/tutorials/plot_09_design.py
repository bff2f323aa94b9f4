"""
Before and after the experiment: recovery, power and predictive checks
=======================================================================

The four questions of the guide :doc:`../guide/design`, each answered by one call and drawn by its
result's ``plot()``: can the design recover the parameters, can it tell the models apart, how many
participants does a group difference need, and does the fitted model reproduce the data.
"""

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

import velmora
from velmora.design_plots import shrinkage_plot, trajectory_plot

# A reversal-learning design: rewards with probability 0.8, then 0.2, switching every 30 trials.
rng = np.random.default_rng(1)
rewards = (rng.random(120) < np.where(np.arange(120) // 30 % 2, 0.2, 0.8)).astype(float)

# %%
# Parameter recovery: 200 simulated TD learners on this design, estimate against truth per
# parameter in the fit's transformed space.
recovered = velmora.recovery("td", rewards, n=200, seed=1)
print(recovered.summary())
recovered.plot(plt.figure(figsize=(9.6, 3.4), layout="constrained"))

# %%
# Model recovery: which model wins on data each one made, by best evidence and by random-effects
# selection. The walk has occasional jumps, where the HGF's volatility matters.
walk = (rng.normal(0, 0.3, 150) + (rng.random(150) < 0.05) * rng.normal(0, 3, 150)).cumsum()
models = velmora.model_recovery(["kalman", "hgf", "td"], walk, n=40, seed=2)
models.plot(plt.figure(figsize=(9, 3.8), layout="constrained"))

# %%
# Power: two equal groups whose learning rates differ by 0.8 group SD, each study fitted by
# ``fit_group`` with the group as a covariate. Fifteen studies per size keep this page quick; the
# intervals say how little that pins the rate down (a few hundred narrow them).
curve = velmora.power("td", rewards, effect={"learning_rate": 0.8}, n_participants=[20, 40, 80], n_studies=15, seed=3)
print(curve.summary())
curve.plot(plt.figure(figsize=(9, 3.6), layout="constrained"))

# %%
# A study to check after fitting: 30 participants, fitted alone and under a group prior.
truth = pd.DataFrame(
    {
        "subject": range(30),
        "initial_value": 0.5,
        "learning_rate": rng.uniform(0.1, 0.6, 30),
        "zeta": np.exp(rng.normal(-2.5, 0.5, 30)),
    }
)
study = velmora.simulate_many("td", truth, rewards, seed=5)
fits = velmora.fit_many(study, "td", progress=False)

# %%
# The predictive check: the learning curve against the simulations' band, and each participant's
# mean response against its simulated distribution.
check = velmora.predictive_check(fits, study, n_simulations=200, seed=6)
print(check.summary())
check.plot(plt.figure(figsize=(9, 3.6), layout="constrained"))

# %%
# One participant's fitted trajectory, with a band over its estimate's uncertainty.
first = study[study["subject"] == 0]
fit = velmora.fit("td", first["input"], first["response"])
trajectory_plot("td", first["input"], first["response"], fit, figure=plt.figure(figsize=(8, 3.4), layout="constrained"))

# %%
# Shrinkage: each participant fitted alone against under the group prior, and the group's
# coefficients.
group = velmora.fit_group(study, "td", fixed={"initial_value": 0.5}, progress=False)
shrinkage_plot(group, fits, figure=plt.figure(figsize=(10, 3.4), layout="constrained"))
