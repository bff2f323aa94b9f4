"""Recovery, model recovery, power and predictive checks: every summary number is what its own raw
table gives by a direct computation, every raw row is what velmora.simulate and velmora.fit give for
that participant, and the tables repeat from the seed wherever they run."""

from __future__ import annotations

import contextlib
import importlib
import math
import multiprocessing
import re
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import velmora
from velmora.bms import bms
from velmora.executors import SerialExecutor

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"


def rewards(n=60, seed=1):
    return (np.random.default_rng(seed).random(n) < 0.7).astype(float)


def walk(n=80, seed=2):
    return np.cumsum(np.random.default_rng(seed).normal(0.0, 0.3, n))


CASES = {"td": rewards, "hgf": walk, "kalman": walk}


@pytest.fixture(scope="module", params=["td", "hgf"])
def recovered(request):
    model = request.param
    return velmora.recovery(model, CASES[model](), n=30, seed=5, threads=2)


def test_recovery_table_is_the_raw_tables_statistics(recovered):
    for name, rows in recovered.raw.groupby("parameter"):
        row = recovered.table.set_index("parameter").loc[name]
        truth, estimate, se = rows["truth"].to_numpy(), rows["estimate"].to_numpy(), rows["se"].to_numpy()
        assert np.isfinite(estimate).all()
        assert row["r"] == pytest.approx(stats.pearsonr(truth, estimate)[0], rel=1e-12)
        assert row["bias"] == pytest.approx(np.mean(estimate - truth), rel=1e-12, abs=1e-15)
        assert row["rmse"] == pytest.approx(math.sqrt(np.mean((estimate - truth) ** 2)), rel=1e-12)
        inside = [
            abs(e - t) <= stats.norm.ppf(0.975) * s if math.isfinite(s) else False
            for t, e, s in zip(truth, estimate, se)
        ]
        assert row["coverage"] == pytest.approx(np.mean(inside), abs=1e-15)
        assert row["converged"] == np.mean(rows["converged"]) and row["se_finite"] == np.mean(np.isfinite(se))
        assert row["n"] == len(rows)
    assert set(recovered.table["parameter"]) == set(recovered.transforms)


def test_each_recovery_row_is_simulate_then_fit_of_that_participant(recovered):
    from velmora.models import PARAMS, RESPONSE_PARAMS

    model = recovered.model
    transforms = {name: p.transform for name, p in {**PARAMS[model], **RESPONSE_PARAMS["gaussian"]}.items()}
    for participant in (0, 17):
        rows = recovered.raw[recovered.raw["participant"] == participant].set_index("parameter")
        truth = rows["truth_natural"].to_dict()
        sim = velmora.simulate(model, CASES[model](), truth, seed=int(rows["simulation_seed"].iloc[0]))
        fit = velmora.fit(model, CASES[model](), sim.responses, seed=int(rows["fit_seed"].iloc[0]))
        for name in rows.index:
            assert rows.loc[name, "estimate_natural"] == pytest.approx(fit.params[name], rel=1e-12)
            # The transformed SE: the natural one divided by d natural / d transformed.
            value = fit.params[name]
            rate = {"log": value, "logit": value * (1 - value), "identity": 1.0}[transforms[name]]
            assert rows.loc[name, "se"] == pytest.approx(fit.se[name] / abs(rate), rel=1e-9)
            assert rows.loc[name, "converged"] == fit.converged


def test_default_truths_lie_in_the_priors_central_range(recovered):
    from velmora.models import PARAMS, RESPONSE_PARAMS

    priors = {**PARAMS[recovered.model], **RESPONSE_PARAMS["gaussian"]}
    for name, rows in recovered.raw.groupby("parameter"):
        mean, var = priors[name].prior
        assert (np.abs(rows["truth"] - mean) <= math.sqrt(var) + 1e-12).all()


def test_a_sampler_and_a_table_of_truths_give_the_same_result():
    def sampler(rng):
        return {"initial_value": rng.uniform(0, 1), "learning_rate": rng.uniform(0.1, 0.9), "zeta": 0.05}

    by_sampler = velmora.recovery("td", rewards(), n=6, params=sampler, seed=3, threads=1)
    table = by_sampler.raw.pivot(index="participant", columns="parameter", values="truth_natural")
    by_table = velmora.recovery("td", rewards(), n=6, params=table.reset_index(drop=True), seed=3, threads=1)
    pd.testing.assert_frame_equal(by_sampler.raw, by_table.raw, check_exact=True)
    assert (by_sampler.raw[by_sampler.raw["parameter"] == "zeta"]["truth_natural"] == 0.05).all()


