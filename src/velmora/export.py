"""Per-trial log-likelihoods at the estimates, as a table and as ArviZ's ``InferenceData``."""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

import numpy as np

from velmora.tables import RESULT_COLUMNS, SE_PREFIX, _Participant, _require_columns, _split, input_columns

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped,unused-ignore]

__all__ = ["pointwise_loglik", "to_inference_data", "regressors"]


def _at_estimates(
    data: pandas.DataFrame,
    fits: pandas.DataFrame,
    model: str,
    subject: str,
    input: str | list[str] | None,
    response: str | None,
    trial: str | None,
    response_model: str | None,
    options: Any,
) -> Iterator[tuple[_Participant, dict[str, float | None], str, np.ndarray | None, int]]:
    """Each participant of ``data`` with a successful fit in ``fits``: its data, its estimates by
    name, the likelihood's kind, its responses as the engine reads them (a choice as its option's
    index) and the number of options (0: none). Every check of pointwise_loglik's arguments."""
    import pandas as pd

    from velmora.choices import option_labels, to_indices
    from velmora.conversion import check_model, check_response_values, resolve_response_model
    from velmora.models import ENGINE, FITTED, PARAMS, RESPONSE_MODELS, RESPONSES, SELF_FIT

    check_model(model, FITTED)
    option_values = option_labels(model, options)
    if response is None and not ENGINE[model].self_fit:
        raise ValueError(f"model '{model}' is fitted to responses only; name the response column")
    inputs = input_columns(model, input)
    _require_columns(fits, {"subject": subject, "lme": "lme"})
    # A table read back from CSV holds NaN where no error was written.
    estimates = fits[fits["error"].isna() | (fits["error"].astype(str) == "")] if "error" in fits.columns else fits
    if "nll" in estimates.columns:
        estimates = estimates[np.isfinite(pd.to_numeric(estimates["nll"], errors="coerce"))]
    estimates = estimates.set_index(subject)
    names = [
        c for c in estimates.columns if c not in RESULT_COLUMNS and not str(c).startswith(SE_PREFIX) and c != "model"
    ]
    if response is not None and response_model is None:
        response_model = fits.attrs.get("response_model")
        # Else the response model whose parameters the table holds, the one with the most of them.
        held = [r for r in RESPONSE_MODELS[model] if all(name in names for name in RESPONSES[r])]
        if response_model is None and held:
            response_model = max(held, key=lambda r: len(RESPONSES[r]))
    if response is not None:
        response_model = resolve_response_model(model, response_model)
    own = RESPONSES[response_model] if response is not None and response_model is not None else ()
    missing = [name for name in [*PARAMS[model], *own] if name not in names]
    if missing:
        raise ValueError(
            f"the fits have no estimate of {', '.join(missing)}, which model {model!r} needs"
            f"{' with responses' if response is not None else ''}; their estimates are "
            f"{', '.join(map(str, names)) or 'none'}: were they fitted with another model?"
        )
    for p in _split(data, subject, inputs, response, trial, 0):
        if p.error is not None or p.inputs is None or p.key not in estimates.index:
            continue
        row = estimates.loc[p.key]
        params = {name: (None if pd.isna(row[name]) else float(row[name])) for name in names}
        kind = SELF_FIT if response is None or response_model is None else response_model
        if p.responses is not None and kind != SELF_FIT:
            # A response the response model cannot give has no likelihood, as the fit refuses it.
            try:
                check_response_values(p.responses, kind)
            except ValueError as error:
                raise ValueError(f"participant {p.key!r}: {error}") from None
        responses = p.responses
        if option_values is not None and responses is not None:
            responses = to_indices(responses, option_values, np.zeros(1, dtype=np.int64), [p.key])
        yield p, params, kind, responses, 0 if option_values is None else option_values.size


