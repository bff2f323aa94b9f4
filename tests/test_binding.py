"""Binding of arguments to parameters and their conversion, common to all five functions: the
module binds as a Python function of the same signature would, and a conversion fails as the
interpreter's own would, with the argument named."""

import inspect
import math
import operator

import pytest
from conftest import assert_raises
from hostile import Index, Seq, hostile

from velmora import discounted_value, forward_simulate, hgf_run, kalman_run, td_learn_sequence

KALMAN = (0.0, 1.0, [1.0], 0.0, 1.0)


def kalman_of(observations):
    return kalman_run(0.0, 1.0, observations, 0.0, 1.0)


def raise_(error):
    raise error


class RaisesFrom:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


def twin(f):
    """A Python function with f's signature: its binding errors are the interpreter's own."""
    namespace = {}
    exec(f"def {f.__name__}{inspect.signature(f)}: pass", namespace)
    return namespace[f.__name__]


@pytest.mark.parametrize(
    "f, args, kwargs",
    [
        (td_learn_sequence, (0.0, [1.0], 0.5, 0.9, 0.0, 0, 7), {}),
        (kalman_run, (*KALMAN, None, 7), {}),
        (hgf_run, ([1.0], 0.5, 2.0, 0.01, 0.0, 1.0, 0.0, 1.0, 9), {}),
        (hgf_run, (), {}),
        (kalman_run, KALMAN[:3], {}),
        (forward_simulate, ([1.0], 0.5), {"seed": 1, "sensory_gain": 1.0}),
        (discounted_value, (1.0, 2.0, 0.5), {"gamma": 0.5}),
        (discounted_value, (1.0, 2.0, 0.5), {"reward": 1.0}),
        # The first offending keyword decides, in the dictionary's order; foreign text is kept whole.
        (discounted_value, (1.0, 2.0), {"reward": 1.0, "gamma": 0.5}),
        (discounted_value, (1.0, 2.0), {"gamma": 0.5, "reward": 1.0}),
        (kalman_run, KALMAN, {"x\0y": 1}),
        (kalman_run, KALMAN, {"x\ud800y": 1}),
    ],
)
def test_binding_fails_as_a_python_function_would(f, args, kwargs):
    with pytest.raises(TypeError) as expected:
        twin(f)(*args, **kwargs)
    assert_raises(TypeError, str(expected.value), f, *args, **kwargs)


@pytest.mark.parametrize(
    "f, args, kwargs, param",
    [
        (kalman_run, (*KALMAN, "x"), {}, "prior_precision_cap"),
        (hgf_run, ([1.0], 0.5, 2.0), {"var2": "x"}, "var2"),
        (hgf_run, ([1.0], 0.5, 2.0, None), {}, "base_process_noise"),
        (td_learn_sequence, (0.0, [1.0], 0.5, "x", 0.0, 0), {}, "discount_factor"),
        # The first bad argument in parameter order is reported, whatever the order they were given in.
        (discounted_value, (), {"delay": "x", "reward": "y", "discount_factor": 0.5}, "reward"),
        (kalman_run, ("a", 1.0, "b", 0.0, 1.0), {}, "initial_mean"),
        (forward_simulate, ([1.0], 0.5, 0.0, 1.0, 1.0), {}, "seed"),
        (kalman_run, (RaisesFrom(TypeError("x\0y")), 1.0, [1.0], 0.0, 1.0), {}, "initial_mean"),
        (kalman_run, (RaisesFrom(TypeError("x\ud800y")), 1.0, [1.0], 0.0, 1.0), {}, "initial_mean"),
    ],
)
def test_conversion_fails_as_the_interpreters_own_with_the_argument_named(f, args, kwargs, param):
    value = inspect.signature(f).bind(*args, **kwargs).arguments[param]
    with pytest.raises(TypeError) as expected:
        operator.index(value) if param == "seed" else math.sqrt(value)
    assert_raises(TypeError, f"argument '{param}': {expected.value}", f, *args, **kwargs)


def test_keywords_bind_like_positions(assert_same):
    assert_same(
        kalman_run(
            prior_precision_cap=3.0,
            obs_noise=0.2,
            process_noise=0.1,
            observations=[1.0, 3.0],
            initial_var=2.0,
            initial_mean=0.5,
        ),
        kalman_run(0.5, 2.0, [1.0, 3.0], 0.1, 0.2, 3.0),
    )


class Outer:
    Inner = type("Inner", (), {"__qualname__": "Outer.Inner"})


@pytest.mark.parametrize(
    "value, message",
    [
        ("abc", "Can't extract `str` to `Vec`"),
        (type("S", (str,), {})("abc"), "Can't extract `str` to `Vec`"),
        ({1.0, 2.0}, "'set' object cannot be converted to 'Sequence'"),
        (iter([1.0]), "'list_iterator' object cannot be converted to 'Sequence'"),
        (Outer.Inner(), "'Outer.Inner' object cannot be converted to 'Sequence'"),
        ([1.0, None], "must be real number, not NoneType"),
    ],
)
def test_refused_sequences_name_the_argument(value, message):
    assert_raises(TypeError, f"argument 'observations': {message}", kalman_of, value)


def test_renamed_type_error_keeps_the_original_cause_not_the_original():
    root = ValueError("root cause")
    error = TypeError("bad float")
    error.__cause__ = root
    renamed = assert_raises(TypeError, "argument 'reward': bad float", discounted_value, RaisesFrom(error), 1.0, 1.0)
    assert renamed is not error and renamed.__cause__ is root
    plain = assert_raises(TypeError, "argument 'reward': plain", discounted_value, RaisesFrom(TypeError("plain")), 1, 1)
    assert plain.__cause__ is None and plain.__suppress_context__


# The binding renames a plain TypeError only; anything else, subclasses included, passes as it is.
# (The interpreter's own OverflowErrors and the hostile objects' errors: tests/hostile.py, BAD.)
@pytest.mark.parametrize(
    "call, error",
    [
        (lambda e: discounted_value(1.0, RaisesFrom(e), 1.0), type("MyTypeError", (TypeError,), {})("sub")),
        (lambda e: discounted_value(1.0, RaisesFrom(e), 1.0), ZeroDivisionError("zero")),
        (lambda e: kalman_of(hostile(Seq, __getitem__=lambda s, i: raise_(e) if i == 2 else 1.0)([])), KeyError("x")),
    ],
)
def test_other_exceptions_pass_unchanged(call, error):
    with pytest.raises(type(error)) as info:
        call(error)
    assert info.value is error


@pytest.mark.parametrize("seed, same_as", [(True, 1), (Index(), 3)])
def test_seeds_accept_integers_and_index_objects(assert_same, seed, same_as):
    assert_same(forward_simulate([0.0, 0.0], 0.5, 1.0, 1.0, seed), forward_simulate([0.0, 0.0], 0.5, 1.0, 1.0, same_as))