def test_a_held_parameter_is_held_in_truth_and_fit():
    result = velmora.recovery("td", rewards(), n=5, fixed={"initial_value": 0.5}, seed=2, threads=1)
    assert set(result.raw["parameter"]) == {"learning_rate", "zeta"}


def test_a_table_of_truths_must_keep_a_held_parameter_at_its_held_value():
    table = pd.DataFrame({"initial_value": [0.5, 0.2], "learning_rate": [0.3, 0.4], "zeta": [0.1, 0.1]})
    with pytest.raises(ValueError, match="participant 1: 'initial_value' is 0.2, but the fit holds it at 0.5"):
        velmora.recovery("td", rewards(), n=2, params=table, fixed={"initial_value": 0.5}, threads=1)
    held = table.assign(initial_value=0.5)
    velmora.recovery("td", rewards(), n=2, params=held, fixed={"initial_value": 0.5}, threads=1)


@pytest.mark.parametrize(
    ("inputs", "params"),
    [
        (np.array([]), None),
        (np.zeros((10, 3)), None),
        (rewards(), pd.DataFrame({"initial_value": [0.5], "learning_rate": [1.5], "zeta": [0.1]})),
    ],
)
def test_recovery_refuses_a_design_or_truths_no_participant_can_be_simulated_on(inputs, params):
    with pytest.raises(ValueError, match="every participant's simulation failed"):
        velmora.recovery("td", inputs, n=1, params=params, threads=1)


@contextlib.contextmanager
def executor_named(where):
    if where == "serial":
        yield SerialExecutor()
    elif where == "spawned processes":
        with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
            yield pool
    else:
        distributed = pytest.importorskip("distributed")
        with (
            distributed.LocalCluster(
                n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None
            ) as cluster,
            distributed.Client(cluster) as client,
        ):
            yield client.get_executor()


class LostEveryTask(SerialExecutor):
    def submit(self, fn, /, *args, **kwargs):
        return super().submit(self.lose)

    @staticmethod
    def lose():
        raise RuntimeError("worker lost")


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda ex: velmora.recovery("td", rewards(), n=5, executor=ex), "5 of 5 participant tasks failed"),
        (
            lambda ex: velmora.power(
                "td", rewards(), effect={"learning_rate": 1.0}, n_participants=[6], n_studies=3, executor=ex
            ),
            "3 of 3 study tasks failed",
        ),
    ],
)
def test_an_executor_that_loses_every_task_is_an_error_that_counts_them(call, message):
    with pytest.raises(RuntimeError, match=re.escape(message)):
        call(LostEveryTask())


@pytest.mark.parametrize("where", ["serial", "spawned processes", "dask"])
def test_tables_are_the_same_here_and_on_an_executor(where):
    here = velmora.recovery("td", rewards(), n=70, seed=9, threads=2)
    models = velmora.model_recovery(["td", "kalman"], walk(), n=8, seed=4, threads=2)
    checks = velmora.power("td", rewards(), effect={"learning_rate": 1.0}, n_participants=[8], n_studies=3, seed=1)
    with executor_named(where) as executor:
        there = velmora.recovery("td", rewards(), n=70, seed=9, executor=executor)
        models_there = velmora.model_recovery(["td", "kalman"], walk(), n=8, seed=4, executor=executor)
        checks_there = velmora.power(
            "td", rewards(), effect={"learning_rate": 1.0}, n_participants=[8], n_studies=3, seed=1, executor=executor
        )
    pd.testing.assert_frame_equal(here.raw, there.raw, check_exact=True)
    pd.testing.assert_frame_equal(here.table, there.table, check_exact=True)
    pd.testing.assert_frame_equal(models.raw, models_there.raw, check_exact=True)
    pd.testing.assert_frame_equal(checks.raw, checks_there.raw, check_exact=True)


def test_recovery_repeats_from_its_seed_and_differs_with_another():
    a, b = (velmora.recovery("td", rewards(), n=5, seed=s, threads=1) for s in (4, 4))
    c = velmora.recovery("td", rewards(), n=5, seed=5, threads=1)
    pd.testing.assert_frame_equal(a.raw, b.raw, check_exact=True)
    assert not np.array_equal(a.raw["truth"], c.raw["truth"])


