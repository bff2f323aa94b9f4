"""Simulating a participant: the model's trajectory and responses drawn from a response model."""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora import _engine
from velmora import arrays as va
from velmora.fitting import _PARAMS, RESPONSE_MODELS, _as_inputs, _check_model, _number, _unknown, belief, run_model

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]

__all__ = ["simulate", "Simulation"]

# Parameters with a default in the list functions; the rest must be given.
_DEFAULTS: dict[str, dict[str, float | None]] = {
    "kalman": {"prior_precision_cap": None},
    "hgf": {"base_process_noise": 0.01, "mu1": 0.0, "var1": 1.0, "mu2": 0.0},
    "td": {},
    "forward": {},
}
_FORWARD = ("update_rate", "injury_noise_std", "sensory_gain")


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
    _check_model(model, (*_PARAMS, "forward"))
    if response not in RESPONSE_MODELS:
        raise ValueError(f"unknown response model {response!r}; expected one of {', '.join(RESPONSE_MODELS)}")
    x = _as_inputs(inputs)
    seed = _engine.as_seed(seed, "seed")
    names = [*_FORWARD] if model == "forward" else list(dict.fromkeys([*_PARAMS[model], *_DEFAULTS[model], "zeta"]))
    for name in params:
        if name not in names:
            raise _unknown(model, name, names)
    values: dict[str, Any] = dict(_DEFAULTS[model])
    values.update({name: (None if value is None and name == "prior_precision_cap" else _number(name, value))
                   for name, value in params.items()})
    missing = [name for name in names if name not in values]
    if missing:
        raise ValueError(f"simulate {model}: missing parameter(s) {', '.join(missing)}")
    trajectory = run_model(model, x, values, seed)
    if model == "forward":
        return Simulation(model, x, trajectory, None)
    zeta = values["zeta"]
    if zeta < 0.0:
        raise ValueError(f"parameter 'zeta': must be non-negative, got {zeta}")
    responses = belief(model, trajectory, values) + math.sqrt(zeta) * va.normal(x.size, seed)
    return Simulation(model, x, trajectory, responses)