def pointwise_loglik(
    data: pandas.DataFrame,
    fits: pandas.DataFrame,
    model: str,
    *,
    subject: str = "subject",
    input: str | list[str] | None = None,
    response: str | None = "response",
    trial: str | None = None,
    response_model: str | None = None,
    options: Any = None,
) -> pandas.DataFrame:
    """Each trial's log-likelihood at a participant's estimate (long format: subject, trial, loglik).

    The same density that the fit maximised: a response's density (a choice's probability) around the
    model's belief before the trial under ``response_model``, or (``response=None``) the filter's
    predictive density of the input. Missed trials (NaN responses) and participants whose fit failed
    (an error, or no finite ``nll``) are left out, so that per participant the values sum to ``-nll``.

    Parameters
    ----------
    data : pandas.DataFrame
        The long table the fits were made from, as :func:`fit_many` reads it.
    fits : pandas.DataFrame
        The :func:`fit_many` result: the estimates in natural units, one row per participant.
    model : str
        A fitted model: one of ``velmora.models.FITTED`` (the engine's report).
    subject : str, optional
        The column of the participants' keys (default ``"subject"``), in ``data`` and in ``fits``.
    input : str, list of str or None, optional
        The input column(s), as in :func:`fit_many` (default: ``"input"``, or the choice models' four).
    response : str or None, optional
        The column of the responses (default ``"response"``); None for fits to the inputs themselves.
    trial : str or None, optional
        A column to order each participant's trials by; None: row order.
    response_model : str or None, optional
        The response model; None: the one ``fit_many`` recorded in the table, else the one whose
        parameters the table holds.
    options : sequence of numbers, optional
        A model that chooses among options: the options' labels, as the fits were given them
        (default 0 and 1).

    Returns
    -------
    pandas.DataFrame
        Columns ``subject`` (the key column's name), ``trial`` (the label in the ``trial`` column when
        one is named, else the position in the participant's trials) and ``loglik``.

    Raises
    ------
    ValueError
        An unknown model or response model; ``response=None`` for a model fitted to responses only;
        input columns of the wrong number; fits without an estimate the model needs; any other trial
        whose value is not finite, which means that the fits do not belong to the data; no participant
        with both data and a successful fit.
    KeyError
        A column that ``data`` or ``fits`` lacks.
    """
    import pandas as pd

    from velmora.trials import logliks

    frames = []
    at_estimates = _at_estimates(data, fits, model, subject, input, response, trial, response_model, options)
    for p, params, kind, responses, n_options in at_estimates:
        assert p.inputs is not None
        loglik = logliks(model, kind, p.inputs, responses, params, n_options)
        kept = np.flatnonzero(~np.isnan(p.responses)) if p.responses is not None else np.arange(loglik.size)
        if not np.isfinite(loglik[kept]).all():
            at = int(kept[np.argmax(~np.isfinite(loglik[kept]))])
            raise ValueError(
                f"participant {p.key!r}, trial {at}: the log-likelihood at the estimates is "
                f"{loglik[at]}; were these fits made from these data?"
            )
        # The data's own trial labels when they have them, else the positions in the participant's trials.
        labels = kept if trial is None or p.rows is None else data[trial].to_numpy()[p.rows[kept]]
        frames.append(pd.DataFrame({subject: [p.key] * kept.size, "trial": labels, "loglik": loglik[kept]}))
    if not frames:
        raise ValueError("no participant has both data and a successful fit")
    return pd.concat(frames, ignore_index=True)


def regressors(
    data: pandas.DataFrame,
    fits: pandas.DataFrame,
    model: str,
    *,
    subject: str = "subject",
    input: str | list[str] | None = None,
    response: str | None = "response",
    trial: str | None = None,
    response_model: str | None = None,
    options: Any = None,
) -> pandas.DataFrame:
    """Each participant's trajectory at its estimates, trial by trial, as a long table: the trial-wise
    regressors of an imaging or physiological analysis.

    For a model that chooses among options: ``prediction_error`` (the chosen option's, NaN on a missed
    trial or one without an outcome), each option's value before the trial (``value_<option>``, or
    ``mean_<option>`` and ``var_<option>`` for ``kalman_bandit``) and each option's choice probability
    (``probability_<option>``); for any other model its fields (:func:`velmora.simulate`'s trajectory).
    The arguments are :func:`pointwise_loglik`'s; participants without a successful fit are left out.

    Returns
    -------
    pandas.DataFrame
        Columns ``subject`` (the key column's name), ``trial`` (the ``trial`` column's label when one
        is named, else the position in the participant's trials) and the fields, one row per trial.
    """
    import pandas as pd

    from velmora.choices import choice_trajectory, option_labels
    from velmora.trajectories import run_model

    labels = option_labels(model, options)
    frames = []
    at_estimates = _at_estimates(data, fits, model, subject, input, response, trial, response_model, options)
    for p, params, kind, responses, _ in at_estimates:
        assert p.inputs is not None
        if labels is not None and responses is not None:
            frame = choice_trajectory(model, kind, p.inputs, responses, params, labels).to_frame()
        else:
            frame = run_model(model, p.inputs, {k: v for k, v in params.items() if v is not None}).to_frame()
        frame.insert(
            0, "trial", np.arange(len(frame)) if trial is None or p.rows is None else data[trial].to_numpy()[p.rows]
        )
        frame.insert(0, subject, p.key)
        frames.append(frame)
    if not frames:
        raise ValueError("no participant has both data and a successful fit")
    return pd.concat(frames, ignore_index=True)


