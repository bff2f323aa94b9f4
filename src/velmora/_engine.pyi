# Internal functions of the array engine; velmora.arrays is their public face.
from typing import Any, TypedDict

class _Fitted(TypedDict):
    transform: str  # "identity", "log" or "logit"
    prior: tuple[float, float]  # mean and variance in the transformed space
    held: float | None  # the natural value a default fit holds it at
    held_for_responses: float | None  # the value a fit to responses holds it at

class _Model(TypedDict):
    name: str
    params: tuple[str, ...]  # in the order of a parameter vector
    list_only: dict[str, float | None]  # list-function arguments the model never reads, their defaults
    optional: tuple[str, ...]  # may be absent; `optional` bit j says whether the j-th is in a vector
    noise: tuple[str, ...]  # scale seeded noise; a likelihood's vector leaves them out
    fields: tuple[str, ...]
    inputs: tuple[str, ...]  # the columns of one trial's input
    seeded: bool
    self_fit: bool
    fits_responses: bool
    responses: tuple[str, ...]  # "observations" first where it has one, then the default response model
    fitted: dict[str, _Fitted]  # the parameters a fit estimates or holds, in order
    defaults: dict[str, float | None]  # the list function's defaults; None: absent
    not_fitted: tuple[str, ...]  # list-function arguments that change no likelihood
    chooses: bool  # its agent chooses among options and learns from the choice (its responses)
    option_fields: tuple[str, ...]  # its fields per option
    option_values: int  # a model that does not choose: the option values it hands a choice rule (0: none)
    response_priors: dict[str, dict[str, tuple[float, float]]]  # the model's own priors of response parameters
    missing_inputs: bool  # a NaN input is a missed one
    binary_inputs: bool  # an input is 0 or 1

class _Response(TypedDict):
    name: str
    params: tuple[str, ...]  # in the order they follow the model's
    fitted: dict[str, _Fitted]
    self_fit: bool
    choices: bool  # responses are 1, 0 or NaN
    over_options: bool  # responses are options' indices, of a model that chooses
    margin: float

def run(
    model: str,
    values: Any,
    starts: Any,
    lengths: Any,
    /,
    *,
    params: Any,
    seeds: Any = None,
    out: Any,
    stride: int,
    threads: int,
    optional: int = 0,
) -> tuple[int, int, str] | None: ...
def objective(
    model: str,
    response: str,
    inputs: Any,
    responses: Any,
    /,
    *,
    params: Any,
    free: Any,
    gradient: Any,
    optional: int = 0,
    options: int = 0,
) -> float: ...
def fit(
    model: str,
    response: str,
    values: Any,
    starts: Any,
    lengths: Any,
    responses: Any,
    /,
    *,
    params: Any,
    free: Any,
    transforms: Any,
    prior_mean: Any,
    prior_var: Any,
    seeds: Any,
    n_starts: int,
    threads: int,
    optional: int = 0,
    natural: Any,
    se: Any,
    stats: Any,
    status: Any,
    prior_means: Any = None,
    prior_precision: Any = None,
    prior_log_det_precision: float = 0.0,
    theta: Any = None,
    cov: Any = None,
    first_starts: Any = None,
    options: int = 0,
) -> None: ...
def trial_logliks(
    model: str,
    response: str,
    inputs: Any,
    responses: Any,
    /,
    *,
    params: Any,
    loglik: Any = None,
    belief: Any = None,
    fields: Any = None,
    probabilities: Any = None,
    optional: int = 0,
    options: int = 0,  # K for a model that chooses; its responses are then the options' indices
) -> tuple[int, str] | None: ...
def simulate_responses(
    model: str,
    response: str,
    inputs: Any,
    seed: int,
    /,
    *,
    params: Any,
    out: Any,
    belief: Any = None,
    outcomes: Any = None,  # a model that chooses: the outcome each drawn choice obtained
    optional: int = 0,
    options: int = 0,  # K, the payoff table's columns, for a model that chooses
) -> tuple[int, str] | None: ...
def evaluate(
    model: str,
    response: str,
    values: Any,
    starts: Any,
    lengths: Any,
    responses: Any,
    /,
    *,
    params: Any,
    draws: int,
    optional: int = 0,
    threads: int,
    out: Any,
    options: int = 0,
) -> None: ...
def models() -> tuple[_Model, ...]: ...
def responses() -> tuple[_Response, ...]: ...
def normal(out: Any, seed: int, loc: float, scale: float, /) -> None: ...
def uniform(out: Any, seed: int, /) -> None: ...
def discounted_value(reward: Any, delay: Any, discount_factor: Any, out: Any, /) -> None: ...
def seeds(out: Any, seed: int, /) -> None: ...
def as_double(obj: object, name: str, /) -> float: ...
def as_seed(obj: object, name: str, /) -> int: ...
def as_doubles(obj: object, name: str, /) -> bytearray: ...
