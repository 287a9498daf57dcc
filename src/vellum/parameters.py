"""The kernel's parameters, declared once: :data:`KERNEL_PARAMETERS`.

:class:`~vellum.GkmKernel`, :class:`~vellum.GkmSVC` and
:class:`~vellum.GkmSVR` take their signatures (:func:`storing_init`) and
the Parameters sections of their docstrings (:func:`documented`) from this
table, check values with :func:`check_kernel_parameters`, and the
``vellum`` command makes its kernel options from it, named as the
parameters are (``weight_sigma`` is ``--weight-sigma``).

This module imports neither NumPy nor scikit-learn, so that the command
builds its options without loading them.
"""
from __future__ import annotations

import inspect
import textwrap
from dataclasses import dataclass, field
from numbers import Integral
from typing import Callable, Mapping, Sequence

from .sequences import INVALID_MODES, check_choice

WEIGHT_SCHEME_NAMES = {"full": 0, "truncated": 1, "estimated": 2}
"""The weight schemes by the names the command gives them."""

SOLVERS = ("auto", "gram", "table")
"""The solvers of GkmSVC and GkmSVR."""

POSITIONAL_PROFILE_NAMES = ("triangular", "epanechnikov", "gaussian", "laplacian", "cauchy")
"""The shapes of the positional weight."""


@dataclass(frozen=True)
class Parameter:
    """One parameter of an estimator: its name, default and documentation,
    how it is checked and how the command takes it.

    Attributes
    ----------
    name : str
        The keyword; the command's option is ``-name`` for one letter,
        else ``--name`` with dashes for underscores.
    default : object
        The default, the same in Python and on the command line.
    annotation : str
        Type of the signature.
    doc : str
        The docstring's description (numpydoc), without indentation.
    doc_type : str, optional
        Type of the docstring, when it is not the annotation or choices.
    choices : tuple
        The values allowed, when they are few.
    check : callable, optional
        ``check(parameter, params)`` raises TypeError or ValueError when
        ``params[parameter.name]`` is not allowed, given every parameter in
        ``params``.
    option : str, optional
        The command option's help; None when the command has no option of
        this name.
    words : dict, optional
        The command's words for the values, when they are not the values.
    """

    name: str
    default: object
    annotation: str
    doc: str
    doc_type: str | None = None
    choices: tuple = ()
    check: Callable[["Parameter", Mapping[str, object]], None] | None = None
    option: str | None = None
    words: dict = field(default_factory=dict)

    def type_text(self) -> str:
        """The type as the docstring shows it."""
        if self.doc_type is not None:
            return self.doc_type
        if self.choices:
            return "{" + ", ".join(shown(value) for value in self.choices) + "}"
        return self.annotation

    def from_option(self, given: object) -> object:
        """The value the command's option gave as given (one of its words,
        or the value itself)."""
        return self.words.get(given, given)

    def doc_entry(self) -> str:
        """The numpydoc entry of the parameter, unindented."""
        head = f"{self.name} : {self.type_text()}"
        if self.default is not None:
            head += f", default={shown(self.default)}"
        return head + "\n" + textwrap.indent(self.doc, "    ")


def shown(value: object) -> str:
    """A value as numpydoc writes it: strings in double quotes."""
    return f'"{value}"' if isinstance(value, str) else repr(value)


# ---- checks -------------------------------------------------------------------


def an_int(parameter: Parameter, params: Mapping[str, object]) -> None:
    value = params[parameter.name]
    if isinstance(value, bool) or not isinstance(value, Integral):
        raise TypeError(f"{parameter.name} must be an int, not {type(value).__name__}")


def one_of_choices(parameter: Parameter, params: Mapping[str, object]) -> None:
    check_choice(parameter.name, params[parameter.name], parameter.choices)


def positional_shape(parameter: Parameter, params: Mapping[str, object]) -> None:
    if params["positional"]:
        one_of_choices(parameter, params)


def positional_width(parameter: Parameter, params: Mapping[str, object]) -> None:
    # The laplacian shape has a decay rate instead of a width.
    value = params[parameter.name]
    if params["positional"] and params["pos_kernel"] != "laplacian" and not value > 0:
        raise ValueError(f"{parameter.name} must be greater than 0; got {value!r}")


def positional_rate(parameter: Parameter, params: Mapping[str, object]) -> None:
    value = params[parameter.name]
    if params["positional"] and not value >= 0:
        raise ValueError(f"{parameter.name} must be at least 0; got {value!r}")


def progress_setting(parameter: Parameter, params: Mapping[str, object]) -> None:
    # Imported here: the progress module loads tqdm, which the command's
    # options do not need.
    from ._progress import check_progress

    check_progress(params[parameter.name])


# ---- the table ----------------------------------------------------------------


