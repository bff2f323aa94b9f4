"""The SciPy route to a fit: L-BFGS-B over the engine's objective, step by step in Python.

:func:`velmora.fit` runs natively; this is the route it replaced, kept as the reference that the
native optimiser is tested and benchmarked against (same problem, same priors and transforms, the
same curvature rules). It lives beside the tests, not in the package: a reference is no part of
what a user installs. The benchmarks reach it by putting this folder on ``sys.path``.
"""

from __future__ import annotations

import contextlib
import math
from typing import Any

import numpy as np

from velmora import _engine
from velmora.fitting import prepare, trajectory_at
from velmora.problem import STATS, Problem, slope
from velmora.results import NO_ESTIMATE_CODE, FitResult
from velmora.stream import check_seed


class Objective:
    """The negative log-joint over the transformed free parameters of ``problem``, with its gradient."""

    def __init__(self, problem: Problem) -> None:
        self.problem = problem
        self.evaluations = 0

    def __getattr__(self, name: str) -> Any:
        return getattr(self.problem, name)

    def neg_log_prior(self, theta: np.ndarray) -> tuple[float, np.ndarray]:
        value = -float(
            np.sum(-0.5 * (np.log(2.0 * np.pi * self.prior_var) + (theta - self.prior_mean) ** 2 / self.prior_var))
        )
        return value, (theta - self.prior_mean) / self.prior_var

    def nll(self, theta: np.ndarray) -> tuple[float, np.ndarray]:
        """nll and its gradient in transformed space; (inf, zeros) where the model fails."""
        self.evaluations += 1
        values = self.natural(theta)
        grad = np.zeros(len(self.free))
        if not np.all(np.isfinite(values)):
            return math.inf, grad
        nll = float(
            _engine.objective(
                self.model,
                self.response,
                self.inputs,
                self.responses,
                params=values,
                free=self.free,
                gradient=grad,
                optional=self.given,
                options=self.options,
            )
        )
        if not (math.isfinite(nll) and np.all(np.isfinite(grad))):
            return math.inf, np.zeros(len(self.free))
        slopes = np.array([slope(t, values[i : i + 1])[0] for t, i in zip(self.transforms, self.free)])
        return nll, grad * slopes

    def __call__(self, theta: np.ndarray) -> tuple[float, np.ndarray]:
        nll, grad = self.nll(theta)
        if not math.isfinite(nll):
            return math.inf, grad
        prior, prior_grad = self.neg_log_prior(theta)
        return nll + prior, grad + prior_grad

    def hessian(self, theta: np.ndarray, step: float = 1e-4) -> tuple[np.ndarray, np.ndarray] | None:
        """The negative log-joint's Hessian (central differences of the exact likelihood gradient plus the prior's
        own curvature, symmetrised) and which parameters the likelihood is flat in on one side of ``theta``.
        None if a neighbour is infeasible."""
        k = len(theta)
        h = np.empty((k, k))
        for j in range(k):
            e = np.zeros(k)
            e[j] = step
            (f_up, up), (f_down, down) = self.nll(theta + e), self.nll(theta - e)
            if not (math.isfinite(f_up) and math.isfinite(f_down)):
                return None
            h[:, j] = (up - down) / (2.0 * step)
        h += np.diag(1.0 / self.prior_var)
        return 0.5 * (h + h.T), self.flat(theta)

    def flat(self, theta: np.ndarray) -> np.ndarray:
        """Parameters whose every change to one side of ``theta`` leaves the likelihood as it is, value and
        gradient, from within a 200th of the prior's spread on: a kink such as a binding cap, where the optimiser
        stops a little short of or past it, or a parameter the likelihood does not depend on at all."""
        k = len(theta)
        flat = np.zeros(k, dtype=bool)
        # Rounding in a sum over trials stays far below this; a parameter the data inform moves the gradient more.
        tol = 1e-10 * (1.0 + abs(self.nll(theta)[0]))
        for j in range(k):
            for sign in (1.0, -1.0):
                e = np.zeros(k)
                e[j] = sign * 0.005 * math.sqrt(self.prior_var[j])
                f, grad = self.nll(theta + e)
                if not (math.isfinite(f) and abs(grad[j]) <= tol):
                    continue
                # A zero slope there may be a stationary point: flat only if a step further changes nothing.
                f_far, grad_far = self.nll(theta + 2.0 * e)
                if abs(f_far - f) <= tol * abs(e[j]) and np.all(np.abs(grad_far - grad) <= tol):
                    flat[j] = True
                    break
        return flat


def fit(
    model: str,
    inputs: Any,
    responses: Any = None,
    *,
    response: str = "gaussian",
    fixed: Any = None,
    priors: Any = None,
    n_starts: int = 4,
    seed: int = 0,
    options: Any = None,
) -> FitResult:
    """:func:`velmora.fit`'s problem solved by SciPy's L-BFGS-B from ``n_starts`` starts, the first at
    the prior means and the rest drawn from the priors with ``numpy.random.default_rng(seed)``."""
    from scipy.optimize import OptimizeResult, minimize  # type: ignore[import-untyped,unused-ignore]

    seed = check_seed(seed, "seed", "fit")
    problem, x = prepare(model, inputs, responses, response, fixed, priors, n_starts, options)
    start, response, n_trials = problem.start, problem.response, int(problem.n_trials[0])
    with _one_blas_thread():
        return _optimise(Objective(problem), model, x, n_trials, n_starts, seed, minimize, OptimizeResult)


