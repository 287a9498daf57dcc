"""Gapped k-mer string kernels between DNA sequences.

The numerical core lives in the extension module ``vellum._gkmkern``; its
public names are re-exported here.
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

__all__ = [
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
