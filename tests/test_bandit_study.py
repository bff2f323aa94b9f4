"""Bandit studies through the package's layers: option labels, closed-loop studies, the regressors
table, the command line and the picture."""

import math

import numpy as np
import pandas as pd
import pytest

import velmora
import velmora.arrays
from velmora import cli
from velmora.choices import choice_trials

REVERSAL = np.array(([[0.8, 0.2]] * 40 + [[0.2, 0.8]] * 40) * 3)[:120]


@pytest.fixture(scope="module")
def study():
    """Six simulated participants of a reversal task, choices labelled 1 and 2, a missed trial."""
    rng = np.random.default_rng(5)
    params = pd.DataFrame(
        {
            "subject": [f"p{i}" for i in range(6)],
            "learning_rate": rng.uniform(0.2, 0.6, 6),
            "beta": rng.uniform(2, 6, 6),
        }
    )
    data = velmora.simulate_many("rw", params, velmora.payoffs(REVERSAL, seed=3), options=[1, 2], seed=7)
    data.loc[5, ["input", "response"]] = np.nan
    return data


@pytest.fixture(scope="module")
def fits(study):
    return velmora.fit_many(study, "rw", options=[1, 2])


def test_a_study_round_trips_through_labels(study, fits):
    # simulate_many writes labels; fit_many reads them back as the engine's indices, as arrays.fit does.
    assert set(study["response"].dropna()) == {1.0, 2.0}
    first = study[study["subject"] == "p0"]
    seed = velmora.study.participant_seed(0, "p0")
    direct = velmora.fit("rw", first["input"].to_numpy(), first["response"].to_numpy() - 1.0, seed=seed)
    assert fits["learning_rate"].iloc[0] == direct.params["learning_rate"]
    assert fits["nll"].iloc[0] == direct.nll
    assert (fits["n_trials"] == [119, 120, 120, 120, 120, 120]).all()


def test_pointwise_and_regressors_belong_to_the_estimates(study, fits):
    pointwise = velmora.study.pointwise_loglik(study, fits, "rw", options=[1, 2])
    sums = pointwise.groupby("subject", sort=False)["loglik"].sum().to_numpy()
    np.testing.assert_allclose(sums, -fits["nll"].to_numpy(), rtol=1e-12)
    table = velmora.regressors(study, fits, "rw", options=[1, 2])
    assert list(table.columns) == [
        "subject",
        "trial",
        "prediction_error",
        "value_1",
        "value_2",
        "probability_1",
        "probability_2",
    ]
    one = table[table["subject"] == "p0"]
    data = study[study["subject"] == "p0"]
    params = fits.set_index("subject").loc["p0"].to_dict()
    trials = choice_trials("rw", "softmax", data["input"].to_numpy(), data["response"].to_numpy() - 1.0, params, 2)
    np.testing.assert_array_equal(one[["value_1", "value_2"]].to_numpy(), trials["values"])
    # The chosen option's prediction error: its outcome less its value before the trial; none if missed.
    chosen = (data["response"].to_numpy() - 1.0).astype(float)
    ok = ~np.isnan(chosen)
    before = trials["values"][ok, chosen[ok].astype(int)]
    np.testing.assert_allclose(one["prediction_error"].to_numpy()[ok], data["input"].to_numpy()[ok] - before)
    assert np.isnan(one["prediction_error"].to_numpy()[5])
    np.testing.assert_allclose(one[["probability_1", "probability_2"]].sum(axis=1), 1.0, rtol=1e-15)


@pytest.mark.parametrize(
    "where, options, error",
    [
        ("fit_many", [1, 3], "2 at participant 'p0', trial 0 is not one of the options \\[1, 3\\]"),
        ("fit_group", [1, 3], "2 at participant 'p0', trial 0 is not one of the options"),
        ("fit_many", [1, 1], "distinct"),
        ("fit_many", [1], "from 2 to 32 labels"),
        ("fit_many", "12", "a sequence of option labels"),
    ],
)
def test_bad_labels_are_refused_before_any_work(study, where, options, error):
    function = getattr(velmora, where)
    with pytest.raises((ValueError, TypeError), match=error):
        function(study, "rw", options=options)


