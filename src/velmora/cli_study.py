"""The command line's study commands: fit a table of participants (each alone, or under a group
prior), simulate one, compare fitted models. :mod:`velmora.cli` adds them to its parser and runs them."""

from __future__ import annotations

import argparse
import math
import os
import sys
import warnings
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from velmora import csv_io, plotting
from velmora.cli_args import SEED_HELP, assignment, by_name, count, option_list, positive, prior_pair, samples, seed
from velmora.csv_io import CommandError, UsageError, notice
from velmora.models import ENGINE, FITTED, RESPONSE_MODELS

STUDY_MODELS = FITTED


def _response_help() -> str:
    """The response models and each model's default, from the engine's report."""
    by_default: dict[str, list[str]] = {}
    for model, allowed in RESPONSE_MODELS.items():
        by_default.setdefault(allowed[0], []).append(model)
    kinds = ", ".join(dict.fromkeys(r for allowed in RESPONSE_MODELS.values() for r in allowed))
    defaults = "; ".join(f"{response} for {', '.join(models)}" for response, models in by_default.items())
    return f"response model: {kinds} (default: the model's own: {defaults})"


_RESPONSE_HELP = _response_help()


class _OldSpelling(argparse.Action):
    """An option's old spelling, kept for one release: stores as the new one does, with a notice."""

    def __call__(
        self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any, option_string: Any = None
    ) -> None:
        notice(
            f"{parser.prog}: {option_string} is deprecated, use {self.const} (the same option; the old "
            "spelling goes in the next release)"
        )
        setattr(namespace, self.dest, values)


def _response_model_option(sub: argparse.ArgumentParser, option: Callable[..., None]) -> None:
    """--response-model; --response, its old spelling, named the model beside --response-column's column.
    The two together are refused, rather than the last one silently kept."""
    either = sub.add_mutually_exclusive_group()
    option(either, "--response-model", dest="response", metavar="KIND", help=_RESPONSE_HELP)
    option(
        either,
        "--response",
        dest="response",
        metavar="KIND",
        action=_OldSpelling,
        const="--response-model",
        help="deprecated spelling of --response-model",
    )


def _study_table_options(sub: argparse.ArgumentParser, option: Callable[..., None]) -> None:
    """The study table, the model and the columns' roles, as 'fit' and 'fit-group' read them."""
    sub.add_argument("input", metavar="FILE", help="CSV file with a header line, one row per trial")
    option(sub, "--model", required=True, choices=STUDY_MODELS, help="the model to fit")
    _response_model_option(sub, option)
    for role, default in (("subject", "subject"), ("response", "response")):
        option(
            sub,
            f"--{role}-column",
            default=default,
            metavar="NAME",
            help=f"the column of the {role} (default: %(default)s)",
        )
    option(
        sub,
        "--input-column",
        metavar="NAME[,NAME...]",
        help="the column of the input (default: input); for the choice models its four columns, by default "
        "amount_sooner,delay_sooner,amount_later,delay_later",
    )
    option(
        sub,
        "--trial-column",
        metavar="NAME",
        help="order each participant's trials by this column (default: the order of the rows)",
    )
    option(
        sub,
        "--fixed",
        type=assignment,
        action="append",
        default=[],
        metavar="NAME=VALUE",
        help="hold a parameter at a value instead of fitting it; repeatable",
    )
    option(
        sub,
        "--n-starts",
        type=count,
        default=4,
        metavar="N",
        help="optimiser starts per participant (default: %(default)s)",
    )
    option(
        sub,
        "--options",
        type=option_list,
        metavar="LABEL,LABEL[,...]",
        help="a model that chooses among options (rw, rw_dual, rw_fictitious, kalman_bandit): the labels "
        "its choices are written in, in order (default: 0,1)",
    )


def _study_inputs(args: argparse.Namespace, responses: bool) -> list[str]:
    """The input columns the command line names, and each column given one role only (UsageError)."""
    from velmora.tables import _distinct_roles, input_columns

    inputs = input_columns(args.model, None if args.input_column is None else args.input_column.split(","))
    _distinct_roles(
        [
            ("subject", args.subject_column),
            *(("input", column) for column in inputs),
            ("response", args.response_column if responses else None),
            ("trial", args.trial_column),
        ]
    )
    return inputs


