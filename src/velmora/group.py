"""Group-level estimation: empirical Bayes over a whole study by expectation-maximisation.

Each pass fits every participant's MAP estimate under the current group prior N(mu_i, Sigma) over
the free transformed parameters (the native batch fit, on every core), then sets the group prior
to the one that best explains those fits: mu_i = X_i b by least squares of the estimates on the
covariates (the mean without them), and Sigma the mean of (estimate - mu_i)(estimate - mu_i)' plus
each participant's posterior covariance (the inverse of the Hessian of its negative log joint;
its diagonal for a diagonal Sigma). With ``method="sampling"`` the E-step weights draws from each
participant's Laplace posterior by importance sampling, so that the M-step uses posterior means
and covariances instead of modes and curvatures (which a skewed posterior makes differ).
"""

from __future__ import annotations

import math
import numbers
import warnings
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora.conversion import thread_count
from velmora.executors import _progress_bar
from velmora.problem import natural_of, slope
from velmora.results import NO_ESTIMATE_CODE, aic_of, bic_of
from velmora.stream import check_seed, normal
from velmora.stream import seeds as derived_seeds
from velmora.tables import _require_columns, _split, input_columns

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]

__all__ = ["fit_group", "GroupFit"]

_METHODS = ("laplace", "sampling")
_COVARIANCES = ("diagonal", "full")
# Added to Sigma's diagonal so that a parameter every participant pins down exactly keeps a prior.
_JITTER = 1e-8
# The participants' table's column that marks it as a group fit's.
_GROUP_COLUMN = "group_prior"
# The names of the terms the group model has besides the covariates': the intercept, and each SD.
_RESERVED_TERMS = ("intercept", "sd")
# The default tolerance on the summed log joint, per participant.
_TOL_PER_PARTICIPANT = 1e-3
# About how many numbers each array of draws holds at a time (participants x draws x parameters).
_BLOCK_CELLS = 1 << 20
# The passes stop only once no group mean or SD has more than _LEFT_FRACTION of its standard error
# left to go at the rate EM's steps shrink; a step below _STEP_NOISE of it (where the participants'
# fits' own tolerance shows) counts as none.
_LEFT_FRACTION = 0.05
_STEP_NOISE = 1e-6


@dataclass(eq=False)
class GroupFit:
    """The result of :func:`fit_group`.

    ``mean`` and ``cov``: the group distribution of the free parameters in their transformed space
    (log, logit or identity, as :func:`velmora.fit` optimises them), at the covariates' zero when
    there are covariates; ``natural_mean`` maps ``mean`` back (the group median of each parameter).
    ``coefficients``: one row per parameter and term (``intercept``, the group mean without
    covariates, and each covariate) with its estimate, standard error, t statistic and two-sided
    p-value, in the transformed space. ``participants``: one row per participant with the columns of
    :func:`velmora.fit_many` (estimates under the fitted group prior, their standard errors,
    ``nll``, ``lme``, ...; with ``method="sampling"`` the estimates are posterior means, ``nll``,
    ``aic`` and ``bic`` the likelihood at them and ``lme`` the sampled log marginal likelihood).
    ``log_likelihood``: the data's log-likelihood integrated over the group prior, by importance
    sampling from each participant's posterior approximation, and ``log_likelihood_se`` its Monte
    Carlo standard error; ``ibic`` the integrated BIC: -2 log_likelihood + k log(trials) for the k
    group parameters (``ibic_se`` its standard error). ``sd_se``: the standard error of each group
    SD. ``passes``, ``converged`` and ``history`` (the summed log joint per pass) describe the EM run;
    ``excluded`` maps each participant left out of the group estimate to why, ``unconverged`` each
    one kept whose own fit under the group prior did not converge or has no standard errors.
    ``message`` says why the run stopped, and names any group SD still heading for 0 when it stopped
    unconverged (a boundary that more passes only creep towards).
    """

    model: str
    response_model: str
    method: str
    covariance: str
    free: tuple[str, ...]
    transforms: tuple[str, ...]
    mean: pandas.Series
    cov: pandas.DataFrame
    coefficients: pandas.DataFrame
    participants: pandas.DataFrame = field(repr=False)
    log_likelihood: float
    ibic: float
    n_group_params: int
    n_trials: int
    passes: int
    converged: bool
    history: list[float] = field(repr=False)
    excluded: dict[Any, str] = field(default_factory=dict)
    log_likelihood_se: float = math.nan
    unconverged: dict[Any, str] = field(default_factory=dict)
    sd_se: pandas.Series | None = None
    message: str = ""

    @property
    def ibic_se(self) -> float:
        """The Monte Carlo standard error of ``ibic``: twice that of ``log_likelihood``."""
        return 2.0 * self.log_likelihood_se

    @property
    def natural_mean(self) -> pandas.Series:
        import pandas as pd

        return pd.Series(
            {name: float(natural_of(t, np.array([self.mean[name]]))[0]) for name, t in zip(self.free, self.transforms)}
        )

    @property
    def sd(self) -> pandas.Series:
        """The group standard deviation of each transformed parameter."""
        import pandas as pd

        return pd.Series(np.sqrt(np.diag(self.cov.to_numpy())), index=list(self.free))

    def to_frame(self) -> pandas.DataFrame:
        """The participants' table (as :func:`velmora.fit_many` returns), which :func:`velmora.compare` reads."""
        return self.participants

    def group_frame(self) -> pandas.DataFrame:
        """The group estimates as one table: the coefficients, then each parameter's group ``sd``."""
        import pandas as pd

        spread = pd.DataFrame(
            {
                "parameter": list(self.free),
                "term": "sd",
                "estimate": self.sd.to_numpy(),
                "se": math.nan if self.sd_se is None else self.sd_se.to_numpy(),
            }
        )
        return pd.concat([self.coefficients, spread], ignore_index=True)

    def summary(self) -> str:
        lines = [
            f"velmora fit_group: {self.model}, response {self.response_model}, {self.method} E-step, "
            f"{self.covariance} covariance",
            f"{len(self.participants) - len(self.excluded)} participants, {self.n_trials} trials; {self.passes} "
            f"passes, converged: {self.converged}" + (f" ({self.message})" if self.message else ""),
            f"{'parameter':<24}{'mean (t)':>12}{'sd (t)':>12}{'median':>12}",
        ]
        natural = self.natural_mean
        for name in self.free:
            lines.append(f"{name:<24}{self.mean[name]:12.4g}{self.sd[name]:12.4g}{natural[name]:12.4g}")
        if len(self.coefficients) > len(self.free):
            lines.append(self.coefficients.to_string(index=False, float_format=lambda x: f"{x:.4g}"))
        lines.append(
            f"integrated log-likelihood {self.log_likelihood:.4f} (Monte Carlo se "
            f"{self.log_likelihood_se:.2g})  iBIC {self.ibic:.4f}"
        )
        if self.unconverged:
            lines.append(
                f"not converged under the group prior: {len(self.unconverged)} participant(s), e.g. "
                f"{next(iter(self.unconverged.items()))}"
            )
        if self.excluded:
            lines.append(f"excluded: {len(self.excluded)} participant(s), e.g. {next(iter(self.excluded.items()))}")
        return "\n".join(lines)

    def __repr__(self) -> str:
        return self.summary()