def _benchmark():
    if str(BENCHMARKS) not in sys.path:
        sys.path.insert(0, str(BENCHMARKS))
    return importlib.import_module("recovery")  # benchmarks/recovery.py


@pytest.mark.parametrize("title", ["hgf responses", "td responses"])
def test_recovery_repeats_the_benchmark_pages_table_for_its_seeds(title):
    bench = _benchmark()
    index = [case.title for case in bench.CASES].index(title)
    case, n = bench.CASES[index], 12
    # The benchmark's draws for each participant, in its order: truth, inputs, then the simulation seed.
    truths, inputs, seeds = [], [], []
    for i in range(n):
        rng = np.random.default_rng([index, i])
        theta = bench.draw_truth(case, rng)
        truths.append(bench.to_natural(case.model, theta))
        inputs.append(bench.inputs_for(case, rng))
        seeds.append(int(rng.integers(2**31)))
    ours = velmora.recovery(
        case.model, inputs, n=n, params=pd.DataFrame(truths), simulation_seeds=seeds, fit_seed=0, threads=2
    )
    theirs = bench.run_case(SerialExecutor(), index, n, False, 2)
    for j, name in enumerate(case.ranges):
        rows = ours.raw[ours.raw["parameter"] == name]
        np.testing.assert_array_equal(rows["estimate"].to_numpy(), theirs["estimate"][:, j])
        np.testing.assert_array_equal(rows["se"].to_numpy(), theirs["se"][:, j])
        np.testing.assert_allclose(rows["truth"].to_numpy(), theirs["truth"][:, j], rtol=1e-12)
    printed = {line.split("|")[2].strip(" `"): line.split("|") for line in bench.summary_rows(case, theirs)}
    for name, row in ours.table.set_index("parameter").iterrows():
        cells = printed[name]
        assert f"{row['r']:.3f}" == cells[4].strip() and f"{row['rmse']:.3f}" == cells[6].strip()
        assert f"{row['coverage']:.3f}" == cells[7].strip() and f"{row['converged']:.3f}" == cells[9].strip()


def test_model_recovery_counts_are_the_raw_evidences():
    result = velmora.model_recovery(["kalman", "hgf", "td"], walk(), n=10, seed=3, threads=2)
    lme = result.raw[[f"lme_{m}" for m in result.models]].to_numpy()
    for g in result.models:
        mine = (result.raw["generating"] == g).to_numpy()
        winners = [result.models[k] for k in np.argmax(lme[mine], axis=1)]
        for m in result.models:
            assert result.confusion.loc[g, m] == winners.count(m) / mine.sum()
        np.testing.assert_array_equal(result.selection.loc[g].to_numpy(), bms(lme[mine]).exceedance)
    assert np.allclose(result.confusion.sum(axis=1), 1.0)


@pytest.mark.parametrize(
    ("models", "response_model", "error"),
    [
        ("td", None, TypeError),
        (["td", "hgf_binary"], None, ValueError),
        (["td", "discount"], "logistic", ValueError),
        (["td", "rw"], None, ValueError),
    ],
)
def test_model_recovery_refuses_models_whose_evidences_do_not_compare(models, response_model, error):
    with pytest.raises(error, match="sequence of model names|not fitted to the same inputs and responses"):
        velmora.model_recovery(models, rewards(), n=2, response_model=response_model, threads=1)


@pytest.mark.parametrize("method", ["group", "two-stage"])
def test_power_table_is_the_raw_studies_statistics(method):
    from statsmodels.stats.proportion import proportion_confint

    result = velmora.power(
        "td", rewards(), effect={"learning_rate": 1.5}, n_participants=[8, 16], n_studies=6, method=method, seed=2
    )
    assert len(result.raw) == 12
    for n, rows in result.raw.groupby("n_participants"):
        row = result.table.set_index("n_participants").loc[n]
        detected = (rows["p_value"] < 0.05).sum()
        assert row["detection_rate"] == detected / len(rows)
        low, high = proportion_confint(detected, len(rows), alpha=0.05, method="wilson")
        assert (row["detection_low"], row["detection_high"]) == pytest.approx((low, high), abs=1e-12)
        assert row["coverage"] == rows["covered"].mean()
        assert row["estimate"] == pytest.approx(rows["estimate"].mean(), rel=1e-12)
    # The intervals' coverage, against the truth, as the raw rows' own numbers give it.
    df = result.raw["n_participants"] - 2
    if method == "group":
        half = stats.t.ppf(0.975, df) * result.raw["se"]
        assert (result.raw["covered"] == ((result.raw["estimate"] - result.difference).abs() <= half)).all()
    assert (result.raw["true_difference"] == result.difference).all()