def _read_study(args: argparse.Namespace, inputs: list[str], responses: bool) -> Any:
    """The study table's columns under the names fit_many reads by default."""
    name, header, rows = csv_io.read_table(args.input)
    columns = {"subject": csv_io.table_column(name, header, rows, args.subject_column, number=False, key=True)}
    # A model that chooses sees no outcome on a missed trial, and the binary HGF takes a missed input:
    # a blank there, as for a response.
    missed = ENGINE[args.model].chooses or ENGINE[args.model].missing_inputs
    columns.update({column: csv_io.table_column(name, header, rows, column, missing=missed) for column in inputs})
    if responses:
        # A blank or NA response is a missed trial, as pandas and R write a missing value.
        columns["response"] = csv_io.table_column(name, header, rows, args.response_column, missing=True)

    if args.trial_column is not None:
        columns["trial"] = csv_io.table_column(name, header, rows, args.trial_column)
    return _dataframe_of_columns(columns)


def add_study_commands(commands: Any, option: Callable[..., None]) -> None:
    sub = commands.add_parser(
        "fit",
        help="fit a model to every participant of a long-format CSV table",
        description="Fit a model to every participant of a long-format CSV table (one row "
        "per trial); writes one row per participant: estimates, standard errors, "
        "nll, lme, aic, bic, trials used, converged and error.",
    )
    _study_table_options(sub, option)
    sub.add_argument(
        "--no-responses",
        action="store_true",
        help="fit the inputs themselves (the filter's own predictions) instead of a response column",
    )
    option(
        sub,
        "--prior",
        type=prior_pair,
        action="append",
        default=[],
        metavar="NAME=MEAN,VARIANCE",
        help="the Gaussian prior of a parameter in its transformed (log, logit or identity) space instead of "
        "the default; repeatable",
    )
    option(sub, "--seed", type=seed, default=0, metavar="SEED", help="seed of the starting points")
    option(
        sub,
        "--plot",
        metavar="FILE.png",
        help="also draw each participant's choices against the fitted discount curve (choice models), or the "
        "first six participants' fitted trajectories with a 95 %% band over their estimates' uncertainty "
        f"(learning models; needs matplotlib: {plotting.INSTALL_HINT})",
    )
    _study_common(sub, option, jobs=True)

    sub = commands.add_parser(
        "fit-group",
        help="estimate a study's group distribution and every participant under it",
        description="Empirical Bayes over a long-format CSV table: the group mean and "
        "variance of the model's parameters (a linear model of covariates when "
        "given) and every participant's estimate under them; writes the "
        "participants' table as 'velmora fit' does, and with --group the group "
        "estimates.",
    )
    _study_table_options(sub, option)
    option(
        sub,
        "--covariates",
        metavar="FILE",
        help="CSV: the subject column and one column per covariate (numbers, or categories such as a group)",
    )
    option(
        sub,
        "--covariance",
        choices=("diagonal", "full"),
        default="diagonal",
        help="the group covariance of the parameters (default: %(default)s)",
    )
    option(
        sub,
        "--method",
        choices=("laplace", "sampling"),
        default="laplace",
        help="E-step: each participant's Laplace approximation, or importance sampling from it (default: %(default)s)",
    )
    option(
        sub, "--max-iter", type=count, default=100, metavar="N", help="at most this many passes (default: %(default)s)"
    )
    option(
        sub,
        "--tol",
        type=positive,
        metavar="X",
        help="stop when a pass changes the objective by less than this (default: 0.001 per participant)",
    )
    option(
        sub,
        "--n-samples",
        type=samples,
        default=1000,
        metavar="N",
        help="draws per participant for the sampling E-step and the integrated likelihood (default: %(default)s)",
    )
    sub.add_argument(
        "--no-responses",
        action="store_true",
        help="fit the inputs themselves (the filter's own predictions) instead of a response column",
    )
    option(sub, "--seed", type=seed, default=0, metavar="SEED", help="seed of the starting points and draws")
    option(sub, "--group", metavar="FILE", help="also write the group estimates (means, sds, coefficients) here")
    option(
        sub,
        "--plot",
        metavar="FILE.png",
        help="also draw the shrinkage (each participant fitted alone and under the group prior) and the group "
        f"coefficients with their 95 %% intervals (needs matplotlib: {plotting.INSTALL_HINT})",
    )
    _study_common(sub, option, jobs=True)

    sub = commands.add_parser(
        "simulate",
        help="simulate a study from a table of true parameters",
        description="Simulate every participant of a table of true parameters on a column of "
        "inputs (shared) or a long table of inputs per participant; writes "
        "subject,trial,input,response (the choice models: their four input "
        "columns), the table that 'velmora fit' reads.",
    )
    option(sub, "--model", required=True, choices=STUDY_MODELS, help="the model to simulate")
    option(
        sub, "--params", required=True, metavar="FILE", help="CSV table: a subject column and one column per parameter"
    )
    option(
        sub,
        "--inputs",
        required=True,
        metavar="FILE",
        help="CSV: one column of inputs for everyone, or subject,input[,trial] per participant (the "
        "choice models: their four input columns instead of input)",
    )
    _response_model_option(sub, option)
    option(sub, "--seed", type=seed, default=0, metavar="SEED", help=SEED_HELP)
    option(
        sub,
        "--subject-column",
        default="subject",
        metavar="NAME",
        help="the column of the participants' keys (default: %(default)s)",
    )
    _study_common(sub, option, jobs=False)

    sub = commands.add_parser(
        "compare",
        help="compare models fitted to the same participants",
        description="Compare the fits of several models to the same participants (files "
        "written by 'velmora fit'): summed log evidence and BIC, each "
        "participant's best model, random-effects Bayesian model selection.",
    )
    sub.add_argument("fits", nargs="+", metavar="FITS.csv", help="one file per model, at least two")
    option(sub, "--names", metavar="A,B,...", help="model names (default: the file names)")
    option(
        sub,
        "--subject-column",
        default="subject",
        metavar="NAME",
        help="the column of the participants' keys (default: %(default)s)",
    )
    _study_common(sub, option, jobs=False)


