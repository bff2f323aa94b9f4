"""Every kind of sequence gives what the list of its items gives, whichever reading path it takes
(a double buffer, a list or tuple, iteration). hgf_run returns each observation unchanged, so its
rows show every value that was read."""

import array

import numpy as np
import pytest
from hostile import Index, LenBoom, LenHigh, LenLow, Mutator, Real

from velmora import hgf_run, kalman_run, td_learn_sequence


def values():
    rng = np.random.default_rng(5)
    xs = rng.standard_normal(2000) * 10.0 ** rng.integers(-5, 5, 2000)
    xs[[3, 17]] = -0.0
    return xs


class OwnOrder(array.array):
    def __iter__(self):
        return iter([5.0])


XS, ONE_TWO_THREE = values(), [1.0, 2.0, 3.0]
ARRAYS = [
    XS,
    array.array("d", XS),
    memoryview(array.array("d", XS)),
    np.ascontiguousarray(np.stack([XS, XS]))[1],
    np.repeat(XS, 2)[::2],
    XS.astype(">f8"),
    XS.astype(np.float32),
    np.ascontiguousarray(XS[::-1])[::-1],
    np.arange(6, dtype=np.int64),
    array.array("i", range(6)),
]


@pytest.mark.parametrize(
    "sequence, items",
    [
        *((a, [float(x) for x in a]) for a in ARRAYS),
        ((1, 2, 3), ONE_TWO_THREE),
        (range(1, 4), ONE_TWO_THREE),
        (b"\x01\x02\x03", ONE_TWO_THREE),
        ([True, Real(), type("F", (float,), {})(3)], [1.0, 0.25, 3.0]),
        ([1.0, 0.25, Index()], [1.0, 0.25, 3.0]),
        (LenHigh(ONE_TWO_THREE), ONE_TWO_THREE),
        (LenLow(ONE_TWO_THREE), ONE_TWO_THREE),
        (LenBoom(ONE_TWO_THREE), ONE_TWO_THREE),
        (OwnOrder("d", [1.0, 2.0]), [5.0]),  # a subclass iterates its way
    ],
)
def test_any_sequence_gives_what_the_list_of_its_items_gives(assert_same, sequence, items):
    assert_same(hgf_run(sequence, 0.5, 0.7), hgf_run(items, 0.5, 0.7))


def test_two_dimensional_rows_are_items_not_values():
    with pytest.raises(TypeError, match="^argument 'observations': "):
        kalman_run(0.0, 1.0, np.zeros((3, 2)), 0.0, 1.0)


@pytest.mark.parametrize(
    "action, expected", [(list.clear, [0.5]), (lambda xs: xs.append(2.0), [0.5, 5.0, 2.0]), (list.pop, [0.5])]
)
def test_a_list_changed_during_reading_is_read_as_iteration_would(assert_same, action, expected):
    mutator = Mutator(lambda owner, _: action(owner))
    mutator.owner = xs = [mutator, 5.0]
    assert_same(td_learn_sequence(0.0, xs, 1.0, 0.0, 0.0, 0), expected)
