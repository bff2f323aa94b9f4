"""Pure-Python peers of the sequence functions: the plain transcriptions that the test suite
checks the module against, so they give the same results bit for bit."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from reference_filters import hgf_run_ref as hgf_run  # noqa: E402,F401
from reference_filters import kalman_run_ref as kalman_run  # noqa: E402,F401
from reference_models_rng import forward_simulate, td_learn_sequence  # noqa: E402,F401
