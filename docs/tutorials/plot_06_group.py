"""
Group-level estimation with a covariate
=======================================

:func:`velmora.fit_group` estimates the population the participants come from (empirical Bayes:
expectation-maximisation with the Laplace approximation) and lets it inform every participant's
estimate. With a covariate, the group mean is a linear model of it, with a test of each coefficient.
"""

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

import velmora

# %%
# 80 participants, half of them patients whose learning rate is higher by 0.8 on the logit scale;
# only 30 trials each, so every single fit is noisy.
rng = np.random.default_rng(0)
n = 80
patient = np.arange(n) >= n // 2
truth = pd.DataFrame(
    {
        "subject": [f"p{i:03d}" for i in range(n)],
        "initial_value": rng.normal(0.5, 0.3, n),
        "learning_rate": 1 / (1 + np.exp(1.2 - 0.8 * patient - rng.normal(0, 0.5, n))),
        "zeta": np.exp(rng.normal(np.log(0.05), 0.3, n)),
    }
)
groups = pd.DataFrame({"subject": truth["subject"], "group": np.where(patient, "patient", "control")})
rewards = (rng.random(30) < 0.7).astype(float)
study = velmora.simulate_many("td", truth, rewards, seed=4)

# %%
# The group fit, and the test of the group difference in each parameter.
group = velmora.fit_group(study, "td", covariates=groups, progress=False)
print(group.converged, group.passes)
print(group.coefficients.round(3).to_string(index=False))

# %%
# Every participant's learning rate, fitted alone and under the group prior, against the truth:
# the group prior pulls the noisiest estimates towards their group's mean.
alone = velmora.fit_many(study, "td", progress=False)
fig, axes = plt.subplots(1, 2, figsize=(8, 3.8), sharex=True, sharey=True)
for ax, table, title in zip(axes, (alone, group.participants), ("fit_many (alone)", "fit_group")):
    r = np.corrcoef(truth["learning_rate"], table["learning_rate"])[0, 1]
    ax.scatter(truth["learning_rate"], table["learning_rate"], c=np.where(patient, "C1", "C0"), s=12)
    ax.plot([0, 1], [0, 1], "k--", lw=1)
    ax.set_title(f"{title}: r = {r:.2f}")
    ax.set_xlabel("true learning rate")
axes[0].set_ylabel("estimate")
fig.tight_layout()

# %%
# The comparison takes the group fit beside the per-participant one and ranks both by the integrated
# BIC: the group fit's own (with its Monte Carlo standard error), and the per-participant fits' summed
# BIC, the iBIC of a model without a group level.
print(velmora.compare({"group": group, "alone": alone}).to_frame()[["model", "ibic", "ibic_se", "rank"]])
