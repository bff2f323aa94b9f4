"""The EM passes, accelerated by squared extrapolation (SQUAREM; Varadhan & Roland 2008): from two EM
steps, a longer step along their direction, kept when the evidence does not fall. EM on a variance
that the data pin down weakly otherwise creeps for hundreds of passes. Also when the passes stop,
and the sentence that says why."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np

from velmora._group.data import GroupData, check_design
from velmora._group.estep import Sampler, laplace
from velmora._group.mstep import PriorCoding, group_errors, m_step
from velmora.results import NO_ESTIMATE_CODE

# The passes stop only once no group mean or SD has more than _LEFT_FRACTION of its standard error
# left to go at the rate EM's steps shrink; a step below _STEP_NOISE of it (where the participants'
# fits' own tolerance shows) counts as none.
_LEFT_FRACTION = 0.05
_STEP_NOISE = 1e-6
# The status of a participant's fit that Ctrl-C stopped.
_INTERRUPTED = 3


@dataclass
class Run:
    """The EM run so far: the last pass's state, the summed log joint per pass, the group SDs per pass."""

    current: dict[str, Any]
    history: list[float] = field(default_factory=list)
    sds: list[np.ndarray] = field(default_factory=list)
    passes: int = 1
    converged: bool = False


class Passes:
    """One EM pass at a time over ``data`` under the E-step of ``method``, and the tests on them."""

    def __init__(self, data: GroupData, sampler: Sampler, coding: PriorCoding, method: str, bar: Any) -> None:
        self.data, self.sampler, self.coding, self.method, self.bar = data, sampler, coding, method, bar

    def em_pass(self, y: np.ndarray, starts_per_fit: int, first: np.ndarray | None = None) -> dict[str, Any]:
        """The E-step under the prior y (each fit's first start at ``first``), and the prior its M-step gives."""
        x = self.data.x
        b, sigma = self.coding.unpack(y)
        fits = laplace(self.data, b, sigma, starts_per_fit, first)
        if fits["status"].max(initial=0) == _INTERRUPTED:
            raise KeyboardInterrupt
        usable = fits["status"] != NO_ESTIMATE_CODE
        if self.method == "sampling":
            sample = self.sampler.sampled(fits, b, sigma)
            theta, post_cov, evidence = sample["mean"], sample["cov"], sample["marginal"]
            objective = float(evidence[np.isfinite(evidence)].sum())
        else:
            theta = fits["theta"]
            post_cov = np.where(np.isfinite(fits["cov"]), fits["cov"], sigma)  # no curvature: the prior's
            objective = float(-fits["stats"][usable, 1].sum())
            evidence = fits["stats"][:, 2]
        keep = usable & np.isfinite(theta).all(axis=1)
        check_design(x[keep], "participants with an estimate under the group prior")
        b_new, sigma_new = m_step(theta[keep], post_cov[keep], x[keep], self.data.full)
        if self.bar is not None:
            self.bar.update(1)
        return {
            "y": y,
            "fits": fits,
            "theta": theta,
            "post_cov": post_cov,
            "objective": objective,
            "evidence": evidence,
            "keep": keep,
            "next": self.coding.pack(b_new, sigma_new),
            "sample": sample if self.method == "sampling" else None,
        }

    def errors_at(self, state: dict[str, Any]) -> np.ndarray:
        """The standard errors of ``coding.natural(state["y"])``."""
        _, sigma = self.coding.unpack(state["y"])
        se_b, se_sd = group_errors(self.data.x[state["keep"]], sigma, state["post_cov"][state["keep"]])
        return np.concatenate([se_b.ravel(), se_sd])

    def left_to_go(self, state: dict[str, Any], before: np.ndarray) -> float:
        """How far, in standard errors at ``state``, the group parameters (each coefficient and SD) still
        are from EM's fixed point, the most of any: ``state`` is one EM step from ``before``, and its own
        step (to ``state["next"]``) shrank from that one by a rate rho, so about step / (1 - rho) is
        left. A step below _STEP_NOISE counts as none: the participants' fits show there."""
        natural_group = self.coding.natural
        se = self.errors_at(state)
        here = natural_group(state["y"])
        last = np.abs(here - natural_group(before)) / se
        step = np.abs(natural_group(state["next"]) - here) / se
        with np.errstate(divide="ignore", invalid="ignore"):
            rate = np.where(last > 0, step / last, np.inf)
            left = np.where(step < _STEP_NOISE, 0.0, np.where(rate < 1.0, step / (1.0 - rate), np.inf))
        return float(left.max())

    def start_from(self, state: dict[str, Any]) -> np.ndarray:
        """Each participant's last estimate, or the group mean where it has none."""
        b, _ = self.coding.unpack(state["y"])
        last = state["fits"]["theta"]
        return np.ascontiguousarray(np.where(np.isfinite(last), last, self.data.x @ b))


