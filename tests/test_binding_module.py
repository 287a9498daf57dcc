"""The extension module: its documentation, types, constants and docstrings."""
import subprocess
import sys

import pytest

import vellum
from vellum import _gkmkern as g


MODULE_FUNCTIONS = {
    "lmer_table_transform",
    "lmer_table_add",
    "lmer_table_sums",
    "lmer_owners",
    "lmer_codes",
    "lmer_table_of_owners",
    "lmer_norms",
    "lmer_sliding_norms",
    "lmer_mutant_norms",
}


def test_module_identity():
    assert g.__name__ == "vellum._gkmkern"
    assert g.__doc__ == "C core for the gapped k-mer kernel (regular + weighted)."
    functions = {name for name in dir(g) if callable(getattr(g, name)) and not isinstance(getattr(g, name), type)}
    assert functions == MODULE_FUNCTIONS


@pytest.mark.parametrize(
    "name, value",
    [
        ("POS_TRIANGULAR", 0),
        ("POS_EPANECHNIKOV", 1),
        ("POS_GAUSSIAN", 2),
        ("POS_LAPLACIAN", 3),
        ("POS_CAUCHY", 4),
        ("WEIGHT_FULL", 0),
        ("WEIGHT_TRUNCATED", 1),
        ("WEIGHT_ESTIMATED_FULL", 2),
    ],
)
def test_constants(name, value):
    assert type(getattr(g, name)) is int
    assert getattr(g, name) == value
    assert getattr(vellum, name) == value


@pytest.mark.parametrize(
    "cls, doc",
    [
        (g.Sequence, "Encoded nucleotide sequence."),
        (g.Kernel, "Regular gapped k-mer kernel (uniform L-mer weights)."),
        (g.WeightedKernel, "Weighted gapped k-mer kernel (positional weighting)."),
    ],
)
def test_types(cls, doc):
    assert cls.__module__ == "vellum._gkmkern"
    assert cls.__doc__ == doc
    assert getattr(vellum, cls.__name__) is cls
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


KERNEL_DOCS = {
    "add_sequence": "add_sequence(seq, sid=None) -> int.",
    "finalize": "finalize() -> None.",
    "num_sequences": "num_sequences() -> int.",
    "weight": "weight(m) -> float.",
    "weight_scheme": "weight_scheme() -> int (0=full, 1=truncated, 2=estimated_full).",
    "use_rc": "use_rc() -> int (0 or 1).",
    "eval_batch": "eval_batch(queries) -> list[list[float]].",
}
WEIGHTED_DOCS = {
    "add_sequence": "add_sequence(seq, sid=None) -> int.",
    "finalize": "finalize() -> None.",
    "num_sequences": "num_sequences() -> int.",
    "weight": "weight(m) -> float.",
    "weight_scheme": "weight_scheme() -> int.",
    "use_rc": "use_rc() -> int.",
    "pos_kernel": "pos_kernel() -> int.",
    "gamma": "gamma() -> float.",
    "sigma": "sigma() -> float.",
    "peak": "peak() -> float.",
}
SEQUENCE_DOCS = {
    "length": "Return the sequence length.",
    "sqnorm": "Return sqrt(K(self, self)).",
    "sid": "Return the sequence id (or None).",
}
ATTRIBUTE_DOCS = {"L": "Full word length L.", "k": "Number of non-gap positions k.", "d": "Max mismatches d."}


@pytest.mark.parametrize(
    "cls, name, doc",
    [(g.Kernel, n, d) for n, d in KERNEL_DOCS.items()]
    + [(g.WeightedKernel, n, d) for n, d in WEIGHTED_DOCS.items()]
    + [(g.Sequence, n, d) for n, d in SEQUENCE_DOCS.items()]
    + [(cls, n, d) for cls in (g.Kernel, g.WeightedKernel) for n, d in ATTRIBUTE_DOCS.items()],
)
def test_docstrings(cls, name, doc):
    assert getattr(cls, name).__doc__ == doc


@pytest.mark.parametrize("cls", [g.Kernel, g.WeightedKernel])
@pytest.mark.parametrize("attr", ["L", "k", "d"])
def test_parameter_attributes_are_read_only(cls, attr):
    kernel = cls()
    with pytest.raises(AttributeError):
        setattr(kernel, attr, 5)
    assert getattr(kernel, attr) == {"L": 10, "k": 6, "d": 3}[attr]


def test_native_module_imports_without_the_python_layers():
    # Benchmarks and workers that need only the core must not pay for
    # scikit-learn, SciPy or Biopython in time and resident memory.
    script = (
        "import sys, vellum._gkmkern\n"
        "heavy = sorted(m for m in ('sklearn', 'scipy', 'Bio', 'matplotlib') if m in sys.modules)\n"
        "import vellum\n"
        "print(heavy, vellum.GkmSVC.__module__, vellum.read_fasta.__module__, 'GkmKernel' in dir(vellum))\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["[]", "vellum.estimators", "vellum.fasta", "True"]


def test_unknown_package_attribute_is_an_attribute_error():
    with pytest.raises(AttributeError, match="module 'vellum' has no attribute 'nothing_here'"):
        vellum.nothing_here