def to_inference_data(data: pandas.DataFrame, fits: pandas.DataFrame, model: str, **columns: Any) -> Any:
    """Per-trial log-likelihoods at the estimates as an ``arviz.InferenceData``.

    The ``log_likelihood`` group holds one variable, ``y``, with one chain, one draw and one
    observation per trial of every participant (coordinates ``participant`` and ``trial`` on
    dimension ``obs``); the ``posterior`` group holds the estimates as that one draw, one value per
    participant. Models fitted to the same data line up observation by observation, as
    ``arviz.compare({"hgf": to_inference_data(...), "kalman": ...}, ic="waic")`` needs.

    The estimates are point estimates, not posterior draws, and that limits what ArviZ can do with
    them: ``arviz.loo`` refuses a single draw (Pareto smoothing needs several), while ``arviz.waic``
    and ``arviz.compare(..., ic="waic")`` accept it but reduce to the in-sample log-likelihood at the
    estimates (``p_waic`` is 0: no penalty for flexibility). Use :func:`compare` (Laplace evidence) to
    choose between models; this export is for ArviZ's pointwise tables and plots.

    Parameters
    ----------
    data : pandas.DataFrame
        The long table the fits were made from, as :func:`fit_many` reads it.
    fits : pandas.DataFrame
        The :func:`fit_many` result.
    model : str
        The model the fits are of.
    **columns
        ``subject``, ``input``, ``response``, ``trial`` and ``response_model``, naming the columns as
        in :func:`fit_many` (see :func:`velmora.study.pointwise_loglik`).

    Returns
    -------
    arviz.InferenceData

    Raises
    ------
    ModuleNotFoundError
        ArviZ is not installed.
    ValueError, KeyError
        As :func:`velmora.study.pointwise_loglik` raises them.
    TypeError
        A keyword other than those.
    """
    try:
        import arviz as az
    except ModuleNotFoundError:
        raise ModuleNotFoundError(
            "to_inference_data needs ArviZ, which is not installed: pip install 'velmora[arviz]'", name="arviz"
        ) from None

    table = pointwise_loglik(data, fits, model, **columns)
    subject = columns.get("subject", "subject")
    estimates = fits[fits[subject].isin(set(table[subject]))]
    names = [
        c
        for c in estimates.columns
        if c not in (*RESULT_COLUMNS, subject, "model")
        and not str(c).startswith(SE_PREFIX)
        and estimates[c].notna().any()
    ]
    # The estimates stand as the posterior's one draw: ArviZ needs a posterior beside the likelihood.
    posterior = {name: estimates[name].to_numpy(dtype=np.float64)[None, None, :] for name in names}
    idata = az.from_dict(
        posterior=posterior,
        log_likelihood={"y": table["loglik"].to_numpy()[None, None, :]},
        dims={"y": ["obs"], **{name: ["participant"] for name in names}},
        coords={"obs": np.arange(len(table)), "participant": estimates[subject].to_numpy()},
    )
    idata.log_likelihood = idata.log_likelihood.assign_coords(
        participant=("obs", table[subject].to_numpy()), trial=("obs", table["trial"].to_numpy())
    )
    return idata
