"""The models, as the native engine describes them: every table here is built from its report.

The engine describes every model once, next to its equations, and reports it here
(:data:`ENGINE`): its parameters in the order of a parameter vector, which of them are optional or
scale seeded noise, its output fields, whether it draws noise from a seed, whether it has a
predictive density of its own inputs (``self_fit``), whether responses can be fitted around its
belief before each trial (``fits_responses``) and the columns of one trial's input (``inputs``). It
reports its response models too (:data:`RESPONSES`): their names and parameters.

The same report gives what fitting needs: each fitted parameter's transform to an unbounded space
and default prior there (:data:`PARAMS`, :data:`RESPONSE_PARAMS`, a model's own for its response models' parameters by
:func:`response_params`), the values a default fit holds
(:attr:`FittedParam.held`, :data:`HELD_FOR_RESPONSES`), the response models that apply, the default first
(:data:`RESPONSE_MODELS`), those whose responses are choices (:data:`BINARY`), the list functions'
parameters that change no likelihood (:data:`NOT_FITTED`) and the list functions' defaults
(:data:`DEFAULTS`). The statistical reasons for each prior sit beside the model's C++ description. Each trial's belief,
likelihood and simulated response come from the engine itself (:mod:`velmora.trials`).
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping
from dataclasses import dataclass, fields
from typing import Any

import numpy as np

from velmora import _engine

__all__ = [
    "Model",
    "FittedParam",
    "ENGINE",
    "RESPONSES",
    "PARAMS",
    "RESPONSE_PARAMS",
    "response_params",
    "HELD_FOR_RESPONSES",
    "NOT_FITTED",
    "RESPONSE_MODELS",
    "DEFAULTS",
    "SELF_FIT",
    "FITTED",
    "BINARY",
    "OVER_OPTIONS",
]

# The response of a self-fit: the model's predictive density of its own inputs (fit's responses=None).
SELF_FIT = "observations"
# The self-fit's per-trial density among a self-fitting model's fields; the list functions leave it out.
LOGLIK = "loglik"


@dataclass(frozen=True)
class Model:
    """One model as the engine reports it."""

    name: str
    params: tuple[str, ...]
    optional: tuple[str, ...]
    noise: tuple[str, ...]
    fields: tuple[str, ...]
    inputs: tuple[str, ...]
    seeded: bool
    self_fit: bool
    fits_responses: bool
    # Whether its agent chooses among options and learns from the chosen option's outcome (its
    # responses are options, its input each trial's outcome), and its fields per option.
    chooses: bool
    option_fields: tuple[str, ...]
    # A model that does not choose may value options itself for a choice rule over options (the
    # binary HGF: its predictions of input 0 and 1), its responses then those options' indices.
    option_values: int
    missing_inputs: bool  # a NaN input is a missed one, which leaves the beliefs as they were
    binary_inputs: bool  # an input is an outcome, 0 or 1

    @property
    def width(self) -> int:
        """The numbers of one trial's input."""
        return len(self.inputs)

    @property
    def fitted(self) -> tuple[str, ...]:
        """The parameters a fit estimates or holds, in vector order: all but the optional and noise ones."""
        return tuple(name for name in self.params if name not in self.optional and name not in self.noise)

    def given(self, names: Mapping[str, object] | tuple[str, ...]) -> int:
        """The engine's mask of the optional parameters present among ``names``: bit j for the j-th."""
        return sum(1 << j for j, name in enumerate(self.optional) if name in names)

    @property
    def list_fields(self) -> tuple[str, ...]:
        """The fields of the list function's rows: the array engine's without the self-fit's density."""
        return tuple(name for name in self.fields if not (self.self_fit and name == LOGLIK))


# The engine's report: one dict per model and per response model, in the engine's order.
_REPORTED_MODELS: dict[str, Mapping[str, Any]] = {m["name"]: m for m in _engine.models()}
_REPORTED_RESPONSES: dict[str, Mapping[str, Any]] = {r["name"]: r for r in _engine.responses()}

