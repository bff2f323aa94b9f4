"""The binary HGF (hgf_binary, and ehgf_binary, its enhanced variant): trajectories and likelihoods
against the NumPy transcription of its equations, gradients against differences, the region where
the model is undefined, missed inputs, its own prior for the unit square's temperature, and what a
fit and a simulation make of it."""

import math

import numpy as np
import pytest
from hgf_binary_reference import FIELDS, Undefined, negative_log_likelihood, trajectories

import velmora
from velmora import _engine, arrays, fitting
from velmora.models import ENGINE, RESPONSE_PARAMS, response_params
from velmora.problem import Problem
from velmora.trajectories import run_model

MODELS = ("hgf_binary", "ehgf_binary")
ORDER = ("omega2", "omega3", "kappa", "mu2", "sigma2", "mu3", "sigma3")
# Where the plain model is undefined on the inputs of binary(…, seed=0) below: pi3 < 0 at trial 11.
UNDEFINED = dict(omega2=-4.17, omega3=-2.08, kappa=3.3, mu2=0.0, sigma2=0.077, mu3=1.73, sigma3=4.67)


def binary(n, seed, p=0.5, missed=0):
    rng = np.random.default_rng(seed)
    u = (rng.random(n) < p).astype(float)
    u[rng.choice(n, missed, replace=False)] = np.nan
    return u


def random_params(rng):
    """A point of the default priors' bulk where the plain model is defined on most sequences."""
    return dict(
        omega2=rng.uniform(-6.0, -2.0),
        omega3=rng.uniform(-9.0, -4.0),
        kappa=math.exp(rng.uniform(-1.0, 0.3)),
        mu2=rng.uniform(-1.0, 1.0),
        sigma2=math.exp(rng.uniform(-3.0, 0.5)),
        mu3=rng.uniform(-1.0, 2.0),
        sigma3=math.exp(rng.uniform(-1.0, 0.5)),
    )


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("n, seed, missed", [(1, 0, 0), (2, 1, 1), (17, 2, 3), (320, 3, 20), (10_000, 4, 100)])
def test_trajectories_follow_the_equations(model, n, seed, missed):
    u = binary(n, seed, p=0.7, missed=missed)
    rng = np.random.default_rng(seed + 100)
    checked = 0
    while checked < 3:
        p = random_params(rng)
        try:
            expected = trajectories(u, enhanced=model == "ehgf_binary", **p)
        except Undefined:
            continue
        got = run_model(model, u, p)
        for name in FIELDS:
            np.testing.assert_allclose(got[name], expected[name], rtol=1e-12, atol=0, err_msg=name)
        checked += 1


@pytest.mark.parametrize("model", MODELS)
def test_a_missed_input_leaves_the_beliefs_and_is_no_prediction_error(model):
    u = binary(40, 5, missed=6)
    got = run_model(model, u, dict(omega2=-3.0, omega3=-6.0))
    missed = np.flatnonzero(np.isnan(u))
    after = {name: getattr(got, name) for name in ("mu2", "sigma2", "mu3", "sigma3")}
    for t in missed[missed > 0]:
        for name, values in after.items():
            assert values[t] == values[t - 1], (name, t)
    for name in ("delta1", "delta2", "learning_rate2", "learning_rate3"):
        assert np.isnan(getattr(got, name)[missed]).all()
        assert np.isfinite(np.delete(getattr(got, name), missed)).all()


def test_without_coupling_omega3_changes_nothing_the_responses_see():
    u = binary(200, 6)
    beliefs = [run_model("hgf_binary", u, dict(omega2=-3.0, omega3=o3, kappa=0.0)).muhat1 for o3 in (-9.0, 0.0, 3.0)]
    assert all(np.array_equal(beliefs[0], b) for b in beliefs[1:])