KERNEL_PARAMETERS: tuple[Parameter, ...] = (
    Parameter("L", 10, "int", "Word length, 2..12.", check=an_int, option="word length, 2..12"),
    Parameter(
        "k",
        6,
        "int",
        "Informative (non-gap) positions of a gapped k-mer, 1..L.",
        check=an_int,
        option="informative positions, 1..L",
    ),
    Parameter(
        "d",
        3,
        "int",
        "Largest mismatch count between two L-mers that still counts, 0..L-k.",
        check=an_int,
        option="largest mismatch count, 0..L-k",
    ),
    Parameter(
        "weight_scheme",
        0,
        "int",
        "0: exact gapped k-mer counts; 1: estimated full filter, truncated;\n2: estimated full filter.",
        choices=tuple(WEIGHT_SCHEME_NAMES.values()),
        check=one_of_choices,
        option="L-mer weights: full (exact gapped k-mer counts), truncated or estimated (the estimated filter, "
        "truncated or whole)",
        words=WEIGHT_SCHEME_NAMES,
    ),
    Parameter(
        "use_rc",
        True,
        "bool",
        "Count the reverse complement of each sequence too.",
        option="count reverse complements",
    ),
    Parameter(
        "n_jobs",
        1,
        "int | None",
        "Threads of the native evaluation (-1: every core). A fitted model\n"
        "uses its current value: ``model.set_params(n_jobs=4)`` applies to\n"
        "later predictions.",
        doc_type="int",
    ),
    Parameter(
        "invalid",
        "error",
        "str",
        'Characters other than A, C, G, T (either case): "error" refuses the\n'
        'sequence; "skip" leaves out every L-mer covering one, on both sides\n'
        "and in the norms (genomic N gaps). A sequence with no L-mer left\n"
        "scores 0 against everything.",
        choices=INVALID_MODES,
        check=one_of_choices,
        option="non-ACGT bases: refuse the record (error) or leave out the L-mers covering them (skip)",
    ),
    Parameter(
        "positional",
        False,
        "bool",
        "Weight every L-mer by its distance from the sequence's middle (all\nsequences must then have one length).",
        option="weight L-mers by distance from the middle",
    ),
    Parameter(
        "pos_kernel",
        "triangular",
        "str",
        "Shape of the positional weight.",
        choices=POSITIONAL_PROFILE_NAMES,
        check=positional_shape,
        option="shape of the positional weight",
    ),
    Parameter(
        "weight_sigma",
        50.0,
        "float",
        'Width of the positional weight (every shape but "laplacian").',
        check=positional_width,
        option="width of the positional weight (every shape but laplacian)",
    ),
    Parameter(
        "weight_gamma",
        1.0,
        "float",
        'Decay rate of the "laplacian" positional weight.',
        check=positional_rate,
        option="decay rate of the laplacian positional weight",
    ),
    Parameter(
        "progress",
        False,
        "bool | str",
        "Show a progress bar on stderr for work that lasts more than a second:\n"
        'always (True), never (False), or when stderr is a terminal ("auto",\n'
        "as the ``vellum`` command sets it, so that a saved model draws no\n"
        "bars in notebooks or logs).",
        doc_type='{False, True, "auto"}',
        check=progress_setting,
    ),
)
"""The parameters of every kernel, in the order of the signatures."""

KERNEL_PARAMETER_NAMES = tuple(parameter.name for parameter in KERNEL_PARAMETERS)


def check_kernel_parameters(params: Mapping[str, object]) -> None:
    """Raise TypeError or ValueError naming the first kernel parameter in
    params (a mapping of every one) whose value is not allowed."""
    for parameter in KERNEL_PARAMETERS:
        if parameter.check is not None:
            parameter.check(parameter, params)


# ---- what classes derive ------------------------------------------------------


def storing_init(parameters: Sequence[Parameter]) -> Callable[..., None]:
    """An ``__init__`` taking parameters, in order, by position or keyword,
    with their defaults, and storing each value verbatim as the attribute of
    its name: what scikit-learn's get_params, set_params and clone expect
    (they read the names from the signature)."""
    kind = inspect.Parameter.POSITIONAL_OR_KEYWORD
    signature = inspect.Signature(
        [inspect.Parameter("self", kind)]
        + [inspect.Parameter(p.name, kind, default=p.default, annotation=p.annotation) for p in parameters]
    )

    def __init__(self, *args, **kwargs) -> None:
        bound = signature.bind(self, *args, **kwargs)
        bound.apply_defaults()
        for name, value in bound.arguments.items():
            if name != "self":
                setattr(self, name, value)

    __init__.__signature__ = signature
    return __init__


def documented(parameters: Sequence[Parameter]) -> Callable[[type], type]:
    """A class decorator putting the numpydoc entries of parameters where
    the class docstring says ``{parameters}`` (on a line of its own,
    indented as the section)."""

    def document(cls: type) -> type:
        entries = "\n".join(parameter.doc_entry() for parameter in parameters)
        marker = next(line for line in cls.__doc__.splitlines() if line.strip() == "{parameters}")
        indent = marker[: len(marker) - len(marker.lstrip())]
        cls.__doc__ = cls.__doc__.replace(marker, textwrap.indent(entries, indent))
        return cls

    return document
