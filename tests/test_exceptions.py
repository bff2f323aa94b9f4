import math

import pytest

import velmora._core as core
from velmora import kalman_run

DOCS = {
    "VelmoraException": "Base class for all velmora core errors.",
    "InvalidParameter": "A parameter was out of its valid range.",
    "SingularMatrix": "A matrix could not be inverted.",
    "NumericalDivergence": "The filter produced a non-finite value.",
    "DimensionMismatch": "Sequence lengths did not match.",
}


@pytest.mark.parametrize("name", DOCS)
def test_hierarchy_and_docstrings(name):
    cls = getattr(core, name)
    assert cls.__doc__ == DOCS[name]
    assert issubclass(cls, core.VelmoraException)
    assert issubclass(cls, Exception)
    assert cls.__bases__ == ((Exception,) if name == "VelmoraException" else (core.VelmoraException,))


def test_errors_carry_only_their_message():
    with pytest.raises(core.VelmoraException) as info:
        kalman_run(0.0, 1.0, [1.0], 0.0, -1.0)
    assert type(info.value) is core.InvalidParameter
    assert info.value.args == ("invalid parameter 'obs_noise': -1 (must be finite and non-negative)",)
    assert str(info.value) == info.value.args[0]


@pytest.mark.parametrize(
    "value, printed",
    [
        (-1.0, "-1"),
        (math.nan, "NaN"),
        (-math.nan, "NaN"),
        (-math.inf, "-inf"),
        (-2.5e-5, "-0.000025"),
        (-1e-7, "-0.0000001"),
        (-1e21, "-1000000000000000000000"),
        (-(2.0**60), "-1152921504606847000"),
        (-1.5e300, "-15" + "0" * 299),
        (-5e-324, "-0." + "0" * 323 + "5"),
        (-0.30000000000000004, "-0.30000000000000004"),
    ],
)
def test_doubles_print_positionally_from_their_shortest_digits(value, printed):
    with pytest.raises(core.InvalidParameter, match="^invalid parameter 'obs_noise': ") as info:
        kalman_run(0.0, 1.0, [1.0], 0.0, value)
    assert str(info.value) == f"invalid parameter 'obs_noise': {printed} (must be finite and non-negative)"
