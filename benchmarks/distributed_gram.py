"""Gram matrices through vellum.distributed on a local Dask cluster.

speedup: the Gram of N synthetic sequences (workloads.synthetic_dna, seed
SEED) by ``GkmKernel(n_jobs=1)`` in this process, then by
``vellum.distributed.gram`` on a local cluster of single-threaded workers,
its blocks on and above the diagonal gathered into this process as they
finish and mirrored below it; prints both times, their ratio and whether
the two matrices are bitwise equal.

zarr: the Gram of N sequences written to a zarr store by the cluster, never
whole in one process; prints the time and every worker's peak RSS.

    python benchmarks/distributed_gram.py speedup                 # 20,000 x 300 bp, 2 workers
    python benchmarks/distributed_gram.py zarr                    # 50,000 x 300 bp into a temporary store
    python benchmarks/distributed_gram.py speedup --n 4000        # a quick check
    python benchmarks/distributed_gram.py speedup --touched       # results into buffers touched beforehand
"""
import argparse
import resource
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from distributed import Client, as_completed

sys.path.insert(0, str(Path(__file__).resolve().parent))
from workloads import synthetic_dna  # noqa: E402

from vellum import GkmKernel  # noqa: E402
from vellum import distributed as vd  # noqa: E402

SEED = 20240611
MIB = 1024 * 1024


def cpu_seconds() -> float:
    """CPU time this process has used, user and system."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def peak_rss_bytes() -> int:
    """This process's peak resident set size (Linux reports KiB)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def result_buffer(n: int, touched: bool) -> np.ndarray | None:
    """An n x n float64 buffer with every page already written, or None
    (each side allocates its own) when not touched. On a virtual machine a
    first write to a page can cost tens of microseconds: 3.2 GB of result
    took about 30 s of CPU to touch, which the one process spends on its own
    core but the client spends on the cores its workers compute on."""
    if not touched:
        return None
    buffer = np.empty((n, n))
    buffer.fill(0.0)
    return buffer


def gather(client: Client, matrix, out: np.ndarray | None = None) -> np.ndarray:
    """The Gram matrix computed on client's cluster, each block copied into
    one array here (out, when given) as soon as it is done, so that moving the result overlaps
    the computation. Only the blocks on and above the diagonal travel: each
    above is also copied, transposed, to its mirror below (a block below is the
    transpose of one above), as the one-process Gram writes both cells of
    each value."""
    out = np.empty(matrix.shape, matrix.dtype) if out is None else out
    blocks = matrix.to_delayed()
    offsets = [np.cumsum((0,) + chunks[:-1]) for chunks in matrix.chunks]
    upper = [(i, j) for i in range(blocks.shape[0]) for j in range(i, blocks.shape[1])]
    futures = client.compute([blocks[i, j] for i, j in upper])
    where = {future.key: (offsets[0][i], offsets[1][j]) for future, (i, j) in zip(futures, upper)}
    for future, block in as_completed(futures, with_results=True):
        r, c = where[future.key]
        out[r : r + block.shape[0], c : c + block.shape[1]] = block
        if r != c:
            out[c : c + block.shape[1], r : r + block.shape[0]] = block.T
        future.release()
    return out


def run_speedup(args, seqs, kernel) -> None:
    buffer = result_buffer(len(seqs), args.touched)
    start, cpu_start = time.perf_counter(), cpu_seconds()
    single = kernel(seqs, out=buffer)
    single_time, single_cpu = time.perf_counter() - start, cpu_seconds() - cpu_start
    print(f"one process, one thread: {single_time:.1f} s ({single_cpu:.1f} s CPU)", flush=True)
    with vd.local_cluster(args.workers) as cluster, Client(cluster) as client:
        buffer = result_buffer(len(seqs), args.touched)
        cpu_before = client.run(cpu_seconds)
        start, client_start = time.perf_counter(), cpu_seconds()
        spread = gather(client, vd.gram(seqs, kernel, block=args.block), buffer)
        spread_time, client_cpu = time.perf_counter() - start, cpu_seconds() - client_start
        cpu_after = client.run(cpu_seconds)
    spread_cpu = sum(cpu_after[w] - cpu_before[w] for w in cpu_after)
    print(f"{args.workers} single-threaded workers: {spread_time:.1f} s ({spread_cpu:.1f} s CPU in the workers)")
    # The local cluster's scheduler runs in this process too.
    print(f"this process (client and scheduler): {client_cpu:.1f} s CPU")
    print(f"speed-up: {single_time / spread_time:.2f}x; bitwise equal: {np.array_equal(single, spread)}")
    # On a machine shared with other jobs the wall-clock ratio understates
    # what the cluster does; the CPU ratio times the worker count does not.
    print(f"CPU time of one process / the workers': {single_cpu / spread_cpu:.2f}")


def run_zarr(args, seqs, kernel) -> None:
    out = Path(args.out or tempfile.mkdtemp(prefix="vellum-gram-")) / "K.zarr"
    try:
        with vd.local_cluster(args.workers) as cluster, Client(cluster) as client:
            start = time.perf_counter()
            vd.gram(seqs, kernel, block=args.block).to_zarr(str(out))
            elapsed = time.perf_counter() - start
            peaks = client.run(peak_rss_bytes)
        n = len(seqs)
        print(f"{n} x {n} float64 ({n * n * 8 / MIB / 1024:.1f} GiB) written to {out} in {elapsed:.1f} s")
        for address, peak in sorted(peaks.items()):
            print(f"worker {address}: peak RSS {peak / MIB:.0f} MiB")
        print(f"client: peak RSS {peak_rss_bytes() / MIB:.0f} MiB")
        print(f"every worker under 2 GiB: {max(peaks.values()) < 2 * 1024 * MIB}")
    finally:
        if args.out is None:
            shutil.rmtree(out.parent)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mode", choices=("speedup", "zarr"))
    parser.add_argument("--n", type=int, help="sequences (default 20,000 for speedup, 50,000 for zarr)")
    parser.add_argument("--len", type=int, default=300, help="bases per sequence (default 300)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    # A task holds two stripes, block x (n + block) values: at 50,000
    # sequences, 1,000 rows keep that at 400 MB, well inside a worker's 2 GB.
    parser.add_argument("--block", type=int, default=vd.DEFAULT_BLOCK, help="block rows and columns (default 1,000)")
    parser.add_argument(
        "--touched",
        action="store_true",
        help="speedup: both sides write into a result buffer whose pages were written before the clock starts",
    )
    parser.add_argument("--out", help="zarr: keep the store in this directory (default: a temporary one)")
    args = parser.parse_args()
    n = args.n or (20_000 if args.mode == "speedup" else 50_000)
    seqs = synthetic_dna(n, args.len, SEED)
    kernel = GkmKernel(n_jobs=1)
    print(f"Gram of {n} x {args.len} bp, {kernel!r}, block {args.block}", flush=True)
    (run_speedup if args.mode == "speedup" else run_zarr)(args, seqs, kernel)


if __name__ == "__main__":
    main()
