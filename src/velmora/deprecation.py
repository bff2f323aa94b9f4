"""Former spellings of keywords and attributes, kept working for one release with a warning.

One word, one meaning: ``response_model`` is the model of the responses everywhere and ``response``
the responses' column; keywords and attributes that used ``response`` for the model take their
new name, and the old one warns (``DeprecationWarning``) and does exactly what the new one does.
"""

from __future__ import annotations

import warnings
from typing import Any, Final


class _Unset:
    """The default of a former spelling: tells "not given" from any value, None included."""

    def __repr__(self) -> str:
        return "<unset>"


UNSET: Final[Any] = _Unset()


def warn_renamed(where: str, old: str, new: str, stacklevel: int = 3) -> None:
    """The DeprecationWarning of a former spelling, naming the new one."""
    warnings.warn(
        f"{where}: {old} is deprecated, use {new} (the same meaning; {old} goes in the next release)",
        DeprecationWarning,
        stacklevel=stacklevel,
    )


def renamed_keyword(function: str, old: str, new: str, old_value: Any, new_value: Any) -> Any:
    """The value of keyword ``new`` of ``function``, taking ``old`` (its former spelling) when that was
    given instead, with a DeprecationWarning; TypeError when both were given."""
    if old_value is UNSET:
        return new_value
    if new_value is not None:
        raise TypeError(f"{function}() got both {old}= and {new}=; {old}= is the former spelling of {new}=")
    warn_renamed(f"{function}()", f"{old}=", f"{new}=", stacklevel=4)
    return old_value
