"""Reading a column of numbers from CSV and writing rows and files for the command line."""

from __future__ import annotations

import contextlib
import csv
import errno
import io
import os
import re
import stat
import sys
import tempfile
from collections.abc import Callable, Iterable, Iterator, Sequence
from pathlib import Path
from typing import IO, Any, TypeVar

# No real CSV line comes near this; input without line breaks (a binary file, /dev/zero) is
# stopped here instead of being held in memory whole.
MAX_LINE = 1 << 20

# Decimal floating-point text and the special values as float() spells them, and nothing else:
# float() also takes "1_000", surrounding white space and non-ASCII digits.
_NUMBER = re.compile(r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|inf|infinity|nan)", re.IGNORECASE)

Row = tuple[float, ...]
T = TypeVar("T")


class CommandError(Exception):
    """A failure that ends the command with a one-line message and exit status 1."""


class UsageError(CommandError):
    """A command line that asks for what cannot be done: a one-line message and exit status 2."""


def notice(text: str) -> None:
    """One line on standard error, or nowhere when it is closed (print would fall back on standard output)."""
    if sys.stderr is not None:
        try:
            print(text, file=sys.stderr, flush=True)
        except OSError:
            # Standard error that cannot be written (a full disk, a reader gone) loses the line; the
            # command's own work and exit status must not depend on a notice.
            pass


def parse_number(text: str) -> float:
    if not _NUMBER.fullmatch(text):
        raise ValueError(f"{text!r} is not a number")
    return float(text)


def _is_number(text: str) -> bool:
    return _NUMBER.fullmatch(text) is not None


def _lines(stream: IO[str], name: str) -> Iterator[str]:
    number = 0
    while line := stream.readline(MAX_LINE + 1):
        number += 1
        if len(line) > MAX_LINE and not line.endswith(("\n", "\r")):
            raise CommandError(f"{name} line {number} is longer than {MAX_LINE} characters")
        yield line


def _parse_column(stream: IO[str], name: str, column: str | None) -> list[float]:
    reader = csv.reader(_lines(stream, name))
    rows = ((reader.line_num, cells) for cells in reader if any(cell.strip() for cell in cells))
    first = next(rows, None)
    if first is None:
        raise CommandError(f"{name} is empty: there are no numbers to read")
    line, cells = first
    pending: list[tuple[int, list[str]]] = []
    if column is None:
        if len(cells) != 1:
            raise CommandError(f"{name} has {len(cells)} columns on line {line}: choose one with --column NAME")
        index, label = 0, ""
        if _is_number(cells[0]):
            pending.append(first)
        else:
            label = f" ({cells[0].strip()})"
    else:
        header = [cell.strip() for cell in cells]
        if column not in header:
            raise CommandError(f"{name} has no column {column!r}; its first line reads: {','.join(header)}")
        index, label = header.index(column), f" ({column})"

    values: list[float] = []
    for line, cells in (*pending, *rows):
        if column is None and len(cells) != 1:
            raise CommandError(f"{name} line {line}: {len(cells)} cells where one column was expected")
        if index >= len(cells):
            raise CommandError(f"{name} line {line}: no cell in column {index + 1}{label}")
        try:
            values.append(parse_number(cells[index]))
        except ValueError as error:
            raise CommandError(f"{name} line {line}, column {index + 1}{label}: {error}") from None
    if not values:
        raise CommandError(f"{name} holds a header line but no numbers")
    return values


@contextlib.contextmanager
def _reading(source: str, hint: str | None = None) -> Iterator[tuple[str, IO[str]]]:
    """The source's display name and its text; every way reading fails becomes a CommandError."""
    name = "standard input" if source == "-" else source
    try:
        # utf-8-sig: spreadsheet programs often put a byte-order mark before the header.
        if source == "-":
            if sys.stdin is None:  # started with standard input closed
                raise CommandError("cannot read standard input: it is closed")
            if hint and sys.stdin.isatty():
                notice(hint)
            yield name, io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8-sig", newline="")
        else:
            with open(source, encoding="utf-8-sig", newline="") as stream:
                yield name, stream
    except OSError as error:
        raise CommandError(f"cannot read {name}: {error.strerror or error}") from None
    except UnicodeDecodeError:
        raise CommandError(f"cannot read {name}: it is not UTF-8 text") from None
    except csv.Error as error:
        raise CommandError(f"cannot read {name}: {error}") from None


def read_column(source: str, column: str | None) -> list[float]:
    """The numbers of one CSV column; `source` is a path or "-" for standard input."""
    with _reading(source, "reading numbers from standard input (end with Ctrl-D)") as (name, stream):
        return _parse_column(stream, name, column)


