"""velmora's exceptions survive pickling, and so cross process boundaries intact."""

import copyreg
import pickle

import pytest

import velmora._core as core

CLASSES = [name for name in core.__all__ if isinstance(getattr(core, name), type)]


@pytest.fixture(params=["plain", "tblib"])
def reducers(request):
    # Importing Dask installs tblib's reducers; the pickler holds the registry, so restore its contents.
    saved = dict(copyreg.dispatch_table)
    if request.param == "tblib":
        pytest.importorskip("tblib.pickling_support").install()
    yield
    copyreg.dispatch_table.clear()
    copyreg.dispatch_table.update(saved)


@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
@pytest.mark.parametrize("name", CLASSES)
def test_round_trip_keeps_class_message_and_attributes(name, protocol, reducers):
    error = getattr(core, name)("numerical divergence in kalman::update posterior mean", 2)
    error.add_note("subject s07")
    error.subject = "s07"
    copy = pickle.loads(pickle.dumps(error, protocol))
    assert type(copy) is type(error)
    assert copy.args == error.args
    assert copy.__notes__ == ["subject s07"] and copy.subject == "s07"
