"""Gapped k-mer string kernels between DNA sequences."""
