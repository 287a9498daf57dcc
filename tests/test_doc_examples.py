"""The code examples of README.md and of the documentation run as written,
and the API reference names every public name.

The Python blocks of one document run in order in one namespace; its shell
blocks run line by line in one scratch directory, in which ``src`` leads to
the repository's ``src`` so that the bundled data paths hold. A ``vellum``
line runs through :func:`vellum.cli.main` in this process and must end with
status 0; any other line runs in bash. A block right after the comment
``.. not run: <reason>`` (rst) or ``<!-- not run: <reason> -->`` (Markdown)
is left out; the gallery's examples run when the documentation is built.
"""
from __future__ import annotations

import os
import re
import shlex
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

import pytest

from vellum import cli

REPO = Path(__file__).resolve().parents[1]
RUNNABLE = ("python", "sh")
NOT_RUN = re.compile(r"^(\.\. not run:|<!-- not run:)")
MARKDOWN_BLOCK = re.compile(r"^```(\w*)\n(.*?)^```", re.DOTALL | re.MULTILINE)
RST_BLOCK = re.compile(r"^\.\. code-block:: (\w+)\n((?:\n|   .*\n)*)", re.MULTILINE)


@dataclass(frozen=True)
class Block:
    language: str
    code: str
    run: bool


def preceding_line(text: str, start: int) -> str:
    """The last non-blank line of text before offset start."""
    lines = [line for line in text[:start].splitlines() if line.strip()]
    return lines[-1] if lines else ""


def code_blocks(text: str, markdown: bool) -> list[Block]:
    """The fenced (Markdown) or code-block (rst) examples of a document, in order."""
    pattern = MARKDOWN_BLOCK if markdown else RST_BLOCK
    blocks = []
    for match in pattern.finditer(text):
        code = match.group(2) if markdown else textwrap.dedent(match.group(2))
        run = not NOT_RUN.match(preceding_line(text, match.start()))
        blocks.append(Block(match.group(1), code.strip("\n") + "\n", run))
    return blocks


def shell_commands(code: str) -> list[str]:
    """The commands of a shell block: continued lines joined, blank and
    comment-only lines left out."""
    joined = code.replace("\\\n", " ")
    return [line for line in joined.splitlines() if shlex.split(line, comments=True)]


def run_shell(code: str) -> None:
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    for command in shell_commands(code):
        words = shlex.split(command, comments=True)
        if words[0] == "vellum":
            assert cli.main(words[1:]) == 0, command
        else:
            subprocess.run(command, shell=True, check=True, executable="/bin/bash", env=env)


PAGES = sorted(str(p.relative_to(REPO)) for pattern in ("docs/*.rst", "docs/guide/*.rst") for p in REPO.glob(pattern))
PAGES_WITH_CODE = [name for name in PAGES if code_blocks((REPO / name).read_text(), markdown=False)]


def run_document(name: str) -> dict:
    """Run the examples of a document in the current directory; returns
    the namespace its Python blocks leave."""
    blocks = code_blocks((REPO / name).read_text(), name.endswith(".md"))
    unknown = sorted({block.language for block in blocks} - set(RUNNABLE) - {"text"})
    assert not unknown, f"{name}: blocks in {unknown} would never run; use python, sh or text"
    namespace: dict = {"__name__": "__doc_example__"}
    for block in blocks:
        if block.run and block.language == "python":
            exec(compile(block.code, name, "exec"), namespace)
        elif block.run and block.language == "sh":
            run_shell(block.code)
    return namespace


@pytest.fixture
def scratch(tmp_path, monkeypatch):
    """A working directory in which the bundled data's paths hold."""
    (tmp_path / "src").symlink_to(REPO / "src")
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize("name", PAGES_WITH_CODE)
def test_examples_of_the_page_run(name, scratch):
    run_document(name)


def test_readme_examples_run_and_scan_a_random_locus(scratch):
    blocks = code_blocks((REPO / "README.md").read_text(), markdown=True)
    assert {block.language for block in blocks if block.run} >= {"python", "sh"}
    namespace = run_document("README.md")
    # A locus drawn with a fresh generator per base is one base repeated,
    # and every window of it scores the same.
    locus, track = namespace["locus"], namespace["track"]
    assert {base: locus.count(base) > 1000 for base in "ACGT"} == dict.fromkeys("ACGT", True)
    assert len(track) == 491 and len(set(track.tolist())) > 400
    assert (scratch / "contributions.tsv").read_text().count("\n") == 1 + 2 * 100


RST_SAMPLE = """\
Intro.

.. code-block:: python

   x = 1

       y = 2

.. not run: needs a cluster

.. code-block:: sh

   vellum gram big.fa \\
       -o K.npy   # written by stripes

.. code-block:: text

   usage: vellum
"""


def test_rst_blocks_keep_their_indentation_and_not_run_marks():
    assert code_blocks(RST_SAMPLE, markdown=False) == [
        Block("python", "x = 1\n\n    y = 2\n", True),
        Block("sh", "vellum gram big.fa \\\n    -o K.npy   # written by stripes\n", False),
        Block("text", "usage: vellum\n", True),
    ]


def test_markdown_blocks_and_shell_commands():
    text = "a\n\n```sh\n# make it\nvellum demo \\\n   --plot roc.png\n\nls\n```\n\n<!-- not run: slow -->\n```python\nx = 1\n```\n"
    blocks = code_blocks(text, markdown=True)
    assert blocks == [Block("sh", "# make it\nvellum demo \\\n   --plot roc.png\n\nls\n", True), Block("python", "x = 1\n", False)]
    assert shell_commands(blocks[0].code) == ["vellum demo     --plot roc.png", "ls"]


def documented_names(rst: str) -> set[str]:
    """Fully qualified names that an API page documents: the entries of its
    autosummary tables and the names of its data directives (a py:data
    directive names more of them on the lines right below), each under the
    currentmodule above it."""
    names, module, block = set(), "", None
    for line in rst.splitlines():
        directive = re.match(r"\.\. ([\w:]+)::\s*(\S*)", line)
        if directive:
            block, argument = directive.groups()
            if block == "currentmodule":
                module = argument
            elif block in ("autodata", "py:data"):
                names.add(f"{module}.{argument}")
        elif not line.strip():
            block = "autosummary" if block == "autosummary" else None
        elif not line.startswith(" "):
            block = None
        elif block in ("autosummary", "py:data") and re.fullmatch(r" +\w+", line):
            names.add(f"{module}.{line.strip()}")
    return names


def public_names() -> set[str]:
    import vellum
    from vellum import distributed, plots

    plot_functions = [
        name
        for name, value in vars(plots).items()
        if callable(value) and getattr(value, "__module__", None) == plots.__name__ and not name.startswith("_")
    ]
    return {f"vellum.{name}" for name in vellum.__all__} | {
        f"{module.__name__}.{name}" for module, names in ((distributed, distributed.__all__), (plots, plot_functions)) for name in names
    }


def test_the_api_reference_documents_every_public_name():
    assert public_names() - documented_names((REPO / "docs" / "api.rst").read_text()) == set()


def test_documented_names_reads_autosummary_entries_and_data():
    rst = ".. currentmodule:: a\n\n.. autosummary::\n   :toctree: generated\n\n   f\n   C\n\nText.\n\n   g\n\n.. py:data:: X\n             Y\n\n.. currentmodule:: a.b\n\n.. autodata:: Z\n"
    assert documented_names(rst) == {"a.f", "a.C", "a.X", "a.Y", "a.b.Z"}
