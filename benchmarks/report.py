"""Printing shared by the benchmark scripts: each section's table under its title, with its run time."""

from __future__ import annotations

import time
from collections.abc import Callable, Iterable


def print_sections(sections: Iterable[tuple[str, Callable[[], list[str]]]]) -> None:
    """Runs each section's table function and prints its Markdown rows, timed."""
    for title, table in sections:
        start = time.perf_counter()
        rows = table()
        print(f"\n### {title}\n")
        print("\n".join(rows))
        print(f"\n({time.perf_counter() - start:.1f} s)", flush=True)