def test_power_under_no_effect_detects_at_about_the_tests_level():
    # 60 studies: a rate of 0.05 gives more than 9 detections with probability under 0.2 %.
    result = velmora.power(
        "td", rewards(40), effect={"learning_rate": 0.0}, n_participants=[20], n_studies=60, method="two-stage", seed=8
    )
    assert result.table["detection_rate"].iloc[0] <= 0.15


def test_power_rejects_an_effect_on_a_parameter_that_is_not_free():
    with pytest.raises(ValueError, match="not a free parameter"):
        velmora.power("td", rewards(), effect={"beta": 1.0}, n_participants=[8], n_studies=2)


@pytest.mark.parametrize(
    "given",
    [
        {"effect": {"learning_rate": math.inf}},
        {"effect": {"learning_rate": math.nan}},
        {"effect": {"learning_rate": 1.0}, "group_sd": {"learning_rate": -0.5}},
        {"effect": {"learning_rate": 1.0}, "group_sd": {"zeta": 0.0}},
        {"effect": {"learning_rate": 1.0}, "group_mean": {"zeta": math.nan}},
    ],
)
def test_power_refuses_a_population_or_effect_that_is_not_a_number_of_sds(given):
    with pytest.raises(ValueError, match="effect must be a finite|group_sd of|group_mean of"):
        velmora.power("td", rewards(), n_participants=[6], n_studies=1, **given)


@pytest.mark.parametrize("method", ["group", "two-stage"])
def test_power_leaves_out_a_participant_whose_model_cannot_run_at_its_drawn_values(method):
    # About a quarter of the binary HGF's default population diverges on this design.
    outcomes = (np.random.default_rng(0).random(100) < 0.6).astype(float)
    result = velmora.power(
        "hgf_binary", outcomes, effect={"omega2": 1.0}, n_participants=[12], n_studies=3, method=method, threads=1
    )
    assert result.raw["failed_simulations"].sum() > 0
    assert np.isfinite(result.raw["p_value"]).all()


def test_a_sample_size_given_twice_is_simulated_once():
    options = {"effect": {"learning_rate": 1.0}, "n_studies": 2, "method": "two-stage", "seed": 4, "threads": 1}
    twice = velmora.power("td", rewards(), n_participants=[8, 6, 8], **options)
    once = velmora.power("td", rewards(), n_participants=[8, 6], **options)
    pd.testing.assert_frame_equal(twice.raw, once.raw, check_exact=True)
    assert (twice.table["n_studies"] == 2).all()


@pytest.fixture(scope="module")
def checked():
    rng = np.random.default_rng(1)
    truth = pd.DataFrame(
        {"subject": range(12), "initial_value": 0.5, "learning_rate": rng.uniform(0.2, 0.6, 12), "zeta": 0.1}
    )
    data = velmora.simulate_many("td", truth, rewards(50), seed=3)
    fits = velmora.fit_many(data, "td", progress=False, threads=2)
    return fits, data, velmora.predictive_check(fits, data, n_simulations=40, seed=6)


def test_predictive_check_numbers_are_its_raw_tables(checked):
    fits, data, result = checked
    for key, rows in result.raw.groupby("participant"):
        row = result.participants.set_index("subject").loc[key]
        observed = data.loc[data["subject"] == key, "response"].mean()
        assert row["observed"] == pytest.approx(observed, rel=1e-12)
        sims = rows["statistic"].to_numpy()
        assert row["p_value"] == np.mean(sims > row["observed"]) + 0.5 * np.mean(sims == row["observed"])
        assert row["simulated_mean"] == pytest.approx(sims.mean(), rel=1e-12)
    curve = data.groupby("trial")["response"].mean().to_numpy()
    np.testing.assert_allclose(result.curve["observed"].to_numpy(), curve, rtol=1e-12)


