"""Kernel matrix of a small FASTA file: ``python -m vellum.demo [FASTA]``.

Every sequence is added to a regular kernel as a reference and then scored
against all of them with ``Kernel.eval_batch``, giving the normalised kernel
matrix (1.0 on the diagonal). The summary names each of a few sequences'
nearest neighbours; without a FASTA argument the bundled example is used, in
which sequences sharing a planted motif should find each other.
"""
import argparse
import os
import sys
from importlib import resources

from ._gkmkern import Kernel


def example_fasta():
    """Path of the bundled example FASTA."""
    return str(resources.files("vellum") / "data" / "example.fasta")


def read_fasta(path):
    """List of (header, sequence) pairs; the header is the text after '>'."""
    records = []
    with open(path) as handle:
        for line in handle:
            line = line.strip()
            if line.startswith(">"):
                records.append((line[1:], []))
            elif line and records:
                records[-1][1].append(line)
    return [(header, "".join(parts)) for header, parts in records]


def kernel_matrix(seqs, L=10, k=6, d=3, use_rc=0, nthreads=1):
    """Normalised kernel values of every sequence against every other."""
    kernel = Kernel(L=L, k=k, d=d, use_rc=use_rc, nthreads=nthreads)
    for seq in seqs:
        kernel.add_sequence(seq)
    kernel.finalize()
    return kernel.eval_batch(seqs)


def nearest_neighbours(matrix, i, count):
    """Indices of the count sequences most similar to sequence i, best first."""
    others = [j for j in range(len(matrix)) if j != i]
    return sorted(others, key=lambda j: -matrix[i][j])[:count]


def summarize(records, matrix, params, n_show=5, n_neighbours=3):
    """The printed summary as a list of lines."""
    n = len(records)
    off_diagonal = [matrix[i][j] for i in range(n) for j in range(n) if i != j]
    mean = sum(off_diagonal) / len(off_diagonal) if off_diagonal else 0.0
    lines = [
        f"sequences: {n}",
        "parameters: " + " ".join(f"{name}={value}" for name, value in params.items()),
        f"mean off-diagonal kernel value: {mean:.4f}",
        "nearest neighbours:",
    ]
    for i in range(min(n_show, n)):
        found = ", ".join(f"{records[j][0]} ({matrix[i][j]:.3f})" for j in nearest_neighbours(matrix, i, n_neighbours))
        lines.append(f"  {records[i][0]}: {found}")
    return lines


def main(argv=None):
    """Run the demo; returns the process exit status."""
    parser = argparse.ArgumentParser(prog="python -m vellum.demo", description=__doc__.splitlines()[0])
    parser.add_argument("fasta", nargs="?", default=None, help="FASTA file (default: the bundled example)")
    parser.add_argument("-L", type=int, default=10, help="word length (2..12)")
    parser.add_argument("-k", type=int, default=6, help="informative positions (1..L)")
    parser.add_argument("-d", type=int, default=3, help="largest mismatch count (0..L-k)")
    parser.add_argument("--use-rc", action="store_true", help="fold in reverse complements")
    parser.add_argument("--nthreads", type=int, default=os.cpu_count() or 1, help="threads for eval_batch")
    args = parser.parse_args(argv)

    path = args.fasta or example_fasta()
    records = read_fasta(path)
    if len(records) < 2:
        print(f"{path}: need at least two sequences", file=sys.stderr)
        return 1
    params = {"L": args.L, "k": args.k, "d": args.d, "use_rc": int(args.use_rc), "nthreads": args.nthreads}
    try:
        matrix = kernel_matrix([seq for _, seq in records], **params)
    except ValueError as err:
        print(f"{path}: {err}", file=sys.stderr)
        return 1
    print(f"file: {path}")
    print("\n".join(summarize(records, matrix, params)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
