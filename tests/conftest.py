import math
import struct

import pytest


def same_value(a, b):
    """Equal in type and bit pattern (any NaN matches any NaN), recursively through lists and tuples."""
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    if isinstance(a, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return struct.pack("<d", a) == struct.pack("<d", b)
    return a == b


def assert_raises(cls, message, call, *args, **kwargs):
    """The call raises exactly `cls`, with `message` as its only argument."""
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    assert type(info.value) is cls and info.value.args == (message,), repr(info.value)
    return info.value


@pytest.fixture
def assert_same():
    def check(actual, expected):
        assert same_value(actual, expected), f"{actual!r} != {expected!r}"

    return check