def to_csv(fields: Sequence[str], rows: Iterable[Row]) -> bytes:
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(fields)
    # repr gives the shortest text that reads back as the same double.
    writer.writerows([repr(x) for x in row] for row in rows)
    return buffer.getvalue().encode()


def write_stdout(data: bytes) -> None:
    """Write `data` to standard output; a broken pipe is left to the caller, which stops quietly."""
    if sys.stdout is None:  # started with standard output closed
        raise CommandError("cannot write standard output: it is closed")
    try:
        sys.stdout.buffer.write(data)
        sys.stdout.flush()
    except OSError as error:
        # What is still buffered would fail again, with a traceback, when Python flushes at exit.
        silence_stdout()
        if isinstance(error, BrokenPipeError):
            raise
        raise CommandError(f"cannot write standard output: {error.strerror or error}") from None


def silence_stdout() -> None:
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


class _Staged:
    """`data` written to a temporary file beside `path`'s target, not yet in its place."""

    def __init__(self, path: str, data: bytes) -> None:
        self.path, self.data, self.temporary, self.target = path, data, None, Path(path)
        try:
            mode = os.stat(path).st_mode
        except FileNotFoundError:
            mode = None
        if mode is not None and stat.S_ISDIR(mode):
            raise CommandError(f"cannot write {path}: Is a directory")
        if mode is not None and not stat.S_ISREG(mode):
            return  # a device or a pipe (/dev/stdout too) cannot be replaced: it is written at commit
        # Replacing the file would pass over its protection, which a shell's redirection honours: refuse
        # what the user may not write, and a file that no one may write, which only root could.
        if mode is not None and (not os.access(path, os.W_OK) or not mode & 0o222):
            raise OSError(errno.EACCES, os.strerror(errno.EACCES), path)
        # Through a symbolic link to the file it names, which is the file that gets replaced.
        self.target = Path(os.path.realpath(path))
        if mode is None:  # a new file gets the permissions that open() would give it
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        descriptor, self.temporary = tempfile.mkstemp(
            prefix=f".{self.target.name}.", suffix=".tmp", dir=self.target.parent
        )
        try:
            with open(descriptor, "wb") as stream:
                os.fchmod(stream.fileno(), stat.S_IMODE(mode))
                stream.write(data)
        except BaseException:
            self.discard()
            raise

    def commit(self) -> None:
        if self.temporary is None:
            with open(self.target, "wb") as stream:
                stream.write(self.data)
        else:
            os.replace(self.temporary, self.target)
            self.temporary = None

    def discard(self) -> None:
        if self.temporary is not None:
            Path(self.temporary).unlink(missing_ok=True)
            self.temporary = None


def write_files(files: Sequence[tuple[str, bytes]], standard_output: bytes | None = None) -> None:
    """Write each (path, data) whole, or none of them if any cannot be written.

    `standard_output` is written once every file has been staged and before any is put in place,
    so that a failure on either side leaves the other unwritten. An existing file keeps its
    permissions, and a symbolic link keeps pointing at its target.
    """
    staged: list[_Staged] = []
    try:
        for path, data in files:
            staged.append(_attempt(path, _Staged, path, data))
        if standard_output is not None:
            write_stdout(standard_output)  # a broken pipe goes on to the caller, which stops quietly
        for item in staged:
            _attempt(item.path, item.commit)
    finally:
        for item in staged:
            item.discard()


def _attempt(path: str, action: Callable[..., T], *args: Any) -> T:
    try:
        return action(*args)
    except OSError as error:
        raise CommandError(f"cannot write {path}: {error.strerror or error}") from None


def read_table(source: str) -> tuple[str, list[str], list[tuple[int, list[str]]]]:
    """The header and the rows (with their line numbers) of a CSV file with a header line."""
    with _reading(source) as (name, stream):
        return name, *_parse_table(stream, name)


def _parse_table(stream: IO[str], name: str) -> tuple[list[str], list[tuple[int, list[str]]]]:
    reader = csv.reader(_lines(stream, name))
    rows = [(reader.line_num, cells) for cells in reader if any(cell.strip() for cell in cells)]
    if not rows:
        raise CommandError(f"{name} is empty: there is no header line")
    header = [cell.strip() for cell in rows[0][1]]
    if len(rows) == 1:
        raise CommandError(f"{name} holds a header line but no rows")
    return header, rows[1:]


# What pandas' to_csv (an empty cell) and R's write.csv ("NA") write for a missing value.
MISSING = ("", "NA")


