"""No call leaks: neither memory nor references to its arguments, on success or on any failure."""

import gc
import os
import sys

import pytest
from hostile import CASES, call

# VELMORA_LEAK_CALLS cuts the repetitions where the whole budget already ran once (other CPythons,
# the sanitizers, whose own checks need no repetition, and under which pymalloc's block count is 0).
CALLS, WARMUP = int(os.environ.get("VELMORA_LEAK_CALLS", 5000)), 50
SLACK_BLOCKS = 32  # fixed, not per call: a leak of one object per call overshoots it many times over
# From 3.12 on, None, small integers and interned strings are immortal: a module built for the 3.11
# stable ABI still counts their references, so their counts drift without any leak. Immortal
# counts sit far above any real one.
IMMORTAL_COUNT = 2**31


@pytest.mark.parametrize("f, args, kwargs, error", [case[1:] for case in CASES], ids=[case[0] for case in CASES])
def test_repeated_calls_leak_nothing(f, args, kwargs, error):
    assert call(f, args, kwargs) is error
    # NumPy's caches grow now and then over thousands of calls, a leak in every window of 400 calls.
    windows, calls = (1, CALLS) if f.__module__ != "velmora.arrays" else (3, min(400, CALLS))
    for _ in range(WARMUP):
        call(f, args, kwargs)
    # The positional tuple (passed on as it is), the argument objects and the items of lists and tuples.
    objects = [args, *args, *kwargs.values()]
    objects += [item for obj in objects if isinstance(obj, (list, tuple)) for item in obj]
    # Small integers and None are shared by every piece of code, NumPy's among them: their counts are not ours.
    objects = [
        obj
        for obj in objects
        if sys.getrefcount(obj) < IMMORTAL_COUNT and obj is not None and not (type(obj) is int and -5 <= obj <= 256)
    ]
    gc.collect()
    refs, growth = [sys.getrefcount(obj) for obj in objects], []
    for _ in range(windows):
        blocks = sys.getallocatedblocks()
        for _ in range(calls):
            call(f, args, kwargs)
        gc.collect()
        growth.append(sys.getallocatedblocks() - blocks)
    assert min(growth) < SLACK_BLOCKS
    assert [sys.getrefcount(obj) for obj in objects] == refs
