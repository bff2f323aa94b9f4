"""
Running on a Dask cluster
=========================

:func:`velmora.fit_many` takes any :class:`concurrent.futures.Executor`, and a Dask client gives one:
the same call fits a study on a laptop, a process pool or a cluster of machines, and the table is
the same, since each participant's seed follows its key. Here the cluster is local and its workers
are threads of this process, which starts in a moment; on real machines point
``distributed.Client`` at the scheduler (``Client("scheduler-host:8786")``) and install velmora on
every worker.
"""

import numpy as np
import pandas as pd
from distributed import Client, LocalCluster

import velmora

# %%
# A study of 40 participants.
rng = np.random.default_rng(4)
truth = pd.DataFrame(
    {
        "subject": [f"s{i:02d}" for i in range(40)],
        "initial_value": 0.5,
        "learning_rate": rng.uniform(0.1, 0.5, 40),
        "zeta": 0.05,
    }
)
rewards = (rng.random(100) < 0.7).astype(float)
data = velmora.simulate_many("td", truth, rewards, seed=2)

# %%
# The cluster: two workers of one thread each, in this process.
with (
    LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None) as cluster,
    Client(cluster) as client,
):
    on_dask = velmora.fit_many(data, "td", executor=client.get_executor(), chunk_size=10, progress=False)

# %%
# The same study in this process: the very same table.
here = velmora.fit_many(data, "td", progress=False)
pd.testing.assert_frame_equal(on_dask, here, check_exact=True)
print(on_dask[["subject", "learning_rate", "se_learning_rate", "lme", "error"]].head())