def test_a_statistic_that_is_not_a_number_has_no_predictive_p_value(checked):
    fits, data, result = checked
    silent = data.copy()
    silent.loc[silent["subject"] == 0, "response"] = np.nan  # a participant who missed every trial
    again = velmora.predictive_check(fits, silent, n_simulations=40, seed=6)
    p = again.participants.set_index("subject")["p_value"]
    assert math.isnan(p.loc[0])
    pd.testing.assert_series_equal(p.drop(0), result.participants.set_index("subject")["p_value"].drop(0))
    every = velmora.predictive_check(fits, data, n_simulations=3, seed=6, statistic=lambda y: math.nan)
    assert every.participants["p_value"].isna().all()


def test_a_predictive_check_of_a_chooser_simulates_it_on_its_payoffs_with_its_labels():
    table = velmora.payoffs(np.tile([0.2, 0.8], (40, 1)), 3)
    people = []
    for s in range(3):
        sim = velmora.simulate("rw", table, {"learning_rate": 0.3, "beta": 3.0}, seed=s, options=[1, 2])
        people.append(pd.DataFrame({"subject": s, "input": sim.outcomes, "response": sim.responses}))
    data = pd.concat(people, ignore_index=True)
    fits = velmora.fit_many(data, "rw", options=[1, 2], progress=False, threads=1)
    designs = {s: table for s in range(3)}
    result = velmora.predictive_check(fits, data, n_simulations=4, designs=designs, options=[1, 2], seed=2)
    # Every simulated choice is one of the labels: the statistic, a mean choice, lies between them.
    assert result.raw["statistic"].between(1.0, 2.0).all()
    assert result.participants["observed"].between(1.0, 2.0).all()


def test_a_predictive_check_refuses_a_participant_fitted_twice(checked):
    fits, data, _ = checked
    twice = pd.concat([fits, fits.iloc[[3]]])
    twice.attrs = fits.attrs
    with pytest.raises(ValueError, match="participant 3 more than once"):
        velmora.predictive_check(twice, data, n_simulations=3)


def test_predictive_simulations_are_velmora_simulate_at_the_estimates(checked):
    fits, data, result = checked
    from velmora.stream import seeds
    from velmora.tables import participant_seed

    row = fits.iloc[3]
    key = row["subject"]
    params = {name: row[name] for name in ("initial_value", "learning_rate", "zeta")}
    first = int(seeds(1, participant_seed(participant_seed(6, "predictive"), key))[0])
    sim = velmora.simulate("td", rewards(50), params, seed=first)
    statistic = result.raw[(result.raw["participant"] == key) & (result.raw["simulation"] == 0)]["statistic"]
    assert statistic.iloc[0] == np.mean(sim.responses)


def test_predictive_check_repeats_on_an_executor(checked):
    fits, data, result = checked
    again = velmora.predictive_check(fits, data, n_simulations=40, seed=6, executor=SerialExecutor())
    pd.testing.assert_frame_equal(result.raw, again.raw, check_exact=True)
    pd.testing.assert_frame_equal(result.curve, again.curve, check_exact=True)


def _labelled(figure):
    for ax in figure.axes:
        if ax.get_label() == "<colorbar>":
            continue
        if not ax.axison:
            continue
        assert ax.get_xlabel() and ax.get_ylabel(), ax.get_title()
    return True


@pytest.mark.parametrize("which", ["recovery", "model recovery", "power", "predictive", "trajectory", "shrinkage"])
def test_every_picture_has_labelled_axes_and_legends(which, checked):
    pytest.importorskip("matplotlib")
    fits, data, check = checked
    if which == "recovery":
        figure = velmora.recovery("td", rewards(), n=10, seed=1, threads=1).plot()
    elif which == "model recovery":
        figure = velmora.model_recovery(["td", "kalman"], walk(), n=4, seed=1, threads=1).plot()
    elif which == "power":
        figure = velmora.power(
            "td", rewards(), effect={"learning_rate": 1.0}, n_participants=[8], n_studies=2, method="two-stage"
        ).plot()
    elif which == "predictive":
        figure = check.plot()
    elif which == "trajectory":
        from velmora.design_plots import trajectory_plot

        rows = data[data["subject"] == 0]
        fit = velmora.fit("td", rows["input"], rows["response"])
        figure = trajectory_plot("td", rows["input"], rows["response"], fit, n_draws=20)
    else:
        from velmora.design_plots import shrinkage_plot

        group = velmora.fit_group(data, "td", progress=False, max_iter=5)
        figure = shrinkage_plot(group, fits)
    assert _labelled(figure)
    plotted = [ax for ax in figure.axes if ax.axison and ax.get_label() != "<colorbar>" and ax.has_data()]
    assert plotted
    if which != "model recovery":
        assert all(ax.get_legend() is not None for ax in plotted)


