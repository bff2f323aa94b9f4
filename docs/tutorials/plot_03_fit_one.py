"""
Fitting one participant
=======================

:func:`velmora.fit` estimates a model's parameters from one participant's responses: the maximum a
posteriori estimate under weak default priors, standard errors and the Laplace log model evidence.
"""

import matplotlib.pyplot as plt
import numpy as np

import velmora

# %%
# A participant who learns the value of an option from 0/1 rewards by temporal-difference learning
# and reports a noisy estimate of it on each trial (variance ``zeta``).
rewards = (np.random.default_rng(7).random(300) < 0.7).astype(float)
truth = {"initial_value": 0.2, "learning_rate": 0.15, "zeta": 0.02}
participant = velmora.simulate("td", rewards, truth, seed=9)
responses = participant.responses

# %%
# The fit. ``print`` shows the estimates with their standard errors and the criteria.
result = velmora.fit("td", rewards, responses)
print(result)

# %%
# Each part of :class:`velmora.FitResult` is an attribute; ``to_frame()`` gives one table row.
print(result.params, result.se)
print(result.converged, result.n_trials, round(result.lme, 2), round(result.bic, 2))
print(result.to_frame())

# %%
# The model at the estimate beside the responses it was fitted to, with the response noise
# (two standard deviations of ``zeta``).
value = np.concatenate([[result.params["initial_value"]], result.trajectory.value[:-1]])  # before each trial
band = 2 * np.sqrt(result.params["zeta"])
trials = np.arange(1, len(rewards) + 1)
fig, ax = plt.subplots(figsize=(7, 3.5))
ax.plot(trials, responses, ".", color="0.6", ms=3, label="responses")
ax.plot(trials, value, color="C0", label="fitted value")
ax.fill_between(trials, value - band, value + band, color="C0", alpha=0.2, label="± 2 sd of the response")
ax.set_xlabel("trial")
ax.legend(fontsize=8)
fig.tight_layout()

# %%
# Two models on the same responses: the lower BIC (and the higher log evidence) wins.
kalman = velmora.fit("kalman", rewards, responses)
print(f"td: BIC {result.bic:.1f}, lme {result.lme:.1f}; kalman: BIC {kalman.bic:.1f}, lme {kalman.lme:.1f}")
