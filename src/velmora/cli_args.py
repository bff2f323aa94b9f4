"""Argument types of the command line shared by the model commands and the study commands."""

from __future__ import annotations

import argparse

from velmora import csv_io
from velmora.arrays import SEED_LIMIT

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
    if not 0 <= value < SEED_LIMIT:
        raise argparse.ArgumentTypeError(f"{value} is outside 0 to 2**64-1")
    return value