def no_worse(jumped: dict[str, Any], first: dict[str, Any]) -> bool:
    """Whether the jump's evidence is at least the plain step's, over the participants with one
    under both; a jump that loses a participant's evidence is worse, whatever the sum says."""
    a, b = jumped["evidence"], first["evidence"]
    both = np.isfinite(a) & np.isfinite(b)
    return bool(np.isfinite(a).sum() >= np.isfinite(b).sum() and a[both].sum() >= b[both].sum())


def run(passes: Passes, y0: np.ndarray, n_starts: int, max_iter: int, tolerance: float) -> Run:
    """EM from the packed prior ``y0`` (its first pass from ``n_starts`` starts per participant) until
    the group parameters stand still, or ``max_iter`` passes."""
    natural_group, errors_at, b_size = passes.coding.natural, passes.errors_at, passes.coding.b_size
    state = Run(passes.em_pass(y0, n_starts))
    current = state.current
    state.history.append(current["objective"])
    state.sds.append(natural_group(current["y"])[b_size:])
    while state.passes < max_iter:
        first = passes.em_pass(current["next"], 1, passes.start_from(current))
        state.passes += 1
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
            passes.left_to_go(first, current["y"]) < _LEFT_FRACTION
            and not heading_for_zero(
                np.array(state.sds + [natural_group(first["y"])[b_size:]]), errors_at(first)[b_size:]
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
        if alpha < -1.0 and state.passes < max_iter:
            state.passes += 1
            try:
                jumped = passes.em_pass(current["y"] - 2.0 * alpha * r + alpha**2 * v, 1, passes.start_from(first))
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
            state.converged, current = True, first
            state.history.append(current["objective"])
            break
        state.history.append(chosen["objective"])
        current = chosen
        state.sds.append(natural_group(current["y"])[b_size:])
    state.current = current
    return state


# A group SD counts as heading for 0 where it fell on each of the last _SHRINKING passes and lies
# within its own standard error of 0: the data cannot tell it from no spread at all.
_SHRINKING = 5


def heading_for_zero(sds: np.ndarray, se_sd: np.ndarray) -> np.ndarray:
    """Per group SD, over its values pass by pass: whether it fell on each of the last _SHRINKING passes
    and now lies within its standard error of 0."""
    recent = sds[-(_SHRINKING + 1) :]
    if len(recent) <= _SHRINKING:
        return np.zeros(sds.shape[1], dtype=bool)
    shrinking: np.ndarray = np.all(np.diff(recent, axis=0) < 0, axis=0) & (recent[-1] < se_sd)
    return shrinking


def stop_message(converged: bool, passes: int, names: list[str], sds: np.ndarray, se_sd: np.ndarray) -> str:
    """Why the passes stopped: converged, or the limit, naming the SDs that were still heading for 0."""
    plural = "es" * (passes != 1)
    if converged:
        return f"converged after {passes} pass{plural}: the group parameters stand still on their standard errors"
    shrinking = [name for name, heading in zip(names, heading_for_zero(sds, se_sd)) if heading]
    if shrinking:
        several = len(shrinking) > 1
        return (
            f"not converged after {passes} pass{plural}: the group SD{'s' * several} of {', '.join(shrinking)} "
            f"head{'s' * (not several)} for 0, a boundary that more passes only creep towards (the data cannot "
            f"tell the spread from none); fix {'those parameters' if several else 'that parameter'}, or fit a "
            "larger study"
        )
    return f"not converged after {passes} pass{plural}: raise max_iter"
