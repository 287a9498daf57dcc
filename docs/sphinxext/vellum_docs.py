"""Build-time pieces of the documentation.

- :func:`write_command_help`: the ``--help`` text of every ``vellum``
  subcommand, written from the parser itself whenever the docs are built,
  so that the command's page never names an option the command lacks.
- :func:`skip_scikit_learn_members`: API pages without the members the
  estimators inherit from scikit-learn.
- :func:`written_png_scraper`: a sphinx-gallery image scraper for the PNG
  files that examples write through :mod:`vellum.plots` (which draws on
  Agg canvases, not pyplot figures the default scraper would find).
"""
from __future__ import annotations

import argparse
import os
import shutil
from pathlib import Path

from sphinx.application import Sphinx
from sphinx_gallery.scrapers import figure_rst

HELP_WIDTH = "88"
"""Columns argparse wraps the help text to, whatever terminal builds the docs."""

COMMAND_HELP = "_generated/command_help.rst"
"""Where the subcommands' help is written, relative to the docs' source."""


def subcommands(parser: argparse.ArgumentParser) -> dict[str, argparse.ArgumentParser]:
    """The subcommand parsers of parser, by name, in the order they were added."""
    [action] = [a for a in parser._actions if isinstance(a, argparse._SubParsersAction)]
    return dict(action.choices)


def help_section(title: str, text: str) -> str:
    """An rst section holding text as a literal block."""
    body = "\n".join("   " + line if line else "" for line in text.rstrip().splitlines())
    return f"{title}\n{'~' * len(title)}\n\n.. code-block:: text\n\n{body}\n"


def command_help_rst() -> str:
    """rst of ``vellum --help`` and of each subcommand's ``--help``."""
    from vellum.cli import build_parser

    previous = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = HELP_WIDTH
    try:
        parser = build_parser()
        sections = [help_section("vellum", parser.format_help())]
        sections += [help_section(f"vellum {name}", sub.format_help()) for name, sub in subcommands(parser).items()]
    finally:
        if previous is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = previous
    return "\n".join(sections)


def write_command_help(app: Sphinx) -> None:
    """Write the subcommands' help into the source tree before it is read."""
    path = Path(app.srcdir) / COMMAND_HELP
    path.parent.mkdir(exist_ok=True)
    text = command_help_rst()
    # An unchanged file keeps its time stamp, so Sphinx does not reread the page.
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


def written_png_scraper(block, block_vars: dict, gallery_conf: dict) -> str:
    """Move the PNG files a code block wrote beside its example into the
    gallery's images, in the order they were written, and return their rst."""
    example_dir = Path(block_vars["src_file"]).parent
    written = sorted(example_dir.glob("*.png"), key=lambda path: path.stat().st_mtime_ns)
    image_paths = []
    for png, image_path in zip(written, block_vars["image_path_iterator"]):
        shutil.move(png, image_path)
        image_paths.append(image_path)
    return figure_rst(image_paths, gallery_conf["src_dir"])


def skip_scikit_learn_members(app: Sphinx, what: str, name: str, obj, skip: bool, options) -> bool | None:
    """Leave out members the estimators inherit from scikit-learn (get_params,
    score, metadata routing): scikit-learn documents them, and their
    docstrings refer to pages of its own documentation."""
    if getattr(obj, "__module__", None) and obj.__module__.split(".")[0] == "sklearn":
        return True
    return None


def setup(app: Sphinx) -> dict:
    app.connect("builder-inited", write_command_help)
    app.connect("autodoc-skip-member", skip_scikit_learn_members)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
