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
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora import _engine
from velmora import arrays as va
from velmora.executors import _progress_bar
from velmora.fitting import _TRANSFORM_CODES, _STATS, _natural, _slope, fit_arrays_of
from velmora.models import ENGINE, SELF_FIT
from velmora.results import NO_ESTIMATE_CODE
from velmora.tables import _check_seed, _require_columns, _split, input_columns

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]

__all__ = ["fit_group", "GroupFit"]

_METHODS = ("laplace", "sampling")
_COVARIANCES = ("diagonal", "full")
# Added to Sigma's diagonal so that a parameter every participant pins down exactly keeps a prior.
_JITTER = 1e-8
# The default tolerance on the summed log joint, per participant.
_TOL_PER_PARTICIPANT = 1e-3
# About how many numbers each array of draws holds at a time (participants x draws x parameters).
_BLOCK_CELLS = 1 << 22


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
    ``nll``, ``lme``, ...). ``log_likelihood``: the data's log-likelihood integrated over the group
    prior (by sampling), ``ibic`` the integrated BIC: -2 log_likelihood + k log(trials) for the k
    group parameters. ``passes``, ``converged`` and ``history`` (the summed log joint per pass)
    describe the EM run; ``excluded`` maps each participant left out of the group estimate to why.
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

    @property
    def natural_mean(self) -> pandas.Series:
        import pandas as pd

        return pd.Series({name: float(_natural(t, np.array([self.mean[name]]))[0])
                          for name, t in zip(self.free, self.transforms)})

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

        spread = pd.DataFrame({"parameter": list(self.free), "term": "sd", "estimate": self.sd.to_numpy()})
        return pd.concat([self.coefficients, spread], ignore_index=True)

    def summary(self) -> str:
        lines = [f"velmora fit_group: {self.model}, response {self.response_model}, {self.method} E-step, "
                 f"{self.covariance} covariance",
                 f"{len(self.participants) - len(self.excluded)} participants, {self.n_trials} trials; {self.passes} "
                 f"passes, converged: {self.converged}",
                 f"{'parameter':<24}{'mean (t)':>12}{'sd (t)':>12}{'median':>12}"]
        natural = self.natural_mean
        for name in self.free:
            lines.append(f"{name:<24}{self.mean[name]:12.4g}{self.sd[name]:12.4g}{natural[name]:12.4g}")
        if len(self.coefficients) > len(self.free):
            lines.append(self.coefficients.to_string(index=False, float_format=lambda x: f"{x:.4g}"))
        lines.append(f"integrated log-likelihood {self.log_likelihood:.4f}  iBIC {self.ibic:.4f}")
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
        raise TypeError(f"covariates must be a pandas DataFrame with one row per participant, got "
                        f"{type(covariates).__name__}")
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
    for name in rows.columns:
        column = rows[name]
        if isinstance(column.dtype, pd.CategoricalDtype):  # levels no participant has are no indicator
            rows[name] = column = column.cat.remove_unused_categories()
        if column.dtype.kind not in "biuf" and column.nunique() < 2:  # its indicators would all be dropped
            raise ValueError(f"covariates: column {name!r} has the one value {column.iloc[0]!r} for every "
                             "participant; it cannot explain a difference between them")
    numeric = pd.get_dummies(rows, drop_first=True, dtype=np.float64)
    other = [f"{name!r} ({dtype})" for name, dtype in numeric.dtypes.items() if dtype.kind not in "biuf"]
    if other:  # dates and complex numbers would otherwise be read as nanoseconds or their real part
        raise ValueError(f"covariates: every column must be numeric or categorical, not {other[0]}")
    x = numeric.to_numpy(dtype=np.float64)
    if not np.isfinite(x).all():
        at = np.argwhere(~np.isfinite(x))[0]
        raise ValueError(f"covariates: participant {keys[at[0]]!r} has no finite value of {numeric.columns[at[1]]!r}")
    return np.column_stack([np.ones(len(keys)), x]), ["intercept", *map(str, numeric.columns)]


def _check_design(x: np.ndarray, what: str) -> None:
    """ValueError unless the participants' rows of the design determine the regression with some
    spread left: as many terms as participants would fit every estimate exactly and take the group
    variance to nothing."""
    if len(x) <= x.shape[1]:
        if x.shape[1] == 1:
            raise ValueError(f"a group model needs at least two {what}, got {len(x)}")
        raise ValueError(f"covariates: {x.shape[1]} terms (the intercept and {x.shape[1] - 1} covariate columns) "
                         f"for {len(x)} {what}: the group model needs more {what} than terms")
    if np.linalg.matrix_rank(x) < x.shape[1]:
        raise ValueError(f"covariates: over the {what}, the intercept and the covariates are linearly dependent (a "
                         "constant or repeated column, or a category none of them is in)")


