"""velmora.models: the engine's report of its models, and how that report ties to what the list
functions accept and to what a fit does."""

import inspect

import numpy as np
import pytest

import velmora
import velmora.arrays as va
import velmora.trajectories
from velmora import _engine, models

REPORT = {m["name"]: m for m in _engine.models()}
# Each model's list function, by the name both velmora and velmora.arrays give it.
LIST_FUNCTIONS = {"kalman": "kalman_run", "hgf": "hgf_run", "td": "td_learn_sequence", "forward": "forward_simulate"}
# Arguments every list function accepts, by name.
EXAMPLES = {
    "kalman": {"initial_mean": 0.2, "initial_var": 1.5, "process_noise": 0.05, "obs_noise": 0.4},
    "hgf": {"obs_noise": 0.3, "precision_flexibility": 1.1},
    "td": {"initial_value": 0.2, "learning_rate": 0.3, "discount_factor": 0.9, "rpe_noise_std": 0.0, "seed": 4},
    "forward": {"update_rate": 0.3, "injury_noise_std": 0.0, "sensory_gain": 1.4, "seed": 4},
}
SEQUENCE = [0.5, -1.0, 2.0, 0.25, 1.5]


def test_array_results_label_the_engines_fields_in_its_order():
    classes = {
        "kalman": va.KalmanTrajectories,
        "hgf": va.HgfTrajectories,
        "td": va.TdTrajectories,
        "forward": va.ForwardTrajectories,
        "discount": va.DiscountTrajectories,
        "hyperbolic": va.HyperbolicTrajectories,
    }
    for name, c in classes.items():
        assert c.model == name and c.fields == models.ENGINE[name].fields, name
    # Every model the engine reports, those without a class of their own included, gets a result class
    # labelled with its fields (a model added to the engine's table needs no entry here).
    made = {name: velmora.trajectories.trajectories_of(name) for name in models.ENGINE}
    assert {name: c.fields for name, c in made.items()} == {name: m.fields for name, m in models.ENGINE.items()}
    assert all(made[name] is c for name, c in classes.items())


def list_function(module, model):
    return getattr(module, LIST_FUNCTIONS[model])


def positional(function):
    """A function's parameters that are not keyword-only, by name, with their defaults (or empty)."""
    return {
        name: p.default
        for name, p in inspect.signature(function).parameters.items()
        if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    }


def call(function, arguments):
    """``function`` with ``arguments`` by name, the sequence given as the one it has no number for."""
    names = positional(function)
    (sequence,) = [name for name in names if name not in arguments and names[name] is inspect.Parameter.empty]
    return function(**arguments, **{sequence: SEQUENCE})


@pytest.mark.parametrize("module", [velmora, va], ids=["lists", "arrays"])
@pytest.mark.parametrize("model", list(LIST_FUNCTIONS))
def test_a_list_function_takes_the_models_parameters_with_the_engines_defaults(model, module):
    reported = REPORT[model]
    params = positional(list_function(module, model))
    seed = ("seed",) if reported["seeded"] else ()
    # Besides the model's parameters, those it never reads and its seed: one sequence of inputs.
    others = set(params) - {*reported["params"], *reported["list_only"], *seed}
    assert len(others) == 1 and params[others.pop()] is inspect.Parameter.empty
    defaults = {name: value for name, value in params.items() if value is not inspect.Parameter.empty}
    own = {name: value for name, value in reported["list_only"].items() if value is not None}
    assert defaults == {**models.DEFAULTS[model], **own}
    # What is left out is what the default stands for: the same rows, to the bit.
    left_out = call(list_function(module, model), EXAMPLES[model])
    spelled_out = call(list_function(module, model), {**EXAMPLES[model], **defaults})
    assert left_out == spelled_out


@pytest.mark.parametrize(
    "model, name, other",
    [(model, name, 0.5) for model, m in REPORT.items() for name in m["list_only"]]
    + [(model, "seed", 99) for model in models.NOT_FITTED if REPORT[model]["seeded"]],
)
def test_what_changes_no_likelihood_changes_no_result(model, name, other):
    # A list-only argument is read and then ignored; without noise the seed draws nothing.
    assert name in models.NOT_FITTED[model]
    function = velmora.__dict__[LIST_FUNCTIONS[model]]
    own = {key: value for key, value in REPORT[model]["list_only"].items() if value is not None}
    arguments = {**own, **models.DEFAULTS[model], **EXAMPLES[model]}
    arguments = {key: (0.0 if key in REPORT[model]["noise"] else value) for key, value in arguments.items()}
    arguments.setdefault(name, other)
    assert call(function, arguments) == call(function, {**arguments, name: other})
    with pytest.raises(ValueError, match="does not change the"):
        velmora.fit(model, SEQUENCE, None if REPORT[model]["self_fit"] else np.ones(5), fixed={name: other})


def responses_for(response, n):
    # Choices between two options are their indices, 1 and 0, as binary choices are.
    choices = response in models.BINARY or response in models.OVER_OPTIONS
    return np.tile([1.0, 0.0], n)[:n] if choices else np.linspace(-1.0, 1.0, n)


