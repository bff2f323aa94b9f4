"""The API reference lists every public name, so it cannot fall behind the package."""

import inspect
import re
from pathlib import Path

import velmora
import velmora.arrays
import velmora.study

REFERENCE = Path(__file__).resolve().parent.parent / "docs" / "reference.rst"


def documented():
    # Each autosummary entry is qualified by the currentmodule above it; every entry must resolve.
    objects, module = [], None
    for line in REFERENCE.read_text().splitlines():
        if match := re.match(r"\.\. currentmodule:: (\S+)", line):
            module = __import__(match.group(1), fromlist=["_"])
        elif (match := re.fullmatch(r"   ([A-Za-z_]\w*)", line)) and module is not None:
            objects.append(getattr(module, match.group(1)))
    return objects


def test_every_public_name_is_in_the_reference():
    study = [
        obj
        for name, obj in vars(velmora.study).items()
        if not name.startswith("_")
        and (inspect.isfunction(obj) or inspect.isclass(obj))
        and obj.__module__.startswith("velmora")
    ]
    public = (
        [getattr(velmora, name) for name in velmora.__all__]
        + [getattr(velmora.arrays, name) for name in velmora.arrays.__all__]
        + study
        + [velmora.group.GroupFit]
    )
    listed = documented()
    missing = [getattr(obj, "__qualname__", obj) for obj in public if not any(obj is entry for entry in listed)]
    assert not missing, f"not in docs/reference.rst: {missing}"