def _m_step(theta: np.ndarray, post_cov: np.ndarray, design: np.ndarray, full: bool) -> tuple[np.ndarray, np.ndarray]:
    """The group prior that maximises the expected log joint: regression coefficients b (terms x
    parameters) and Sigma."""
    b = np.linalg.lstsq(design, theta, rcond=None)[0]
    residual = theta - design @ b
    sigma = (residual.T @ residual + post_cov.sum(axis=0)) / len(theta)
    if not full:
        sigma = np.diag(np.diag(sigma))
    return b, sigma + _JITTER * np.eye(len(sigma))


def _gaussian_log_density(x: np.ndarray, mean: np.ndarray, precision: np.ndarray, log_det_precision: float) -> Any:
    d = x - mean
    return -0.5 * (np.einsum("...i,ij,...j->...", d, precision, d) + len(precision) * math.log(2 * math.pi)
                   - log_det_precision)


def fit_group(data: pandas.DataFrame, model: str, *, subject: str = "subject", input: str | list[str] | None = None,
              response: str | None = "response", trial: str | None = None, covariates: pandas.DataFrame | None = None,
              covariance: str = "diagonal", fixed: Mapping[str, Any] | None = None, response_model: str | None = None,
              method: str = "laplace", n_starts: int = 4, max_iter: int = 100, tol: float | None = None,
              n_samples: int = 1000, seed: int = 0, threads: int | None = None,
              progress: bool | None = None) -> GroupFit:
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
    moving, or after ``max_iter`` passes (then ``converged`` is False). The evidence matters where a
    group variance heads for 0: the log joint at the modes then climbs without end. ``n_samples`` draws per
    participant estimate the integrated likelihood (and the sampling E-step); they come from
    ``seed``, as do the starts. A participant whose data are wrong or whose fit fails is left out
    of the group estimate and named in ``excluded`` (its row has the reason in ``error``); what is
    wrong for every participant raises before any work. Ctrl-C stops the call.
    """
    import pandas as pd

    from velmora import fitting
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
    if tol is not None and (isinstance(tol, (bool, np.bool_)) or not isinstance(tol, numbers.Real) or not tol > 0
                            or not math.isfinite(tol)):
        raise ValueError(f"tol must be a positive number, got {tol!r}")
    inputs = input_columns(model, input)
    _require_columns(data, [("subject", subject), *(("input", name) for name in inputs), ("response", response),
                            ("trial", trial)])
    seed = _check_seed(seed)
    options = _fit_options(model, response_model, response is not None,
                           {"fixed": fixed, "n_starts": n_starts, "seed": seed})
    kind = fitting._response_model(model, options["response"]) if response is not None else SELF_FIT
    workers = va._threads(threads)
    width = ENGINE[model].width
    stand_in = np.zeros((1, width) if width > 1 else 1)
    problem = fitting._prepare(model, stand_in, None if response is None else np.zeros(1), options["response"],
                               fixed, None, n_starts)[0]
    m = len(problem.free)
    if m == 0:
        raise ValueError("every parameter is held: a group model needs at least one free parameter")

    participants = _split(data, subject, inputs, response, trial, seed)
    errors: dict[int, str] = {}
    for i, p in enumerate(participants):
        if p.error is None and p.inputs is not None:
            try:
                fitting._check_participants(model, p.inputs.reshape(-1), np.zeros(1, dtype=np.int64),
                                            np.array([len(p.inputs)], dtype=np.int64), p.responses, False, kind)
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
    # Only the participants fitted need covariates: one left out for its data may lack them.
    x, terms = _design(covariates, [participants[i].key for i in valid], subject)
    _check_design(x, "participants with usable data")
    n = len(valid)
    tolerance = _TOL_PER_PARTICIPANT * n if tol is None else float(tol)
    n_trials = (lengths if responses is None
                else np.add.reduceat(~np.isnan(responses), starts, dtype=np.int64))
    transforms = np.array([_TRANSFORM_CODES[t] for t in problem.transforms], dtype=np.int64)
    k = len(problem.values)

    def e_step(b: np.ndarray, sigma: np.ndarray, starts_per_fit: int, first: np.ndarray | None) -> dict[str, np.ndarray]:
        natural, se = np.empty((n, k)), np.empty((n, m))
        stats, status = np.empty((n, len(_STATS))), np.empty(n, dtype=np.int64)
        theta, cov = np.empty((n, m)), np.empty((n, m, m))
        means = x @ b
        full = covariance == "full"
        inverse = np.linalg.inv(sigma) if full else None
        precision = None if inverse is None else 0.5 * (inverse + inverse.T)  # symmetric to the last bit
        log_det = float(np.linalg.slogdet(sigma)[1]) * -1.0 if full else 0.0
        _engine.fit(model, problem.response, values, starts, lengths, responses, problem.values, problem.free,
                    transforms, np.ascontiguousarray(means.mean(axis=0)), np.ascontiguousarray(np.diag(sigma)), seeds,
                    starts_per_fit, workers, problem.given, natural, se, stats, status,
                    None if covariates is None else np.ascontiguousarray(means), precision, log_det, theta, cov,
                    first)
        return {"natural": natural, "se": se, "stats": stats, "status": status, "theta": theta, "cov": cov,
                "means": means}

    rng = np.random.default_rng(seed)
    base = rng.standard_normal((n, n_samples, m))  # common random numbers: the same draws every pass
    # Participants per block of sampling, so that the draws' other arrays stay near _BLOCK_CELLS
    # numbers each: memory beyond `base` does not grow with the study, and too many draws fail here,
    # before any fit, rather than after the last pass.
    block = max(workers, _BLOCK_CELLS // (n_samples * max(k, m)))

    def blocks(rows: np.ndarray) -> list[np.ndarray]:
        return [rows[i:i + block] for i in range(0, len(rows), block)]

    def log_likelihoods(rows: np.ndarray, theta: np.ndarray) -> np.ndarray:
        """-nll of participants ``rows`` at each of their draws of transformed parameters (rows x draws x m)."""
        draws = theta.shape[1]
        vectors = np.broadcast_to(problem.values, (len(rows), draws, k)).copy()
        for j, index in enumerate(problem.free):
            with np.errstate(over="ignore"):
                vectors[:, :, index] = _natural(problem.transforms[j], theta[:, :, j])
        out = np.empty((len(rows), draws))
        _engine.evaluate(model, problem.response, values, starts[rows], lengths[rows], responses, vectors, draws,
                         problem.given, workers, out)
        return -out

    def log_mean_exp(log_w: np.ndarray) -> Any:
        """log of each row's mean of exp(log_w); -inf for a row without one finite value."""
        top = log_w.max(axis=1, keepdims=True)
        with np.errstate(invalid="ignore"):
            return np.where(np.isfinite(top[:, 0]), top[:, 0] + np.log(np.exp(log_w - top).mean(axis=1)), -np.inf)

    def sampled(fits: dict[str, np.ndarray], b: np.ndarray, sigma: np.ndarray) -> tuple[np.ndarray, np.ndarray,
                                                                                          np.ndarray]:
        """Posterior means and covariances by importance sampling from each participant's Laplace
        posterior (its covariance doubled, for heavier tails), and each one's log marginal; NaN for a
        participant without an estimate."""
        mean, post, marginal = np.full((n, m), np.nan), np.full((n, m, m), np.nan), np.full(n, np.nan)
        cov = np.where(np.isfinite(fits["cov"]), fits["cov"], sigma)
        precision = np.linalg.inv(sigma)
        log_det = float(np.linalg.slogdet(precision)[1])
        for rows in blocks(np.flatnonzero(np.isfinite(fits["theta"]).all(axis=1))):
            z = base[rows]
            chol = np.linalg.cholesky(2.0 * cov[rows] + _JITTER * np.eye(m))
            draws = fits["theta"][rows, None, :] + np.einsum("nij,nsj->nsi", chol, z)
            log_q = (-0.5 * (z ** 2).sum(axis=2) - np.log(np.diagonal(chol, axis1=1, axis2=2)).sum(axis=1)[:, None]
                     - 0.5 * m * math.log(2 * math.pi))
            log_prior = _gaussian_log_density(draws, fits["means"][rows, None, :], precision, log_det)
            log_w = log_likelihoods(rows, draws) + log_prior - log_q
            marginal[rows] = log_mean_exp(log_w)
            with np.errstate(invalid="ignore"):  # a participant without a finite weight gets NaN moments
                w = np.exp(log_w - log_w.max(axis=1, keepdims=True))
                w /= w.sum(axis=1, keepdims=True)
            mean[rows] = np.einsum("ns,nsi->ni", w, draws)
            d = draws - mean[rows, None, :]
            post[rows] = np.einsum("ns,nsi,nsj->nij", w, d, d)
        return mean, post, np.where(np.isfinite(mean).all(axis=1), marginal, np.nan)

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
            theta, post_cov, evidence = sampled(fits, b, sigma)
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
        return {"y": y, "fits": fits, "theta": theta, "post_cov": post_cov, "objective": objective,
                "evidence": evidence, "keep": keep, "next": pack(b_new, sigma_new)}

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
        while passes < max_iter and not converged:
            first = em_pass(current["next"], 1, start_from(current))
            passes += 1
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
            history.append(chosen["objective"])
            # Or the evidence has settled: where a group variance heads for 0 the log joint at the modes
            # climbs without end while the marginal likelihood stays put. Or the prior stands still: a
            # participant whose fit keeps finding a slightly better optimum would keep both sums moving.
            both = np.isfinite(chosen["evidence"]) & np.isfinite(current["evidence"])
            evidence_change = abs(float(chosen["evidence"][both].sum() - current["evidence"][both].sum()))
            converged = (abs(history[-1] - history[-2]) < tolerance or evidence_change < tolerance
                         or float(np.abs(chosen["y"] - current["y"]).max()) < 1e-5)
            current = chosen
    finally:
        if bar is not None:
            bar.close()
    fits, theta, post_cov, keep = current["fits"], current["theta"], current["post_cov"], current["keep"]
    b, sigma = unpack(current["y"])

    # The participants' table under the prior of the last pass, as fit_many's.
    free_names = problem.free_names
    fits_arrays = fit_arrays_of(problem, fits["natural"], fits["se"], fits["stats"], fits["status"], n_trials)
    table = fits_arrays.to_frame().drop(columns="neg_log_joint")
    if method == "sampling":  # the estimates are posterior means; their spread the posterior's
        for j, name in enumerate(free_names):
            natural = _natural(problem.transforms[j], theta[:, j])
            table[name] = natural
            table[f"se_{name}"] = np.abs(_slope(problem.transforms[j], natural)) * np.sqrt(post_cov[:, j, j])
    rows: list[dict[str, Any]] = [{"error": errors.get(i, "")} for i in range(len(participants))]
    for j, record in enumerate(table.to_dict("records")):
        record["n_trials"], record["converged"] = int(record["n_trials"]), bool(record["converged"])
        rows[valid[j]] = record
    excluded = {participants[i].key: reason for i, reason in errors.items()}
    for dropped in np.flatnonzero(~keep):
        j = int(dropped)
        excluded[participants[valid[j]].key] = rows[valid[j]].get("error") or "no estimate under the group prior"
    frame = _frame(subject, participants, rows, model)

    # The data's likelihood integrated over the fitted group prior, by sampling from it.
    chol = np.linalg.cholesky(sigma)
    log_likelihood = 0.0
    for part in blocks(np.flatnonzero(keep)):
        prior_draws = (x[part] @ b)[:, None, :] + np.einsum("ij,nsj->nsi", chol, base[part])
        log_likelihood += float(log_mean_exp(log_likelihoods(part, prior_draws)).sum())
    k_group = b.size + (m * (m + 1) // 2 if covariance == "full" else m)
    trials = int(n_trials[keep].sum())
    ibic = -2.0 * log_likelihood + k_group * math.log(trials)

    from scipy import stats  # type: ignore[import-untyped,unused-ignore]

    # Cov(b[:, j]) from the information of the marginal likelihood (Louis's missing information):
    # X'WX with w_i = (Sigma_jj - c_ij) / Sigma_jj^2 for participant i's posterior variance c_ij. The
    # estimates' spread around their regression alone would leave out how uncertain each one is.
    xk = x[keep]
    df = max(len(xk) - len(terms), 1)
    records = []
    for j, name in enumerate(free_names):
        weights = np.maximum(sigma[j, j] - post_cov[keep, j, j], 1e-12 * sigma[j, j]) / sigma[j, j] ** 2
        inverse = np.linalg.inv(xk.T @ (weights[:, None] * xk))
        for t, term in enumerate(terms):
            spread = math.sqrt(inverse[t, t])
            estimate = float(b[t, j])
            records.append({"parameter": name, "term": term, "estimate": estimate, "se": spread,
                            "t": estimate / spread, "p_value": float(2 * stats.t.sf(abs(estimate / spread), df))})
    coefficients = pd.DataFrame(records)
    mean = pd.Series(b[0], index=free_names)
    frame.attrs.update(response_model=kind)
    return GroupFit(model=model, response_model=kind, method=method, covariance=covariance, free=tuple(free_names),
                    transforms=tuple(problem.transforms), mean=mean,
                    cov=pd.DataFrame(sigma, index=free_names, columns=free_names), coefficients=coefficients,
                    participants=frame, log_likelihood=log_likelihood, ibic=ibic, n_group_params=k_group,
                    n_trials=trials, passes=passes, converged=converged, history=history, excluded=excluded)
