"""velmora.models: the engine's report of its models, and the check that keeps the statistical
facts keyed by the engine's names, which must catch every kind of disagreement."""

import copy

import numpy as np
import pytest

import velmora.arrays as va
from velmora import _engine, models

FACTS = ("PARAMS", "HELD_FOR_RESPONSES", "RESPONSE_MODELS", "NOT_FITTED", "DEFAULTS")


def test_array_results_label_the_engines_fields_in_its_order():
    classes = {
        "kalman": va.KalmanTrajectories,
        "hgf": va.HgfTrajectories,
        "td": va.TdTrajectories,
        "forward": va.ForwardTrajectories,
        "discount": va.DiscountTrajectories,
        "hyperbolic": va.HyperbolicTrajectories,
    }
    assert {name: c.fields for name, c in classes.items()} == {name: m.fields for name, m in models.ENGINE.items()}


def rename(table, old, new):
    table.update({(new if k == old else k): table.pop(k) for k in list(table)})


@pytest.mark.parametrize(
    "fault, named",
    [
        (lambda f: rename(f["PARAMS"]["kalman"], "obs_noise", "obs_nois"), "PARAMS['kalman']"),
        (lambda f: f["PARAMS"]["hgf"].update({"mu1": f["PARAMS"]["hgf"].pop("mu1")}), "PARAMS['hgf']"),
        (lambda f: f["PARAMS"]["td"].pop("learning_rate"), "PARAMS['td']"),
        (lambda f: f["PARAMS"].pop("hgf"), "'hgf'"),
        (lambda f: f["PARAMS"].update(kalmann=f["PARAMS"]["kalman"]), "'kalmann'"),
        (lambda f: f["HELD_FOR_RESPONSES"]["kalman"].update(obs_var=1.0), "'obs_var'"),
        (lambda f: f["RESPONSE_MODELS"].update(forward=("gaussian",)), "'forward'"),
        (lambda f: f["NOT_FITTED"].update(td=("learning_rate",)), "'learning_rate'"),
        (lambda f: f["NOT_FITTED"].update(td=("seed",)), "'rpe_noise_std'"),
        (lambda f: f["DEFAULTS"]["hgf"].update(mu3=0.0), "'mu3'"),
    ],
    ids=[
        "renamed",
        "reordered",
        "missing",
        "model_without_facts",
        "unknown_model",
        "held",
        "responses",
        "not_fitted_changes_likelihood",
        "noise_left_out",
        "default",
    ],
)
def test_the_check_names_each_disagreement_with_the_engine(fault, named):
    facts = {name: copy.deepcopy(getattr(models, name)) for name in FACTS}
    assert models.problems(models.ENGINE, *facts.values()) == []
    fault(facts)
    found = models.problems(models.ENGINE, *facts.values())
    assert found and any(named in problem for problem in found), found


@pytest.mark.parametrize("model", list(models.ENGINE))
def test_the_engine_computes_exactly_the_likelihoods_a_model_declares(model):
    # The engine compiles only the pairs a model declares; Python's table of them must be the same.
    declared = next(m["responses"] for m in _engine.models() if m["name"] == model)
    assert set(declared) - {models.SELF_FIT} == set(models.RESPONSE_MODELS.get(model, ()))
    assert (models.SELF_FIT in declared) == models.ENGINE[model].self_fit
    width = len(models.ENGINE[model].inputs)
    inputs = np.tile([0.5] if width == 1 else [10.0, 0.0, 20.0, 5.0], 6)
    for kind, params, self_fit, _ in _engine.responses():
        values = np.full(len(models.ENGINE[model].fitted) + len(params), 0.5)
        responses = None if self_fit else np.ones(6)
        call = (model, kind, inputs, responses, values, np.zeros(1, dtype=np.int64), np.zeros(1), 0)
        if kind in declared:
            assert np.isfinite(_engine.objective(*call))
        else:
            with pytest.raises(ValueError, match="no likelihood of that kind"):
                _engine.objective(*call)
