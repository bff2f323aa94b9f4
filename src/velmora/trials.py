"""One participant's trials one by one, from the engine: each trial's log-likelihood, and responses
drawn around each trial's belief. The engine runs the model and the response model itself, by the
arithmetic that the objective sums, so nothing here restates a model."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np

from velmora import _engine
from velmora._core import DimensionMismatch, InvalidParameter, NumericalDivergence, SingularMatrix
from velmora.models import DEFAULTS, ENGINE, RESPONSES, SELF_FIT

__all__ = ["logliks", "simulated"]

# The engine reports a model's failure by the index of its kind, in this order.
_ERRORS = (InvalidParameter, SingularMatrix, NumericalDivergence, DimensionMismatch)


def _vector(model: str, response: str, params: Mapping[str, Any]) -> tuple[np.ndarray, int]:
    """The likelihood's parameter vector from natural values by name (a list function's default where
    one is not given; an optional parameter that is None left out; noise parameters never in it), and
    the engine's mask of the optional ones it holds."""
    described = ENGINE[model]
    values = {**DEFAULTS.get(model, {}), **params}
    present = tuple(name for name in described.optional if values.get(name) is not None)
    names = [
        name
        for name in described.params
        if name not in described.noise and (name not in described.optional or name in present)
    ]
    names += RESPONSES.get(response, ()) if response != SELF_FIT else ()
    return np.array([float(values[name]) for name in names], dtype=np.float64), described.given(present)


def _raise_failure(failure: tuple[int, str] | None) -> None:
    if failure is not None:
        kind, message = failure
        raise _ERRORS[kind](message)


def logliks(
    model: str,
    response: str,
    inputs: np.ndarray,
    responses: np.ndarray | None,
    params: Mapping[str, Any],
    options: int = 0,
) -> np.ndarray:
    """Each trial's log-likelihood at natural parameter values: a response's log density (a choice's
    log probability) around the model's belief before the trial, or for ``response="observations"``
    (``responses`` None) the input's predictive log density; NaN for a missed trial. A model that
    chooses among ``options`` options takes its responses as the options' indices."""
    vector, given = _vector(model, response, params)
    x = np.ascontiguousarray(inputs, dtype=np.float64).reshape(-1)
    y = None if responses is None else np.ascontiguousarray(responses, dtype=np.float64)
    out = np.empty(x.size // ENGINE[model].width)
    _raise_failure(
        _engine.trial_logliks(model, response, x, y, params=vector, loglik=out, optional=given, options=options)
    )
    return out


def simulated(model: str, response: str, inputs: np.ndarray, params: Mapping[str, Any], seed: int) -> np.ndarray:
    """One response per trial drawn around the model's belief before it, from the stream seeded with
    ``seed``: ``belief + sqrt(zeta) * velmora.arrays.normal(n, seed)`` for ``"gaussian"``; for a choice
    model 1.0 where ``velmora.arrays.uniform(n, seed)`` falls below P(y = 1), else 0.0."""
    vector, given = _vector(model, response, params)
    x = np.ascontiguousarray(inputs, dtype=np.float64).reshape(-1)
    out = np.empty(x.size // ENGINE[model].width)
    _raise_failure(_engine.simulate_responses(model, response, x, seed, params=vector, out=out, optional=given))
    return out
