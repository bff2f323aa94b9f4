"""Time velmora.plot_choices for a study of N participants (default 1000): drawing, then rendering a PNG.

python3 benchmarks/plot_choices.py [N]
"""

import sys, time
import numpy as np, pandas as pd, velmora
from velmora.study import simulate_many

n = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
rng = np.random.default_rng(0)
offers = np.column_stack([rng.uniform(1, 10, 20), np.zeros(20), np.full(20, 10.0), rng.uniform(1, 60, 20)])
truth = pd.DataFrame({"subject": range(n), "discount_factor": rng.uniform(0.9, 0.99, n), "beta": 2.0, "bias": 0.0})
data = simulate_many("discount", truth, offers, seed=1)
fits = truth.assign(error="", nll=1.0)
t = time.perf_counter()
fig = velmora.plot_choices(data, fits, "discount")
t1 = time.perf_counter()
import io

fig.savefig(io.BytesIO(), format="png", dpi=50)
t2 = time.perf_counter()
print(f"{n} participants: plot_choices {t1 - t:.2f} s, savefig png {t2 - t1:.2f} s")
