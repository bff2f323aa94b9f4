# Internal functions of the array engine; velmora.arrays is their public face.
from typing import Any, TypedDict

class _Model(TypedDict):
    name: str
    params: tuple[str, ...]  # in the order of a parameter vector
    optional: tuple[str, ...]  # may be absent; `given` bit j says whether the j-th is in a vector
    noise: tuple[str, ...]  # scale seeded noise; a likelihood's vector leaves them out
    fields: tuple[str, ...]
    inputs: tuple[str, ...]  # the columns of one trial's input
    seeded: bool
    self_fit: bool
    fits_responses: bool
    responses: tuple[str, ...]

def run(
    model: str,
    values: Any,
    starts: Any,
    lengths: Any,
    params: Any,
    seeds: Any,
    out: Any,
    stride: int,
    threads: int,
    given: int,
    /,
) -> tuple[int, int, str] | None: ...
def objective(
    model: str, response: str, inputs: Any, responses: Any, params: Any, free: Any, grad_out: Any, given: int, /
) -> float: ...
def fit(
    model: str,
    response: str,
    values: Any,
    starts: Any,
    lengths: Any,
    responses: Any,
    held: Any,
    free: Any,
    transforms: Any,
    prior_mean: Any,
    prior_var: Any,
    seeds: Any,
    n_starts: int,
    threads: int,
    given: int,
    natural_out: Any,
    se_out: Any,
    stats_out: Any,
    status_out: Any,
    prior_means: Any,
    prior_precision: Any,
    prior_log_det_precision: float,
    theta_out: Any,
    cov_out: Any,
    first_starts: Any,
    /,
) -> None: ...
def trial_logliks(
    model: str, response: str, inputs: Any, responses: Any, params: Any, given: int, loglik_out: Any, belief_out: Any, /
) -> tuple[int, str] | None: ...
def simulate_responses(
    model: str, response: str, inputs: Any, params: Any, given: int, seed: int, responses_out: Any, belief_out: Any, /
) -> tuple[int, str] | None: ...
def evaluate(
    model: str,
    response: str,
    values: Any,
    starts: Any,
    lengths: Any,
    responses: Any,
    params: Any,
    draws: int,
    given: int,
    threads: int,
    out: Any,
    /,
) -> None: ...
def models() -> tuple[_Model, ...]: ...
def responses() -> tuple[tuple[str, tuple[str, ...], bool, float], ...]: ...
def normal(out: Any, seed: int, loc: float, scale: float, /) -> None: ...
def uniform(out: Any, seed: int, /) -> None: ...
def discounted_value(reward: Any, delay: Any, discount_factor: Any, out: Any, /) -> None: ...
def seeds(out: Any, seed: int, /) -> None: ...
def as_double(obj: object, name: str, /) -> float: ...
def as_seed(obj: object, name: str, /) -> int: ...
def as_doubles(obj: object, name: str, /) -> bytearray: ...
