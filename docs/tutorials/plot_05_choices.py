"""
Choices and delay discounting
=============================

In an intertemporal-choice task each trial offers an amount sooner or a larger amount later. The
``discount`` (exponential) and ``hyperbolic`` models value each offer; a logistic response model
turns the difference of values into the probability of choosing the later one.
"""

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

import velmora

# %%
# Eight participants, half of each kind, 80 choices each between an amount now and 100 later.
rng = np.random.default_rng(2)
offers = np.column_stack([rng.uniform(1, 100, 80), np.zeros(80), np.full(80, 100.0), rng.uniform(0, 365, 80)])
exponential = pd.DataFrame(
    {"subject": [f"e{i}" for i in range(4)], "discount_factor": 1 - rng.uniform(0.003, 0.02, 4), "beta": 0.3}
)
hyperbolic = pd.DataFrame({"subject": [f"h{i}" for i in range(4)], "k": rng.uniform(0.005, 0.05, 4), "beta": 0.3})
choices = pd.concat(
    [
        velmora.simulate_many("discount", exponential, offers, seed=1),
        velmora.simulate_many("hyperbolic", hyperbolic, offers, seed=1),
    ],
    ignore_index=True,
)
print(choices.head())

# %%
# Both models fitted to everyone, and the comparison.
fits = {model: velmora.fit_many(choices, model, progress=False) for model in ("discount", "hyperbolic")}
print(fits["hyperbolic"][["subject", "k", "se_k", "beta", "lme"]].round(4).to_string(index=False))
result = velmora.compare(fits)
print(result.best)

# %%
# Each participant's choices against its fitted discount curve: later choices (filled) should fall
# below the curve, sooner ones (open) above.
# (``plot_choices`` draws on a new figure of its own unless given one; pyplot's shows here.)
figure = velmora.plot_choices(choices, fits["hyperbolic"], "hyperbolic", columns=4, figure=plt.figure(figsize=(9, 5)))

# %%
# A single participant's fit with :func:`velmora.fit`, and the value of each offer at the estimate
# from the array engine.
one = choices[choices["subject"] == "h0"]
fit = velmora.fit("hyperbolic", one[["amount_sooner", "delay_sooner", "amount_later", "delay_later"]], one["response"])
print(fit)
