"""How long a thread pool, or an in-process Dask cluster, stays busy after Ctrl-C stops fit_many.

    python3 benchmarks/interrupt.py threads|dask

A SIGINT reaches the main thread 3 s into a study of 3,000 participants sent as one chunk; the time
from the KeyboardInterrupt until the executor is shut down is what a user waits.
"""

import signal, threading, time, sys
import numpy as np, pandas as pd, velmora, distributed
from velmora import study

rng = np.random.default_rng(0)
n, t = 3000, 200
x = rng.normal(size=(n, t)).cumsum(axis=1).ravel() * 0.3
data = pd.DataFrame({"subject": np.repeat(np.arange(n), t), "input": x, "response": x + rng.normal(size=x.size)})
which = sys.argv[1]
from concurrent.futures import ThreadPoolExecutor


def main():
    if which == "dask":
        cluster = distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False, dashboard_address=None)
        client = distributed.Client(cluster)
        ex = client.get_executor()
    else:
        ex = ThreadPoolExecutor(1)
    threading.Timer(3.0, lambda: signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)).start()
    start = time.perf_counter()
    try:
        velmora.fit_many(data, "hgf", executor=ex, chunk_size=n, progress=False, n_starts=8)
    except KeyboardInterrupt:
        t0 = time.perf_counter()
        if which == "dask":
            client.close()
            cluster.close()
        else:
            ex.shutdown(wait=True)
        print(f"{which}: interrupted at {t0 - start:.1f} s; executor free {time.perf_counter() - t0:.2f} s later")


main()