def test_where_the_level_3_precision_is_not_positive_the_plain_model_names_the_trial():
    u = binary(200, 0)
    with pytest.raises(Undefined) as reference:
        trajectories(u, **UNDEFINED)
    with pytest.raises(velmora.NumericalDivergence, match=rf"hgf_binary at trial {reference.value.trial}, "):
        run_model("hgf_binary", u, UNDEFINED)
    with pytest.raises(
        velmora.NumericalDivergence,
        match=rf"subject 1: numerical divergence in hgf_binary at trial {reference.value.trial}, ",
    ):
        run_model("hgf_binary", [u[:5], u], UNDEFINED)
    # The enhanced variant's level-3 precision never falls below its prediction's: it is defined there.
    sigma3 = run_model("ehgf_binary", u, UNDEFINED).sigma3
    predicted = np.concatenate([[UNDEFINED["sigma3"]], sigma3[:-1]]) + math.exp(UNDEFINED["omega3"])
    assert np.isfinite(sigma3).all() and (sigma3 <= predicted * (1 + 1e-15)).all()


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize(
    "value, message",
    [
        (dict(sigma2=0.0), "sigma2"),
        (dict(sigma3=-1.0), "sigma3"),
        (dict(omega2=math.inf), "omega2"),
        (dict(kappa=math.nan), "kappa"),
        (dict(sigma2=0.0, mu3=math.inf), "sigma2"),  # in the parameters' order
        (dict(mu3=math.inf, sigma3=0.0), "mu3"),
    ],
)
def test_parameters_are_checked(model, value, message):
    with pytest.raises(velmora.InvalidParameter, match=f"'{message}'"):
        run_model(model, [1.0, 0.0], dict(omega2=-3.0, omega3=-6.0) | value)


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("bad", [0.5, 2.0, -1.0, math.inf])
def test_an_input_is_0_or_1_or_missed(model, bad):
    with pytest.raises(velmora.InvalidParameter, match="at trial 2"):
        run_model(model, [1.0, 0.0, bad, 1.0], dict(omega2=-3.0, omega3=-6.0))
    with pytest.raises(velmora.InvalidParameter, match="at trial 2"):
        velmora.fit(model, [1.0, 0.0, bad, 1.0], [1.0, 0.0, 1.0, 1.0])


def native(model, response, inputs, responses, point, free):
    order = (*ORDER, *RESPONSE_PARAMS[response])
    grad = np.empty(len(free))
    values = np.array([point[name] for name in order])
    nll = _engine.objective(
        model, response, inputs, responses, params=values, free=np.asarray(free, dtype=np.int64), gradient=grad
    )
    return nll, grad, order


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("response", ["unit_square", "logistic", "softmax"])
def test_likelihood_and_gradient_against_the_equations_and_differences(model, response):
    u = binary(150, 7, p=0.75, missed=5)
    rng = np.random.default_rng(8)
    responses = np.where(rng.random(u.size) < 0.8, np.nan_to_num(u, nan=1.0), 1.0 - np.nan_to_num(u, nan=1.0))
    responses[rng.choice(u.size, 10, replace=False)] = np.nan
    # At most 8 derivatives at once: the logistic's bias gets a pass of its own.
    # The softmax's perseveration too (its lapse rate held at 0 sits at the edge of its range).
    passes = [list(range(8))] + ([[8]] if response != "unit_square" else [])
    for _ in range(3):
        point = random_params(rng) | dict(
            beta=math.exp(rng.uniform(0.0, 2.0)), bias=rng.uniform(0.2, 0.8), perseveration=0.0, lapse=0.0
        )
        expected = negative_log_likelihood(u, responses, response, point, enhanced=model == "ehgf_binary")
        for free in passes:
            nll, grad, order = native(model, response, u, responses, point, free)
            assert nll == pytest.approx(expected, rel=1e-12)
            for g, j in zip(grad, free):
                h = 1e-6 * max(abs(point[order[j]]), 1e-1)
                up, down = (
                    native(model, response, u, responses, point | {order[j]: point[order[j]] + d}, [])[0]
                    for d in (h, -h)
                )
                assert g == pytest.approx((up - down) / (2 * h), rel=1e-5, abs=1e-6), order[j]


def test_the_unit_square_temperature_has_this_models_own_default_prior():
    own = response_params("hgf_binary", "unit_square")["beta"]
    assert own.prior == (math.log(48.0), 1.0)
    assert RESPONSE_PARAMS["unit_square"]["beta"].prior == (math.log(2.0), 4.0)
    assert response_params("hgf", "unit_square")["beta"] == RESPONSE_PARAMS["unit_square"]["beta"]
    assert response_params("hgf_binary", "logistic") == RESPONSE_PARAMS["logistic"]
    for model, expected in [("hgf_binary", (math.log(48.0), 1.0)), ("hgf", (math.log(2.0), 4.0))]:
        problem = Problem.build(model, "unit_square", {}, {})
        j = problem.free_names.index("beta")
        assert (problem.prior_mean[j], problem.prior_var[j]) == expected
    assert "hgf_binary ``beta`` (unit_square)" in fitting.__doc__