@pytest.mark.parametrize(
    "command",
    [
        ["recovery", "--model", "td", "--n", "12"],
        ["model-recovery", "--models", "td,kalman", "--n", "5"],
        ["power", "--model", "td", "--effect", "learning_rate=1", "--n-participants", "8,12", "--n-studies", "3"],
    ],
)
def test_the_commands_write_the_functions_tables_and_pictures(command, tmp_path):
    pytest.importorskip("matplotlib")
    from velmora.cli import main

    design = tmp_path / "design.csv"
    pd.DataFrame({"input": walk(60)}).to_csv(design, index=False)
    out, picture = tmp_path / "out.csv", tmp_path / "out.png"
    argv = [*command, "--inputs", str(design), "--seed", "3", "-o", str(out), "--plot", str(picture), "--no-progress"]
    assert main(argv) == 0
    written = pd.read_csv(out)
    x = walk(60)
    if command[0] == "recovery":
        expected = velmora.recovery("td", x, n=12, seed=3).table
    elif command[0] == "model-recovery":
        result = velmora.model_recovery(["td", "kalman"], x, n=5, seed=3)
        expected = pd.concat(
            [
                result.confusion.reset_index().assign(measure="best_evidence"),
                result.selection.reset_index().assign(measure="exceedance"),
            ],
            ignore_index=True,
        )[["measure", "generating", "td", "kalman"]]
    else:
        expected = velmora.power(
            "td", x, effect={"learning_rate": 1.0}, n_participants=[8, 12], n_studies=3, seed=3
        ).table
    pd.testing.assert_frame_equal(written, expected.reset_index(drop=True), check_dtype=False, rtol=0, atol=0)
    assert picture.read_bytes().startswith(b"\x89PNG")


@pytest.mark.parametrize("command", ["recovery", "power"])
def test_the_commands_simulate_a_chooser_on_the_payoff_table_they_read(command, tmp_path):
    from velmora.cli import main

    table = velmora.payoffs(np.tile([0.2, 0.8], (40, 1)), 3)
    design, out = tmp_path / "payoffs.csv", tmp_path / "out.csv"
    pd.DataFrame(table, columns=["left", "right"]).to_csv(design, index=False)
    extra = (
        ["--n", "4"] if command == "recovery" else ["--effect", "beta=1", "--n-participants", "6", "--n-studies", "2"]
    )
    assert main([command, "--model", "rw", "--inputs", str(design), *extra, "-o", str(out), "--no-progress"]) == 0
    if command == "recovery":
        expected = velmora.recovery("rw", table, n=4).table
    else:
        expected = velmora.power("rw", table, effect={"beta": 1.0}, n_participants=[6], n_studies=2).table
    pd.testing.assert_frame_equal(pd.read_csv(out), expected, check_dtype=False, rtol=0, atol=0)


def test_a_command_refuses_an_effect_on_a_held_parameter_as_a_usage_error(tmp_path, capsys):
    from velmora.cli import main

    design = tmp_path / "design.csv"
    pd.DataFrame({"input": rewards()}).to_csv(design, index=False)
    argv = ["power", "--model", "td", "--inputs", str(design), "--effect", "beta=1", "--n-studies", "2"]
    assert main(argv) == 2
    assert "not a free parameter" in capsys.readouterr().err


