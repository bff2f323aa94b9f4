"""Benchmarks of velmora against the boundary floor, pure-Python peers and filterpy.

Prints ns per element (median over repeats, garbage collector on) for every sequence function,
with list and NumPy float64 input, beside what CPython needs just to build a result of the same
shape, and the generator's C++ speed beside NumPy's PCG64. Run through `bash benchmarks/run`.
"""

from __future__ import annotations

import argparse
import gc
import json
import random
import statistics
import struct
import subprocess
import sys
import time
from array import array
from pathlib import Path

import numpy as np

import velmora

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "benchmarks"))
import peers  # noqa: E402

SIZES = (10**3, 10**5, 10**6)


def ns_per_element(call, n: int, repeats: int) -> float:
    """Median ns per element of `call()`, looping enough for each sample to last ~50 ms."""
    gc.enable()
    loops = 1
    while True:
        start = time.perf_counter_ns()
        for _ in range(loops):
            call()
        elapsed = time.perf_counter_ns() - start
        if elapsed > 50_000_000 or loops * n >= 10**7:
            break
        loops *= 4
    samples = []
    for _ in range(repeats):
        start = time.perf_counter_ns()
        for _ in range(loops):
            call()
        samples.append((time.perf_counter_ns() - start) / (loops * n))
    return statistics.median(samples)


def floor_call(values: list[float], width: int):
    """CPython building a result of the same shape from C: k-tuples of floats, or floats."""
    if width == 1:
        packed = array("d", values)
        return packed.tolist
    buffer = array("d", [v for v in values for _ in range(width)]).tobytes()
    fmt = "d" * width
    return lambda: list(struct.iter_unpack(fmt, buffer))


# name, result width, call taking the input sequence, pure-Python peer, largest N for the peer
CASES = [
    (
        "kalman_run",
        2,
        lambda xs: velmora.kalman_run(0.0, 1.0, xs, 0.01, 0.5),
        lambda xs: peers.kalman_run(0.0, 1.0, xs, 0.01, 0.5),
        10**5,
    ),
    ("hgf_run", 7, lambda xs: velmora.hgf_run(xs, 0.5, 0.5), lambda xs: peers.hgf_run(xs, 0.5, 0.5), 10**5),
    (
        "td_learn_sequence",
        1,
        lambda xs: velmora.td_learn_sequence(0.0, xs, 0.1, 0.9, 0.2, 7),
        lambda xs: peers.td_learn_sequence(0.0, xs, 0.1, 0.2, 7),
        10**5,
    ),
    (
        "forward_simulate",
        4,
        lambda xs: velmora.forward_simulate(xs, 0.3, 0.2, 1.5, 7),
        lambda xs: peers.forward_simulate(xs, 0.3, 0.2, 1.5, 7),
        10**5,
    ),
]


def data(n: int) -> list[float]:
    rng = random.Random(n)
    return [rng.gauss(0.0, 1.0) for _ in range(n)]


