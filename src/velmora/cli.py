"""Command line of velmora: run one model over a column of numbers, fit, simulate and compare whole
studies, or tour all five models.

Each model subcommand reads its input sequence from a CSV file (standard input when the file is
omitted or "-"), takes the model's parameters as options named like the Python parameters, and
writes one CSV row per step. Numbers are written in their shortest round-trip form, so reading
the output back gives the very same doubles.

Exit status: 0 on success; 2 for a command line that cannot be parsed or asks for what cannot be
done (a parameter the model refuses, an output that cannot be written, two outputs in one file),
found before any work; 1 when the input cannot be read or the model rejects it, when no
participant could be fitted or a group fit did not converge; 130 after Ctrl-C.
"""

from __future__ import annotations

import argparse
import functools
import inspect
import math
import os
import re
import sys
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn

import velmora
from velmora import csv_io, demo, plotting
from velmora.csv_io import CommandError, Row, UsageError, notice
from velmora.models import ENGINE, FITTED
from velmora.stream import check_seed

if TYPE_CHECKING:
    from matplotlib.figure import Figure


@dataclass(frozen=True)
class Command:
    function: Callable[..., Any]
    sequence: str  # the Python parameter that the input column feeds
    fields: tuple[str, ...]  # a row's, as the function returns it
    summary: str
    help: dict[str, str]
    plot: Callable[[Figure, list[float], list[Row]], None]
    panels: int = 1
    single: str | None = None  # help of an option giving one value instead of a column, if there is one

    @property
    def parameters(self) -> list[inspect.Parameter]:
        """The model's parameters other than the sequence; each becomes an option."""
        parameters = inspect.signature(self.function).parameters.values()
        return [parameter for parameter in parameters if parameter.name != self.sequence]


# What argparse would take for an option name ("-1e-3", "-inf") although it is a value.
_NEGATIVE_NUMBER = re.compile(r"-(?:[0-9]|\.[0-9]|inf|nan)", re.IGNORECASE)
_FLAGS = ("--help", "--version")


class _Parser(argparse.ArgumentParser):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.value_options: set[str] = set()  # filled by build_parser with every option that takes a value

    def error(self, message: str) -> NoReturn:
        # One line, without the usage block: the message names the argument.
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")

    def attach_negative_values(self, argv: Sequence[str]) -> list[str]:
        """Spell "--option -1e-3" as "--option=-1e-3", which every argparse reads as a value."""
        result: list[str] = []
        tokens = iter(argv)
        for token in tokens:
            if token == "--":
                return [*result, token, *tokens]
            if self._takes_value(token):
                value = next(tokens, None)
                if value is not None and _NEGATIVE_NUMBER.match(value):
                    token = f"{token}={value}" if token.startswith("--") else token + value
                elif value is not None:
                    result.append(token)
                    token = value
            result.append(token)
        return result

    def _takes_value(self, token: str) -> bool:
        if not token.startswith("--"):
            return token in self.value_options
        # argparse accepts any unambiguous prefix of a long option.
        return (
            "=" not in token
            and any(option.startswith(token) for option in self.value_options)
            and not any(flag.startswith(token) for flag in _FLAGS)
        )


