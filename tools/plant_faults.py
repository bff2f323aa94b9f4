"""Plants known faults in the core and the package, one at a time, and reports which the suites catch.

For every fault: edit one source file, rebuild the C++ unit tests and both modules, run CTest and
then pytest (-x) against a copy of the package (planted or not) with those modules, and put the
file back, also when anything fails or the run is interrupted. A fault in src/velmora needs no
build: the copy is taken after planting. An unfaulted run comes first and must pass, or no
verdict would mean anything.

    python tools/plant_faults.py [--tree DIR] [--only NAME ...]

Run it with an interpreter that has the test dependencies ('.[test]'). DIR defaults to this
checkout; it may be any copy of it, so that older tests can be judged against the same faults.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

KALMAN_OBSERVATION_CHECK = (
    '    if (auto ok = rule::finite.check("observation", y); !ok) return std::unexpected(std::move(ok.error()));\n'
)
KALMAN_OBS_NOISE_CHECK = (
    '    if (auto ok = rule::finite_non_negative.check("obs_noise", value_of(s.obs_noise)); !ok)\n'
    "        return std::unexpected(std::move(ok.error()));\n"
)
MAX_NUM_BODY = (
    "    if (std::isnan(x)) return b;\n    if (std::isnan(y)) return a;\n"
    "    if (x == y) return std::signbit(x) ? b : a;"
)
LAPLACE_SLOPE = "const double slope = slope_of(s.free[j].transform, out.natural[s.free[j].index]);"

# name, file, text to replace (must occur exactly once), replacement. A file under src/velmora is
# planted like any other: the package is copied from the tree after planting, so it needs no build.
FAULTS = [
    # The models and their numerics.
    (
        "kalman obs_noise checked before the observation",
        "core/src/kalman.hpp",
        KALMAN_OBSERVATION_CHECK + KALMAN_OBS_NOISE_CHECK,
        KALMAN_OBS_NOISE_CHECK + KALMAN_OBSERVATION_CHECK,
    ),
    (
        "max_num passes a NaN first operand",
        "core/src/numeric.hpp",
        MAX_NUM_BODY,
        MAX_NUM_BODY.replace("if (std::isnan(x)) return b;", "if (std::isnan(x)) return a;"),
    ),
    (
        "min_num passes a NaN second operand",
        "core/src/numeric.hpp",
        "    if (std::isnan(y)) return a;\n    if (x == y) return std::signbit(x) ? a : b;",
        "    if (std::isnan(y)) return b;\n    if (x == y) return std::signbit(x) ? a : b;",
    ),
    (
        "max_num keeps its first zero whatever its sign",
        "core/src/numeric.hpp",
        "if (x == y) return std::signbit(x) ? b : a;",
        "if (x == y) return a;",
    ),
    ("divergence message text", "core/src/error.cpp", ": produced a non-finite value", ": produced a nonfinite value"),
    ("reason text of the unit interval", "core/src/numeric.hpp", "must be in [0, 1]", "must be within [0, 1]"),
    (
        "binding leaks the converted TypeError",
        "core/src/python/convert.cpp",
        "Object value = Object::steal(raw_value);",
        "Object value = Object::borrow(raw_value);",
    ),
    (
        "Ziggurat tail on the wrong side",
        "core/src/normal.cpp",
        "return u < 0.0 ? t - zig_r : zig_r - t;",
        "return u > 0.0 ? t - zig_r : zig_r - t;",
    ),
    (
        "refill continues at the wrong index",
        "core/src/random.cpp",
        "generate_and_set(2);\n        return join(buffer_[0], buffer_[1]);",
        "generate_and_set(0);\n        return join(buffer_[0], buffer_[1]);",
    ),
    ("33rd draw refills one word late", "core/src/random.cpp", "if (index_ > last) {", "if (index_ > last + 1) {"),
    (
        "straddling word continues at the wrong index",
        "core/src/random.cpp",
        "generate_and_set(1);",
        "generate_and_set(2);",
    ),
    ("variance floor constant", "core/src/numeric.hpp", "VARIANCE_FLOOR = 1e-6;", "VARIANCE_FLOOR = 1e-7;"),
    (
        "hgf volatility without the mu2 clamp",
        "core/src/hgf.hpp",
        "max_num(filter.mu2, 0.0) * filter.precision_flexibility",
        "filter.mu2 * filter.precision_flexibility",
    ),
    (
        "TD update adds the noise in another order",
        "core/src/learning.hpp",
        "l.value = l.value + (((reward - l.value) + e) * l.learning_rate);",
        "l.value = l.value + (((reward + e) - l.value) * l.learning_rate);",
    ),
    (
        "forward draws noise even when silent",
        "core/src/forward_model.hpp",
        "if (m.noisy) actual = actual + m.noise.sample(m.rng);",
        "actual = actual + (m.noisy ? m.noise.sample(m.rng) : 0.0);",
    ),
    (
        "td checks its parameters before the empty return",
        "core/src/learning.hpp",
        "    if (rewards.empty()) return Flow::go_on;\n    auto learner = start(settings);\n",
        "    auto learner = start(settings);\n",
    ),
    # The array engine.
    (
        "kalman predictive variance uses the posterior instead of the prior precision",
        "core/src/kalman.hpp",
        "s.prior_mean, s.prior_precision, s.obs_precision,",
        "s.prior_mean, 1.0 / s.row.var, s.obs_precision,",
    ),
    (
        "hgf predictive variance drops the observation variance",
        "core/src/hgf.hpp",
        "r.prediction, d.predicted_precision, d.obs_precision,",
        "r.prediction, d.predicted_precision, T(1e300),",
    ),
    (
        "runner reports the first failure found, not the lowest",
        "core/src/engine/batch.cpp",
        "if (!failure_ || i < failure_->subject) failure_ =",
        "if (!failure_) failure_ =",
    ),
    (
        "stop check within a sequence never stops",
        "core/src/engine/batch.cpp",
        "stop.load(std::memory_order_relaxed)) ? Flow::stop : Flow::go_on;",
        "stop.load(std::memory_order_relaxed)) ? Flow::go_on : Flow::go_on;",
    ),
    (
        "optional parameters counted by their place among all parameters",
        "core/src/engine/models.hpp",
        "((present >> j++) & 1) != 0",
        "((present >> k) & 1) != 0",
    ),
    # Derivatives and the objective.
    (
        "dual product rule misses a term",
        "core/src/dual.hpp",
        "r.d[k] = a.d[k] * b.v + a.v * b.d[k];",
        "r.d[k] = a.d[k] * b.v;",
    ),
    (
        "max_num against a constant keeps the operand's derivative",
        "core/src/numeric.hpp",
        "T max_num(const T& a, double b) {\n    return max_num(a, T(b));",
        "T max_num(const T& a, double b) {\n    T r = a;\n    r.v = value_of(max_num(a, T(b)));\n    return r;",
    ),
    (
        "td response belief taken after the update",
        "core/src/learning.hpp",
        "Trial<T, fields.size()>{before,",
        "Trial<T, fields.size()>{after,",
    ),
    (
        "kalman response belief is the posterior mean",
        "core/src/kalman.hpp",
        "Trial<T, fields.size()>{s.prior_mean,",
        "Trial<T, fields.size()>{s.row.mean,",
    ),
    # The native fit.
    (
        "prior pulls the gradient the wrong way",
        "core/src/engine/fit.hpp",
        "grad[j] = grad[j] + d / p.prior_var;",
        "grad[j] = grad[j] - d / p.prior_var;",
    ),
    (
        "every start at the prior means, whatever the seed",
        "core/src/engine/fit.hpp",
        ": Normal{s.free[j].prior_mean, std::sqrt(s.free[j].prior_var)}.sample(rng);",
        ": s.free[j].prior_mean;",
    ),
    ("evidence adds half the log-determinant", "core/src/laplace.hpp", "- 0.5 * log_det;", "+ 0.5 * log_det;"),
    # The Python layers.
    (
        "per-subject parameter arrays in reverse subject order",
        "src/velmora/trajectories.py",
        "        params[:, k] = value\n",
        "        params[:, k] = value[::-1] if isinstance(value, np.ndarray) else value\n",
    ),
    (
        "ragged starts one value early after the first subject",
        "src/velmora/conversion.py",
        "self.starts = np.cumsum(self.lengths) - self.lengths\n",
        "self.starts = np.cumsum(self.lengths) - self.lengths - (np.arange(self.lengths.size) > 0)\n",
    ),
    (
        "standard error with the logit slope x instead of x(1-x)",
        "core/src/engine/fit.hpp",
        LAPLACE_SLOPE,
        LAPLACE_SLOPE.replace(
            "slope_of(s.free[j].transform, out.natural[s.free[j].index])",
            "s.free[j].transform == Transform::logit ? out.natural[s.free[j].index] : "
            "slope_of(s.free[j].transform, out.natural[s.free[j].index])",
        ),
    ),
    # Choices and group-level estimation.
    (
        "a choice's probability of the other response",
        "core/src/response.hpp",
        "softplus(y == 1.0 ? T(0.0) - z : z)",
        "softplus(y == 1.0 ? z : T(0.0) - z)",
    ),
    (
        "unit-square belief not kept inside (0, 1)",
        "core/src/response.hpp",
        "const T m = v < margin ? T(margin) : v > 1.0 - margin ? T(1.0 - margin) : belief;",
        "const T m = belief;",
    ),
    ("power's derivative without its exponent", "core/src/dual.hpp", "y * r.v / a.v", "r.v / a.v"),
    (
        "offers after a short delay taken as offers now",
        "core/src/discounting.hpp",
        "if (delay == 0.0) return T(amount);",
        "if (delay <= 1.0) return T(amount);",
    ),
    (
        "negative delays accepted",
        "core/src/discounting.hpp",
        "rule::finite_non_negative.check(offer_columns[c + 1]",
        "rule::finite.check(offer_columns[c + 1]",
    ),
    (
        "group variance without the posterior covariances",
        "src/velmora/_group/mstep.py",
        "(residual.T @ residual + post_cov.sum(axis=0)) / len(theta)",
        "(residual.T @ residual) / len(theta)",
    ),
    (
        "integrated BIC counts only the means",
        "src/velmora/_group/evidence.py",
        "n_group_params=b.size + (m * (m + 1) // 2 if data.full else m),",
        "n_group_params=b.size,",
    ),
]

# Longer than any honest run of a suite; a fault that hangs one counts as caught.
TIMEOUT = 1800


def run(cmd, **kwargs):
    try:
        return subprocess.run(cmd, capture_output=True, text=True, timeout=TIMEOUT, **kwargs)
    except subprocess.TimeoutExpired:
        return subprocess.CompletedProcess(cmd, -1, "", f"timed out after {TIMEOUT} s")


class Tree:
    def __init__(self, root, fuzz_examples):
        self.root = root
        self.build = root / "build" / "faults"
        self.site = Path(tempfile.mkdtemp(prefix="velmora-faults-"))
        self.env = {**os.environ, "PYTHONPATH": str(self.site), "VELMORA_FUZZ_EXAMPLES": str(fuzz_examples)}
        configure = run(
            [
                "cmake",
                "-S",
                root,
                "-B",
                self.build,
                "-DVELMORA_BUILD_TESTS=ON",
                "-DCMAKE_BUILD_TYPE=Release",
                f"-DPython_EXECUTABLE={sys.executable}",
            ]
        )
        if configure.returncode:
            sys.exit(configure.stdout + configure.stderr)

    def verdict(self):
        """(caught, which test): which test failed first, or why the build failed."""
        built = run(["cmake", "--build", self.build, "--parallel", "2"])
        if built.returncode:
            return True, "build fails"
        shutil.rmtree(self.site / "velmora", ignore_errors=True)
        shutil.copytree(self.root / "src" / "velmora", self.site / "velmora")
        # Both extension modules, _core and _engine, beside the (possibly planted) Python package.
        for module in self.build.glob("_*.so"):
            shutil.copy(module, self.site / "velmora")
        ctest = run(["ctest", "--test-dir", self.build, "--parallel", "2"])
        if ctest.returncode == -1:
            return True, "ctest times out"
        if ctest.returncode:
            failed = re.findall(r"^\s*\d+ - (\S+)", ctest.stdout.split("tests FAILED:")[-1], re.M)
            return True, "ctest " + ", ".join(failed)
        script = (
            "import velmora, velmora._core as c, velmora._engine as e; print(velmora.__file__, c.__file__, e.__file__)"
        )
        which = run([sys.executable, "-c", script], env=self.env).stdout.split()
        if len(which) != 3 or not all(w.startswith(str(self.site)) for w in which):
            sys.exit(f"the planted package and modules are not the ones imported: {which}")
        # A timing test can fail on a loaded machine. A failure counts only if the test, run alone,
        # fails again; one that does not is left out of this verdict's further runs (and named).
        flaky = []
        while True:
            deselect = [arg for node in flaky for arg in ("--deselect", node)]
            pytest = self.pytest("-x", *deselect)
            if pytest.returncode == -1:
                return True, "pytest times out"
            if not pytest.returncode:
                return False, "-" + "".join(f" (flaky, passed alone: {node})" for node in flaky)
            failed = re.findall(r"^(?:FAILED|ERROR) (\S+)", pytest.stdout, re.M)
            if not failed:
                return True, f"pytest exit {pytest.returncode}"
            node = failed[0]
            if len(flaky) >= 3 or self.pytest(node).returncode:
                return True, "pytest " + node
            flaky.append(node)

    def pytest(self, *args):
        return run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *args], cwd=self.root, env=self.env)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tree", type=Path, default=Path(__file__).resolve().parent.parent)
    parser.add_argument("--only", nargs="*", help="names of faults to plant (default: all)")
    parser.add_argument("--list", action="store_true", help="print the faults' names and exit")
    parser.add_argument("--fuzz-examples", type=int, default=200)
    args = parser.parse_args()
    # A terminated run must still reach the `finally` that restores the planted file.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))
    # Started in the background, this process may inherit an ignored SIGINT, which its children
    # would inherit too and so fail the test that interrupts a call; a handler is reset on exec.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    if args.list:
        print("\n".join(name for name, *_ in FAULTS))
        return
    unknown = set(args.only or ()) - {name for name, *_ in FAULTS}
    if unknown:
        sys.exit(f"no such fault: {sorted(unknown)}")
    root = args.tree.resolve()
    chosen = [fault for fault in FAULTS if not args.only or fault[0] in args.only]
    for name, file, old, _ in chosen:
        if (root / file).read_text().count(old) != 1:
            sys.exit(f"{name}: the text to replace is not in {file} exactly once")
    started = time.monotonic()
    tree = Tree(root, args.fuzz_examples)

    caught, which = tree.verdict()
    if caught:
        sys.exit(f"the unfaulted tree fails: {which}")
    missed = 0
    print("| fault | caught | first failing test |\n|---|---|---|", flush=True)
    for name, file, old, new in chosen:
        path = tree.root / file
        original = path.read_text()
        if original.count(old) != 1:
            sys.exit(f"{name}: the text to replace is not in {file} exactly once")
        try:
            path.write_text(original.replace(old, new))
            caught, which = tree.verdict()
        finally:
            path.write_text(original)
        missed += not caught
        print(f"| {name} | {'yes' if caught else 'NO'} | {which} |", flush=True)
    run(["cmake", "--build", tree.build, "--parallel", "2"])  # leave the build as the tree is
    shutil.rmtree(tree.site, ignore_errors=True)
    minutes = (time.monotonic() - started) / 60
    print(f"{len(chosen) - missed} of {len(chosen)} caught in {minutes:.1f} min", flush=True)
    sys.exit(1 if missed else 0)


if __name__ == "__main__":
    main()
