"""No call leaks: neither memory nor references to its arguments, on success or on any failure."""

import gc
import inspect
import sys
from math import inf, nan

import pytest
from test_fuzz import Boom, BoomFloat, BoomIndex, FailsAtTwo, IterGivesInt, OddTypeError, Real, kind

from velmora import InvalidParameter, NumericalDivergence, discounted_value, forward_simulate, hgf_run, kalman_run
from velmora import td_learn_sequence

CALLS, WARMUP = 5000, 50
SLACK_BLOCKS = 32  # fixed, not per call: a leak of one object per call overshoots it many times over
VALID = {
    kalman_run: (0.0, 1.0, [1.0, Real(), 3], 0.1, 0.5, 4.0),
    hgf_run: ((1.0, 2.0, 0.5), 0.5, 1.0, 0.01, 0.0, 1.0, 0.0, 1.0),
    td_learn_sequence: (0.0, [1.0, 0.0, True], 0.3, 0.9, 0.5, 7),
    discounted_value: (10.0, 2.0, 0.5),
    forward_simulate: (range(3), 0.5, 0.2, 1.0, 2**64 - 1),
}
BAD = {
    "double": [("x", TypeError), (BoomFloat(), Boom), (10**400, OverflowError), (OddTypeError(), TypeError)],
    "sequence": [("abc", TypeError), ({1.0}, TypeError), ([1.0, "x"], TypeError), ([1.0, BoomFloat()], Boom),
                 (FailsAtTwo([1.0] * 5), Boom), (IterGivesInt([]), TypeError)],
    "seed": [(1.0, TypeError), (-1, OverflowError), (2**64, OverflowError), (BoomIndex(), Boom)],
}
IP, ND = InvalidParameter, NumericalDivergence
COMPUTATION_ERRORS = [
    (kalman_run, (0.0, 1.0, [1.0], -1.0, 1.0), IP), (kalman_run, (0.0, 1.0, [1.0, nan], 0.0, 1.0), IP),
    (kalman_run, (0.0, 1.0, [1.0], 0.0, -1.0), IP), (kalman_run, (0.0, 1.0, [1.0], 0.0, 1.0, 0.0), IP),
    (kalman_run, (inf, 1.0, [1.0], 0.0, 1.0), ND), (hgf_run, ([1.0, nan], 0.5, 1.0), IP),
    (hgf_run, ([1.0], 0.5, -1.0), IP), (hgf_run, ([1.0, 2.0], 0.5, 1.0, 0.01, inf), ND),
    (td_learn_sequence, (0.0, [1.0], 2.0, 0.9, 0.0, 1), IP), (td_learn_sequence, (0.0, [1.0], 0.5, 0.9, -1.0, 1), IP),
    (forward_simulate, ([1.0], 2.0, 0.0, 1.0, 1), IP), (forward_simulate, ([1.0], 0.5, -1.0, 1.0, 1), IP),
    (forward_simulate, ([1.0, 1e308], 0.5, 0.0, 10.0, 1), ND),
]


def cases():
    for f, valid in VALID.items():
        names, n = list(inspect.signature(f).parameters), f.__name__
        yield from [(f"{n}-valid", f, valid, {}, None), (f"{n}-positional", f, valid + (1.0,), {}, TypeError),
                    (f"{n}-missing", f, (), {}, TypeError), (f"{n}-unexpected", f, valid, {"bogus": 1.0}, TypeError),
                    (f"{n}-duplicate", f, valid, {names[0]: valid[0]}, TypeError)]
        for name in names:
            for j, (value, error) in enumerate(BAD[kind(name)]):
                # By keyword, so that converted values and the bound dictionary both get released.
                yield f"{n}-{name}-{j}", f, (), dict(zip(names, valid)) | {name: value}, error
    for f, args, error in COMPUTATION_ERRORS:
        yield f"{f.__name__}-{error.__name__}-{args}", f, args, {}, error


CASES = list(cases())


def call(f, args, kwargs):
    try:
        f(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - the class is checked once, outside the loop
        return type(error)
    return None


@pytest.mark.parametrize("f, args, kwargs, error", [case[1:] for case in CASES], ids=[case[0] for case in CASES])
def test_repeated_calls_leak_nothing(f, args, kwargs, error):
    assert call(f, args, kwargs) is error
    for _ in range(WARMUP):
        call(f, args, kwargs)
    # The positional tuple (passed on as it is), the argument objects and the items of lists and tuples.
    objects = [args, *args, *kwargs.values()]
    objects += [item for obj in objects if isinstance(obj, (list, tuple)) for item in obj]
    gc.collect()
    refs, blocks = [sys.getrefcount(obj) for obj in objects], sys.getallocatedblocks()
    for _ in range(CALLS):
        call(f, args, kwargs)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < SLACK_BLOCKS
    assert [sys.getrefcount(obj) for obj in objects] == refs
