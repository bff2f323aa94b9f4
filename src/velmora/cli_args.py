"""Argument types of the command line: numbers and seeds, shared by the model commands and the study
commands, and the study commands' NAME=VALUE pairs and counts."""

from __future__ import annotations

import argparse
import math
import sys
from typing import Any

from velmora import csv_io
from velmora.csv_io import UsageError
from velmora.stream import check_seed

SEED_HELP = "seed of the noise generator, an integer from 0 to 2**64-1; equal seeds give equal noise"


def number(text: str) -> float:
    try:
        return csv_io.parse_number(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def seed(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    try:
        return check_seed(value, wording="command")
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def assignment(text: str) -> tuple[str, float]:
    name, equals, value = text.partition("=")
    if not equals or not name.strip():
        raise argparse.ArgumentTypeError(f"{text!r} is not NAME=VALUE")
    return name.strip(), number(value)


def prior_pair(text: str) -> tuple[str, tuple[float, float]]:
    name, equals, value = text.partition("=")
    pair = value.split(",")
    if not equals or not name.strip() or len(pair) != 2:
        raise argparse.ArgumentTypeError(f"{text!r} is not NAME=MEAN,VARIANCE")
    return name.strip(), (number(pair[0].strip()), number(pair[1].strip()))


def by_name(option: str, pairs: list[tuple[str, Any]]) -> dict[str, Any] | None:
    """Repeated NAME=... options as a mapping; a name given twice is refused, not the last kept."""
    names = [name for name, _ in pairs]
    again = next((name for k, name in enumerate(names) if name in names[:k]), None)
    if again is not None:
        raise UsageError(f"{option} gives {again!r} more than once")
    return dict(pairs) or None


def positive(text: str) -> float:
    value = number(text)
    if not 0.0 < value < math.inf:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive finite number")
    return value


def count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if not 1 <= value <= sys.maxsize:
        raise argparse.ArgumentTypeError(f"{value} is not a positive integer up to {sys.maxsize}")
    return value


def samples(text: str) -> int:
    value = count(text)
    if value < 2:  # one draw has no spread: neither the sampling E-step nor the iBIC's error exists
        raise argparse.ArgumentTypeError(f"{value} is not an integer of at least 2")
    return value


def option_list(text: str) -> list[float]:
    """--options 1,2: the labels, as numbers."""
    try:
        return [float(item) for item in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected numbers separated by commas, got {text!r}") from None