def _number(text: str) -> float:
    try:
        return csv_io.parse_number(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _seed(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    try:
        return check_seed(value, wording="command")
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _discount_rows(delay: list[float], reward: float, discount_factor: float) -> list[Row]:
    return [(d, velmora.discounted_value(reward, d, discount_factor)) for d in delay]


@functools.wraps(velmora.td_learn_sequence)  # so that its signature gives the options
def _td_rows(*args: Any, **kwargs: Any) -> list[Row]:
    return [(value,) for value in velmora.td_learn_sequence(*args, **kwargs)]


_SEED_HELP = "seed of the noise generator, an integer from 0 to 2**64-1; equal seeds give equal noise"

COMMANDS = {
    "kalman": Command(
        velmora.kalman_run,
        "observations",
        ENGINE["kalman"].list_fields,
        "1-D Kalman filter over a column of observations; writes mean,var per observation",
        {
            "initial_mean": "mean of the belief before the first observation",
            "initial_var": "variance of the belief before the first observation",
            "process_noise": "variance added to the belief before each observation (>= 0)",
            "obs_noise": "variance of an observation (>= 0)",
            "prior_precision_cap": "upper bound on the precision of each prediction (> 0; default: no cap)",
        },
        plotting.kalman,
    ),
    "hgf": Command(
        velmora.hgf_run,
        "observations",
        ENGINE["hgf"].list_fields,
        "two-level hierarchical Gaussian filter over a column of observations",
        {
            "obs_noise": "variance of an observation",
            "precision_flexibility": "how much the volatility estimate adds to the process variance (>= 0)",
            "base_process_noise": "process variance added at every step whatever the volatility",
            "mu1": "initial estimate of the hidden quantity (level 1 mean)",
            "var1": "initial variance of that estimate (level 1)",
            "mu2": "initial volatility estimate (level 2 mean)",
            "var2": "initial level 2 variance; accepted for the interface, it does not change the results",
        },
        plotting.hgf,
        panels=3,
    ),
    "td": Command(
        _td_rows,
        "rewards",
        ENGINE["td"].list_fields,
        "temporal-difference learning of a value over a column of rewards; writes the value per reward",
        {
            "initial_value": "value estimate before the first reward",
            "learning_rate": "step size of each update, in [0, 1]",
            "discount_factor": "accepted for the interface; it does not change the values",
            "rpe_noise_std": "standard deviation of the noise on each reward-prediction error (>= 0; 0 for none)",
            "seed": _SEED_HELP,
        },
        plotting.td,
    ),
    "discount": Command(
        _discount_rows,
        "delay",
        ("delay", "value"),
        "exponentially discounted value of a reward after each delay of a column (or one --delay)",
        {
            "reward": "the undiscounted reward",
            "discount_factor": "factor applied per step of delay",
        },
        plotting.discount,
        single="one delay instead of a column of delays",
    ),
    "forward": Command(
        velmora.forward_simulate,
        "motor_command",
        ENGINE["forward"].list_fields,
        "forward model of self-motion driven by a column of motor commands",
        {
            "update_rate": "fraction of the mismatch by which the estimate moves each step, in [0, 1]",
            "injury_noise_std": "standard deviation of the noise on each sensed movement (>= 0; 0 for none)",
            "sensory_gain": "factor from motor command to sensed movement",
            "seed": _SEED_HELP,
        },
        plotting.forward,
        panels=2,
    ),
}


def build_parser() -> _Parser:
    parser = _Parser(prog="velmora", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"velmora {velmora.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    commands.add_parser("demo", help="run every model on small built-in example data and print a summary")

    def option(*names: str, **options: Any) -> None:
        parser.value_options.update(sub.add_argument(*names, **options).option_strings)

    for name, command in COMMANDS.items():
        sub = commands.add_parser(name, help=command.summary, description=command.summary)
        sub.add_argument(
            "input",
            nargs="?",
            default="-",
            metavar="FILE",
            help=f"CSV file of the {command.sequence} ('-' or none: standard input)",
        )
        option("--column", metavar="NAME", help="the column to read, named on the header line")
        if command.single:
            option("--" + command.sequence, type=_number, help=command.single)
        # Options follow the Python signatures, so a parameter with a default is an optional option.
        for parameter in command.parameters:
            text = command.help[parameter.name]
            options: dict[str, Any] = {"type": _seed if parameter.name == "seed" else _number}
            if parameter.default is inspect.Parameter.empty:
                options["required"] = True
            else:
                options["default"] = parameter.default
                if parameter.default is not None:
                    text += " (default: %(default)s)"
            option(
                "--" + parameter.name.replace("_", "-"),
                dest=parameter.name,
                help=text,
                metavar="SEED" if parameter.name == "seed" else "X",
                **options,
            )
        option("--output", "-o", metavar="FILE", default="-", help="CSV file to write ('-' or none: standard output)")
        option(
            "--plot",
            metavar="FILE.png",
            help=f"also draw the trajectory into this image (needs matplotlib: {plotting.INSTALL_HINT})",
        )

    def option_on(target: argparse.ArgumentParser, *names: str, **options: Any) -> None:
        parser.value_options.update(target.add_argument(*names, **options).option_strings)

    add_study_commands(commands, option_on)
    return parser


def _check_parameters(command: Command, parameters: dict[str, Any]) -> None:
    """The model's own refusal of a parameter, met on one stand-in step before any input is read:
    a parameter is the command line's, so its refusal is a usage error."""
    try:
        command.function(**{command.sequence: [0.0]}, **parameters)
    except velmora.InvalidParameter as error:
        raise UsageError(str(error)) from None
    except velmora.VelmoraException:  # the stand-in step's own trouble: the real input decides
        pass


def run_model(command: Command, args: argparse.Namespace) -> None:
    csv_io.check_outputs([("--output", args.output), ("--plot", args.plot)])
    parameters = {parameter.name: getattr(args, parameter.name) for parameter in command.parameters}
    _check_parameters(command, parameters)
    figure = None
    if args.plot:  # checked first, so that a plot that cannot be made costs no work
        figure = plotting.new_figure(command.panels)
        kind = plotting.image_format(figure, args.plot)
    if command.single and getattr(args, command.sequence) is not None:
        if args.input != "-" or args.column is not None:
            raise CommandError(f"give either --{command.sequence} or an input file, not both")
        sequence = [getattr(args, command.sequence)]
    else:
        sequence = csv_io.read_column(args.input, args.column)
    rows = command.function(**{command.sequence: sequence}, **parameters)

    # The picture is drawn before anything is written, and then everything is written or nothing.
    table = csv_io.to_csv(command.fields, rows)
    files = []
    if figure is not None:
        command.plot(figure, sequence, rows)
        files.append((args.plot, plotting.render(figure, kind)))
    if args.output != "-":
        files.append((args.output, table))
    csv_io.write_files(files, standard_output=table if args.output == "-" else None)


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(parser.attach_negative_values(sys.argv[1:] if argv is None else argv))
    try:
        if args.command == "demo":
            csv_io.write_stdout(f"{demo.summary()}\n".encode())
        elif args.command in STUDY_COMMANDS:
            STUDY_COMMANDS[args.command](args)
        else:
            run_model(COMMANDS[args.command], args)
    except UsageError as error:
        notice(f"velmora {args.command}: {error}")
        return 2
    except (CommandError, velmora.VelmoraException) as error:
        notice(f"velmora {args.command}: {error}")
        return 1
    except MemoryError as error:
        # Asked for more than the machine holds (--n-samples, a huge table): a line, not a traceback.
        notice(f"velmora {args.command}: out of memory{f' ({error})' if str(error) else ''}")
        return 1
    except BrokenPipeError:
        # The reader of our output went away (as `| head` does): stop quietly, as other tools do.
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


# Whole studies: fit a table of participants, simulate one, compare fitted models.

STUDY_MODELS = FITTED


def _assignment(text: str) -> tuple[str, float]:
    name, equals, value = text.partition("=")
    if not equals or not name.strip():
        raise argparse.ArgumentTypeError(f"{text!r} is not NAME=VALUE")
    return name.strip(), _number(value)


def _prior(text: str) -> tuple[str, tuple[float, float]]:
    name, equals, value = text.partition("=")
    pair = value.split(",")
    if not equals or not name.strip() or len(pair) != 2:
        raise argparse.ArgumentTypeError(f"{text!r} is not NAME=MEAN,VARIANCE")
    return name.strip(), (_number(pair[0].strip()), _number(pair[1].strip()))


def _by_name(option: str, pairs: list[tuple[str, Any]]) -> dict[str, Any] | None:
    """Repeated NAME=... options as a mapping; a name given twice is refused, not the last kept."""
    names = [name for name, _ in pairs]
    again = next((name for k, name in enumerate(names) if name in names[:k]), None)
    if again is not None:
        raise UsageError(f"{option} gives {again!r} more than once")
    return dict(pairs) or None


def _positive(text: str) -> float:
    value = _number(text)
    if not 0.0 < value < math.inf:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive finite number")
    return value


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if not 1 <= value <= sys.maxsize:
        raise argparse.ArgumentTypeError(f"{value} is not a positive integer up to {sys.maxsize}")
    return value


def _samples(text: str) -> int:
    value = _count(text)
    if value < 2:  # one draw has no spread: neither the sampling E-step nor the iBIC's error exists
        raise argparse.ArgumentTypeError(f"{value} is not an integer of at least 2")
    return value


_RESPONSE_HELP = (
    "response model: gaussian, unit_square or logistic (default: the model's own, gaussian; logistic "
    "for the choice models discount and hyperbolic)"
)


def _study_table_options(sub: argparse.ArgumentParser, option: Callable[..., None]) -> None:
    """The study table, the model and the columns' roles, as 'fit' and 'fit-group' read them."""
    sub.add_argument("input", metavar="FILE", help="CSV file with a header line, one row per trial")
    option(sub, "--model", required=True, choices=STUDY_MODELS, help="the model to fit")
    option(sub, "--response", metavar="KIND", help=_RESPONSE_HELP)
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
        type=_assignment,
        action="append",
        default=[],
        metavar="NAME=VALUE",
        help="hold a parameter at a value instead of fitting it; repeatable",
    )
    option(
        sub,
        "--n-starts",
        type=_count,
        default=4,
        metavar="N",
        help="optimiser starts per participant (default: %(default)s)",
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
    columns.update({column: csv_io.table_column(name, header, rows, column) for column in inputs})
    if responses:
        # A blank or NA response is a missed trial, as pandas and R write a missing value.
        columns["response"] = csv_io.table_column(name, header, rows, args.response_column, missing=True)
    if args.trial_column is not None:
        columns["trial"] = csv_io.table_column(name, header, rows, args.trial_column)
    return _frame(columns)


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
        type=_prior,
        action="append",
        default=[],
        metavar="NAME=MEAN,VARIANCE",
        help="the Gaussian prior of a parameter in its transformed (log, logit or identity) space instead of "
        "the default; repeatable",
    )
    option(sub, "--seed", type=_seed, default=0, metavar="SEED", help="seed of the starting points")
    option(
        sub,
        "--plot",
        metavar="FILE.png",
        help="also draw each participant's choices against the fitted discount curve (choice models; needs "
        f"matplotlib: {plotting.INSTALL_HINT})",
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
        sub, "--max-iter", type=_count, default=100, metavar="N", help="at most this many passes (default: %(default)s)"
    )
    option(
        sub,
        "--tol",
        type=_positive,
        metavar="X",
        help="stop when a pass changes the objective by less than this (default: 0.001 per participant)",
    )
    option(
        sub,
        "--n-samples",
        type=_samples,
        default=1000,
        metavar="N",
        help="draws per participant for the sampling E-step and the integrated likelihood (default: %(default)s)",
    )
    sub.add_argument(
        "--no-responses",
        action="store_true",
        help="fit the inputs themselves (the filter's own predictions) instead of a response column",
    )
    option(sub, "--seed", type=_seed, default=0, metavar="SEED", help="seed of the starting points and draws")
    option(sub, "--group", metavar="FILE", help="also write the group estimates (means, sds, coefficients) here")
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
    option(sub, "--response", metavar="KIND", help=_RESPONSE_HELP)
    option(sub, "--seed", type=_seed, default=0, metavar="SEED", help=_SEED_HELP)
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
        option(sub, "--jobs", "-j", type=_count, metavar="N", help="threads to fit on (default: every core)")
        sub.add_argument("--no-progress", action="store_true", help="no progress bar on standard error")


def _write_frame(frame: Any, output: str, also: Sequence[tuple[str, bytes]] = ()) -> None:
    """The table to ``output``, with any other files (a picture) written together or not at all."""
    table = csv_io.table_to_csv([str(c) for c in frame.columns], frame.itertuples(index=False, name=None))
    csv_io.write_files(
        [*([(output, table)] if output != "-" else []), *also], standard_output=table if output == "-" else None
    )


def _frame(columns: dict[str, list[Any]]) -> Any:
    import pandas as pd  # type: ignore[import-untyped,unused-ignore]

    return pd.DataFrame(
        {
            name: pd.Series(values, dtype=object if values and isinstance(values[0], str) else None)
            for name, values in columns.items()
        }
    )


def _subject_column_free(args: argparse.Namespace, responses: bool) -> None:
    """The subject column's name, which the result table keeps, must not be one of its other columns."""
    from velmora.conversion import resolve_response_model
    from velmora.study import _result_columns

    response = resolve_response_model(args.model, args.response) if responses else None
    if args.subject_column in _result_columns(args.model, response):
        raise ValueError(
            f"--subject-column {args.subject_column!r} is the name of a column of the result; rename the column"
        )


def run_fit(args: argparse.Namespace) -> None:
    from velmora.study import _fit_options, fit_many

    csv_io.check_outputs([("--output", args.output), ("--plot", args.plot)])
    options = {
        "fixed": _by_name("--fixed", args.fixed),
        "priors": _by_name("--prior", args.prior),
        "n_starts": args.n_starts,
        "seed": args.seed,
    }
    try:  # what is wrong for every participant is a mistake of the command line, found before reading
        _fit_options(args.model, args.response, not args.no_responses, options)
        inputs = _study_inputs(args, not args.no_responses)
        _subject_column_free(args, not args.no_responses)
        if args.plot and args.model not in plotting.CHOICE_MODELS:
            raise ValueError(f"--plot draws the choice models ({', '.join(plotting.CHOICE_MODELS)}), not {args.model}")
    except (TypeError, ValueError) as error:
        raise UsageError(str(error)) from None
    if args.plot:  # checked first, so that a plot that cannot be made costs no work
        figure = plotting.new_figure(0)
        kind = plotting.image_format(figure, args.plot)
    data = _read_study(args, inputs, not args.no_responses)
    with warnings.catch_warnings():  # that nothing could be fitted is said below, in the command's words
        warnings.simplefilter("ignore", RuntimeWarning)
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
    if args.plot:
        plotting.choices(
            data, fits, args.model, input=inputs, trial="trial" if args.trial_column else None, figure=figure
        )
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
        inputs = _frame(inputs)
    elif len(names) > 1:  # the trials everyone is offered
        inputs = np.column_stack([csv_io.table_column(name, header, rows, column) for column in names])
    else:
        inputs = csv_io.read_column(args.inputs, "input" if "input" in header else None)
    try:
        study = simulate_many(args.model, _frame(params), inputs, response=args.response, seed=args.seed)
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
        tables[label] = _frame(
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
    from velmora.study import _fit_options

    if args.group == "-":
        raise UsageError("--group names standard output: the group estimates need a file of their own")
    csv_io.check_outputs([("--output", args.output), ("--group", args.group)])
    responses = not args.no_responses
    fixed = _by_name("--fixed", args.fixed)
    try:  # what is wrong for every participant is a mistake of the command line, found before reading
        _fit_options(args.model, args.response, responses, {"fixed": fixed, "n_starts": args.n_starts})
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
        covariates = _frame(
            {column: csv_io.table_column(name, header, rows, column, number=False) for column in header}
        )
        covariates = covariates.rename(columns={args.subject_column: "subject"})
        for column in covariates.columns[1:]:  # numbers where every cell is one, categories otherwise
            cells = [cell or None for cell in covariates[column].tolist()]  # a blank cell: no value
            numbers = csv_io.numbers_or_none([cell for cell in cells if cell is not None])
            covariates[column] = (
                cells if numbers is None else [math.nan if cell is None else float(cell) for cell in cells]
            )
    try:
        result = fit_group(
            data,
            args.model,
            input=inputs,
            response="response" if responses else None,
            trial="trial" if args.trial_column else None,
            covariates=covariates,
            covariance=args.covariance,
            method=args.method,
            fixed=fixed,
            response_model=args.response,
            n_starts=args.n_starts,
            max_iter=args.max_iter,
            tol=args.tol,
            n_samples=args.n_samples,
            seed=args.seed,
            threads=args.jobs,
            progress=False if args.no_progress else None,
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
