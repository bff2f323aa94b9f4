"""Every function answers any argument with a well-formed result or an allowed exception.

Each drawn argument knows whether it converts to a double, a seed and a sequence (True or a length,
False, or None when that depends on its hostile methods), so a call fails exactly when it should.
Equal arguments, built afresh, give equal answers. VELMORA_FUZZ_EXAMPLES sets the examples per function."""

import inspect
import os
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np
import pytest
from conftest import same_value
from hostile import (
    Boom,
    BoomFloat,
    BoomIndex,
    Dropper,
    FailsAtTwo,
    FloatGivesStr,
    Index,
    IndexGivesFloat,
    IterBoom,
    IterGivesInt,
    LenBoom,
    LenGivesStr,
    LenHigh,
    LenHuge,
    LenLow,
    ListSub,
    MUTATIONS,
    Mutator,
    OddTypeError,
    Real,
    kind,
)
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from velmora import VelmoraException, discounted_value, forward_simulate, hgf_run, kalman_run, td_learn_sequence

FUZZ = settings(
    max_examples=int(os.environ.get("VELMORA_FUZZ_EXAMPLES", "1000")),
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=list(HealthCheck),
)


# (class, converts to a double, converts to a seed)
HOSTILE_SCALARS = [
    (Real, True, False),
    (BoomFloat, False, False),
    (FloatGivesStr, False, False),
    (OddTypeError, False, False),
    (Index, True, True),
    (BoomIndex, False, False),
    (IndexGivesFloat, False, False),
]


@dataclass(frozen=True)
class Arg:  # make: a fresh object per call, since some are consumed or mutated
    make: Callable[[], Any]
    double: bool | None = False
    seed: bool | None = False
    length: int | bool | None = False


const = lambda obj, **kinds: Arg(lambda: obj, **kinds)  # noqa: E731


ints = st.one_of(
    st.integers(-(2**70), 2**70),
    st.integers(-(2**1100), 2**1100),
    st.sampled_from([-1, 2**63, 2**64 - 1, 2**64, 2**1024 - 2**970 - 1, 2**1024 - 2**970]),
)
scalars = st.one_of(
    st.floats().map(lambda x: const(x, double=True)),
    # Integers from 2^1024 - 2^970 on round to infinity: float() overflows.
    ints.map(lambda i: const(i, double=abs(i) < 2**1024 - 2**970, seed=0 <= i < 2**64)),
    st.booleans().map(lambda b: const(b, double=True, seed=True)),
    st.none().map(const),
    st.text(max_size=5).map(const),
    st.sampled_from(HOSTILE_SCALARS).map(lambda h: Arg(h[0], double=h[1], seed=h[2])),
    st.sampled_from([np.float64, np.float32, np.int64, np.uint8]).map(
        lambda t: const(t(7), double=True, seed=t(0).dtype.kind in "iu")
    ),
)


def sequences(items):
    item_lists = st.lists(items, max_size=8)

    def of(container, protocol_ok=True, at_most=99):
        def build(its):
            valid = protocol_ok and len(its) <= at_most and all(i.double for i in its)
            length = None if valid and any(i.double is None for i in its) else valid and len(its)
            return Arg(lambda: container([i.make() for i in its]), length=length)

        return item_lists.map(build)

    def mutating(container, its, position, mutator):
        def make():
            m = mutator()
            m.owner = out = container([i.make() for i in its[:position]] + [m] + [i.make() for i in its[position:]])
            return out

        return Arg(make, length=None)

    def array(dtype, n, step, two_d):
        a = np.zeros((n, 2)) if two_d else np.arange(n, dtype=dtype)[::step]
        # A one-item array converts to a double, with a deprecation warning.
        return const(a, double=None if a.size == 1 else False, length=False if two_d and n else len(a))

    refused = st.lists(st.floats(allow_nan=False), max_size=4)
    return st.one_of(
        *(of(c) for c in (list, tuple, ListSub, LenHigh, LenLow, LenHuge, LenBoom, LenGivesStr)),
        of(IterBoom, protocol_ok=False),
        of(IterGivesInt, protocol_ok=False),
        of(FailsAtTwo, at_most=1),
        st.binary(max_size=8).map(lambda b: const(b, length=len(b))),
        st.tuples(st.integers(-5, 5), st.integers(-5, 20), st.sampled_from([1, 2, -1])).map(
            lambda r: const(range(*r), length=len(range(*r)))
        ),
        st.builds(
            array,
            st.sampled_from(["f8", ">f8", "f4", "i8", "u1"]),
            st.integers(0, 12),
            st.sampled_from([1, 2, -1]),
            st.booleans(),
        ),
        st.sampled_from([np.float64(1.5), np.zeros(())]).map(lambda x: const(x, double=True)),  # 0-d: no sequence
        st.builds(
            mutating,
            st.sampled_from([list, ListSub]),
            item_lists,
            st.integers(0, 8),
            st.sampled_from([Dropper] + [lambda m=m: Mutator(m) for m in MUTATIONS]),
        ),
        st.sampled_from([set, dict.fromkeys, lambda xs: (x for x in xs), iter]).flatmap(
            lambda c: refused.map(lambda xs: Arg(lambda: c(xs)))
        ),
    )