def _study_common(sub: argparse.ArgumentParser, option: Callable[..., None], jobs: bool) -> None:
    option(sub, "--output", "-o", metavar="FILE", default="-", help="CSV file to write ('-' or none: standard output)")
    if jobs:
        option(sub, "--jobs", "-j", type=count, metavar="N", help="threads to fit on (default: every core)")
        sub.add_argument("--no-progress", action="store_true", help="no progress bar on standard error")


def _write_frame(frame: Any, output: str, also: Sequence[tuple[str, bytes]] = ()) -> None:
    """The table to ``output``, with any other files (a picture) written together or not at all."""
    table = csv_io.table_to_csv([str(c) for c in frame.columns], frame.itertuples(index=False, name=None))
    csv_io.write_files(
        [*([(output, table)] if output != "-" else []), *also], standard_output=table if output == "-" else None
    )


def _dataframe_of_columns(columns: dict[str, list[Any]]) -> Any:
    """Columns read from a CSV file as a DataFrame; a column of text keeps its text (object dtype)."""
    import pandas as pd  # type: ignore[import-untyped,unused-ignore]

    return pd.DataFrame(
        {
            name: pd.Series(values, dtype=object if values and isinstance(values[0], str) else None)
            for name, values in columns.items()
        }
    )


def _subject_column_free(args: argparse.Namespace, responses: bool) -> None:
    """The subject column's name, which the result table keeps, must not be one of its other columns."""
    from velmora.tables import default_response, result_columns

    response = (args.response or default_response(args.model)) if responses else None
    if args.subject_column in result_columns(args.model, response):
        raise ValueError(
            f"--subject-column {args.subject_column!r} is the name of a column of the result; rename the column"
        )


def run_fit(args: argparse.Namespace) -> None:
    from velmora.study import fit_many
    from velmora.tables import _checked_fit_options

    csv_io.check_outputs([("--output", args.output), ("--plot", args.plot)])
    options = {
        "fixed": by_name("--fixed", args.fixed),
        "priors": by_name("--prior", args.prior),
        "n_starts": args.n_starts,
        "seed": args.seed,
        "options": args.options,
    }
    try:  # what is wrong for every participant is a mistake of the command line, found before reading
        _checked_fit_options(args.model, args.response, not args.no_responses, options)
        inputs = _study_inputs(args, not args.no_responses)
        _subject_column_free(args, not args.no_responses)
    except (TypeError, ValueError) as error:
        raise UsageError(str(error)) from None
    if args.plot:  # checked first, so that a plot that cannot be made costs no work
        figure = plotting.new_figure(0)
        kind = plotting.image_format(figure, args.plot)
    data = _read_study(args, inputs, not args.no_responses)
    with warnings.catch_warnings():  # that nothing could be fitted is said below, in the command's words
        warnings.simplefilter("ignore", RuntimeWarning)
        try:
            fits = fit_many(
                data,
                args.model,
                input=inputs,
                response=None if args.no_responses else "response",
                trial="trial" if args.trial_column is not None else None,
                threads=args.jobs,
                progress=False if args.no_progress else None,
                response_model=args.response,
                **options,
            )
        except ValueError as error:  # the data's own fault (a choice that is not an option), before any fit
            raise CommandError(str(error)) from None
    if args.plot and args.model in plotting.CHOICE_MODELS:
        plotting.choices(
            data, fits, args.model, input=inputs, trial="trial" if args.trial_column else None, figure=figure
        )
    elif args.plot and ENGINE[args.model].chooses:  # choices against the fitted choice probabilities
        from velmora.option_plots import plot_option_choices

        trial = "trial" if args.trial_column else None
        figure = plot_option_choices(data, fits, args.model, options=args.options, input=inputs[0], trial=trial)
    elif args.plot:  # a learning model: its fitted trajectories, in a figure sized for them
        from velmora.design_plots import trajectories_plot

        trial = "trial" if args.trial_column else None
        figure = trajectories_plot(data, fits, args.model, input=inputs[0], trial=trial, seed=args.seed)
    fits = fits.rename(columns={"subject": args.subject_column})
    _write_frame(fits, args.output, [(args.plot, plotting.render(figure, kind))] if args.plot else [])
    failed = int((fits["error"] != "").sum())
    if failed and failed == len(fits):
        # A table of errors is written for the reasons it holds, but the run failed.
        raise CommandError(
            f"none of the {failed} participants could be fitted; see the error column (the first: "
            f"{fits['error'].iloc[0]})"
        )
    if failed:
        notice(f"velmora fit: {failed} of {len(fits)} participants could not be fitted; see the error column")


