"""Sphinx configuration of vellum's documentation (build: bash scripts/docs.sh)."""
import os
import sys
from importlib.metadata import version as installed_version

sys.path.insert(0, os.path.abspath("sphinxext"))

project = "vellum"
author = "the vellum developers"
copyright = "the vellum developers"
release = installed_version("vellum")
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.mathjax",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "vellum_docs",
]

templates_path = ["_templates"]
exclude_patterns = ["_build", "_generated", "examples", "sg_execution_times.rst"]
default_role = "code"

autosummary_generate = True
autodoc_typehints = "none"

# Members are listed by the autosummary templates; numpydoc's own listing
# would document each of them a second time.
numpydoc_show_class_members = False
numpydoc_xref_param_type = False

sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "image_scrapers": ("vellum_docs.written_png_scraper",),
    "within_subsection_order": "FileNameSortKey",
    "download_all_examples": False,
    "remove_config_comments": True,
    "show_memory": False,
    "min_reported_time": 1,
}

html_theme = "pydata_sphinx_theme"
html_title = f"vellum {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
}
html_static_path = []
html_show_sourcelink = False
