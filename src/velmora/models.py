"""The models: what the native engine says each one is, and the statistical facts of fitting it.

The engine describes every model once, next to its equations, and reports it here
(:data:`ENGINE`): its parameters in the order of a parameter vector, which of them are optional or
scale seeded noise, its output fields, whether it draws noise from a seed, whether it has a
predictive density of its own inputs (``self_fit``), whether responses can be fitted around its
belief before each trial (``fits_responses``) and the columns of one trial's input (``inputs``). It
reports its response models too (:data:`RESPONSES`): their names and parameters.

This module adds what the engine cannot know, keyed by those names: each fitted parameter's
transform to an unbounded space and default prior there (:data:`PARAMS`, :data:`RESPONSE_PARAMS`),
the values a default fit holds (:attr:`Param.held`, :data:`HELD_FOR_RESPONSES`), the response models
that apply, the default first (:data:`RESPONSE_MODELS`), the list functions' parameters that change no likelihood
(:data:`NOT_FITTED`) and the list functions' defaults (:data:`DEFAULTS`). They are checked against
the engine at import: a name the engine lacks is an error. Each trial's belief, likelihood and
simulated response come from the engine itself (:mod:`velmora.trials`).
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from velmora import _engine

__all__ = [
    "Model",
    "Param",
    "ENGINE",
    "RESPONSES",
    "PARAMS",
    "RESPONSE_PARAMS",
    "ZETA",
    "HELD_FOR_RESPONSES",
    "NOT_FITTED",
    "RESPONSE_MODELS",
    "DEFAULTS",
    "SELF_FIT",
    "FITTED",
    "BINARY",
    "problems",
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


ENGINE: dict[str, Model] = {
    m["name"]: Model(
        m["name"],
        m["params"],
        m["optional"],
        m["noise"],
        m["fields"],
        m["inputs"],
        m["seeded"],
        m["self_fit"],
        m["fits_responses"],
    )
    for m in _engine.models()
}
# Each response model's parameters, in the order they follow the model's in a parameter vector.
RESPONSES: dict[str, tuple[str, ...]] = {
    name: params for name, params, self_fit, _ in _engine.responses() if not self_fit
}


# The models a fit estimates, in the engine's order.
FITTED: tuple[str, ...] = tuple(name for name, m in ENGINE.items() if m.self_fit or m.fits_responses)


@dataclass(frozen=True)
class Param:
    transform: str  # "log", "logit" or "identity"
    prior: tuple[float, float]  # mean and variance in the transformed space
    held: float | None = None  # the natural value a default fit holds it at; None: free


_LOG_ONE = (0.0, 4.0)

# Every fitted parameter of each model, in the engine's order.
PARAMS: dict[str, dict[str, Param]] = {
    "kalman": {
        "initial_mean": Param("identity", (0.0, 100.0)),
        "initial_var": Param("log", _LOG_ONE),
        "process_noise": Param("log", (math.log(0.1), 4.0)),
        "obs_noise": Param("log", _LOG_ONE),
    },
    "hgf": {
        "obs_noise": Param("log", _LOG_ONE),
        "precision_flexibility": Param("log", _LOG_ONE),
        "base_process_noise": Param("log", (math.log(0.01), 4.0)),
        "mu1": Param("identity", (0.0, 100.0), held=0.0),
        "var1": Param("log", _LOG_ONE, held=1.0),
        "mu2": Param("identity", (0.0, 100.0), held=0.0),
    },
    "td": {
        "initial_value": Param("identity", (0.0, 100.0)),
        "learning_rate": Param("logit", (0.0, 2.25)),
    },
    # Rates of 0.001 to 0.05 per day (delta 0.95 to 0.999, logit 3 to 7) lie near the centre; hours
    # and years move it by about 3 and 6 either way, still well inside the prior.
    "discount": {"discount_factor": Param("logit", (4.0, 16.0))},
    "hyperbolic": {"k": Param("log", (math.log(0.01), 16.0))},
}
# The variance of a Gaussian response around the belief.
ZETA = Param("log", _LOG_ONE)
# The parameters of each response model. An inverse temperature's prior spans e^-8 .. e^8 (95 %):
# the units of a logistic's decision variable are the data's (amounts in cents or in thousands).
RESPONSE_PARAMS: dict[str, dict[str, Param]] = {
    "gaussian": {"zeta": ZETA},
    "unit_square": {"beta": Param("log", (math.log(2.0), 4.0))},
    "logistic": {"beta": Param("log", (0.0, 16.0)), "bias": Param("identity", (0.0, 100.0), held=0.0)},
}
# Response models of choices: responses are 1, 0, or NaN for a missed trial.
BINARY = ("unit_square", "logistic")
# Beliefs of a Kalman filter scale with its variances together, so responses pin down ratios only.
HELD_FOR_RESPONSES: dict[str, dict[str, float]] = {"kalman": {"obs_noise": 1.0}}
_CONTINUOUS_BELIEF = ("gaussian", "unit_square", "logistic")
RESPONSE_MODELS: dict[str, tuple[str, ...]] = {
    "kalman": _CONTINUOUS_BELIEF,
    "hgf": _CONTINUOUS_BELIEF,
    "td": _CONTINUOUS_BELIEF,
    "discount": ("logistic",),
    "hyperbolic": ("logistic",),
}
# Parameters of the list functions that change no likelihood (a likelihood runs without noise).
NOT_FITTED: dict[str, tuple[str, ...]] = {
    "hgf": ("var2",),
    "td": ("discount_factor", "rpe_noise_std", "seed"),
}


# Parameters with a default in the list functions; None: absent.
DEFAULTS: dict[str, dict[str, float | None]] = {
    "kalman": {"prior_precision_cap": None},
    "hgf": {"base_process_noise": 0.01, "mu1": 0.0, "var1": 1.0, "mu2": 0.0},
    "td": {},
    "forward": {},
    "discount": {},
    "hyperbolic": {},
}


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


def problems(
    engine: Mapping[str, Model],
    params: Mapping[str, Mapping[str, Param]],
    held_for_responses: Mapping[str, Mapping[str, float]],
    response_models: Mapping[str, tuple[str, ...]],
    not_fitted: Mapping[str, tuple[str, ...]],
    defaults: Mapping[str, Mapping[str, float | None]],
) -> list[str]:
    """Where the facts disagree with the engine's report; empty when they agree."""
    found = []
    for table, facts in (
        ("PARAMS", params),
        ("HELD_FOR_RESPONSES", held_for_responses),
        ("RESPONSE_MODELS", response_models),
        ("NOT_FITTED", not_fitted),
        ("DEFAULTS", defaults),
    ):
        found += [f"{table}: the engine has no model '{name}'" for name in facts if name not in engine]
    found += [
        f"RESPONSE_PARAMS['{name}']: the engine's parameters are {RESPONSES.get(name)}"
        for name, facts in RESPONSE_PARAMS.items()
        if tuple(facts) != RESPONSES.get(name)
    ]
    for name, model in engine.items():
        if (model.self_fit or model.fits_responses) != (name in params):
            found.append(
                f"PARAMS: facts for '{name}' {name in params}, but the engine fits it "
                f"{model.self_fit or model.fits_responses}"
            )
        if name in params and tuple(params[name]) != model.fitted:
            found.append(
                f"PARAMS['{name}']: {tuple(params[name])} are not the engine's fitted parameters "
                f"{model.fitted} in its order"
            )
        found += [
            f"RESPONSE_MODELS['{name}']: the engine has no response model '{r}'"
            for r in response_models.get(name, ())
            if r not in RESPONSES
        ]
        if (name in response_models) != model.fits_responses:
            found.append(
                f"RESPONSE_MODELS: response models for '{name}' {name in response_models}, but the engine "
                f"fits it to responses {model.fits_responses}"
            )
        fitted = set(params.get(name, {}))
        found += [
            f"HELD_FOR_RESPONSES['{name}']: '{p}' is no fitted parameter"
            for p in held_for_responses.get(name, {})
            if p not in fitted
        ]
        found += [
            f"NOT_FITTED['{name}']: '{p}' changes the likelihood"
            for p in not_fitted.get(name, ())
            if p in model.params and p not in model.noise
        ]
        found += [
            f"NOT_FITTED['{name}']: the noise parameter '{p}' is missing"
            for p in model.noise
            if name in params and p not in not_fitted.get(name, ())
        ]
        found += [
            f"DEFAULTS['{name}']: the engine has no parameter '{p}'"
            for p in defaults.get(name, {})
            if p not in model.params
        ]
    return found


_PROBLEMS = problems(ENGINE, PARAMS, HELD_FOR_RESPONSES, RESPONSE_MODELS, NOT_FITTED, DEFAULTS)
if _PROBLEMS:
    raise RuntimeError("velmora.models disagrees with the native engine:\n" + "\n".join(_PROBLEMS))