_BLAS: Any = None


def _one_blas_thread() -> Any:
    """The optimiser's linear algebra works on vectors of a few elements, where BLAS threads gain
    nothing; OpenBLAS's threads spin between calls and, on a busy machine, make a fit 10-50x slower."""
    global _BLAS
    try:
        from threadpoolctl import ThreadpoolController  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        return contextlib.nullcontext()
    if _BLAS is None:
        _BLAS = ThreadpoolController()
    return _BLAS.limit(limits=1, user_api="blas")


def _optimise(
    problem: Objective,
    model: str,
    x: np.ndarray,
    n_trials: int,
    n_starts: int,
    seed: int,
    minimize: Any,
    OptimizeResult: Any,
) -> FitResult:  # noqa: N803
    rng = np.random.default_rng(seed)
    starts = [problem.prior_mean] + [
        rng.normal(problem.prior_mean, np.sqrt(problem.prior_var))
        for _ in range(n_starts - 1 if len(problem.free) else 0)
    ]
    best = None
    for theta0 in starts:
        if not len(theta0):  # everything held: nothing to optimise
            f = problem(theta0)[0]
            result = OptimizeResult(x=theta0, fun=f, success=math.isfinite(f), message="every parameter is held")
        else:
            result = minimize(problem, theta0, jac=True, method="L-BFGS-B")
        if math.isfinite(result.fun) and (best is None or result.fun < best.fun):
            best = result
    # Laid out as the engine lays out its fits, so that both routes' results are built alike.
    stats = np.full((1, len(STATS)), math.nan)
    stats[0, 3:] = getattr(best, "nit", 0), problem.evaluations
    if best is None:
        values = problem.natural(np.full(len(problem.free), math.nan))
        fits = problem.problem.arrays(
            values[None, :],
            np.full((1, len(problem.free)), math.nan),
            stats,
            np.array([NO_ESTIMATE_CODE]),
            np.array([n_trials]),
        )
        return fits.result(0)
    theta = np.asarray(best.x, dtype=np.float64)
    values = problem.natural(theta)
    neg_log_joint = float(best.fun)
    se, lme = _laplace(problem, theta, values, neg_log_joint)
    stats[0, :3] = problem.nll(theta)[0], neg_log_joint, lme
    fits = problem.problem.arrays(
        values[None, :],
        np.array([[se[name] for name in problem.free_names]]),
        stats,
        np.array([0 if best.success else 1]),
        np.array([n_trials]),
    )
    result = fits.result(0)
    result.message = str(best.message)  # the optimiser's own words: this route's reason to exist
    result.trajectory = trajectory_at(problem.problem, x, result.params)
    return result


def _laplace(
    problem: Objective, theta: np.ndarray, values: np.ndarray, neg_log_joint: float
) -> tuple[dict[str, float], float]:
    names = problem.free_names
    if not names:
        return {}, -neg_log_joint
    unknown = {name: math.nan for name in names}, math.nan  # no usable curvature: say so with NaN
    curvature = problem.hessian(theta)
    if curvature is None:
        return unknown
    h, flat = curvature
    # A parameter the likelihood is flat in on one side of the estimate is not identified: the optimum sits on
    # the kink where it stops mattering (a binding prior_precision_cap does this to process_noise and
    # initial_var), and differences across that kink are no curvature. On the flat side only its prior holds
    # it, so there it has its prior's curvature and none shared with the others; the others' errors come from
    # the curvature among themselves, and the evidence integrates the flat ones against their prior alone.
    # That evidence can overstate the exact one by at most minus the log prior probability of the flat side
    # (about 0.3 nats for a Kalman filter capped at 1 on 300 trials).
    unidentified = np.flatnonzero(flat)
    h[unidentified, :] = 0.0
    h[:, unidentified] = 0.0
    h[unidentified, unidentified] = 1.0 / problem.prior_var[unidentified]
    if not np.all(np.isfinite(h)):
        return unknown
    try:
        lower = np.linalg.cholesky(h)
    except np.linalg.LinAlgError:
        return unknown
    cov = np.linalg.inv(h)
    slopes = np.array([slope(t, values[i : i + 1])[0] for t, i in zip(problem.transforms, problem.free)])
    se = {
        name: math.nan if flat[j] else float(abs(s) * math.sqrt(cov[j, j]))
        for j, (name, s) in enumerate(zip(names, slopes))
    }
    log_det = 2.0 * float(np.sum(np.log(np.diag(lower))))
    return se, -neg_log_joint + 0.5 * len(names) * math.log(2.0 * math.pi) - 0.5 * log_det