def sequence_table(repeats: int) -> list[str]:
    rows = [
        "| function | N | list ns/elem | NumPy ns/elem | floor ns/elem | list / floor | Python peer ns/elem | speed-up |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for name, width, call, peer, peer_max in CASES:
        for n in SIZES:
            xs = data(n)
            arr = np.asarray(xs, dtype=np.float64)
            ours = ns_per_element(lambda: call(xs), n, repeats)
            ours_np = ns_per_element(lambda: call(arr), n, repeats)
            floor = ns_per_element(floor_call(xs, width), n, repeats)
            if n <= peer_max:
                peer_ns = ns_per_element(lambda: peer(xs), n, 3)
                peer_cols = f"{peer_ns:,.0f} | {peer_ns / ours:,.0f}x"
            else:
                peer_cols = "- | -"
            rows.append(
                f"| {name} | {n:.0e} | {ours:.1f} | {ours_np:.1f} | {floor:.1f} | {ours / floor:.2f} | {peer_cols} |"
            )
    return rows


def filterpy_table(repeats: int) -> list[str]:
    from filterpy.kalman import KalmanFilter

    xs = data(10**3)

    def filterpy_run():
        kf = KalmanFilter(dim_x=1, dim_z=1)
        kf.x[:] = 0.0
        kf.P[:] = 1.0
        kf.Q[:] = 0.01
        kf.R[:] = 0.5
        out = []
        for z in xs:
            kf.predict()
            kf.update(z)
            out.append((kf.x[0, 0], kf.P[0, 0]))
        return out

    theirs = ns_per_element(filterpy_run, len(xs), 3)
    ours = ns_per_element(lambda: velmora.kalman_run(0.0, 1.0, xs, 0.01, 0.5), len(xs), repeats)
    return [
        "| 1-D Kalman step | ns/step |",
        "|---|---|",
        f"| filterpy KalmanFilter(dim_x=1, dim_z=1) | {theirs:,.0f} |",
        f"| velmora.kalman_run | {ours:.1f} |",
        f"| speed-up | {theirs / ours:,.0f}x |",
    ]


def generator_table(cpp_bench: Path | None, repeats: int) -> list[str]:
    gen = np.random.Generator(np.random.PCG64(7))
    n = 10**6
    numpy_ns = ns_per_element(lambda: gen.standard_normal(size=n), n, repeats)
    rows = [
        "| generator | ns/draw | throughput |",
        "|---|---|---|",
        f"| NumPy PCG64 standard_normal | {numpy_ns:.2f} | |",
    ]
    if cpp_bench is None:
        rows.append("| velmora C++ (not built) | | |")
        return rows
    out = subprocess.run(
        [
            str(cpp_bench),
            "--benchmark_format=json",
            f"--benchmark_repetitions={repeats}",
            "--benchmark_report_aggregates_only=true",
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    for bench in json.loads(out.stdout)["benchmarks"]:
        if bench.get("aggregate_name") != "median":
            continue
        name = bench["run_name"]
        if "StandardNormal" in name:
            ns = 1e9 / bench["items_per_second"]
            rows.append(
                f"| velmora {name} | {ns:.2f} ({ns / numpy_ns:.2f}x NumPy) | {bench['items_per_second'] / 1e6:.0f} M draws/s |"
            )
        else:
            rows.append(f"| velmora {name} | | {bench['bytes_per_second'] / 1e9:.2f} GB/s |")
    return rows


def peak_rss_kib() -> int:
    """This process's peak resident size. Unlike ru_maxrss, which a child inherits across exec from
    its parent, VmHWM starts afresh with the process's own memory."""
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))


def peak_memory_row(name: str) -> str:
    """Runs in a fresh process: the rise of peak RSS during one call at N = 10^6, and the result's size."""
    script = f"""
import sys, velmora
sys.path.insert(0, {str(ROOT / "benchmarks")!r})
from run import CASES, data, peak_rss_kib
call = dict((c[0], c[2]) for c in CASES)[{name!r}]
xs = data(10**6)
before = peak_rss_kib()
result = call(xs)
after = peak_rss_kib()
size = sys.getsizeof(result) + sum(sys.getsizeof(r) for r in result)
size += sum(sys.getsizeof(x) for r in result for x in (r if isinstance(r, tuple) else (r,)))
print((after - before) * 1024, size)
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout.split()
    peak, size = int(out[0]), int(out[1])
    return f"| {name} | {peak / 2**20:.1f} | {size / 2**20:.1f} | {peak / size:.2f} |"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--cpp-bench", type=Path, help="path of the built C++ generator benchmark")
    args = parser.parse_args()

    sections = [
        (
            "Sequence functions (ns per element; floor = CPython building the same result shape)",
            sequence_table(args.repeats),
        ),
        ("Kalman filter against filterpy (N = 1000)", filterpy_table(args.repeats)),
        ("Generator", generator_table(args.cpp_bench, args.repeats)),
        (
            "Peak memory at N = 10^6 (MiB; rise of peak RSS during the call against the result's own size)",
            ["| function | peak rise | result size | ratio |", "|---|---|---|---|"]
            + [peak_memory_row(name) for name, *_ in CASES],
        ),
    ]
    for title, rows in sections:
        print(f"\n{title}\n")
        print("\n".join(rows))


if __name__ == "__main__":
    main()