def test_the_default_fit_frees_omega2_omega3_and_beta_and_holds_the_rest():
    problem = Problem.build("hgf_binary", "unit_square", {}, {})
    assert problem.free_names == ["omega2", "omega3", "beta"]
    assert problem.start | {"beta": None} == dict(zip(ORDER, (-3.0, -6.0, 1.0, 0.0, 0.1, 1.0, 1.0))) | {"beta": None}
    assert ENGINE["hgf_binary"].missing_inputs and not ENGINE["hgf"].missing_inputs


def schedule(n, seed):
    """Blocks of 20 to 60 trials at probability 0.8 or 0.2 in turn."""
    rng = np.random.default_rng(seed)
    p, high = [], bool(rng.integers(2))
    while len(p) < n:
        p += [0.8 if high else 0.2] * int(rng.integers(20, 61))
        high = not high
    return np.array(p[:n])


def test_binary_inputs_come_from_the_seeded_stream():
    p = schedule(320, 0)
    u = arrays.binary(p, seed=4)
    assert np.array_equal(u, (arrays.uniform(320, 4) < p).astype(float))
    assert set(np.unique(u)) == {0.0, 1.0}
    with pytest.raises(ValueError, match="probabilities"):
        arrays.binary([0.5, 1.5], seed=0)
    for text in (["0.5", "0.2"], np.array(["0.5"])):
        with pytest.raises(TypeError, match="probabilities"):
            arrays.binary(text, seed=0)


@pytest.mark.parametrize("response", ["unit_square", "logistic", "softmax"])
def test_a_fit_of_simulated_choices_recovers_omega2_and_beta(response):
    p = schedule(320 * 4, 1)
    u = arrays.binary(p, seed=2)
    truth = dict(omega2=-2.5, omega3=-6.0, beta=6.0 if response == "unit_square" else 8.0)
    sim = velmora.simulate("hgf_binary", u, truth, response_model=response, seed=3)
    assert set(np.unique(sim.responses)) == {0.0, 1.0}
    result = velmora.fit("hgf_binary", u, sim.responses, response_model=response)
    assert result.converged
    assert result.params["omega2"] == pytest.approx(truth["omega2"], abs=3 * result.se["omega2"])
    assert result.params["beta"] == pytest.approx(truth["beta"], abs=3 * result.se["beta"])
    # The estimate is a point where the model is defined.
    run_model("hgf_binary", u, {k: v for k, v in result.params.items() if k in ORDER})


def test_a_fit_whose_priors_reach_into_the_undefined_region_reports_only_defined_points():
    u = arrays.binary(schedule(320, 9), seed=9)
    sim = velmora.simulate("hgf_binary", u, dict(omega2=-2.0, omega3=-4.0, beta=8.0), seed=10)
    # Wide priors centred where most of the plane is undefined: many starts and line searches fail.
    priors = dict(omega2=(1.0, 25.0), omega3=(0.0, 25.0))
    for seed in range(5):
        result = velmora.fit("hgf_binary", u, sim.responses, priors=priors, n_starts=8, seed=seed)
        assert math.isfinite(result.nll)
        run_model("hgf_binary", u, {k: v for k, v in result.params.items() if k in ORDER})


def test_the_picture_draws_the_inputs_beliefs_responses_and_volatility():
    pytest.importorskip("matplotlib")
    u = arrays.binary(schedule(120, 3), seed=3)
    sim = velmora.simulate("hgf_binary", u, dict(omega2=-3.0, omega3=-6.0, beta=6.0), seed=4)
    sim.responses[5] = np.nan
    figure = velmora.plot_hgf_binary(u, sim.trajectory, sim.responses)
    top, bottom = figure.axes
    drawn = {line.get_label(): line.get_ydata() for line in top.get_lines()}
    assert np.array_equal(drawn["belief P(next input = 1)"], sim.trajectory.muhat1)
    assert np.array_equal(drawn["input"], u)
    assert drawn["response"].size == 119 and set(np.unique(drawn["response"])) <= {-0.08, 1.08}
    assert np.array_equal(bottom.get_lines()[0].get_ydata(), sim.trajectory.mu3)
    with pytest.raises(ValueError, match="one per trial"):
        velmora.plot_hgf_binary(u[:-1], sim.trajectory)
    with pytest.raises(ValueError, match="hgf_binary"):
        velmora.plot_hgf_binary(u, run_model("td", u, dict(initial_value=0.0, learning_rate=0.3)))
    # Inputs and responses that the model and its choices refuse are refused, not drawn as 0s.
    odd = [
        (np.where(np.arange(120) == 9, 0.5, u), sim.responses, "inputs: .* 0.5 at trial 9"),
        (u, np.where(np.arange(120) == 3, 0.5, sim.responses), "0.5 at trial 3"),
        (u, np.where(sim.responses == 1.0, "1", "0"), "responses"),
    ]
    for inputs, responses, message in odd:
        with pytest.raises((ValueError, TypeError), match=message):
            velmora.plot_hgf_binary(inputs, sim.trajectory, responses)


