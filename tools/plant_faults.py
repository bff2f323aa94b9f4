"""Plants known faults in the core, one at a time, and reports whether the test suites catch each.

For every fault: edit one source file, rebuild the C++ unit tests and the module, run CTest and
then pytest (-x) against that module, and put the file back, also when anything fails or the run
is interrupted. An unfaulted run comes first and must pass, or no verdict would mean anything.

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
from pathlib import Path

KALMAN_OBSERVATION_CHECK = (
    "        if (!is_finite(y)) return std::unexpected(VelmoraError::invalid_parameter(\"observation\", y, "
    "reason::finite));\n")
KALMAN_OBS_NOISE_CHECK = (
    "        if (!is_finite_non_negative(obs_noise))\n"
    "            return std::unexpected(\n"
    "                VelmoraError::invalid_parameter(\"obs_noise\", obs_noise, reason::finite_non_negative));\n")

# name, file, text to replace (must occur exactly once), replacement
FAULTS = [
    ("kalman obs_noise checked before the observation", "core/src/kalman.cpp",
     KALMAN_OBSERVATION_CHECK + KALMAN_OBS_NOISE_CHECK, KALMAN_OBS_NOISE_CHECK + KALMAN_OBSERVATION_CHECK),
    ("max_num passes a NaN first operand", "core/src/numeric.hpp",
     "inline double max_num(double a, double b) {\n    if (std::isnan(a)) return b;",
     "inline double max_num(double a, double b) {\n    if (std::isnan(a)) return a;"),
    ("min_num passes a NaN second operand", "core/src/numeric.hpp",
     "    if (std::isnan(b)) return a;\n    if (a == b) return std::signbit(a) ? a : b;",
     "    if (std::isnan(b)) return b;\n    if (a == b) return std::signbit(a) ? a : b;"),
    ("max_num keeps its first zero whatever its sign", "core/src/numeric.hpp",
     "if (a == b) return std::signbit(a) ? b : a;", "if (a == b) return a;"),
    ("divergence message text", "core/src/error.cpp", ": produced a non-finite value", ": produced a nonfinite value"),
    ("reason text of the unit interval", "core/src/error.hpp", "must be in [0, 1]", "must be within [0, 1]"),
    ("binding leaks the converted TypeError", "core/src/python/convert.cpp",
     "Object value = Object::steal(raw_value);", "Object value = Object::borrow(raw_value);"),
    ("Ziggurat tail on the wrong side", "core/src/random.cpp",
     "return u < 0.0 ? t - zig_r : zig_r - t;", "return u > 0.0 ? t - zig_r : zig_r - t;"),
    ("refill continues at the wrong index", "core/src/random.cpp",
     "generate_and_set(2);\n        return join(buffer_[0], buffer_[1]);",
     "generate_and_set(0);\n        return join(buffer_[0], buffer_[1]);"),
    ("33rd draw refills one word late", "core/src/random.cpp", "if (index_ > last) {", "if (index_ > last + 1) {"),
    ("straddling word continues at the wrong index", "core/src/random.cpp",
     "generate_and_set(1);", "generate_and_set(2);"),
    ("variance floor constant", "core/src/numeric.hpp",
     "VARIANCE_FLOOR = 1e-6;", "VARIANCE_FLOOR = 1e-7;"),
    ("hgf volatility without the mu2 clamp", "core/src/hgf.cpp",
     "max_num(filter.mu2, 0.0) * filter.precision_flexibility", "filter.mu2 * filter.precision_flexibility"),
    ("TD update adds the noise in another order", "core/src/learning.cpp",
     "v = v + (((r - v) + e) * learning_rate);", "v = v + (((r + e) - v) * learning_rate);"),
    ("forward draws noise even when silent", "core/src/forward_model.cpp",
     "if (noisy) actual = actual + noise.sample(rng);", "actual = actual + (noisy ? noise.sample(rng) : 0.0);"),
    ("td checks its parameters before the empty return", "core/src/learning.cpp",
     "    if (rewards.empty()) return values;\n    values.reserve(rewards.size());\n",
     "    values.reserve(rewards.size());\n"),
]


def run(cmd, **kwargs):
    return subprocess.run(cmd, capture_output=True, text=True, **kwargs)


class Tree:
    def __init__(self, root, fuzz_examples):
        self.root = root
        self.build = root / "build" / "faults"
        self.site = Path(tempfile.mkdtemp(prefix="velmora-faults-"))
        self.env = {**os.environ, "PYTHONPATH": str(self.site), "VELMORA_FUZZ_EXAMPLES": str(fuzz_examples)}
        configure = run(["cmake", "-S", root, "-B", self.build, "-DVELMORA_BUILD_TESTS=ON",
                         "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={sys.executable}"])
        if configure.returncode:
            sys.exit(configure.stdout + configure.stderr)

    def verdict(self):
        """(caught, which test): which test failed first, or why the build failed."""
        built = run(["cmake", "--build", self.build, "--parallel", "2"])
        if built.returncode:
            return True, "build fails"
        shutil.rmtree(self.site / "velmora", ignore_errors=True)
        shutil.copytree(self.root / "src" / "velmora", self.site / "velmora")
        for module in self.build.glob("_core*.so"):
            shutil.copy(module, self.site / "velmora")
        ctest = run(["ctest", "--test-dir", self.build, "--parallel", "2"])
        if ctest.returncode:
            failed = re.findall(r"^\s*\d+ - (\S+)", ctest.stdout.split("tests FAILED:")[-1], re.M)
            return True, "ctest " + ", ".join(failed)
        which = run([sys.executable, "-c", "import velmora._core as c; print(c.__file__)"], env=self.env).stdout
        if not which.startswith(str(self.site)):
            sys.exit(f"the planted module is not the one imported: {which}")
        pytest = run([sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider"],
                     cwd=self.root, env=self.env)
        if pytest.returncode:
            failed = re.findall(r"^FAILED (\S+)", pytest.stdout, re.M)
            return True, "pytest " + (failed[0] if failed else f"exit {pytest.returncode}")
        return False, "-"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tree", type=Path, default=Path(__file__).resolve().parent.parent)
    parser.add_argument("--only", nargs="*", help="names of faults to plant (default: all)")
    parser.add_argument("--fuzz-examples", type=int, default=200)
    args = parser.parse_args()
    # A terminated run must still reach the `finally` that restores the planted file.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))
    tree = Tree(args.tree.resolve(), args.fuzz_examples)

    caught, which = tree.verdict()
    if caught:
        sys.exit(f"the unfaulted tree fails: {which}")
    missed = 0
    print("| fault | caught | first failing test |\n|---|---|---|", flush=True)
    for name, file, old, new in FAULTS:
        if args.only and name not in args.only:
            continue
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
    sys.exit(1 if missed else 0)


if __name__ == "__main__":
    main()
