"""Group-level estimation: the EM's fixed point, the integrated likelihood, covariates, bad input."""

import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import integrate, optimize
from scipy.special import expit

import velmora
import velmora.group

RNG = np.random.default_rng(11)
REWARDS = (RNG.random(30) < 0.7).astype(float)
HELD = {"initial_value": 0.5, "zeta": 0.05}
KEYS = [f"p{i:03d}" for i in range(6)]


def td_study(n, shift=0.0, seed=1):
    rates = expit(RNG.normal(-1.0, 0.5, n) + shift * (np.arange(n) < n // 2))
    truth = pd.DataFrame({"subject": [f"p{i:03d}" for i in range(n)], "learning_rate": rates, **HELD})
    return velmora.simulate_many("td", truth, REWARDS, seed=seed)


@pytest.mark.parametrize("full", [False, True])
def test_m_step_maximises_the_expected_log_prior_of_the_laplace_posteriors(full):
    # Given each participant's Laplace posterior N(theta_i, V_i), the M-step's (b, Sigma) maximise
    # sum_i E[log N(theta; X_i b, Sigma)] = sum_i log N(theta_i; X_i b, Sigma) - tr(Sigma^-1 V_i) / 2.
    n, m = 15, 2
    theta = RNG.normal(size=(n, m))
    roots = RNG.normal(scale=0.3, size=(n, m, m))
    post_cov = roots @ roots.transpose(0, 2, 1) + 0.01 * np.eye(m)
    design = np.column_stack([np.ones(n), RNG.normal(size=n)])

    def unpack(x):
        b = x[:4].reshape(2, m)
        lower = np.zeros((m, m))
        lower[np.tril_indices(m)] = x[4:] if full else 0.0
        if not full:
            lower[np.diag_indices(m)] = x[4:6]
        return b, lower @ lower.T

    def negative_q(x):
        b, sigma = unpack(x)
        precision = np.linalg.inv(sigma)
        d = theta - design @ b
        return 0.5 * (np.einsum("ni,ij,nj->", d, precision, d) + np.einsum("ij,nji->", precision, post_cov)
                      + n * np.linalg.slogdet(sigma)[1])

    start = np.concatenate([np.zeros(4), [1.0, 0.0, 1.0] if full else [1.0, 1.0]])
    best = optimize.minimize(negative_q, start, method="BFGS", options={"gtol": 1e-9})
    b, sigma = velmora.group._m_step(theta, post_cov, design, full)
    expected_b, expected_sigma = unpack(best.x)
    np.testing.assert_allclose(b, expected_b, atol=1e-5)
    np.testing.assert_allclose(sigma, expected_sigma, atol=1e-5)


def test_participants_are_fitted_under_the_group_prior_the_em_settles_on():
    data = td_study(20)
    group = velmora.fit_group(data, "td", fixed=HELD, tol=1e-9, max_iter=500, progress=False)
    assert group.converged and np.all(np.diff(group.history)[1:] > -1e-6)
    one = velmora.fit("td", REWARDS, data[data.subject == "p003"].response, fixed=HELD,
                      priors={"learning_rate": (group.mean["learning_rate"], group.cov.iloc[0, 0])},
                      seed=velmora.study.participant_seed(0, "p003"), n_starts=1)
    assert group.participants.set_index("subject").loc["p003", "learning_rate"] == pytest.approx(
        one.params["learning_rate"], rel=1e-6)


def test_integrated_likelihood_and_ibic_match_direct_integration():
    data = td_study(8)
    group = velmora.fit_group(data, "td", fixed=HELD, n_samples=40000, progress=False)
    mu, var = group.mean["learning_rate"], group.cov.iloc[0, 0]
    total = 0.0
    for key, rows in data.groupby("subject"):
        def density(theta, y=rows.response.to_numpy()):
            fit = velmora.fit("td", REWARDS, y, fixed={**HELD, "learning_rate": float(expit(theta))})
            return np.exp(-fit.nll) * np.exp(-(theta - mu) ** 2 / (2 * var)) / np.sqrt(2 * np.pi * var)
        total += np.log(integrate.quad(density, mu - 8 * np.sqrt(var), mu + 8 * np.sqrt(var), limit=200)[0])
    assert group.log_likelihood == pytest.approx(total, abs=0.05)
    assert group.ibic == pytest.approx(-2 * group.log_likelihood + 2 * np.log(8 * 30))


def test_a_covariate_answers_whether_a_group_learns_faster():
    data = td_study(80, shift=1.5)
    covariates = pd.DataFrame({"subject": sorted(data.subject.unique()),
                               "group": np.where(np.arange(80) < 40, "patient", "control")})
    group = velmora.fit_group(data, "td", fixed=HELD, covariates=covariates, progress=False)
    effect = group.coefficients.set_index(["parameter", "term"]).loc[("learning_rate", "group_patient")]
    assert effect.estimate == pytest.approx(1.5, abs=0.5) and effect.p_value < 1e-3
    null = velmora.fit_group(data, "td", fixed=HELD, progress=False)
    assert len(null.coefficients) == 1 and null.coefficients.term[0] == "intercept"
    assert null.sd["learning_rate"] > group.sd["learning_rate"]  # the covariate explains spread


def test_participants_with_bad_data_are_left_out_and_named():
    data = td_study(12)
    data.loc[data.subject == "p004", "response"] = np.nan  # every trial missed
    group = velmora.fit_group(data, "td", fixed=HELD, progress=False)
    rows = group.participants.set_index("subject")
    assert list(group.excluded) == ["p004"] and "every trial is missing" in rows.loc["p004", "error"]
    assert np.isnan(rows.loc["p004", "learning_rate"]) and (rows.drop("p004").error == "").all()
    comparison = velmora.compare({"td": group, "td alone": velmora.fit_many(data, "td", fixed=HELD, progress=False)})
    assert comparison.to_frame().ibic[0] == group.ibic and np.isnan(comparison.to_frame().ibic[1])


@pytest.mark.parametrize("change, fragment", [
    (dict(method="mcmc"), "method must be one of"),
    (dict(covariance="banded"), "covariance must be one of"),
    (dict(max_iter=0), "max_iter must be an integer"),
    (dict(tol=-1.0), "tol must be a positive number"),
    (dict(covariates=pd.DataFrame({"subject": ["p000"], "age": [30.0]})), "no row for participant 'p001'"),
    (dict(covariates=pd.DataFrame({"subject": [f"p{i:03d}" for i in range(6)], "site": 1.0})), "linearly dependent"),
    (dict(fixed={**HELD, "learning_rate": 0.3}), "needs at least one free parameter"),
    (dict(response_model="poisson"), "unknown response model"),
    (dict(covariates=pd.DataFrame({"subject": KEYS, "g": ["a", "b", None, "a", "b", "a"]})), "no value of 'g'"),
    (dict(covariates=pd.DataFrame({"subject": KEYS, "g": "a"})), "has the one value 'a'"),
    (dict(covariates=pd.DataFrame({"subject": KEYS, "t": pd.date_range("2020", periods=6)})), "numeric or categorical"),
    (dict(covariates=pd.DataFrame({"subject": KEYS, "g": list("abcdef")})), "more participants with usable data"),
])
def test_what_is_wrong_for_every_participant_raises_before_any_fit(change, fragment, monkeypatch):
    def no_fit(*args):
        raise AssertionError("a fit started")

    monkeypatch.setattr(velmora._engine, "fit", no_fit)
    with pytest.raises(ValueError, match=fragment):
        velmora.fit_group(td_study(6), "td", **{"fixed": HELD, **change})


def test_command_line_fits_a_group_with_covariates(tmp_path):
    td_study(30, shift=1.0).to_csv(tmp_path / "study.csv", index=False)
    pd.DataFrame({"subject": [f"p{i:03d}" for i in range(30)], "group": ["a"] * 15 + ["b"] * 15}).to_csv(
        tmp_path / "groups.csv", index=False)
    run = subprocess.run([sys.executable, "-m", "velmora", "fit-group", "study.csv", "--model", "td",
                          "--fixed", "initial_value=0.5", "--covariates", "groups.csv", "--group", "group.csv",
                          "-o", "fits.csv", "--no-progress"], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    group = pd.read_csv(tmp_path / "group.csv")
    assert set(group.term) == {"intercept", "group_b", "sd"} and len(pd.read_csv(tmp_path / "fits.csv")) == 30
    run = subprocess.run([sys.executable, "-m", "velmora", "fit-group", "study.csv", "--model", "td",
                          "--covariates", "study.csv"], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 1 and "more than one row" in run.stderr


def test_covariates_are_read_over_the_participants_fitted():
    data = td_study(12)
    data.loc[data.subject == "p011", "response"] = np.nan  # the one participant of level "c", with no age
    levels = pd.Categorical(["a", "b"] * 5 + ["a", "c"], categories=["a", "b", "c", "unused"])
    covariates = pd.DataFrame({"subject": sorted(data.subject.unique()), "g": levels, "age": [*range(11), None]})
    group = velmora.fit_group(data, "td", fixed=HELD, covariates=covariates, progress=False)
    assert list(group.coefficients.term) == ["intercept", "age", "g_b"] and list(group.excluded) == ["p011"]
    with pytest.raises(ValueError, match="linearly dependent"):  # constant over the participants fitted
        velmora.fit_group(data, "td", fixed=HELD, covariates=covariates.assign(age=[0.0] * 11 + [1.0]), progress=False)


@pytest.mark.parametrize("method", ["laplace", "sampling"])
def test_a_participant_without_any_estimate_leaves_the_others_converging(method):
    rng = np.random.default_rng(0)
    data = pd.DataFrame({"subject": np.repeat([f"s{i}" for i in range(8)], 40), "input": rng.normal(size=320).cumsum()})
    data.loc[data.subject == "s3", "input"] *= 1e200  # the filter fails at every start
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        group = velmora.fit_group(data, "kalman", response=None, method=method, n_samples=200, progress=False)
    assert group.converged and list(group.excluded) == ["s3"] and np.isfinite(group.log_likelihood)


@pytest.mark.parametrize("method", ["laplace", "sampling"])
def test_sampling_participant_by_participant_changes_nothing(method, monkeypatch):
    data = td_study(6)
    whole = velmora.fit_group(data, "td", fixed=HELD, method=method, n_samples=50, threads=1, progress=False)
    monkeypatch.setattr(velmora.group, "_BLOCK_CELLS", 1)
    parts = velmora.fit_group(data, "td", fixed=HELD, method=method, n_samples=50, threads=1, progress=False)
    assert parts.log_likelihood == pytest.approx(whole.log_likelihood, rel=1e-12)
    np.testing.assert_allclose(parts.cov.to_numpy(), whole.cov.to_numpy(), rtol=1e-12)


def test_an_ibic_over_other_participants_is_not_compared():
    data = td_study(10)
    everyone = velmora.fit_group(data, "td", fixed=HELD, progress=False)
    data.loc[data.subject == "p004", "response"] = np.nan
    fewer = velmora.fit_group(data, "td", fixed=HELD, progress=False)
    with pytest.warns(UserWarning, match="other participants"):
        ibic = velmora.compare({"fewer": fewer, "everyone": everyone}).to_frame().ibic
    assert ibic[0] == fewer.ibic and np.isnan(ibic[1])


@pytest.mark.parametrize("call", [
    lambda e, p: e.evaluate("td", "gaussian", np.zeros(4), np.zeros(4, np.int64), np.ones(4, np.int64), np.zeros(4),
                            np.empty(0), 2**62, 0, 1, np.empty(0)),  # 4 x 2**62 draws wraps to 0
    lambda e, p: e.run("td", np.zeros(4), np.zeros(4, np.int64), np.zeros(4, np.int64), np.full(12, 0.5), None,
                       np.empty(0), 2**62, 1, 0),
    lambda e, p: e.fit("td", "gaussian", np.zeros(4), np.zeros(1, np.int64), np.full(1, 4), np.zeros(4), p,
                       np.ones(1, np.int64), np.full(1, 2), np.zeros(1), np.ones(1), np.zeros(1, np.uint64), 1, 1, 0,
                       np.empty(3), np.empty(1), np.empty(5), np.empty(1, np.int64), None, -np.eye(1), 0.0, None, None,
                       None),  # a precision of -1
])
def test_engine_refuses_sizes_that_wrap_and_priors_that_are_no_density(call):
    with pytest.raises(ValueError, match="disagree in size|positive definite"):
        call(velmora._engine, np.array([0.5, np.nan, 0.05]))


def test_engine_gives_no_likelihood_where_the_model_gives_nan():
    out = np.empty((1, 2))
    params = np.array([[[0.5, 0.3, 0.0], [0.5, 0.3, 1.0]]])  # a response variance of 0, then 1
    velmora._engine.evaluate("td", "gaussian", np.ones(3), np.zeros(1, np.int64), np.full(1, 3), np.ones(3), params, 2,
                             0, 1, out)
    assert out[0, 0] == np.inf and np.isfinite(out[0, 1])


@pytest.mark.parametrize("options, status, fragment", [
    (["--group", "./fits.csv", "-o", "fits.csv"], 2, "same file as --output"),
    (["--subject-column", "input"], 2, "given twice"),
    (["--covariates", "blank.csv"], 1, "participant 'p005' has no value of 'age'"),
])
def test_command_line_refuses_what_it_would_get_wrong(tmp_path, options, status, fragment):
    td_study(6).to_csv(tmp_path / "study.csv", index=False)
    rows = "".join(f"{key},{i}\n" for i, key in enumerate(KEYS[:5]))
    (tmp_path / "blank.csv").write_text(f"subject,age\n{rows}p005,\n")
    run = subprocess.run([sys.executable, "-m", "velmora", "fit-group", "study.csv", "--model", "td", "--no-progress",
                          *options], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == status and fragment in run.stderr and not (tmp_path / "fits.csv").exists()
