"""Sphinx configuration of velmora's documentation: guides, tutorials run at build time, reference.

The build needs no network: no intersphinx, and the tutorials simulate their own data.
"""

import os
from importlib.metadata import version as installed_version

os.environ.setdefault("MPLBACKEND", "Agg")
# The tutorials fit on both cores; BLAS threads would only compete with the engine's.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

project = "velmora"
author = "velmora developers"
copyright = "2026, velmora developers"
release = installed_version("velmora")
version = ".".join(release.split(".")[:2])

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.napoleon",
    "sphinx.ext.mathjax",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
    "sphinx_copybutton",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "tutorials/README.txt", "**.ipynb_checkpoints"]
templates_path = []

autosummary_generate = True
autodoc_default_options = {"members": True, "undoc-members": False, "member-order": "bysource"}
autodoc_typehints = "signature"
napoleon_numpy_docstring = True
napoleon_google_docstring = False
napoleon_use_rtype = False
# A class's Attributes section as fields of its description: autodoc already describes each dataclass
# field, and a second description of the same name would be a duplicate.
napoleon_use_ivar = True

myst_heading_anchors = 3

sphinx_gallery_conf = {
    "examples_dirs": "tutorials",
    "gallery_dirs": "auto_tutorials",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "show_memory": False,
    "abort_on_example_error": False,
    "only_warn_on_example_error": False,  # a tutorial that raises fails the build
}

html_theme = "pydata_sphinx_theme"
html_title = f"velmora {release}"
# The header holds the seven top-level pages, every one in view rather than behind a "More" menu;
# each section's own pages (the guides, the tutorials) are in its sidebar.
html_theme_options = {
    "header_links_before_dropdown": 7,
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
}
html_static_path = ["_static"]
html_css_files = ["wrap.css"]

# The copy button copies the code without its prompts and without the output lines of an example.
copybutton_prompt_text = r">>> |\.\.\. |\$ "
copybutton_prompt_is_regexp = True
copybutton_only_copy_prompt_lines = True


def _stub_signatures():
    """The native list functions' signatures, with their types, from the package's stub: autodoc
    sees only what the compiled module says of itself, which has no annotations."""
    import ast
    from pathlib import Path

    stub = Path(__file__).resolve().parent.parent / "src" / "velmora" / "_core.pyi"
    signatures = {}
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            arguments = ast.unparse(node.args)
            signatures[node.name] = (f"({arguments})", ast.unparse(node.returns) if node.returns else None)
    return signatures


_STUB_SIGNATURES = _stub_signatures()


def _typed_signature(app, what, name, obj, options, signature, return_annotation):
    short = name.rsplit(".", 1)[-1]
    if (
        what == "function"
        and getattr(obj, "__module__", "") in ("velmora._core", "_core")
        and short in _STUB_SIGNATURES
    ):
        return _STUB_SIGNATURES[short]
    return None


def setup(app):
    app.connect("autodoc-process-signature", _typed_signature)
