"""Gapped k-mer string kernels between DNA sequences, and the SVMs built on them.

- :class:`GkmKernel`: kernel matrices of lists of DNA strings as NumPy arrays.
- :class:`GkmSVC`, :class:`GkmSVR`: scikit-learn estimators on that kernel,
  with ``scan``, ``mutagenesis`` and ``variant_effect``.
- :func:`read_fasta`: FASTA records (plain or gzip) as ids and sequences.

The numerical core is the extension module ``vellum._gkmkern``; its public
names (``Kernel``, ``WeightedKernel``, ``Sequence`` and constants) are
re-exported here. One encoded sequence holds at most 2,047 bases
(:data:`MAX_SEQUENCE_LENGTH`); the package refuses longer sequences where
they cannot be computed whole instead of cutting them.
"""
import importlib

from ._gkmkern import (
    POS_CAUCHY,
    POS_EPANECHNIKOV,
    POS_GAUSSIAN,
    POS_LAPLACIAN,
    POS_TRIANGULAR,
    WEIGHT_ESTIMATED_FULL,
    WEIGHT_FULL,
    WEIGHT_TRUNCATED,
    Kernel,
    Sequence,
    WeightedKernel,
)

# The Python layers load on first use, so that importing the native module
# (``vellum._gkmkern``) does not pull scikit-learn, SciPy and Biopython in.
_LAZY = {
    "GkmSVC": "estimators",
    "GkmSVR": "estimators",
    "DroppedRecordsWarning": "fasta",
    "read_fasta": "fasta",
    "GkmKernel": "kernels",
    "ReferenceSet": "kernels",
    "CrossValidatedROC": "model_selection",
    "cross_validate_roc": "model_selection",
    "MAX_SEQUENCE_LENGTH": "sequences",
}


def __getattr__(name: str):
    if name == "__version__":
        # The installed distribution's version, read once it is asked for.
        from importlib.metadata import version

        value = version(__name__)
    elif name in _LAZY:
        value = getattr(importlib.import_module("." + _LAZY[name], __name__), name)
    else:
        raise AttributeError("module %r has no attribute %r" % (__name__, name))
    globals()[name] = value
    return value


def __dir__() -> list:
    return sorted(set(globals()) | set(_LAZY) | {"__version__"})


__all__ = [
    "GkmKernel",
    "ReferenceSet",
    "GkmSVC",
    "GkmSVR",
    "read_fasta",
    "DroppedRecordsWarning",
    "cross_validate_roc",
    "CrossValidatedROC",
    "MAX_SEQUENCE_LENGTH",
    "Kernel",
    "Sequence",
    "WeightedKernel",
    "POS_TRIANGULAR",
    "POS_EPANECHNIKOV",
    "POS_GAUSSIAN",
    "POS_LAPLACIAN",
    "POS_CAUCHY",
    "WEIGHT_FULL",
    "WEIGHT_TRUNCATED",
    "WEIGHT_ESTIMATED_FULL",
]
