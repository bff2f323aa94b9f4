"""Arrays of doubles are read straight from their buffer; every input must give what the
equivalent list gives, whichever reading path it takes. hgf_run returns each observation
unchanged, so its rows show every value that was read."""

import array

import numpy as np
import pytest
from hostile import Mutator

from velmora import hgf_run, kalman_run, td_learn_sequence


def values():
    rng = np.random.default_rng(5)
    xs = rng.standard_normal(2000) * 10.0 ** rng.integers(-5, 5, 2000)
    xs[[3, 17]] = -0.0
    return xs


@pytest.mark.parametrize(
    "make",
    [
        lambda xs: xs,
        lambda xs: array.array("d", xs),
        lambda xs: memoryview(array.array("d", xs)),
        lambda xs: np.ascontiguousarray(np.stack([xs, xs]))[1],
        lambda xs: np.repeat(xs, 2)[::2],  # strided: no contiguous buffer
        lambda xs: xs.astype(">f8"),  # not in native byte order
        lambda xs: xs.astype(np.float32),
        lambda xs: np.ascontiguousarray(xs[::-1])[::-1],
    ],
    ids=["float64", "array_d", "memoryview", "row", "strided", "big_endian", "float32", "reversed"],
)
def test_any_array_gives_what_its_list_gives(assert_same, make):
    arr = make(values())
    assert_same(hgf_run(arr, 0.5, 0.7), hgf_run([float(x) for x in arr], 0.5, 0.7))


@pytest.mark.parametrize("arr", [np.arange(6, dtype=np.int64), array.array("i", range(6))])
def test_non_double_buffers_take_the_item_path(assert_same, arr):
    assert_same(kalman_run(0.0, 1.0, arr, 0.0, 1.0), kalman_run(0.0, 1.0, [0.0, 1.0, 2.0, 3.0, 4.0, 5.0], 0.0, 1.0))


def test_two_dimensional_rows_are_items_not_values():
    with pytest.raises(TypeError, match="^argument 'observations': "):
        kalman_run(0.0, 1.0, np.zeros((3, 2)), 0.0, 1.0)


@pytest.mark.parametrize(
    "action, expected",
    [(list.clear, [0.5]), (lambda xs: xs.append(2.0), [0.5, 5.0, 2.0]), (list.pop, [0.5])],
)
def test_a_list_changed_during_reading_is_read_as_iteration_would(assert_same, action, expected):
    mutator = Mutator(lambda owner, _: action(owner))
    mutator.owner = xs = [mutator, 5.0]
    assert_same(td_learn_sequence(0.0, xs, 1.0, 0.0, 0.0, 0), expected)


class OwnOrder(array.array):
    def __iter__(self):
        return iter([5.0])


def test_subclasses_that_iterate_their_own_way_are_iterated(assert_same):
    assert_same(kalman_run(0.0, 1.0, OwnOrder("d", [1.0, 2.0]), 0.0, 1.0), kalman_run(0.0, 1.0, [5.0], 0.0, 1.0))