def table_column(
    name: str,
    header: list[str],
    rows: list[tuple[int, list[str]]],
    column: str,
    number: bool = True,
    missing: bool = False,
    key: bool = False,
) -> list[Any]:
    """One column of a table read by read_table: numbers read strictly (with ``missing``, a blank or NA
    cell as NaN), or the text of the cells (with ``key``, none blank)."""
    if column not in header:
        raise CommandError(f"{name} has no column {column!r}; its first line reads: {','.join(header)}")
    if header.count(column) > 1:
        raise UsageError(
            f"{name} has {header.count(column)} columns named {column!r}: which one is meant cannot "
            "be known; rename them"
        )
    index = header.index(column)
    values: list[Any] = []
    for line, cells in rows:
        if index >= len(cells):
            raise CommandError(f"{name} line {line}: no cell in column {index + 1} ({column})")
        if not number:
            if key and not cells[index].strip():
                # A blank key would gather the rows of whoever it was left out for into one participant.
                raise CommandError(
                    f"{name} line {line}, column {index + 1} ({column}): blank; every row needs its participant"
                )
            values.append(cells[index].strip())
            continue
        if missing and cells[index].strip() in MISSING:
            values.append(float("nan"))
            continue
        try:
            values.append(parse_number(cells[index]))
        except ValueError as error:
            raise CommandError(f"{name} line {line}, column {index + 1} ({column}): {error}") from None
    return values


def numbers_or_none(cells: list[str]) -> list[float] | None:
    """The cells as numbers when every one reads as a number, else None."""
    try:
        return [parse_number(cell) for cell in cells]
    except ValueError:
        return None


def cell_text(value: object) -> str:
    """A table cell as text: floats in their shortest round-trip form, anything else as str."""
    if isinstance(value, float):
        return repr(value)
    if hasattr(value, "item") and not isinstance(value, str):  # a NumPy scalar
        return cell_text(value.item())
    return str(value)


def table_to_csv(fields: Sequence[str], rows: Iterable[Sequence[object]]) -> bytes:
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(fields)
    writer.writerows([cell_text(x) for x in row] for row in rows)
    return buffer.getvalue().encode()


def _same_file(path: str, other: str | int) -> bool:
    """Whether ``path`` names the file ``other`` names (a path, or an open descriptor such as 1)."""
    try:
        here = os.stat(path)
        there = os.fstat(other) if isinstance(other, int) else os.stat(other)
    except (OSError, ValueError):
        return isinstance(other, str) and os.path.realpath(path) == os.path.realpath(other)
    return (here.st_dev, here.st_ino) == (there.st_dev, there.st_ino)


def check_outputs(outputs: Sequence[tuple[str, str | None]]) -> None:
    """Each (option, path) a file this command can write, none the same as another or as standard
    output when the table goes there: a UsageError now, before any work, instead of after it.
    Only the table's option (the first) may name standard output, as "-"."""
    given = [(option, path) for option, path in outputs if path is not None]
    table_to_stdout = bool(given) and given[0][1] == "-"
    for k, (option, path) in enumerate(given):
        if path == "-":
            if k:
                raise UsageError(f"{option} needs a file name: standard output carries the table")
            continue
        descriptor = _stdout_descriptor() if table_to_stdout and sys.stdout is not None else None
        if descriptor is not None and _same_file(path, descriptor):
            raise UsageError(f"{option} {path} is standard output, which carries the table: name a file")
        for other_option, other in given[:k]:
            if other != "-" and (_same_file(path, other) or os.path.realpath(path) == os.path.realpath(other)):
                raise UsageError(f"{option} {path} names the same file as {other_option}")
        _check_writable(option, path)


def _stdout_descriptor() -> int | None:
    try:
        return sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):  # replaced by an object without a descriptor
        return None


def _check_writable(option: str, path: str) -> None:
    try:
        mode: int | None = os.stat(path).st_mode
    except FileNotFoundError:
        mode = None
    except OSError as error:
        raise UsageError(f"cannot write {path}: {error.strerror or error} ({option})") from None
    if mode is not None and stat.S_ISDIR(mode):
        raise UsageError(f"cannot write {path}: Is a directory ({option})")
    if mode is not None:
        if stat.S_ISREG(mode) and (not os.access(path, os.W_OK) or not mode & 0o222):
            raise UsageError(f"cannot write {path}: Permission denied ({option})")
        return
    parent = os.path.dirname(os.path.realpath(path)) or "."
    if not os.path.isdir(parent):
        raise UsageError(f"cannot write {path}: No such file or directory ({option})")
    if not os.access(parent, os.W_OK | os.X_OK):
        raise UsageError(f"cannot write {path}: Permission denied ({option})")