ENGINE: dict[str, Model] = {
    name: Model(*(m[field.name] for field in fields(Model))) for name, m in _REPORTED_MODELS.items()
}
# Each response model's parameters, in the order they follow the model's in a parameter vector.
RESPONSES: dict[str, tuple[str, ...]] = {
    name: r["params"] for name, r in _REPORTED_RESPONSES.items() if not r["self_fit"]
}


# The models a fit estimates, in the engine's order.
FITTED: tuple[str, ...] = tuple(name for name, m in ENGINE.items() if m.self_fit or m.fits_responses)


@dataclass(frozen=True)
class FittedParam:
    """One fitted parameter as the engine declares it."""

    transform: str  # "log", "logit" or "identity"
    prior: tuple[float, float]  # mean and variance in the transformed space
    held: float | None = None  # the natural value a default fit holds it at; None: free


def _params(fitted: Mapping[str, Mapping[str, Any]]) -> dict[str, FittedParam]:
    return {name: FittedParam(f["transform"], f["prior"], f["held"]) for name, f in fitted.items()}


# Every fitted parameter of each model, in the engine's order.
PARAMS: dict[str, dict[str, FittedParam]] = {name: _params(_REPORTED_MODELS[name]["fitted"]) for name in FITTED}
# The parameters of each response model.
RESPONSE_PARAMS: dict[str, dict[str, FittedParam]] = {
    name: _params(_REPORTED_RESPONSES[name]["fitted"]) for name in RESPONSES
}


def response_params(model: str, response: str) -> dict[str, FittedParam]:
    """The parameters of ``response`` as a fit of ``model`` takes them: the response model's, with the
    default priors the model declares for them in place of the response model's own."""
    own = _REPORTED_MODELS[model]["response_priors"].get(response, {})
    return {
        name: dataclasses.replace(p, prior=tuple(own[name])) if name in own else p
        for name, p in RESPONSE_PARAMS[response].items()
    }


# Response models of choices: responses are 1, 0, or NaN for a missed trial.
BINARY: tuple[str, ...] = tuple(name for name in RESPONSES if _REPORTED_RESPONSES[name]["choices"])
# Response models of a choice among options: a response is an option (its index in the engine).
OVER_OPTIONS: tuple[str, ...] = tuple(name for name in RESPONSES if _REPORTED_RESPONSES[name]["over_options"])
# The values a fit to responses holds, where responses cannot identify them.
HELD_FOR_RESPONSES: dict[str, dict[str, float]] = {
    name: held
    for name in FITTED
    if (
        held := {
            p: f["held_for_responses"]
            for p, f in _REPORTED_MODELS[name]["fitted"].items()
            if f["held_for_responses"] is not None
        }
    )
}
# The response models each model accepts besides its own inputs' density, the default first.
RESPONSE_MODELS: dict[str, tuple[str, ...]] = {
    name: tuple(r for r in _REPORTED_MODELS[name]["responses"] if r != SELF_FIT)
    for name, m in ENGINE.items()
    if m.fits_responses
}
# Parameters of the list functions that change no likelihood (a likelihood runs without noise).
NOT_FITTED: dict[str, tuple[str, ...]] = {
    name: _REPORTED_MODELS[name]["not_fitted"] for name in FITTED if _REPORTED_MODELS[name]["not_fitted"]
}
# Parameters with a default in the list functions; None: absent.
DEFAULTS: dict[str, dict[str, float | None]] = {name: dict(m["defaults"]) for name, m in _REPORTED_MODELS.items()}


def prior_pair(name: str, value: Any) -> tuple[float, float]:
    """A prior given as (mean, variance) in the transformed space, as two floats; TypeError for
    anything else. Text is refused although it iterates: "01" would read as (0, 1)."""
    if isinstance(value, (str, bytes, bytearray, Mapping)) or not isinstance(value, (tuple, list, np.ndarray)):
        raise TypeError(f"prior for '{name}': expected (mean, variance), a pair of numbers, got {value!r}")
    items = list(np.asarray(value, dtype=object).reshape(-1)) if isinstance(value, np.ndarray) else list(value)
    if len(items) != 2 or not all(
        isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(v, (bool, np.bool_, np.timedelta64))
        for v in items
    ):
        raise TypeError(f"prior for '{name}': expected (mean, variance), a pair of numbers, got {value!r}")
    return float(items[0]), float(items[1])
