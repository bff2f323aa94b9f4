"""Simulating a participant: the model's trajectory and responses drawn from a response model."""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora import _engine
from velmora import arrays as va
from velmora.fitting import _as_inputs, _check_finite_inputs, _check_model, _number, _unknown, belief, run_model
from velmora.models import DEFAULTS, ENGINE, PARAMS, RESPONSE_MODELS

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]

__all__ = ["simulate", "Simulation"]

@dataclass
class Simulation:
    """``trajectory``: the array engine's result; ``responses``: one simulated response per input
    (None for ``forward``, whose noise is already in the trajectory's ``actual`` movement)."""

    model: str
    inputs: np.ndarray = field(repr=False)
    trajectory: va.Trajectories
    responses: np.ndarray | None = field(repr=False)

    def to_frame(self) -> pandas.DataFrame:
        """One row per trial: ``input``, the trajectory's fields and ``response``."""
        frame = self.trajectory.to_frame()
        frame.insert(0, "input", self.inputs)
        if self.responses is not None:
            frame["response"] = self.responses
        return frame


def simulate(model: str, inputs: Any, params: Mapping[str, Any], *, response: str = "gaussian",
             seed: int = 0) -> Simulation:
    """Run ``model`` on ``inputs`` with natural parameter values ``params`` (named as in :func:`fit`,
    ``zeta`` included) and draw responses ``belief + sqrt(zeta) * z``, with ``z`` from
    ``velmora.arrays.normal(len(inputs), seed)``. ``forward`` simulates through
    ``forward_simulate``'s own noise, with ``seed`` passed to it."""
    _check_model(model, tuple(ENGINE))
    if model in RESPONSE_MODELS and response not in RESPONSE_MODELS[model]:
        raise ValueError(f"unknown response model {response!r}; expected one of {', '.join(RESPONSE_MODELS[model])}")
    x = _as_inputs(inputs)
    seed = _engine.as_seed(seed, "seed")
    # Parameters with a default are among the model's own: each is named once. A model fitted to
    # responses is simulated without its own noise and with a response variance; any other through its noise.
    described = ENGINE[model]
    names = ([*described.params] if not described.fits_responses
             else list(dict.fromkeys([*PARAMS[model], *DEFAULTS[model], "zeta"])))
    for name in params:
        if name not in names:
            raise _unknown(model, name, names)
    values: dict[str, Any] = dict(DEFAULTS[model])
    values.update({name: (None if value is None and name in described.optional else _number(name, value))
                   for name, value in params.items()})
    missing = [name for name in names if name not in values]
    if missing:
        raise ValueError(f"simulate {model}: missing parameter(s) {', '.join(missing)}")
    trajectory = run_model(model, x, values, seed)
    _check_finite_inputs(model, x)  # or a NaN reward would become NaN responses, read later as missed trials
    if not described.fits_responses:
        return Simulation(model, x, trajectory, None)
    zeta = values["zeta"]
    if zeta < 0.0:
        raise ValueError(f"parameter 'zeta': must be non-negative, got {zeta}")
    responses = belief(model, trajectory, values) + math.sqrt(zeta) * va.normal(x.size, seed)
    return Simulation(model, x, trajectory, responses)
