"""The models on NumPy arrays: one sequence or many subjects per call, on every core.

The functions here take the parameters of the list functions of the same names (so switching is
one import) and return one float64 array per field instead of lists of tuples. Each field is
bit-identical to the list function's output for the same arguments.

Many subjects in one call: pass a 2-D array (subjects x trials) or a list of 1-D arrays of any
lengths as the sequence; every numeric parameter is then a scalar or one value per subject, and
``seed`` one seed per subject (:func:`seeds` derives them from one). The result's fields are then
2-D, padded with NaN past each subject's length (``lengths``). Subject ``i``'s rows are exactly what
a single call with subject ``i``'s arguments returns. The computation runs without the interpreter
lock on ``threads`` threads (default: every CPU this process may use; no more than twice that
many, nor more than there are chunks of about 32,768 output cells, are started, since the work is
bound by computation and more threads would only compete); the results do not depend on the thread
count. A failing subject raises the model's exception for the lowest failing index, its message
starting with ``"subject i: "``. Ctrl-C stops a running call.

Padding is paid for in full: a ragged batch's result holds ``subjects x longest`` cells per field, so
one long subject among many short ones can make it many times the size of the values it holds (a
``RuntimeWarning`` says so when it is at least 8 times that and 1 GiB or more); call such a subject
on its own. A pandas ``DataFrame`` is read as subjects x trials (its values, not its labels), and a
``Series`` serves wherever a sequence does.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from velmora import _engine
from velmora.deprecation import UNSET, renamed_keyword
from velmora.conversion import refuse_complex, values_of
from velmora.fitting import fit_arrays
from velmora.stream import binary, normal, seeds, uniform
from velmora.trajectories import (
    DiscountTrajectories,
    ForwardTrajectories,
    HgfTrajectories,
    HyperbolicTrajectories,
    KalmanTrajectories,
    TdTrajectories,
    Trajectories,
    run_listed,
)

if TYPE_CHECKING:
    from collections.abc import Mapping

    from velmora.results import FitArrays

__all__ = [
    "fit",
    "kalman_run",
    "hgf_run",
    "td_learn_sequence",
    "forward_simulate",
    "normal",
    "uniform",
    "binary",
    "seeds",
    "discounted_value",
    "Trajectories",
    "KalmanTrajectories",
    "HgfTrajectories",
    "TdTrajectories",
    "ForwardTrajectories",
    "DiscountTrajectories",
    "HyperbolicTrajectories",
]


# Cells of a broadcast computed per step by discounted_value.
_BROADCAST_BLOCK = 2**16


def kalman_run(
    initial_mean: Any,
    initial_var: Any,
    observations: Any,
    process_noise: Any,
    obs_noise: Any,
    prior_precision_cap: Any = None,
    *,
    threads: int | None = None,
) -> KalmanTrajectories:
    """The 1-D Kalman filter over one sequence or many: ``mean``, ``var`` and ``loglik`` per step.

    The parameters are those of :func:`velmora.kalman_run`, and each field that it returns is
    bit-identical to its output for the same arguments.

    Many subjects in one call: pass a 2-D array (subjects x trials) or a list of 1-D sequences of any
    lengths; every numeric parameter is then a scalar or one value per subject. Subject ``i``'s rows
    are exactly what a single call with subject ``i``'s arguments returns.

    Means are in the unit of the observations, variances in its square. Where a fit estimates a
    parameter (:func:`velmora.fit`), its transform and default prior there are given (:ref:`priors`).

    Parameters
    ----------
    initial_mean : float or array_like
        The prior mean of the hidden state. Fitted on the identity scale, default prior (0, 100).
    initial_var : float or array_like
        The prior variance of the hidden state. Fitted on the log scale, default prior (log 1, 4).
    observations : array_like
        The observations: a 1-D sequence, a 2-D array (subjects x trials) or a list of 1-D sequences.
    process_noise : float or array_like
        The variance added to the hidden state per step, finite and >= 0. Fitted on the log scale,
        default prior (log 0.1, 4).
    obs_noise : float or array_like
        The variance of the observation noise. Fitted on the log scale, default prior (log 1, 4); held
        at 1 when fitting responses, whose beliefs depend on the variances only through their ratios to
        it.
    prior_precision_cap : float, array_like or None, optional
        A ceiling on the prediction's precision (the inverse of its variance), finite and > 0; None (the
        default) runs uncapped. A fit never estimates it: hold it with ``fixed=``.
    threads : int or None, optional
        Threads to run on (default: every CPU this process may use); no more than twice that many, nor
        more than there are chunks of about 32,768 output cells, are started. The results do not depend
        on it.

    Returns
    -------
    KalmanTrajectories
        Posterior ``mean`` and ``var`` after each observation, and its predictive log-likelihood
        ``loglik``; 1-D for one sequence, subjects x trials for many (NaN past each subject's
        length).

    Raises
    ------
    TypeError
        An argument that is not a real number or a sequence of them (None, text and complex numbers
        are refused), or ``threads`` that is not an integer.
    ValueError
        A 3-D array, a subject that is not 1-D, a parameter array that is not one value per subject,
        or ``threads`` below 1.
    velmora.InvalidParameter
        A parameter or input outside its valid range; the message names it (for many subjects it starts
        with ``"subject i: "``, the lowest failing subject).
    velmora.NumericalDivergence
        A step that would produce a non-finite posterior.
    KeyboardInterrupt
        Ctrl-C, which stops a running call.

    Warns
    -----
    RuntimeWarning
        When padding a ragged batch makes the result at least 8 times the values it holds and 1 GiB or
        more.
    """
    return run_listed("kalman", "observations", locals(), threads, KalmanTrajectories)


def hgf_run(
    observations: Any,
    obs_noise: Any,
    precision_flexibility: Any,
    base_process_noise: Any = 0.01,
    mu1: Any = 0.0,
    var1: Any = 1.0,
    mu2: Any = 0.0,
    var2: Any = 1.0,
    *,
    threads: int | None = None,
) -> HgfTrajectories:
    """The volatility-coupled HGF over one sequence or many: its seven fields and ``loglik``.

    The parameters are those of :func:`velmora.hgf_run`, and each field that it returns is
    bit-identical to its output for the same arguments.

    Many subjects in one call: pass a 2-D array (subjects x trials) or a list of 1-D sequences of any
    lengths; every numeric parameter is then a scalar or one value per subject. Subject ``i``'s rows
    are exactly what a single call with subject ``i``'s arguments returns.

    Level 1 is in the unit of the observations (its variances in its square); level 2 is the log
    volatility. Where a fit estimates a parameter (:func:`velmora.fit`), its transform and default prior
    there are given (:ref:`priors`).

    Parameters
    ----------
    observations : array_like
        The observations: a 1-D sequence, a 2-D array (subjects x trials) or a list of 1-D sequences.
    obs_noise : float or array_like
        The variance of the observation noise. Fitted on the log scale, default prior (log 1, 4).
    precision_flexibility : float or array_like
        The coupling of level 2 (log volatility) to level 1's step variance, finite and >= 0. Fitted on
        the log scale, default prior (log 1, 4).
    base_process_noise : float or array_like, optional
        Level 1's step variance at zero volatility (default 0.01). Fitted on the log scale, default
        prior (log 0.01, 4).
    mu1 : float or array_like, optional
        The initial mean of level 1 (default 0). Identity scale, prior (0, 100); a default fit holds it
        at 0.
    var1 : float or array_like, optional
        The initial variance of level 1 (default 1). Log scale, prior (log 1, 4); a default fit holds it
        at 1.
    mu2 : float or array_like, optional
        The initial mean of level 2 (default 0). Identity scale, prior (0, 100); a default fit holds it
        at 0.
    var2 : float or array_like, optional
        The initial variance of level 2 (default 1): checked as the list function checks it, but the
        filter does not use it, so a fit has no such parameter.
    threads : int or None, optional
        Threads to run on (default: every CPU this process may use); no more than twice that many, nor
        more than there are chunks of about 32,768 output cells, are started. The results do not depend
        on it.

    Returns
    -------
    HgfTrajectories
        ``t``, ``prediction``, ``observation``, ``precision``, ``prediction_error``,
        ``learning_rate``, ``volatility`` and ``loglik`` per observation; 1-D for one sequence,
        subjects x trials for many (NaN past each subject's length).

    Raises
    ------
    TypeError
        An argument that is not a real number or a sequence of them (None, text and complex numbers
        are refused), or ``threads`` that is not an integer.
    ValueError
        A 3-D array, a subject that is not 1-D, a parameter array that is not one value per subject,
        or ``threads`` below 1.
    velmora.InvalidParameter
        A parameter or input outside its valid range; the message names it (for many subjects it starts
        with ``"subject i: "``, the lowest failing subject).
    velmora.NumericalDivergence
        A step that would produce a non-finite level-1 mean.
    KeyboardInterrupt
        Ctrl-C, which stops a running call.

    Warns
    -----
    RuntimeWarning
        When padding a ragged batch makes the result at least 8 times the values it holds and 1 GiB or
        more.
    """
    return run_listed("hgf", "observations", locals(), threads, HgfTrajectories)


def td_learn_sequence(
    initial_value: Any,
    rewards: Any,
    learning_rate: Any,
    discount_factor: Any,
    rpe_noise_std: Any,
    seed: Any,
    *,
    threads: int | None = None,
) -> TdTrajectories:
    """Value learning over one reward sequence or many: ``value`` after each reward.

    The parameters are those of :func:`velmora.td_learn_sequence`, and each field that it returns is
    bit-identical to its output for the same arguments.

    Many subjects in one call: pass a 2-D array (subjects x trials) or a list of 1-D sequences of any
    lengths; every numeric parameter is then a scalar or one value per subject. Subject ``i``'s rows
    are exactly what a single call with subject ``i``'s arguments returns.

    Values are in the unit of the rewards. Where a fit estimates a parameter (:func:`velmora.fit`), its
    transform and default prior there are given (:ref:`priors`); TD is fitted without prediction-error
    noise.

    Parameters
    ----------
    initial_value : float or array_like
        The value before the first reward. Fitted on the identity scale, default prior (0, 100).
    rewards : array_like
        The rewards: a 1-D sequence, a 2-D array (subjects x trials) or a list of 1-D sequences.
    learning_rate : float or array_like
        The step size, in [0, 1]. Fitted on the logit scale, default prior (0, 2.25).
    discount_factor : float or array_like
        Checked, as by the list function, but it changes no value; a fit has no such parameter.
    rpe_noise_std : float or array_like
        The standard deviation of Gaussian noise on each prediction error, finite and >= 0, in the unit
        of the rewards; not fitted.
    seed : int or array_like
        The seed of that noise, an integer from 0 to 2**64-1; for many subjects one per subject
        (:func:`seeds` derives them from one), or one seed when the noise is 0.
    threads : int or None, optional
        Threads to run on (default: every CPU this process may use); no more than twice that many, nor
        more than there are chunks of about 32,768 output cells, are started. The results do not depend
        on it.

    Returns
    -------
    TdTrajectories
        ``value`` after each reward; 1-D for one sequence, subjects x trials for many (NaN past each
        subject's length).

    Raises
    ------
    TypeError
        An argument that is not a real number or a sequence of them (None, text and complex numbers
        are refused), a seed that is not an integer, or ``threads`` that is not an integer.
    ValueError
        A 3-D array, a subject that is not 1-D, a parameter array that is not one value per subject,
        or ``threads`` below 1; for many subjects seeds not one per subject, outside 0 to 2**64-1,
        or one seed for all while the noise is not 0 (:func:`seeds` derives one per subject).
    OverflowError
        One seed outside 0 to 2**64-1.
    velmora.InvalidParameter
        A parameter or input outside its valid range; the message names it (for many subjects it starts
        with ``"subject i: "``, the lowest failing subject).
    KeyboardInterrupt
        Ctrl-C, which stops a running call.

    Warns
    -----
    RuntimeWarning
        When padding a ragged batch makes the result at least 8 times the values it holds and 1 GiB or
        more.
    """
    return run_listed("td", "rewards", locals(), threads, TdTrajectories)


def forward_simulate(
    motor_command: Any,
    update_rate: Any,
    injury_noise_std: Any,
    sensory_gain: Any,
    seed: Any,
    *,
    threads: int | None = None,
) -> ForwardTrajectories:
    """The self-motion forward model over one command sequence or many.

    The parameters are those of :func:`velmora.forward_simulate`, and each field that it returns is
    bit-identical to its output for the same arguments.

    Many subjects in one call: pass a 2-D array (subjects x trials) or a list of 1-D sequences of any
    lengths; every numeric parameter is then a scalar or one value per subject. Subject ``i``'s rows
    are exactly what a single call with subject ``i``'s arguments returns.

    The model is not fitted: its parameters have no transform or prior.

    Parameters
    ----------
    motor_command : array_like
        The commands: a 1-D sequence, a 2-D array (subjects x trials) or a list of 1-D sequences.
    update_rate : float or array_like
        The share of the mismatch the prediction moves by, in [0, 1].
    injury_noise_std : float or array_like
        The standard deviation of the noise on the sensed movement, finite and >= 0, in the unit of the
        movement.
    sensory_gain : float or array_like
        The gain from command to movement (movement per unit of command).
    seed : int or array_like
        The seed of the noise, an integer from 0 to 2**64-1; for many subjects one per subject
        (:func:`seeds` derives them from one), or one seed when the noise is 0.
    threads : int or None, optional
        Threads to run on (default: every CPU this process may use); no more than twice that many, nor
        more than there are chunks of about 32,768 output cells, are started. The results do not depend
        on it.

    Returns
    -------
    ForwardTrajectories
        Per motor command: step index ``t``, ``predicted`` and ``actual`` movement, and their
        ``mismatch``; 1-D for one sequence, subjects x trials for many (NaN past each subject's
        length).

    Raises
    ------
    TypeError
        An argument that is not a real number or a sequence of them (None, text and complex numbers
        are refused), a seed that is not an integer, or ``threads`` that is not an integer.
    ValueError
        A 3-D array, a subject that is not 1-D, a parameter array that is not one value per subject,
        or ``threads`` below 1; for many subjects seeds not one per subject, outside 0 to 2**64-1,
        or one seed for all while the noise is not 0 (:func:`seeds` derives one per subject).
    OverflowError
        One seed outside 0 to 2**64-1.
    velmora.InvalidParameter
        A parameter or input outside its valid range; the message names it (for many subjects it starts
        with ``"subject i: "``, the lowest failing subject).
    velmora.NumericalDivergence
        A step that would produce a non-finite estimate.
    KeyboardInterrupt
        Ctrl-C, which stops a running call.

    Warns
    -----
    RuntimeWarning
        When padding a ragged batch makes the result at least 8 times the values it holds and 1 GiB or
        more.
    """
    return run_listed("forward", "motor_command", locals(), threads, ForwardTrajectories)


def discounted_value(reward: Any, delay: Any, discount_factor: Any) -> np.ndarray:
    """``reward * discount_factor ** delay`` over NumPy arrays broadcast together.

    Element by element the value of :func:`velmora.discounted_value`, to the bit. No value is rejected:
    NaN and infinities follow as the scalar function gives them. The model of :func:`velmora.fit`'s
    ``discount`` values each offer so; there ``discount_factor`` is fitted on the logit scale, default
    prior (4, 16).

    Parameters
    ----------
    reward : array_like
        The amounts, in any unit (the result is in the same).
    delay : array_like
        The delays, in any one unit.
    discount_factor : array_like
        The factor per unit of delay.

    Returns
    -------
    numpy.ndarray
        float64, of the broadcast shape (0-D for three scalars).

    Raises
    ------
    TypeError
        An argument that is not an array of real numbers (text, complex numbers, nested lists of
        several lengths).
    ValueError
        Arguments that do not broadcast together.
    """
    arrays = []
    names = ("reward", "delay", "discount_factor")
    for name, value in zip(names, (reward, delay, discount_factor)):
        try:
            array = np.asarray(values_of(value))
        except ValueError as error:  # nested lists of several lengths
            raise TypeError(f"argument '{name}': expected an array of real numbers ({error})") from None
        refuse_complex(array, name)
        if array.dtype.kind not in "biuf":
            raise TypeError(f"argument '{name}': expected real numbers, got dtype {array.dtype}")
        arrays.append(array)
    try:
        shape = np.broadcast_shapes(*(a.shape for a in arrays))
    except ValueError:
        raise ValueError(
            "arguments do not broadcast together: "
            + ", ".join(f"{name} of shape {a.shape}" for name, a in zip(names, arrays))
        ) from None
    out = np.empty(shape, dtype=np.float64)
    # A block of the broadcast at a time: copying each argument out to the full shape would take three
    # more results' worth of memory, and fail (or draw the kernel's OOM killer) where the result fits.
    blocks = np.nditer(
        (*arrays, out),
        flags=["external_loop", "buffered", "zerosize_ok"],
        op_flags=[["readonly"], ["readonly"], ["readonly"], ["writeonly"]],
        op_dtypes=[np.float64] * 4,
        casting="unsafe",
        buffersize=_BROADCAST_BLOCK,
    )
    with blocks:
        for r, d, f, target in blocks:
            values = np.empty(target.shape)
            _engine.discounted_value(np.ascontiguousarray(r), np.ascontiguousarray(d), np.ascontiguousarray(f), values)
            target[...] = values
    return out


def fit(
    model: str,
    inputs: Any,
    responses: Any = None,
    *,
    response_model: str | None = None,
    fixed: Mapping[str, Any] | None = None,
    priors: Mapping[str, Any] | None = None,
    n_starts: int = 4,
    seeds: Any = None,
    seed: int = 0,
    threads: int | None = None,
    options: Any = None,
    response: Any = UNSET,
) -> FitArrays:
    """Fit ``model`` to many participants in one call, natively on ``threads`` threads.

    Each participant's fit is :func:`velmora.fit`'s, with the same ``response_model``, ``fixed``, ``priors``
    and ``n_starts``, and its starts drawn from its own seed. The results do not depend on ``threads``
    or on the order of the participants. The transforms and default priors of the parameters are those
    of :func:`velmora.fit` (:ref:`priors`).

    Parameters
    ----------
    model : str
        A fitted model: one of ``velmora.models.FITTED`` (the engine's report).
    inputs : array_like
        One sequence, a 2-D array (participants x trials) or a list of sequences of any lengths, in the
        unit of the data; for the choice models (``discount``, ``hyperbolic``) each participant's inputs
        are a trials x 4 array (a 3-D array or a list of them), the delays in any one unit.
    responses : array_like or None, optional
        Shaped like ``inputs`` (one per trial), NaN for a missed trial; None (the default) fits the
        inputs themselves.
    response_model : str or None, optional
        The response model; None is the model's default response model (as in :func:`velmora.fit`).
    fixed : mapping of str to float, optional
        Parameters held at natural values, as in :func:`velmora.fit`.
    priors : mapping of str to (float, float), optional
        Gaussian priors (mean, variance) in the transformed space, as in :func:`velmora.fit`.
    n_starts : int, optional
        Starting points of each participant's optimiser, at least 1 (default 4).
    seeds : array_like or None, optional
        One seed per participant, each an integer from 0 to 2**64-1 (one sequence: one seed). None
        (the default) derives them from ``seed`` by :func:`seeds` (one sequence: ``seed`` itself).
    seed : int, optional
        The seed the participants' seeds are derived from, an integer from 0 to 2**64-1 (default 0).
    threads : int or None, optional
        Threads to fit on (default: every CPU this process may use; no more than twice that many are
        started). The results do not depend on it.
    response : str, optional
        Deprecated spelling of ``response_model`` (DeprecationWarning).

    Returns
    -------
    FitArrays
        One entry per participant in each array, ``to_frame()`` for a table. One whose fit finds no
        feasible point has NaN estimates and a message in ``error``.

    Raises
    ------
    ValueError
        Arguments that are wrong for every participant, before any fit (as :func:`velmora.fit` checks
        them); responses not shaped like the inputs; a participant whose data are wrong (no trials,
        responses not one per trial, a choice other than 1, 0 or NaN, every response missing), named by
        its index, before any fit; seeds not one per participant or outside 0 to 2**64-1; ``threads``
        below 1.
    TypeError
        Inputs, responses, held values, priors, seeds or ``threads`` of the wrong type, as in
        :func:`velmora.fit`.
    OverflowError
        The seed of one sequence, given in ``seeds``, outside 0 to 2**64-1.
    velmora.InvalidParameter
        A participant's non-finite inputs or negative delays, named by its index and the trial, before
        any fit; held values the model refuses.
    KeyboardInterrupt
        Ctrl-C, which stops the call.
    """
    return fit_arrays(
        model,
        inputs,
        responses,
        response=renamed_keyword("velmora.arrays.fit", "response", "response_model", response, response_model),
        fixed=fixed,
        priors=priors,
        n_starts=n_starts,
        seeds=seeds,
        seed=seed,
        threads=threads,
        options=options,
    )
