"""velmora's exceptions survive pickling, and so cross process boundaries intact."""

import pickle
from concurrent.futures import ProcessPoolExecutor

import pytest

import velmora
import velmora._core as core

CLASSES = ["VelmoraException", "InvalidParameter", "SingularMatrix", "NumericalDivergence", "DimensionMismatch"]


@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
@pytest.mark.parametrize("name", CLASSES)
def test_round_trip_keeps_class_message_and_attributes(name, protocol):
    error = getattr(core, name)("numerical divergence in kalman::update posterior mean", 2)
    error.add_note("subject s07")
    error.subject = "s07"
    copy = pickle.loads(pickle.dumps(error, protocol))
    assert type(copy) is type(error)
    assert copy.args == error.args
    assert copy.__notes__ == ["subject s07"] and copy.subject == "s07"


def test_error_raised_in_a_worker_reaches_the_parent():
    with ProcessPoolExecutor(max_workers=1) as pool:
        future = pool.submit(velmora.kalman_run, 0.0, 1.0, [1.0], -1.0, 1.0)
        with pytest.raises(velmora.InvalidParameter) as info:
            future.result()
    assert str(info.value) == "invalid parameter 'process_noise': -1 (must be finite and non-negative)"

