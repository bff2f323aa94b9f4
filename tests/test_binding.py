"""Binding of arguments to parameters and their conversion, common to all five functions."""

import array
import math

import pytest

from velmora import discounted_value, forward_simulate, hgf_run, kalman_run, td_learn_sequence

KALMAN = (0.0, 1.0, [1.0], 0.0, 1.0)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: td_learn_sequence(0.0, [1.0], 0.5, 0.9, 0.0, 0, 7), "td_learn_sequence() takes 6 positional arguments but 7 were given"),
        (lambda: kalman_run(*KALMAN, None, 7), "kalman_run() takes from 5 to 6 positional arguments but 7 were given"),
        (lambda: hgf_run([1.0], 0.5, 2.0, 0.01, 0.0, 1.0, 0.0, 1.0, 9), "hgf_run() takes from 3 to 8 positional arguments but 9 were given"),
        (lambda: hgf_run(), "hgf_run() missing 3 required positional arguments: 'observations', 'obs_noise', and 'precision_flexibility'"),
        (lambda: kalman_run(0.0, 1.0, [1.0]), "kalman_run() missing 2 required positional arguments: 'process_noise' and 'obs_noise'"),
        (lambda: discounted_value(1.0, 2.0), "discounted_value() missing 1 required positional argument: 'discount_factor'"),
        (lambda: forward_simulate([1.0], 0.5, seed=1, sensory_gain=1.0), "forward_simulate() missing 1 required positional argument: 'injury_noise_std'"),
        (lambda: discounted_value(1.0, 2.0, 0.5, gamma=0.5), "discounted_value() got an unexpected keyword argument 'gamma'"),
        (lambda: discounted_value(1.0, 2.0, 0.5, reward=1.0), "discounted_value() got multiple values for argument 'reward'"),
        # The first offending keyword decides, in the dictionary's order.
        (lambda: discounted_value(1.0, 2.0, reward=1.0, gamma=0.5), "discounted_value() got multiple values for argument 'reward'"),
        (lambda: discounted_value(1.0, 2.0, gamma=0.5, reward=1.0), "discounted_value() got an unexpected keyword argument 'gamma'"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.args == (message,)


def test_keywords_bind_like_positions(assert_same):
    by_position = kalman_run(0.5, 2.0, [1.0, 3.0], 0.1, 0.2, 3.0)
    by_keyword = kalman_run(
        prior_precision_cap=3.0, obs_noise=0.2, process_noise=0.1, observations=[1.0, 3.0], initial_var=2.0, initial_mean=0.5
    )
    assert_same(by_keyword, by_position)


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Index:
    def __index__(self):
        return 3


class FloatSub(float):
    pass


@pytest.mark.parametrize(
    "sequence",
    [(1, 2, 3), [1.0, 2.0, 3.0], range(1, 4), array.array("d", [1, 2, 3]), [True, 2, FloatSub(3)], [Real(1.0), Real(2.0), Index()]],
)
def test_sequences_of_anything_that_converts_to_float(assert_same, sequence):
    assert_same(kalman_run(0.0, 1.0, sequence, 0.0, 1.0), kalman_run(0.0, 1.0, [1.0, 2.0, 3.0], 0.0, 1.0))


def test_bytes_read_as_byte_values(assert_same):
    assert_same(kalman_run(0.0, 1.0, b"\x01\x02", 0.0, 1.0), kalman_run(0.0, 1.0, [1.0, 2.0], 0.0, 1.0))


def test_minus_one_converts_normally(assert_same):
    assert_same(discounted_value(-1.0, -1.0, -1.0), -1.0 * math.pow(-1.0, -1.0))


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(
    "value, message",
    [
        ("abc", "argument 'observations': Can't extract `str` to `Vec`"),
        (type("S", (str,), {})("abc"), "argument 'observations': Can't extract `str` to `Vec`"),
        ({1.0, 2.0}, "argument 'observations': 'set' object cannot be converted to 'Sequence'"),
        ({1.0: 2.0}, "argument 'observations': 'dict' object cannot be converted to 'Sequence'"),
        ((x for x in [1.0]), "argument 'observations': 'generator' object cannot be converted to 'Sequence'"),
        (iter([1.0]), "argument 'observations': 'list_iterator' object cannot be converted to 'Sequence'"),
        (1, "argument 'observations': 'int' object cannot be converted to 'Sequence'"),
        (Outer.Inner(), "argument 'observations': 'Outer.Inner' object cannot be converted to 'Sequence'"),
        ([1.0, "x"], "argument 'observations': must be real number, not str"),
        ([1.0, None], "argument 'observations': must be real number, not NoneType"),
    ],
)
def test_refused_sequences_name_the_argument(value, message):
    with pytest.raises(TypeError) as info:
        kalman_run(0.0, 1.0, value, 0.0, 1.0)
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: kalman_run(0.0, 1.0, [1.0], 0.0, 1.0, "x"), "argument 'prior_precision_cap': must be real number, not str"),
        (lambda: hgf_run([1.0], 0.5, 2.0, None), "argument 'base_process_noise': must be real number, not NoneType"),
        (lambda: hgf_run([1.0], 0.5, 2.0, var2="x"), "argument 'var2': must be real number, not str"),
        (lambda: td_learn_sequence(0.0, [1.0], 0.5, "x", 0.0, 0), "argument 'discount_factor': must be real number, not str"),
        # The first bad argument in parameter order is reported, however the arguments came.
        (lambda: discounted_value(delay="x", reward="y", discount_factor=0.5), "argument 'reward': must be real number, not str"),
        (lambda: kalman_run("a", 1.0, "b", 0.0, 1.0), "argument 'initial_mean': must be real number, not str"),
        (lambda: forward_simulate([1.0], 0.5, 0.0, 1.0, 1.0), "argument 'seed': 'float' object cannot be interpreted as an integer"),
        (lambda: forward_simulate([1.0], 0.5, 0.0, 1.0, "1"), "argument 'seed': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_conversion_errors_name_the_argument(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.args == (message,)


def test_none_cap_is_the_same_as_no_cap(assert_same):
    assert_same(kalman_run(*KALMAN, None), kalman_run(*KALMAN))
    assert_same(kalman_run(*KALMAN, prior_precision_cap=None), kalman_run(*KALMAN))


class RaisesFrom:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


def cause_chain():
    try:
        raise ValueError("root cause")
    except ValueError as root:
        error = TypeError("bad float")
        error.__cause__ = root
        return error, root


def test_renamed_type_error_keeps_the_original_cause_not_the_original():
    error, root = cause_chain()
    with pytest.raises(TypeError) as info:
        discounted_value(RaisesFrom(error), 1.0, 1.0)
    assert str(info.value) == "argument 'reward': bad float"
    assert info.value is not error
    assert info.value.__cause__ is root


def test_renamed_type_error_without_cause_suppresses_the_context():
    with pytest.raises(TypeError) as info:
        discounted_value(RaisesFrom(TypeError("plain")), 1.0, 1.0)
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("error", [MyTypeError("sub"), ValueError("val"), ZeroDivisionError("zero")])
def test_other_exceptions_pass_unchanged(error):
    with pytest.raises(type(error)) as info:
        discounted_value(1.0, RaisesFrom(error), 1.0)
    assert info.value is error


def test_int_too_large_for_a_double_passes_overflow_error_unchanged():
    with pytest.raises(OverflowError) as info:
        discounted_value(10**400, 1.0, 1.0)
    assert "argument" not in str(info.value)


@pytest.mark.parametrize("seed, same_as", [(True, 1), (False, 0), (Index(), 3), (2**64 - 1, 2**64 - 1)])
def test_seeds_accept_integers_and_index_objects(assert_same, seed, same_as):
    assert_same(forward_simulate([0.0, 0.0], 0.5, 1.0, 1.0, seed), forward_simulate([0.0, 0.0], 0.5, 1.0, 1.0, same_as))


@pytest.mark.parametrize("seed", [-1, 2**64, -(2**70)])
def test_seeds_out_of_range_raise_overflow_error_unchanged(seed):
    with pytest.raises(OverflowError) as info:
        td_learn_sequence(0.0, [1.0], 0.5, 0.9, 1.0, seed)
    assert "seed" not in str(info.value)


class LyingLength:
    """A sequence whose length claims far more items than it yields."""

    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("length", [2**62, 2**31, 0, 1])
def test_a_lying_length_only_sizes_the_reservation(assert_same, length):
    rows = kalman_run(0.0, 1.0, LyingLength(length, [1.0, 2.0, 3.0]), 0.0, 1.0)
    assert_same(rows, kalman_run(0.0, 1.0, [1.0, 2.0, 3.0], 0.0, 1.0))


class BadLength(LyingLength):
    def __len__(self):
        raise RuntimeError("no length")


def test_a_failing_length_is_ignored(assert_same):
    assert_same(kalman_run(0.0, 1.0, BadLength(0, [1.0]), 0.0, 1.0), kalman_run(0.0, 1.0, [1.0], 0.0, 1.0))


class FailsAtTwo(LyingLength):
    def __getitem__(self, i):
        if i == 2:
            raise KeyError("iteration broke")
        return self.items[i]


def test_an_iteration_failure_passes_unchanged():
    with pytest.raises(KeyError):
        kalman_run(0.0, 1.0, FailsAtTwo(5, [1.0] * 5), 0.0, 1.0)