def _design(covariates: Any, keys: list[Any], subject: str) -> tuple[np.ndarray, list[str]]:
    """The design matrix (an intercept, then the covariates; categories as indicator columns) in the
    participants' order, and its terms' names."""
    import pandas as pd

    if covariates is None:
        return np.ones((len(keys), 1)), ["intercept"]
    if not isinstance(covariates, pd.DataFrame):
        raise TypeError(
            f"covariates must be a pandas DataFrame with one row per participant, got {type(covariates).__name__}"
        )
    table = covariates.set_index(subject) if subject in covariates.columns else covariates
    if table.index.duplicated().any():
        raise ValueError(f"covariates: participant {table.index[table.index.duplicated()][0]!r} has more than one row")
    missing = [k for k in keys if k not in table.index]
    if missing:
        raise ValueError(f"covariates: no row for participant {missing[0]!r}")
    if table.shape[1] == 0:
        raise ValueError("covariates: no column besides the participants' keys")
    rows = table.loc[keys].copy()
    absent = rows.isna().to_numpy()  # a blank would otherwise join the first category, or fail later as NaN
    if absent.any():
        at = np.argwhere(absent)[0]
        raise ValueError(f"covariates: participant {keys[at[0]]!r} has no value of {rows.columns[at[1]]!r}")
    reserved = [name for name in rows.columns if str(name) in _RESERVED_TERMS]
    if reserved:
        raise ValueError(
            f"covariates: a column may not be named {reserved[0]!r}, which names a term of the group "
            f"model ({' and '.join(map(repr, _RESERVED_TERMS))}); rename it"
        )
    for name in rows.columns:
        column = rows[name]
        text = not isinstance(column.dtype, pd.CategoricalDtype) and column.dtype.kind in "OUST"
        if (
            text
            and column.map(lambda v: isinstance(v, str)).all()
            and pd.to_numeric(column, errors="coerce").notna().all()
        ):
            raise ValueError(
                f"covariates: column {name!r} holds numbers written as text (e.g. {column.iloc[0]!r}): "
                "give it as numbers (pandas.to_numeric) to use it as a number, or as a "
                "pandas.Categorical to use its values as categories"
            )
        if isinstance(column.dtype, pd.CategoricalDtype):  # levels no participant has are no indicator
            rows[name] = column = column.cat.remove_unused_categories()
        if column.dtype.kind not in "biuf" and column.nunique() < 2:  # its indicators would all be dropped
            raise ValueError(
                f"covariates: column {name!r} has the one value {column.iloc[0]!r} for every "
                "participant; it cannot explain a difference between them"
            )
    numeric = pd.get_dummies(rows, drop_first=True, dtype=np.float64)
    other = [f"{name!r} ({dtype})" for name, dtype in numeric.dtypes.items() if dtype.kind not in "biuf"]
    if other:  # dates and complex numbers would otherwise be read as nanoseconds or their real part
        raise ValueError(f"covariates: every column must be numeric or categorical, not {other[0]}")
    names = [str(name) for name in numeric.columns]
    again = next((name for name in names if names.count(name) > 1), None)
    if again is not None:  # a numeric g_b beside category b of a categorical g
        raise ValueError(
            f"covariates: two terms would be named {again!r} (a column of that name and a category of "
            "another column's indicator); rename one of the columns"
        )
    x = numeric.to_numpy(dtype=np.float64)
    if not np.isfinite(x).all():
        at = np.argwhere(~np.isfinite(x))[0]
        raise ValueError(f"covariates: participant {keys[at[0]]!r} has no finite value of {numeric.columns[at[1]]!r}")
    return np.column_stack([np.ones(len(keys)), x]), ["intercept", *names]