def run_simulate(args: argparse.Namespace) -> None:
    import numpy as np

    from velmora.study import simulate_many
    from velmora.tables import RESULT_COLUMNS, SE_PREFIX, input_columns

    csv_io.check_outputs([("--output", args.output)])
    written = ["trial", *input_columns(args.model, None), "response"]
    if args.subject_column in written:
        raise UsageError(
            f"--subject-column {args.subject_column!r} is the name of another column of the study "
            f"table ({', '.join(written)}); choose another"
        )
    name, header, rows = csv_io.read_table(args.params)
    keys = csv_io.table_column(name, header, rows, args.subject_column, number=False)
    skipped = {args.subject_column, "model", *RESULT_COLUMNS}
    params = {"subject": keys}
    params.update(
        {
            column: csv_io.table_column(name, header, rows, column)
            for column in header
            if column not in skipped and not column.startswith(SE_PREFIX)
        }
    )
    name, header, rows = csv_io.read_table(args.inputs)
    inputs: Any
    names = input_columns(args.model, None)
    if args.subject_column in header:  # a long table: each participant's own inputs
        inputs = {"subject": csv_io.table_column(name, header, rows, args.subject_column, number=False)}
        inputs.update({column: csv_io.table_column(name, header, rows, column) for column in names})
        if "trial" in header:
            inputs["trial"] = csv_io.table_column(name, header, rows, "trial")
        inputs = _dataframe_of_columns(inputs)
    elif len(names) > 1:  # the trials everyone is offered
        inputs = np.column_stack([csv_io.table_column(name, header, rows, column) for column in names])
    else:
        inputs = csv_io.read_column(args.inputs, "input" if "input" in header else None)
    try:
        study = simulate_many(
            args.model, _dataframe_of_columns(params), inputs, response_model=args.response, seed=args.seed
        )
    except ValueError as error:
        raise CommandError(str(error)) from None
    _write_frame(study.rename(columns={"subject": args.subject_column}), args.output)


def run_compare(args: argparse.Namespace) -> None:
    from velmora.study import compare

    csv_io.check_outputs([("--output", args.output)])
    if len(args.fits) < 2:
        raise UsageError("give the fits of at least two models")
    files = [os.path.realpath(f) for f in args.fits]
    again = next((f for i, f in enumerate(args.fits) if files[i] in files[:i]), None)
    if again is not None:
        raise UsageError(f"{again} is given twice: compare the fits of different models")
    if args.names:
        names = args.names.split(",")
        if len(names) != len(args.fits):
            raise UsageError(
                f"--names gives {len(names)} name{'s' * (len(names) != 1)} for {len(args.fits)} files: "
                "give one per file"
            )
        if len(set(names)) != len(names):
            raise UsageError(f"--names gives the name {next(n for n in names if names.count(n) > 1)!r} twice")
    else:
        names = [Path(f).stem for f in args.fits]
        if len(set(names)) != len(names):
            names = list(args.fits)
    tables = {}
    for label, path in zip(names, args.fits):
        name, header, rows = csv_io.read_table(path)
        tables[label] = _dataframe_of_columns(
            {
                args.subject_column: csv_io.table_column(name, header, rows, args.subject_column, number=False),
                "lme": csv_io.table_column(name, header, rows, "lme"),
                "bic": csv_io.table_column(name, header, rows, "bic"),
                # fit-group's tables say so: compare keeps them out of the participants' model selection
                **(
                    {"group_prior": csv_io.table_column(name, header, rows, "group_prior", number=False)}
                    if "group_prior" in header
                    else {}
                ),
            }
        )
    try:
        # compare's warnings (an iBIC it cannot give, two within their noise) are said as the command's
        # own lines, not in Python's form with a source line of velmora's
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = compare(tables, subject=args.subject_column)
    except ValueError as error:
        raise CommandError(str(error)) from None
    _write_frame(result.to_frame(), args.output)
    for warning in caught:
        notice(f"velmora compare: {warning.message}")
    if result.excluded:
        notice(
            f"velmora compare: left out {len(result.excluded)} participants without a log evidence under every "
            f"model: {', '.join(map(str, result.excluded[:5]))}"
        )