anything = st.recursive(scalars, sequences, max_leaves=12)
# Hostile containers of mostly good items, so that many of them reach the computation.
hostile_sequences = sequences(st.one_of(st.floats(-1e3, 1e3).map(lambda x: const(x, double=True)), scalars))
good = {
    "double": st.one_of(st.floats(-10, 10), st.floats(0, 1), st.floats()).map(lambda x: const(x, double=True)),
    "sequence": st.lists(st.floats(-1e3, 1e3), max_size=20).map(lambda xs: Arg(lambda: list(xs), length=len(xs))),
    "seed": st.integers(0, 2**64 - 1).map(lambda i: const(i, double=True, seed=True)),
}


class Function:
    def __init__(self, f, width):
        self.f, self.width = f, width  # fields per row; None for a list of floats, 0 for one float
        parameters = inspect.signature(f).parameters.values()
        self.params = [p.name for p in parameters]
        self.required = sum(p.default is inspect.Parameter.empty for p in parameters)


def converts(name, arg):
    if name == "prior_precision_cap" and arg.make() is None:
        return True
    value = {"sequence": arg.length, "double": arg.double, "seed": arg.seed}[kind(name)]
    return value if value is None or value is False else True


FUNCTIONS = [
    Function(kalman_run, 2),
    Function(hgf_run, 7),
    Function(td_learn_sequence, None),
    Function(discounted_value, 0),
    Function(forward_simulate, 4),
]


def chance(percent):
    """True with about this probability; the likelier value comes first, which hypothesis favours."""
    return st.sampled_from(sorted([True] * percent + [False] * (100 - percent), reverse=percent >= 50))


@st.composite
def calls(draw, fn):
    """A call's positional and keyword arguments, whether it binds, and the bound arguments."""
    values = {}
    for i, name in enumerate(fn.params):
        if draw(chance(97 if i < fn.required else 50)):
            hostile = draw(chance(70 if kind(name) == "sequence" else 10))
            values[name] = draw(st.one_of(anything, hostile_sequences) if hostile else good[kind(name)])
    extra = draw(st.lists(anything, min_size=1, max_size=2)) if draw(chance(8)) else []
    values |= {name: draw(good[kind(name)]) for name in fn.params if extra and name not in values}
    positional = len(fn.params) if extra else draw(st.integers(0, len(fn.params)))
    positional = next((i for i in range(positional) if fn.params[i] not in values), positional)
    kwargs = {name: v for name, v in values.items() if name not in fn.params[:positional]}
    unknown = draw(chance(8)) and draw(st.text(min_size=1, max_size=6).filter(lambda k: k not in fn.params))
    duplicate = draw(st.integers(0, positional - 1)) if positional and draw(chance(8)) else None
    for name in [unknown] * bool(unknown) + fn.params[duplicate:][:1] * (duplicate is not None):
        kwargs[name] = draw(anything)
    # Keyword order decides which offence is reported, not whether there is one.
    kwargs = {k: kwargs[k] for k in draw(st.permutations(list(kwargs)))}
    binds = not extra and not unknown and duplicate is None and all(p in values for p in fn.params[: fn.required])
    return [values[name] for name in fn.params[:positional]] + extra, kwargs, binds, values


def answer(fn, args, kwargs):
    try:
        return fn.f(*[a.make() for a in args], **{k: a.make() for k, a in kwargs.items()})
    except (TypeError, OverflowError, VelmoraException, Boom) as error:
        return error


def check_shape(fn, result, length):
    assert type(result) is (float if fn.width == 0 else list)
    assert fn.width == 0 or length is None or len(result) == length
    for i, row in enumerate(result if fn.width else []):
        assert (
            type(row) is float
            if fn.width is None
            else (
                type(row) is tuple
                and len(row) == fn.width
                and all(type(v) is float for v in row)
                and (fn.width == 2 or row[0] == float(i))
            )
        )  # the other rows lead with their step index


@pytest.mark.parametrize("fn", FUNCTIONS, ids=lambda fn: fn.f.__name__)
@given(data=st.data())
@FUZZ
def test_any_arguments_get_a_result_or_an_allowed_exception(fn, data):
    args, kwargs, binds, values = data.draw(calls(fn))
    result, again = answer(fn, args, kwargs), answer(fn, args, kwargs)
    failed = isinstance(result, BaseException)
    assert (type(result), result.args) == (type(again), again.args) if failed else same_value(result, again)
    event(type(result).__name__ if failed else "result")
    if not binds:
        assert type(result) is TypeError
        return
    verdicts = [converts(name, arg) for name, arg in values.items()]
    if False in verdicts:
        assert isinstance(result, (TypeError, OverflowError, Boom)), result
    elif None not in verdicts:
        assert not isinstance(result, (TypeError, OverflowError, Boom)), result
    if not failed:
        check_shape(fn, result, next((values[p].length for p in fn.params if kind(p) == "sequence"), None))


@pytest.mark.parametrize("container", [list, ListSub])
def test_an_item_freed_after_its_conversion_may_empty_its_list(container):
    dropper = Dropper()
    dropper.owner = observations = container([1.0, dropper, 2.0, 3.0])
    del dropper
    # Read as iteration reads: the list is empty once the item has gone, so reading stops there.
    assert kalman_run(0.0, 1.0, observations, 0.0, 1.0) == kalman_run(0.0, 1.0, [1.0, 0.5], 0.0, 1.0)
