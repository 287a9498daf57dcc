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
from .estimators import GkmSVC, GkmSVR
from .fasta import DroppedRecordsWarning, read_fasta
from .kernels import GkmKernel, ReferenceSet
from .model_selection import CrossValidatedROC, cross_validate_roc
from .sequences import MAX_SEQUENCE_LENGTH

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
