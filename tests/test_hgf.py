"""hgf_run: the worked example, its checks in order, the level-2 start (other arithmetic: test_filters_property)."""

import math

import pytest
from conftest import assert_raises

from velmora import InvalidParameter, NumericalDivergence, hgf_run

NAN, INF = math.nan, math.inf


def test_worked_example_with_the_defaults(assert_same):
    assert_same(hgf_run([1.0, 3.0, 2.5], 0.5, 2.0), [
        (0.0, 0.0, 1.0, 2.99009900990099, 1.0, 0.6688741721854304, 0.01),
        (1.0, 0.6688741721854304, 3.0, 2.4265416231179913, 2.3311258278145695, 0.8242182952666992, 2.01),
        (2.0, 2.590230728038928, 2.5, 2.0813642877508256, -0.09023072803892784, 0.9609081945771493,
         11.878295250208323),
    ])


FLEX = "invalid parameter 'precision_flexibility': {} (must be finite and non-negative)"
OBSERVATION = "invalid parameter 'observation': {} (must be finite)"
DIVERGENCE = "numerical divergence in hgf::step level-1 mean: produced a non-finite value"


@pytest.mark.parametrize(
    "observations, kwargs, cls, message",
    [
        ([1.0], dict(precision_flexibility=-1.0), InvalidParameter, FLEX.format("-1")),
        ([1.0], dict(precision_flexibility=NAN), InvalidParameter, FLEX.format("NaN")),
        ([1.0], dict(precision_flexibility=-INF), InvalidParameter, FLEX.format("-inf")),
        ([1.0], dict(precision_flexibility=-1e-7, mu1=NAN), InvalidParameter, FLEX.format("-0.0000001")),
        ([NAN, 1.0], dict(precision_flexibility=-1.0), InvalidParameter, OBSERVATION.format("NaN")),
        ([-INF], dict(precision_flexibility=NAN), InvalidParameter, OBSERVATION.format("-inf")),
        ([1.0, 2.0, INF, 4.0], {}, InvalidParameter, OBSERVATION.format("inf")),
        ([1.0, 2.0, NAN], dict(mu1=NAN), NumericalDivergence, DIVERGENCE),
        ([1.0], dict(mu1=-INF), NumericalDivergence, DIVERGENCE),
        ([1e308], dict(obs_noise=1.0, mu1=-1e308), NumericalDivergence, DIVERGENCE),
    ],
)
def test_errors_in_check_order(observations, kwargs, cls, message):
    assert_raises(cls, message, hgf_run, observations, **{"obs_noise": 0.5, "precision_flexibility": 2.0, **kwargs})


@pytest.mark.parametrize("kwargs", [dict(obs_noise=NAN, precision_flexibility=-1.0),
                                    dict(obs_noise=-INF, precision_flexibility=INF, mu1=NAN, var1=NAN, mu2=NAN)])
def test_empty_sequence_returns_empty_list_before_any_check(kwargs):
    assert hgf_run([], **kwargs) == []


@pytest.mark.parametrize(
    "mu2, y, second_volatility",
    [
        # obs_precision 2 and mu1 0: the new half of the first level-2 update is y * y.
        (-4.0, 1.0, 0.5),  # max(-2 + 1, 0) = 0
        (-4.0, 3.0, 14.5),  # max(-2 + 9, 0) = 7, times 2, plus 0.5
        (NAN, 3.0, 0.5),  # NaN plus anything, then the NaN-ignoring max: 0
        (-0.0, 1.0, 2.5),  # 0 + 1 = 1
    ],
)
def test_first_volatility_clamps_mu2_but_its_update_starts_from_the_stored_value(assert_same, mu2, y,
                                                                                 second_volatility):
    rows = hgf_run([y, 0.0], 0.5, 2.0, base_process_noise=0.5, mu2=mu2)
    assert_same([rows[0][6], rows[1][6]], [0.5, second_volatility])