def _check_design(x: np.ndarray, what: str) -> None:
    """ValueError unless the participants' rows of the design determine the regression with some
    spread left: as many terms as participants would fit every estimate exactly and take the group
    variance to nothing."""
    if len(x) <= x.shape[1]:
        if x.shape[1] == 1:
            raise ValueError(f"a group model needs at least two {what}, got {len(x)}")
        raise ValueError(
            f"covariates: {x.shape[1]} terms (the intercept and {x.shape[1] - 1} covariate columns) "
            f"for {len(x)} {what}: the group model needs more {what} than terms"
        )
    if np.linalg.matrix_rank(x) < x.shape[1]:
        raise ValueError(
            f"covariates: over the {what}, the intercept and the covariates are linearly dependent (a "
            "constant or repeated column, or a category none of them is in)"
        )


def _m_step(theta: np.ndarray, post_cov: np.ndarray, design: np.ndarray, full: bool) -> tuple[np.ndarray, np.ndarray]:
    """The group prior that maximises the expected log joint: regression coefficients b (terms x
    parameters) and Sigma."""
    b = np.linalg.lstsq(design, theta, rcond=None)[0]
    residual = theta - design @ b
    sigma = (residual.T @ residual + post_cov.sum(axis=0)) / len(theta)
    if not full:
        sigma = np.diag(np.diag(sigma))
    return b, sigma + _JITTER * np.eye(len(sigma))


def _group_errors(
    x: np.ndarray, sigma: np.ndarray, post_cov: np.ndarray, undo: np.ndarray | None = None
) -> tuple[np.ndarray, np.ndarray]:
    """Standard errors of the coefficients (terms x parameters) and of each group SD, from the
    information of the marginal likelihood (Louis's missing information): X'WX for the coefficients of
    parameter j, and (1/2) sum w_i^2 for its variance, with w_i = (Sigma_jj - c_ij) / Sigma_jj^2 for
    participant i's posterior variance c_ij (in the normal-normal model w_i is 1 / (Sigma_jj + s_i^2),
    s_i^2 the variance of its estimate). The estimates' spread alone would leave out how uncertain
    each one is. ``undo`` maps coefficients of ``x`` to those reported (b = undo @ b_x)."""
    se_b, se_sd = np.empty((x.shape[1], len(sigma))), np.empty(len(sigma))
    for j in range(len(sigma)):
        var = sigma[j, j]
        weights = np.maximum(var - post_cov[:, j, j], 1e-12 * var) / var**2
        cov_b = np.linalg.inv(x.T @ (weights[:, None] * x))
        if undo is not None:
            cov_b = undo @ cov_b @ undo.T
        se_b[:, j] = np.sqrt(np.diag(cov_b))
        se_sd[j] = math.sqrt(2.0 / float(np.sum(weights**2))) / (2.0 * math.sqrt(var))
    return se_b, se_sd


def _gaussian_log_density(x: np.ndarray, mean: np.ndarray, precision: np.ndarray, log_det_precision: float) -> Any:
    d = x - mean
    return -0.5 * (
        np.einsum("...i,ij,...j->...", d, precision, d) + len(precision) * math.log(2 * math.pi) - log_det_precision
    )