def test_options_belong_to_the_models_that_choose():
    with pytest.raises(ValueError, match="does not choose among options"):
        velmora.fit("td", np.ones(5), np.ones(5), options=[0, 1])
    with pytest.raises(ValueError, match="exactly 2 options"):
        velmora.fit("rw_fictitious", np.ones(5), np.zeros(5), options=[0, 1, 2])


def test_closed_loop_simulation_is_its_seeds_and_the_labels_only_name_the_choices():
    table = velmora.payoffs(REVERSAL, seed=2)
    params = {"learning_rate": 0.4, "beta": 3.0}
    a = velmora.simulate("rw", table, params, seed=11)
    b = velmora.simulate("rw", table, params, seed=11, options=[10, 20])
    c = velmora.simulate("rw", table, params, seed=12)
    np.testing.assert_array_equal(b.responses, np.where(a.responses == 0, 10.0, 20.0))
    np.testing.assert_array_equal(a.outcomes, b.outcomes)
    assert not np.array_equal(a.responses, c.responses)
    # Each outcome is what the chosen option paid on that trial.
    np.testing.assert_array_equal(a.outcomes, table[np.arange(len(table)), a.responses.astype(int)])
    frame = b.to_frame()
    assert {"payoff_10", "payoff_20", "response", "outcome", "value_10", "probability_20"} <= set(frame.columns)


def test_payoffs_follow_their_probabilities():
    drawn = velmora.payoffs(np.tile([[0.9, 0.1, 0.5]], (20000, 1)), seed=4)
    np.testing.assert_allclose(drawn.mean(axis=0), [0.9, 0.1, 0.5], atol=0.01)
    np.testing.assert_array_equal(drawn, velmora.payoffs(np.tile([[0.9, 0.1, 0.5]], (20000, 1)), seed=4))
    with pytest.raises(ValueError, match="in \\[0, 1\\]"):
        velmora.payoffs([[0.5, 1.5]])


def test_command_line_fits_labelled_choices_and_names_a_bad_one(study, fits, tmp_path, capsys):
    path = tmp_path / "study.csv"
    study.rename(columns={"input": "outcome", "response": "choice"}).to_csv(path, index=False)
    args = ["fit", path, "--model", "rw", "--response-column", "choice", "--input-column", "outcome"]
    assert cli.main([str(a) for a in [*args, "--options", "1,2", "--output", tmp_path / "fits.csv"]]) == 0
    written = pd.read_csv(tmp_path / "fits.csv")
    np.testing.assert_allclose(written["learning_rate"], fits["learning_rate"], rtol=1e-15)
    capsys.readouterr()
    assert cli.main([str(a) for a in [*args, "--options", "1,3"]]) == 1
    assert "is not one of the options [1, 3]" in capsys.readouterr().err
    with pytest.raises(SystemExit) as usage:
        cli.main([str(a) for a in [*args, "--options", "one,two"]])
    assert usage.value.code == 2


def test_the_picture_has_a_panel_per_participant_with_a_line_per_option(study, fits):
    pytest.importorskip("matplotlib")
    figure = velmora.plot_option_choices(study, fits, "rw", options=[1, 2], participants=4)
    drawn = [ax for ax in figure.axes if ax.get_lines()]
    assert len(drawn) == 4
    assert all(ax.get_xlabel() in ("trial", "") for ax in drawn)
    probability = drawn[0].get_lines()[0].get_ydata()
    assert probability.size == 120 and math.isclose(float(probability[0]), 0.5)