def run_fit_group(args: argparse.Namespace) -> None:
    from velmora.group import fit_group
    from velmora.tables import _checked_fit_options

    if args.group == "-":
        raise UsageError("--group names standard output: the group estimates need a file of their own")
    csv_io.check_outputs([("--output", args.output), ("--group", args.group), ("--plot", args.plot)])
    if args.plot:  # checked first, so that a plot that cannot be made costs no work
        kind = plotting.image_format(plotting.new_figure(0), args.plot)
    responses = not args.no_responses
    fixed = by_name("--fixed", args.fixed)
    try:  # what is wrong for every participant is a mistake of the command line, found before reading
        _checked_fit_options(
            args.model, args.response, responses, {"fixed": fixed, "n_starts": args.n_starts, "options": args.options}
        )
        inputs = _study_inputs(args, responses)
        _subject_column_free(args, responses)
    except (TypeError, ValueError) as error:
        raise UsageError(str(error)) from None
    if args.output == "-" and sys.stdout is None:  # found now rather than after the fit
        raise CommandError("cannot write standard output: it is closed")
    data = _read_study(args, inputs, responses)
    covariates = None
    if args.covariates:
        name, header, rows = csv_io.read_table(args.covariates)
        if args.subject_column not in header:
            raise CommandError(f"{name}: no column {args.subject_column!r} naming the participants")
        covariates = _dataframe_of_columns(
            {column: csv_io.table_column(name, header, rows, column, number=False) for column in header}
        )
        covariates = covariates.rename(columns={args.subject_column: "subject"})
        for column in covariates.columns[1:]:  # numbers where every cell is one, categories otherwise
            cells = [cell or None for cell in covariates[column].tolist()]  # a blank cell: no value
            numbers = csv_io.numbers_or_none([cell for cell in cells if cell is not None])
            covariates[column] = (
                cells if numbers is None else [math.nan if cell is None else float(cell) for cell in cells]
            )
    # What the group fit and, for --plot, the participants' fits alone read alike.
    common: dict[str, Any] = {
        "input": inputs,
        "response": "response" if responses else None,
        "trial": "trial" if args.trial_column else None,
        "fixed": fixed,
        "response_model": args.response,
        "n_starts": args.n_starts,
        "seed": args.seed,
        "threads": args.jobs,
        "options": args.options,
    }
    try:
        result = fit_group(
            data,
            args.model,
            covariates=covariates,
            covariance=args.covariance,
            method=args.method,
            max_iter=args.max_iter,
            tol=args.tol,
            n_samples=args.n_samples,
            progress=False if args.no_progress else None,
            **common,
        )
    except ValueError as error:
        raise CommandError(str(error)) from None
    also = []
    if args.group:
        group = result.group_frame()
        # Every row says of which run it is, so that estimates of a run that did not converge are not
        # read as a result.
        for column in ("converged", "passes", "log_likelihood", "ibic"):
            group[column] = getattr(result, column)
        also.append(
            (args.group, csv_io.table_to_csv([str(c) for c in group.columns], group.itertuples(index=False, name=None)))
        )
    if args.plot:
        from velmora.design_plots import shrinkage_plot
        from velmora.study import fit_many

        alone = fit_many(data, args.model, progress=False, **common)
        also.append((args.plot, plotting.render(shrinkage_plot(result, alone), kind)))
    _write_frame(result.participants.rename(columns={"subject": args.subject_column}), args.output, also)
    if result.excluded:
        notice(
            f"velmora fit-group: {len(result.excluded)} participants left out of the group estimate; "
            "see the error column"
        )
    if not result.converged:
        raise CommandError(
            f"{result.message.replace('max_iter', '--max-iter')}; the estimates written are not a "
            "result (converged is False in every row)"
        )


STUDY_COMMANDS = {"fit": run_fit, "fit-group": run_fit_group, "simulate": run_simulate, "compare": run_compare}
