"""Per-fit speed of the native fit on one thread, and what it returns, for comparing two builds.

The three cases of benchmarks/fitting.py (HGF and TD fitted to Gaussian responses, a Kalman
self-fit; 200 trials, default priors), each fitted by ``velmora.arrays.fit(..., threads=1)`` over
its participants in one batch. For each case and each ``n_starts`` it prints the median over
repeats of the CPU time per participant (``time.process_time``, so that other jobs on a shared
machine count less than in wall time), and the median objective evaluations and optimiser
iterations per fit.

``--save FILE`` also writes every participant's estimates, standard errors, neg_log_joint,
status and evaluations as JSON; ``--compare OLD NEW`` reads two such files (say, one from each of
two builds installed in two environments) and prints how far the new results are from the old.

    python3 benchmarks/fit_speed.py --save new.json
    /other/venv/bin/python benchmarks/fit_speed.py --save old.json
    python3 benchmarks/fit_speed.py --compare old.json new.json
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import time

import numpy as np

N_STARTS = (1, 4)


def cases(participants: int):
    # fitting.py's data generators, imported here so that --compare needs no velmora build.
    import fitting

    for bench in fitting.BENCHES:
        data = [bench.data(i) for i in range(participants)]
        inputs = np.array([x for x, _ in data])
        responses = None if bench.self_fit else np.array([y for _, y in data])
        yield bench, inputs, responses


def measure(participants: int, repeats: int) -> dict:
    import velmora.arrays as va

    out = {}
    for bench, inputs, responses in cases(participants):
        for n_starts in N_STARTS:

            def run():
                return va.fit(
                    bench.model,
                    inputs,
                    responses,
                    fixed=bench.fixed,
                    n_starts=n_starts,
                    seeds=np.zeros(participants, dtype=np.uint64),
                    threads=1,
                )

            fits = run()
            seconds = []
            for _ in range(repeats):
                start = time.process_time()
                run()
                seconds.append((time.process_time() - start) / participants)
            key = f"{bench.model}, n_starts={n_starts}"
            out[key] = {
                "ms": statistics.median(seconds) * 1e3,
                "evaluations": float(np.median(fits.evaluations)),
                "iterations": float(np.median(fits.iterations)),
                "fits": [
                    {
                        "params": r.params,
                        "se": r.se,
                        "neg_log_joint": r.neg_log_joint,
                        "lme": r.lme,
                        "message": r.message,
                        "converged": r.converged,
                    }
                    for r in (fits.result(i) for i in range(participants))
                ],
            }
            print(
                f"| {key} | {out[key]['ms']:.3f} ms | {out[key]['evaluations']:.0f} evaluations | "
                f"{out[key]['iterations']:.0f} iterations |",
                flush=True,
            )
    return out


def relative(a: float, b: float) -> float:
    if a == b or (np.isnan(a) and np.isnan(b)):
        return 0.0
    return abs(a - b) / max(abs(a), abs(b))


def compare(old: dict, new: dict) -> None:
    print(
        "| case | ms old | ms new | old / new | evaluations old | new | same estimates | "
        "largest estimate rel. diff. | largest SE rel. diff. | largest lme diff. | status changes |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for key, o in old.items():
        n = new[key]
        same = est = se = lme = 0.0
        changed = 0
        for a, b in zip(o["fits"], n["fits"]):
            same += a["params"] == b["params"]
            est = max([est] + [relative(a["params"][k], b["params"][k]) for k in a["params"]])
            se = max([se] + [relative(a["se"][k], b["se"][k]) for k in a["se"]])
            if np.isfinite(a["lme"]) or np.isfinite(b["lme"]):
                lme = max(lme, abs(a["lme"] - b["lme"]) if np.isfinite(a["lme"]) and np.isfinite(b["lme"]) else np.inf)
            changed += a["message"] != b["message"]
        print(
            f"| {key} | {o['ms']:.3f} | {n['ms']:.3f} | {o['ms'] / n['ms']:.2f}x | {o['evaluations']:.0f} | "
            f"{n['evaluations']:.0f} | {int(same)}/{len(o['fits'])} | {est:.2g} | {se:.2g} | {lme:.2g} | {changed} |"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--participants", type=int, default=20)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--save", help="write the timings and every fit's results here (JSON)")
    parser.add_argument("--compare", nargs=2, metavar=("OLD", "NEW"), help="compare two saved files")
    args = parser.parse_args()
    if args.compare:
        with open(args.compare[0]) as f_old, open(args.compare[1]) as f_new:
            compare(json.load(f_old), json.load(f_new))
        return
    sys.path.insert(0, __file__.rsplit("/", 1)[0])
    result = measure(args.participants, args.repeats)
    if args.save:
        with open(args.save, "w") as f:
            json.dump(result, f)


if __name__ == "__main__":
    main()
