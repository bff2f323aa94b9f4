"""Command line of velmora."""

from __future__ import annotations

import argparse

from velmora import demo


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="velmora", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("demo", help="run every model on small built-in example data")
    args = parser.parse_args(argv)
    if args.command == "demo":
        print(demo.summary())
    return 0