def inputs_for(model, n):
    if models.ENGINE[model].width == 4:
        return np.tile([[10.0, 0.0, 20.0, 5.0], [5.0, 1.0, 9.0, 30.0]], (n // 2, 1))
    if models.ENGINE[model].binary_inputs:
        return (np.sin(np.arange(n) / 3.0) > 0.0).astype(float)
    return np.sin(np.arange(n) / 3.0)


@pytest.mark.parametrize(
    "model, response",
    [(model, models.SELF_FIT) for model in models.FITTED if models.ENGINE[model].self_fit]
    + [(model, response) for model, allowed in models.RESPONSE_MODELS.items() for response in allowed],
)
def test_a_default_fit_holds_exactly_what_the_engine_declares_held(model, response):
    reported = REPORT[model]
    held = {name: f["held"] for name, f in reported["fitted"].items() if f["held"] is not None}
    responses = None
    if response != models.SELF_FIT:
        own = next(r for r in _engine.responses() if r["name"] == response)
        held |= {name: f["held"] for name, f in own["fitted"].items() if f["held"] is not None}
        held |= {n: f["held_for_responses"] for n, f in reported["fitted"].items() if f["held_for_responses"]}
        responses = responses_for(response, 40)
    named = None if response == models.SELF_FIT else response
    result = velmora.fit(model, inputs_for(model, 40), responses, response_model=named, n_starts=1)
    assert result.response_model == response
    assert set(result.free) == set(result.params) - set(held) - set(reported["optional"])
    for name, value in held.items():
        assert result.params[name] == value and name not in result.free


@pytest.mark.parametrize("model", list(models.RESPONSE_MODELS))
def test_a_models_default_response_model_is_the_first_it_declares(model):
    declared = [r for r in REPORT[model]["responses"] if r != models.SELF_FIT]
    result = velmora.fit(model, inputs_for(model, 40), responses_for(declared[0], 40), n_starts=1)
    assert result.response_model == declared[0] == models.RESPONSE_MODELS[model][0]


@pytest.mark.parametrize("response", list(models.RESPONSES))
def test_choices_are_ones_and_zeros_exactly_under_the_models_that_say_so(response):
    model = next(m for m, allowed in models.RESPONSE_MODELS.items() if response in allowed)
    halves = np.full(40, 0.5)
    if response in models.BINARY:
        with pytest.raises(ValueError, match="a choice is 1, 0 or NaN"):
            velmora.fit(model, inputs_for(model, 40), halves, response_model=response, n_starts=1)
    elif response in models.OVER_OPTIONS:
        with pytest.raises(ValueError, match="0.5 at trial 0 is not one of the options"):
            velmora.fit(model, inputs_for(model, 40), halves, response_model=response, n_starts=1)
    else:
        assert np.isfinite(velmora.fit(model, inputs_for(model, 40), halves, response_model=response, n_starts=1).nll)


@pytest.mark.parametrize("model", list(models.ENGINE))
def test_the_engine_computes_exactly_the_likelihoods_a_model_declares(model):
    # The engine compiles only the pairs a model declares; Python's table of them must be the same.
    declared = REPORT[model]["responses"]
    assert set(declared) - {models.SELF_FIT} == set(models.RESPONSE_MODELS.get(model, ()))
    assert (models.SELF_FIT in declared) == models.ENGINE[model].self_fit
    inputs = inputs_for(model, 6).reshape(-1)
    for kind in _engine.responses():
        values = np.full(len(models.ENGINE[model].fitted) + len(kind["params"]), 0.5)
        responses = None if kind["self_fit"] else np.ones(6)
        options = {"params": values, "free": np.zeros(1, dtype=np.int64), "gradient": np.zeros(1)}
        options["options"] = 2 if models.ENGINE[model].chooses else 0
        if kind["name"] in declared:
            assert np.isfinite(_engine.objective(model, kind["name"], inputs, responses, **options))
        else:
            with pytest.raises(ValueError, match="no likelihood of that kind"):
                _engine.objective(model, kind["name"], inputs, responses, **options)


@pytest.mark.parametrize(
    "options, error, match",
    [
        (
            {"free": np.zeros(0, np.int64), "gradient": np.zeros(0)},
            TypeError,
            "missing required keyword argument 'params'",
        ),
        (
            {"params": np.ones(4), "free": np.zeros(0, np.int64), "gradient": np.zeros(0), "given": 1},
            TypeError,
            "'given'",
        ),
        (
            {"params": np.ones(4), "free": np.zeros(0, np.int64), "gradient": np.zeros(0), "optional": 2},
            ValueError,
            "optional",
        ),
        ({"params": np.ones(4), "free": np.zeros(0), "gradient": np.zeros(0)}, TypeError, "free: expected"),
    ],
    ids=["missing", "unknown", "mask_beyond_the_model", "wrong_kind"],
)
def test_the_engine_names_each_option_it_cannot_take(options, error, match):
    with pytest.raises(error, match=match):
        _engine.objective("kalman", "observations", np.ones(3), None, **options)
