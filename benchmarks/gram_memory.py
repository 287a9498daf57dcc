"""Peak memory of a Gram matrix through GkmKernel, beyond the matrix itself.

Builds N random DNA sequences (seed 12345), computes ``GkmKernel()(X)``
(L=10, k=6, d=3, rc on) in this fresh process and prints the resident set
size before the call, the peak during it, and the peak's excess over the
N x N float64 matrix. The package writes the matrix once, in place, through
the native core's out buffer; the excess is the encoded sequences, the
L-mer tree and the interpreter.

    python benchmarks/gram_memory.py                 # 5,000 x 100 bp, one thread
    python benchmarks/gram_memory.py --n 1000 --n-jobs 2
"""
import argparse
import random
import resource
import time

from vellum import GkmKernel

MIB = 1024 * 1024


def rss_bytes():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * resource.getpagesize()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=5000, help="sequences (default 5000)")
    parser.add_argument("--len", type=int, default=100, help="bases per sequence (default 100)")
    parser.add_argument("--n-jobs", type=int, default=1, help="threads (default 1)")
    args = parser.parse_args()
    rng = random.Random(12345)
    seqs = ["".join(rng.choice("ACGT") for _ in range(args.len)) for _ in range(args.n)]
    before = rss_bytes()
    start = time.perf_counter()
    gram = GkmKernel(n_jobs=args.n_jobs)(seqs)
    elapsed = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(f"{args.n} x {args.n} Gram of {args.len}-bp sequences, n_jobs={args.n_jobs}: {elapsed:.1f} s")
    print(f"matrix {gram.nbytes / MIB:.1f} MiB; RSS before {before / MIB:.1f} MiB, peak {peak / MIB:.1f} MiB")
    print(f"peak above the RSS before and the matrix: {(peak - before - gram.nbytes) / MIB:.1f} MiB")


if __name__ == "__main__":
    main()