@pytest.mark.parametrize("model", ["rw", "kalman_bandit"])
def test_results_pickle_with_their_option_fields(model, tmp_path):
    # A choosing model's trajectory class is made at run time from its option labels; a fit and a
    # simulation still pickle, and load in a fresh interpreter that has not made the class yet.
    import pickle
    import subprocess
    import sys

    params = {"learning_rate": 0.4, "beta": 3.0}
    if model == "kalman_bandit":
        params = {
            "decay": 0.9,
            "decay_center": 0.5,
            "diffusion_noise": 0.3,
            "initial_mean": 0.5,
            "initial_var": 1.0,
            "beta": 3.0,
        }
    sim = velmora.simulate(model, velmora.payoffs(REVERSAL, seed=2), params, seed=4, options=[10, 20])
    fit = velmora.fit(model, sim.outcomes, sim.responses, options=[10, 20])
    for protocol in (0, pickle.HIGHEST_PROTOCOL):
        again = pickle.loads(pickle.dumps(fit, protocol))
        assert again == fit and type(again.trajectory) is type(fit.trajectory)
        assert pickle.loads(pickle.dumps(sim, protocol)).trajectory == sim.trajectory
    path = tmp_path / "fit.pickle"
    path.write_bytes(pickle.dumps(fit))
    code = (
        "import pickle, sys; fit = pickle.loads(open(sys.argv[1], 'rb').read()); "
        "print(sorted(f for f in fit.trajectory.fields if f.startswith('probability')))"
    )
    run = subprocess.run(
        [sys.executable, "-c", code, str(path)], capture_output=True, text=True, check=True, timeout=300
    )
    assert run.stdout.strip() == "['probability_10', 'probability_20']"


@pytest.mark.parametrize("lapse", [-0.5, 1.5, 2.0])
def test_simulation_refuses_a_lapse_that_is_no_share(lapse):
    # (1 - lapse) * softmax + lapse / K is a probability only for a lapse in [0, 1]; beyond it the
    # agent would draw from negative or NaN probabilities.
    table = velmora.payoffs(np.tile([[0.8, 0.2, 0.5, 0.4]], (30, 1)), seed=1)
    params = {"learning_rate": 0.5, "beta": 3.0, "lapse": lapse}
    with pytest.raises(ValueError, match="parameter 'lapse': must be in \\[0, 1\\]"):
        velmora.simulate("rw", table, params, seed=1)
    frame = pd.DataFrame({"subject": ["a"], **{name: [value] for name, value in params.items()}})
    with pytest.raises(ValueError, match="lapse"):
        velmora.simulate_many("rw", frame, table, seed=1)


def test_simulate_many_lets_numpys_memory_error_through(monkeypatch):
    # NumPy's MemoryError takes a shape and a dtype, not a message: renaming it for the participant
    # turned it into a TypeError about its constructor.
    import velmora.simulation

    def out_of_memory(*args, **kwargs):
        np.empty(1 << 45)  # 256 TiB: refused at once, with no page touched

    monkeypatch.setattr(velmora.simulation, "simulate", out_of_memory)
    params = pd.DataFrame({"subject": ["a"], "learning_rate": [0.3], "beta": [3.0]})
    with pytest.raises(MemoryError):
        velmora.simulate_many("rw", params, velmora.payoffs(REVERSAL, seed=1), seed=1)


@pytest.mark.parametrize("values", [(np.inf, 0.0), (1.0, -np.inf), (1.0, 0.0, 2.0), (1.0,)])
def test_payoffs_refuse_values_no_simulation_takes(values):
    # An infinite payoff made a table that simulate then refused; a third value was silently dropped.
    with pytest.raises(ValueError, match="values: a pair of payoffs"):
        velmora.payoffs(REVERSAL, seed=1, values=values)
    # NaN stays allowed: a trial on which that option shows no outcome.
    assert np.isnan(velmora.payoffs(REVERSAL, seed=1, values=(1.0, np.nan))).any()