def fit_group(
    data: pandas.DataFrame,
    model: str,
    *,
    subject: str = "subject",
    input: str | list[str] | None = None,
    response: str | None = "response",
    trial: str | None = None,
    covariates: pandas.DataFrame | None = None,
    covariance: str = "diagonal",
    fixed: Mapping[str, Any] | None = None,
    response_model: str | None = None,
    method: str = "laplace",
    n_starts: int = 4,
    max_iter: int = 100,
    tol: float | None = None,
    n_samples: int = 1000,
    seed: int = 0,
    threads: int | None = None,
    progress: bool | None = None,
) -> GroupFit:
    """Empirical Bayes over a study: the group distribution of ``model``'s free parameters and every
    participant's estimate under it, by expectation-maximisation (see the module docstring).

    ``data`` and the column keywords are :func:`velmora.fit_many`'s. ``covariates``: a table with one
    row per participant (its key in ``subject``, or the index) and numeric or categorical columns;
    the group mean becomes a linear model of them, with a test of each coefficient. ``covariance``:
    ``"diagonal"`` (independent parameters) or ``"full"``. ``fixed`` holds parameters out of the
    group model; the starting prior is :func:`velmora.fit`'s default. The first pass fits from
    ``n_starts`` points, the later ones from each participant's last estimate. The passes are
    accelerated by squared extrapolation (SQUAREM), and stop when the summed log joint
    (``method="sampling"``: the summed log marginal likelihood) or the summed evidence (Laplace, or
    sampled) changes by less than ``tol`` (default: 0.001 per participant) or the group prior stops
    moving, and no coefficient or group SD has more than 0.05 of its standard error left to go (by
    the rate at which EM's steps shrink, and on the extrapolated step); else after ``max_iter``
    passes, with ``converged`` False. The evidence matters where a
    group variance heads for 0: the log joint at the modes then climbs without end. ``n_samples`` draws per
    participant estimate the integrated likelihood (and the sampling E-step); they come from
    velmora's seeded stream, by ``seed`` and each participant's key, as do the starts, so that the
    result is the same on any number of threads. A participant whose data are wrong or whose fit fails is left out
    of the group estimate and named in ``excluded`` (its row has the reason in ``error``); what is
    wrong for every participant raises before any work. Ctrl-C stops the call.
    """
    import pandas as pd

    from velmora.study import _fit_options, _frame

    if not isinstance(data, pd.DataFrame):
        raise TypeError(f"data must be a pandas DataFrame in long format, got {type(data).__name__}")
    if method not in _METHODS:
        raise ValueError(f"method must be one of {', '.join(_METHODS)}, got {method!r}")
    if covariance not in _COVARIANCES:
        raise ValueError(f"covariance must be one of {', '.join(_COVARIANCES)}, got {covariance!r}")
    for name, value, low in (("max_iter", max_iter, 1), ("n_samples", n_samples, 2)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < low:
            raise ValueError(f"{name} must be an integer of at least {low}, got {value!r}")
    if tol is not None and (
        isinstance(tol, (bool, np.bool_)) or not isinstance(tol, numbers.Real) or not tol > 0 or not math.isfinite(tol)
    ):
        raise ValueError(f"tol must be a positive number, got {tol!r}")
    inputs = input_columns(model, input)
    _require_columns(
        data, [("subject", subject), *(("input", name) for name in inputs), ("response", response), ("trial", trial)]
    )
    seed = check_seed(seed)
    problem = _fit_options(
        model, response_model, response is not None, {"fixed": fixed, "n_starts": n_starts, "seed": seed}
    )
    workers = thread_count(threads)
    m = len(problem.free)
    if m == 0:
        raise ValueError("every parameter is held: a group model needs at least one free parameter")

    participants = _split(data, subject, inputs, response, trial, seed)
    errors: dict[int, str] = {}
    for i, p in enumerate(participants):
        if p.error is None and p.inputs is not None:
            try:
                problem.check_participant(p.inputs, p.responses)
            except Exception as error:
                p.error = f"{type(error).__name__}: {error}"
        if p.error is not None:
            errors[i] = p.error
    valid = [i for i in range(len(participants)) if i not in errors]
    if len(valid) < 2:
        reason = f" (participant {participants[min(errors)].key!r}: {errors[min(errors)]})" if errors else ""
        raise ValueError(f"a group model needs at least two participants with usable data, got {len(valid)}{reason}")
    values = np.concatenate([participants[i].inputs.reshape(-1) for i in valid])  # type: ignore[union-attr]
    lengths = np.array([len(participants[i].inputs) for i in valid], dtype=np.int64)  # type: ignore[arg-type]
    starts = np.cumsum(lengths) - lengths
    responses = None if response is None else np.concatenate([participants[i].responses for i in valid])  # type: ignore[misc,unused-ignore]
    seeds = np.array([participants[i].seed for i in valid], dtype=np.uint64)
    problem = problem.with_data(values, starts, lengths, responses)
    # Only the participants fitted need covariates: one left out for its data may lack them.
    x, terms = _design(covariates, [participants[i].key for i in valid], subject)
    # The EM runs on the covariates centred and scaled, so that the rank check and the regression see
    # columns of one size whatever their units (a covariate near 1e13 would otherwise pass for a
    # multiple of the intercept); the coefficients are mapped back at the end: b = undo @ b_scaled.
    center, scale = x[:, 1:].mean(axis=0), x[:, 1:].std(axis=0)
    scale[scale == 0.0] = 1.0
    x = np.column_stack([x[:, 0], (x[:, 1:] - center) / scale])
    undo = np.eye(x.shape[1])
    undo[0, 1:], undo[1:, 1:] = -center / scale, np.diag(1.0 / scale)
    _check_design(x, "participants with usable data")
    n = len(valid)
    tolerance = _TOL_PER_PARTICIPANT * n if tol is None else float(tol)
    n_trials = problem.n_trials
    k = len(problem.values)

    def e_step(
        b: np.ndarray, sigma: np.ndarray, starts_per_fit: int, first: np.ndarray | None
    ) -> dict[str, np.ndarray]:
        means = x @ b
        full = covariance == "full"
        inverse = np.linalg.inv(sigma) if full else None
        precision = None if inverse is None else 0.5 * (inverse + inverse.T)  # symmetric to the last bit
        log_det = float(np.linalg.slogdet(sigma)[1]) * -1.0 if full else 0.0
        fits = problem.run_fit(
            seeds,
            workers,
            n_starts=starts_per_fit,
            prior_mean=np.ascontiguousarray(means.mean(axis=0)),
            prior_var=np.ascontiguousarray(np.diag(sigma)),
            means=None if covariates is None else np.ascontiguousarray(means),
            precision=precision,
            log_det=log_det,
            posterior=True,
            first=first,
        )
        return {**fits, "means": means}

    # Common random numbers: each participant's standard normal draws come from velmora's own stream,
    # seeded by its key's seed, so that they are the same every pass, whoever else is in the study,
    # and on every machine and NumPy. They are made block by block rather than held for the study.
    draw_seeds = np.array([derived_seeds(2, int(s))[1] for s in seeds], dtype=np.uint64)

    def standard_draws(rows: np.ndarray) -> np.ndarray:
        z = np.empty((len(rows), n_samples, m))
        for j, row in enumerate(rows):
            z[j] = normal(z[j].shape, int(draw_seeds[row]))
        return z

    # Participants per block of sampling, so that the draws' arrays stay near _BLOCK_CELLS numbers
    # each: memory does not grow with the study. The blocks follow the data alone, never the worker
    # count, and every sum runs over whole per-participant arrays: the result is the same to the bit
    # on any number of threads.
    block = max(1, _BLOCK_CELLS // (n_samples * max(k, m)))

    def blocks(rows: np.ndarray) -> list[np.ndarray]:
        return [rows[i : i + block] for i in range(0, len(rows), block)]

    def log_likelihoods(rows: np.ndarray, theta: np.ndarray) -> np.ndarray:
        """-nll of participants ``rows`` at each of their draws of transformed parameters (rows x draws x m)."""
        return -problem.evaluate(theta, rows, workers)

    def log_mean_exp(log_w: np.ndarray) -> Any:
        """log of each row's mean of exp(log_w); -inf for a row without one finite value."""
        top = log_w.max(axis=1, keepdims=True)
        with np.errstate(invalid="ignore"):
            return np.where(np.isfinite(top[:, 0]), top[:, 0] + np.log(np.exp(log_w - top).mean(axis=1)), -np.inf)

    def sampled(fits: dict[str, np.ndarray], b: np.ndarray, sigma: np.ndarray) -> dict[str, np.ndarray]:
        """Importance sampling from each participant's Laplace posterior (its covariance doubled, for
        heavier tails) under the prior N(X b, sigma): posterior means and covariances, each one's log
        marginal likelihood and that estimate's Monte Carlo standard error (by the delta method); NaN
        for a participant without an estimate."""
        mean, post, marginal = np.full((n, m), np.nan), np.full((n, m, m), np.nan), np.full(n, np.nan)
        noise = np.full(n, np.nan)
        cov = np.where(np.isfinite(fits["cov"]), fits["cov"], sigma)
        precision = np.linalg.inv(sigma)
        precision = 0.5 * (precision + precision.T)
        log_det = float(np.linalg.slogdet(precision)[1])
        means = x @ b
        for rows in blocks(np.flatnonzero(np.isfinite(fits["theta"]).all(axis=1))):
            z = standard_draws(rows)
            chol = np.linalg.cholesky(2.0 * cov[rows] + _JITTER * np.eye(m))
            draws = fits["theta"][rows, None, :] + np.einsum("nij,nsj->nsi", chol, z)
            log_q = (
                -0.5 * (z**2).sum(axis=2)
                - np.log(np.diagonal(chol, axis1=1, axis2=2)).sum(axis=1)[:, None]
                - 0.5 * m * math.log(2 * math.pi)
            )
            log_prior = _gaussian_log_density(draws, means[rows, None, :], precision, log_det)
            log_w = log_likelihoods(rows, draws) + log_prior - log_q
            marginal[rows] = log_mean_exp(log_w)
            with np.errstate(invalid="ignore", divide="ignore"):  # a participant without a finite weight gets NaN
                w = np.exp(log_w - log_w.max(axis=1, keepdims=True))
                total = w.sum(axis=1, keepdims=True)
                # sd(w) / (sqrt(S) mean(w)): the standard error of log mean(w)
                noise[rows] = np.std(w, axis=1, ddof=1) / (math.sqrt(n_samples) * total[:, 0] / n_samples)
                w /= total
            mean[rows] = np.einsum("ns,nsi->ni", w, draws)
            d = draws - mean[rows, None, :]
            post[rows] = np.einsum("ns,nsi,nsj->nij", w, d, d)
        ok = np.isfinite(mean).all(axis=1)
        return {
            "mean": mean,
            "cov": post,
            "marginal": np.where(ok, marginal, np.nan),
            "noise": np.where(ok, noise, np.nan),
        }

    full = covariance == "full"
    lower = np.tril_indices(m) if full else np.diag_indices(m)

    def pack(b: np.ndarray, sigma: np.ndarray) -> np.ndarray:
        """The group prior as one unconstrained vector: b, then log-Cholesky factors of Sigma."""
        factor = np.linalg.cholesky(sigma)
        factor[np.diag_indices(m)] = np.log(np.diag(factor))
        return np.concatenate([b.ravel(), factor[lower]])

    def unpack(y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        factor = np.zeros((m, m))
        factor[lower] = y[b_size:]
        factor[np.diag_indices(m)] = np.exp(np.clip(np.diag(factor), -30.0, 30.0))
        return y[:b_size].reshape(-1, m), factor @ factor.T

    def em_pass(y: np.ndarray, starts_per_fit: int, first: np.ndarray | None = None) -> dict[str, Any]:
        """The E-step under the prior y (each fit's first start at ``first``), and the prior its M-step gives."""
        b, sigma = unpack(y)
        fits = e_step(b, sigma, starts_per_fit, first)
        if fits["status"].max(initial=0) == 3:
            raise KeyboardInterrupt
        usable = fits["status"] != NO_ESTIMATE_CODE
        if method == "sampling":
            sample = sampled(fits, b, sigma)
            theta, post_cov, evidence = sample["mean"], sample["cov"], sample["marginal"]
            objective = float(evidence[np.isfinite(evidence)].sum())
        else:
            theta = fits["theta"]
            post_cov = np.where(np.isfinite(fits["cov"]), fits["cov"], sigma)  # no curvature: the prior's
            objective = float(-fits["stats"][usable, 1].sum())
            evidence = fits["stats"][:, 2]
        keep = usable & np.isfinite(theta).all(axis=1)
        _check_design(x[keep], "participants with an estimate under the group prior")
        b_new, sigma_new = _m_step(theta[keep], post_cov[keep], x[keep], full)
        if bar is not None:
            bar.update(1)
        return {
            "y": y,
            "fits": fits,
            "theta": theta,
            "post_cov": post_cov,
            "objective": objective,
            "evidence": evidence,
            "keep": keep,
            "next": pack(b_new, sigma_new),
            "sample": sample if method == "sampling" else None,
        }

    def natural_group(y: np.ndarray) -> np.ndarray:
        """The group parameters of the packed prior ``y``: each coefficient, then each SD."""
        coefficients, spread = unpack(y)
        return np.concatenate([coefficients.ravel(), np.sqrt(np.diag(spread))])

    def errors_at(state: dict[str, Any]) -> np.ndarray:
        """The standard errors of ``natural_group(state["y"])``."""
        _, sigma = unpack(state["y"])
        se_b, se_sd = _group_errors(x[state["keep"]], sigma, state["post_cov"][state["keep"]])
        return np.concatenate([se_b.ravel(), se_sd])

    def left_to_go(state: dict[str, Any], before: np.ndarray) -> float:
        """How far, in standard errors at ``state``, the group parameters (each coefficient and SD) still
        are from EM's fixed point, the most of any: ``state`` is one EM step from ``before``, and its own
        step (to ``state["next"]``) shrank from that one by a rate rho, so about step / (1 - rho) is
        left. A step below _STEP_NOISE counts as none: the participants' fits show there."""
        se = errors_at(state)
        here = natural_group(state["y"])
        last = np.abs(here - natural_group(before)) / se
        step = np.abs(natural_group(state["next"]) - here) / se
        with np.errstate(divide="ignore", invalid="ignore"):
            rate = np.where(last > 0, step / last, np.inf)
            left = np.where(step < _STEP_NOISE, 0.0, np.where(rate < 1.0, step / (1.0 - rate), np.inf))
        return float(left.max())

    def no_worse(jumped: dict[str, Any], first: dict[str, Any]) -> bool:
        """Whether the jump's evidence is at least the plain step's, over the participants with one
        under both; a jump that loses a participant's evidence is worse, whatever the sum says."""
        a, b = jumped["evidence"], first["evidence"]
        both = np.isfinite(a) & np.isfinite(b)
        return bool(np.isfinite(a).sum() >= np.isfinite(b).sum() and a[both].sum() >= b[both].sum())

    def start_from(state: dict[str, Any]) -> np.ndarray:
        """Each participant's last estimate, or the group mean where it has none."""
        b, _ = unpack(state["y"])
        last = state["fits"]["theta"]
        return np.ascontiguousarray(np.where(np.isfinite(last), last, x @ b))

    b0 = np.zeros((x.shape[1], m))
    b0[0] = problem.prior_mean
    b_size = b0.size
    history: list[float] = []
    bar = _progress_bar(max_iter, progress, unit="pass")
    converged, passes = False, 1
    try:
        # EM accelerated by squared extrapolation (SQUAREM; Varadhan & Roland 2008): from two EM
        # steps, a longer step along their direction, kept when the evidence does not fall. EM on
        # a variance that the data pin down weakly otherwise creeps for hundreds of passes.
        current = em_pass(pack(b0, np.diag(problem.prior_var)), n_starts)
        history.append(current["objective"])
        sds = [natural_group(current["y"])[b_size:]]
        while passes < max_iter:
            first = em_pass(current["next"], 1, start_from(current))
            passes += 1
            # Stop where the group parameters stand still on the scale of their standard errors (EM
            # creeps where the data pin a variance down weakly: passes of small change in the sums can
            # hide a mean with several standard errors to go) and the sums have settled: the summed log
            # joint, or the evidence where a group variance heads for 0 (the log joint at the modes then
            # climbs without end while the marginal likelihood stays put), or the prior itself, where a
            # participant whose fit keeps finding a slightly better optimum keeps both sums moving.
            both = np.isfinite(first["evidence"]) & np.isfinite(current["evidence"])
            evidence_change = abs(float(first["evidence"][both].sum() - current["evidence"][both].sum()))
            # Nor where a group SD is still shrinking within its standard error of 0: the means follow it
            # there for hundreds of passes, by steps too small for the rate estimate to see.
            settled = (
                left_to_go(first, current["y"]) < _LEFT_FRACTION
                and not _heading_for_zero(
                    np.array(sds + [natural_group(first["y"])[b_size:]]), errors_at(first)[b_size:]
                ).any()
                and (
                    abs(first["objective"] - current["objective"]) < tolerance
                    or evidence_change < tolerance
                    or float(np.abs(first["y"] - current["y"]).max()) < 1e-5
                )
            )
            r = first["y"] - current["y"]
            v = first["next"] - first["y"] - r
            alpha = min(-float(np.linalg.norm(r) / np.linalg.norm(v)) if np.linalg.norm(v) > 0 else -1.0, -1.0)
            chosen = first
            if alpha < -1.0 and passes < max_iter:
                passes += 1
                try:
                    jumped = em_pass(current["y"] - 2.0 * alpha * r + alpha**2 * v, 1, start_from(first))
                except ValueError:  # so far out that too few participants have an estimate: not taken
                    jumped = None
                if jumped is not None and no_worse(jumped, first):
                    chosen = jumped
            # Where the group SD heads for 0, EM's own steps shrink to nothing long before the group
            # mean has got there, but the extrapolated step still finds a point no worse: a stop is a
            # stop only where that step, too, moves nothing by a material fraction of its standard error.
            if settled and (
                chosen is first
                or float(np.max(np.abs(natural_group(chosen["y"]) - natural_group(first["y"])) / errors_at(first)))
                < _LEFT_FRACTION
            ):
                converged, current = True, first
                history.append(current["objective"])
                break
            history.append(chosen["objective"])
            current = chosen
            sds.append(natural_group(current["y"])[b_size:])
    finally:
        if bar is not None:
            bar.close()
    fits, theta, post_cov, keep = current["fits"], current["theta"], current["post_cov"], current["keep"]
    b, sigma = unpack(current["y"])

    # The data's likelihood integrated over the fitted group prior, participant by participant, by
    # importance sampling from each one's posterior approximation (far fewer draws wasted than from
    # the prior), with the Monte Carlo standard error of the sum.
    sample = current["sample"] if method == "sampling" else sampled(fits, b, sigma)
    log_likelihood = float(sample["marginal"][keep].sum())
    log_likelihood_se = math.sqrt(float(np.sum(sample["noise"][keep] ** 2)))
    k_group = b.size + (m * (m + 1) // 2 if covariance == "full" else m)
    trials = int(n_trials[keep].sum())
    ibic = -2.0 * log_likelihood + k_group * math.log(trials)

    # The participants' table under the prior of the last pass, as fit_many's.
    free_names = problem.free_names
    fits_arrays = problem.arrays(fits["natural"], fits["se"], fits["stats"], fits["status"], n_trials)
    table = fits_arrays.to_frame().drop(columns="neg_log_joint")
    if method == "sampling":
        # The estimates are posterior means, their spread the posterior's; so that every number in a
        # row belongs to them, nll (and aic, bic) is the likelihood at those means, and lme the
        # sampled log marginal likelihood under the group prior.
        vectors = np.broadcast_to(problem.values, (n, 1, k)).copy()
        for j, name in enumerate(free_names):
            natural = natural_of(problem.transforms[j], theta[:, j])
            table[name] = natural
            table[f"se_{name}"] = np.abs(slope(problem.transforms[j], natural)) * np.sqrt(post_cov[:, j, j])
            vectors[:, 0, problem.free[j]] = natural
        at_mean = np.full(n, np.nan)
        has = np.flatnonzero(np.isfinite(theta).all(axis=1))
        if has.size:
            out = problem.nll(vectors[has], has, workers)
            at_mean[has] = out[:, 0]
        table["nll"] = at_mean
        table["aic"] = aic_of(at_mean, m)
        table["bic"] = bic_of(at_mean, m, n_trials)
        table["lme"] = sample["marginal"]
    rows: list[dict[str, Any]] = [{"error": errors.get(i, "")} for i in range(len(participants))]
    for j, record in enumerate(table.to_dict("records")):
        record["n_trials"], record["converged"] = int(record["n_trials"]), bool(record["converged"])
        rows[valid[j]] = record
    excluded = {participants[i].key: reason for i, reason in errors.items()}
    for dropped in np.flatnonzero(~keep):
        at = valid[int(dropped)]
        excluded[participants[at].key] = rows[at].get("error") or "no estimate under the group prior"
    # Participants kept in the group estimate whose own fit under the group prior did not converge, or
    # whose curvature gave no standard error: named, not kept silently.
    unconverged: dict[Any, str] = {}
    for kept in np.flatnonzero(keep):
        record = rows[valid[int(kept)]]
        if not record["converged"]:
            unconverged[participants[valid[int(kept)]].key] = record.get("message") or "not converged"
        elif not all(math.isfinite(record[f"se_{name}"]) for name in free_names):
            unconverged[participants[valid[int(kept)]].key] = "no standard error (the Hessian is not positive definite)"
    if unconverged:
        shown = ", ".join(map(repr, list(unconverged)[:5])) + (", ..." if len(unconverged) > 5 else "")
        warnings.warn(
            f"fit_group: {len(unconverged)} participant(s) kept in the group estimate have a fit under the "
            f"group prior that did not converge or has no standard errors ({shown}); see "
            "GroupFit.unconverged",
            stacklevel=2,
        )
    frame = _frame(subject, participants, rows, model)
    # Marks the evidence as taken under a prior fitted to these data, so that compare keeps the table
    # out of the participants' model selection, from a file as from memory.
    frame[_GROUP_COLUMN] = True

    from scipy import stats  # type: ignore[import-untyped,unused-ignore]

    xk = x[keep]
    df = max(len(xk) - len(terms), 1)
    se_b, se_sd = _group_errors(xk, sigma, post_cov[keep], undo)
    b = undo @ b
    records = []
    for j, name in enumerate(free_names):
        for t, term in enumerate(terms):
            spread = float(se_b[t, j])
            estimate = float(b[t, j])
            records.append(
                {
                    "parameter": name,
                    "term": term,
                    "estimate": estimate,
                    "se": spread,
                    "t": estimate / spread,
                    "p_value": float(2 * stats.t.sf(abs(estimate / spread), df)),
                }
            )
    coefficients = pd.DataFrame(records)
    mean = pd.Series(b[0], index=free_names)
    frame.attrs.update(response_model=problem.response)
    message = _stop_message(converged, passes, free_names, np.array(sds), se_sd)
    return GroupFit(
        model=model,
        response_model=problem.response,
        method=method,
        covariance=covariance,
        free=tuple(free_names),
        transforms=tuple(problem.transforms),
        mean=mean,
        cov=pd.DataFrame(sigma, index=free_names, columns=free_names),
        coefficients=coefficients,
        participants=frame,
        log_likelihood=log_likelihood,
        ibic=ibic,
        n_group_params=k_group,
        n_trials=trials,
        passes=passes,
        converged=converged,
        history=history,
        excluded=excluded,
        log_likelihood_se=log_likelihood_se,
        unconverged=unconverged,
        sd_se=pd.Series(se_sd, index=free_names),
        message=message,
    )


# A group SD counts as heading for 0 where it fell on each of the last _SHRINKING passes and lies
# within its own standard error of 0: the data cannot tell it from no spread at all.
_SHRINKING = 5


def _heading_for_zero(sds: np.ndarray, se_sd: np.ndarray) -> np.ndarray:
    """Per group SD, over its values pass by pass: whether it fell on each of the last _SHRINKING passes
    and now lies within its standard error of 0."""
    recent = sds[-(_SHRINKING + 1) :]
    if len(recent) <= _SHRINKING:
        return np.zeros(sds.shape[1], dtype=bool)
    shrinking: np.ndarray = np.all(np.diff(recent, axis=0) < 0, axis=0) & (recent[-1] < se_sd)
    return shrinking


def _stop_message(converged: bool, passes: int, names: list[str], sds: np.ndarray, se_sd: np.ndarray) -> str:
    """Why the passes stopped: converged, or the limit, naming the SDs that were still heading for 0."""
    plural = "es" * (passes != 1)
    if converged:
        return f"converged after {passes} pass{plural}: the group parameters stand still on their standard errors"
    shrinking = [name for name, heading in zip(names, _heading_for_zero(sds, se_sd)) if heading]
    if shrinking:
        several = len(shrinking) > 1
        return (
            f"not converged after {passes} pass{plural}: the group SD{'s' * several} of {', '.join(shrinking)} "
            f"head{'s' * (not several)} for 0, a boundary that more passes only creep towards (the data cannot "
            f"tell the spread from none); fix {'those parameters' if several else 'that parameter'}, or fit a "
            "larger study"
        )
    return f"not converged after {passes} pass{plural}: raise max_iter"