@pytest.mark.parametrize("command", ["fit", "fit-group"])
def test_fit_and_fit_group_draw_the_learning_models(command, tmp_path):
    pytest.importorskip("matplotlib")
    from velmora.cli import main

    rng = np.random.default_rng(4)
    truth = pd.DataFrame(
        {
            "subject": range(10),
            "initial_value": 0.5,
            "learning_rate": rng.uniform(0.2, 0.6, 10),
            "zeta": np.exp(rng.normal(-2.0, 0.7, 10)),
        }
    )
    velmora.simulate_many("td", truth, rewards(), seed=1).to_csv(tmp_path / "study.csv", index=False)
    argv = [command, str(tmp_path / "study.csv"), "--model", "td", "-o", str(tmp_path / "out.csv")]
    argv += ["--plot", str(tmp_path / "out.png"), "--no-progress"]
    if command == "fit-group":
        argv += ["--fixed", "initial_value=0.5"]
    assert main(argv) == 0
    assert (tmp_path / "out.png").read_bytes().startswith(b"\x89PNG")


def test_a_comparison_summary_names_the_models_and_the_lowest_ibic(checked):
    fits, data, _ = checked
    kalman = velmora.fit_many(data, "kalman", progress=False)
    comparison = velmora.compare({"td": fits, "kalman": kalman})
    text = comparison.summary()
    table = comparison.to_frame()
    assert text.splitlines()[0] == f"velmora compare: 2 models over {len(fits)} participants"
    assert f"lowest iBIC: {table.loc[table['ibic'].idxmin(), 'model']}" in text
    assert all(name in text for name in ("td", "kalman", "exceedance", "Bayesian omnibus risk"))


@pytest.mark.parametrize("where", ["serial, small chunks", "spawned processes", "dask"])
def test_fit_group_on_an_executor_is_the_in_process_fit(where, monkeypatch):
    from velmora._group import engine

    rng = np.random.default_rng(11)
    n = 40
    truth = pd.DataFrame(
        {
            "subject": [f"p{i:02d}" for i in range(n)],
            "initial_value": 0.5,
            "learning_rate": 1 / (1 + np.exp(-rng.normal(-0.5, 0.6, n))),
            "zeta": np.exp(rng.normal(-2.0, 0.5, n)),
        }
    )
    study = velmora.simulate_many("td", truth, rewards(), seed=2)
    covariates = pd.DataFrame({"subject": truth["subject"], "group": np.repeat(["a", "b"], n // 2)})
    options = {"covariates": covariates, "fixed": {"initial_value": 0.5}, "progress": False, "n_samples": 50}
    here = velmora.fit_group(study, "td", threads=2, **options)
    if where.startswith("serial"):
        monkeypatch.setattr(engine, "E_STEP_CHUNK", 7)  # several chunks, the last one short
        context = contextlib.nullcontext(SerialExecutor())
    else:
        context = executor_named(where)
    with context as executor:
        there = velmora.fit_group(study, "td", executor=executor, **options)
    pd.testing.assert_frame_equal(here.participants, there.participants, check_exact=True)
    pd.testing.assert_frame_equal(here.coefficients, there.coefficients, check_exact=True)
    assert (here.passes, here.log_likelihood, here.history) == (there.passes, there.log_likelihood, there.history)


def test_power_with_one_design_per_participant_is_power_with_the_shared_one():
    options = {"effect": {"learning_rate": 1.0}, "n_participants": [6, 9], "n_studies": 2, "method": "two-stage"}
    shared = velmora.power("td", rewards(), seed=4, **options)
    each = velmora.power("td", [rewards() for _ in range(9)], seed=4, **options)
    pd.testing.assert_frame_equal(shared.raw, each.raw, check_exact=True)


@pytest.mark.parametrize("model", ["rw", "rw_dual", "rw_fictitious", "kalman_bandit"])
def test_a_chooser_with_its_own_option_labels_is_recovered_and_powered_as_with_the_default_ones(model):
    # Simulated choices are the given labels: the fits must read them as those labels too.
    table = velmora.payoffs(np.tile([0.2, 0.8], (40, 1)), 3)
    labelled = velmora.recovery(model, table, n=4, response_model="softmax", options=[1, 2], seed=1, threads=1)
    default = velmora.recovery(model, table, n=4, response_model="softmax", seed=1, threads=1)
    assert (labelled.raw["error"] == "").all()
    pd.testing.assert_frame_equal(labelled.raw, default.raw, check_exact=True)
    options = {"effect": {"beta": 1.0}, "n_participants": [6], "n_studies": 1, "seed": 2, "threads": 1}
    powered = velmora.power(model, table, options=[1, 2], **options)
    pd.testing.assert_frame_equal(powered.raw, velmora.power(model, table, **options).raw, check_exact=True)