def test_where_no_start_is_defined_the_fit_has_no_estimate_and_raises_nothing():
    u = arrays.binary(schedule(140, 5), seed=5)
    # omega2 = 2 leaves the model undefined on these inputs for any omega3 near 0.
    result = velmora.fit("hgf_binary", u, u, fixed={"omega2": 2.0}, priors={"omega3": (0.0, 0.01)})
    assert not result.converged and result.message.startswith("no estimate")
    assert math.isnan(result.params["omega3"]) and math.isnan(result.nll)


def test_missed_inputs_pass_through_every_fitting_route():
    u = arrays.binary(schedule(140, 6), seed=6)
    missed = u.copy()
    missed[[3, 50, 139]] = np.nan
    y = velmora.simulate("hgf_binary", missed, dict(omega2=-3.0, omega3=-6.0, beta=6.0), seed=7).responses
    one = velmora.fit("hgf_binary", missed, y)
    batch = arrays.fit("hgf_binary", np.vstack([u, missed]), np.vstack([y, y]), seeds=np.zeros(2, dtype=np.uint64))
    assert one.converged and one.n_trials == 140
    assert batch.neg_log_joint[1] == one.neg_log_joint
    assert batch.neg_log_joint[0] != one.neg_log_joint  # the missed inputs changed the beliefs


def test_a_study_fits_compares_and_exports_the_model():
    import pandas as pd

    rows = []
    for s in range(4):
        u = arrays.binary(schedule(120, s), seed=s)
        u[7] = np.nan
        y = velmora.simulate("hgf_binary", u, dict(omega2=-3.0, omega3=-6.0, beta=6.0), seed=s).responses
        rows.append(pd.DataFrame({"subject": s, "input": u, "response": y}))
    data = pd.concat(rows, ignore_index=True)
    fits = velmora.fit_many(data, "hgf_binary", progress=False)
    two_level = velmora.fit_many(data, "hgf_binary", fixed={"kappa": 0.0}, progress=False)
    assert fits["converged"].all() and (two_level["kappa"] == 0.0).all() and two_level["se_omega3"].isna().all()
    loglik = velmora.study.pointwise_loglik(data, fits, "hgf_binary")
    sums = loglik.groupby("subject")["loglik"].sum()
    np.testing.assert_allclose(sums.to_numpy(), -fits["nll"].to_numpy(), rtol=1e-12)
    comparison = velmora.compare({"three levels": fits, "two levels": two_level})
    assert comparison.names == ("three levels", "two levels")


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("held", [dict(omega2=800.0), dict(kappa=1e6), dict(kappa=0.0, omega3=800.0)])
@pytest.mark.parametrize("response", ["unit_square", "softmax"])
def test_held_values_undefined_from_the_first_trial_give_no_estimate_and_raise_nothing(model, held, response):
    u = arrays.binary(schedule(60, 2), seed=2)
    result = velmora.fit(model, u, u, fixed=held, response_model=response)
    assert not result.converged and result.message.startswith("no estimate")
    batch = arrays.fit(model, [u, u[:5]], [u, u[:5]], fixed=held, response_model=response)
    assert (batch.status == 2).all() and np.isnan(batch.params["beta"]).all()


def test_the_command_line_reads_a_blank_input_as_a_missed_one(tmp_path, capsys):
    import pandas as pd

    from velmora import cli

    u = arrays.binary(schedule(120, 8), seed=8)
    u[[4, 60]] = np.nan
    y = velmora.simulate("hgf_binary", u, dict(omega2=-3.0, omega3=-6.0, beta=6.0), seed=8).responses
    data = pd.DataFrame({"subject": 1, "input": u, "response": y})
    # pandas writes a missed input as a blank cell; the command line already read one written "nan".
    data.to_csv(tmp_path / "blank.csv", index=False)
    data.to_csv(tmp_path / "nan.csv", index=False, na_rep="nan")
    for name in ("blank", "nan"):
        args = ["fit", str(tmp_path / f"{name}.csv"), "--model", "hgf_binary", "-o", str(tmp_path / f"{name}-fits.csv")]
        assert cli.main(args) == 0, capsys.readouterr().err
    blank, nan = (pd.read_csv(tmp_path / f"{name}-fits.csv") for name in ("blank", "nan"))
    assert blank["converged"].all()
    pd.testing.assert_frame_equal(blank, nan)
