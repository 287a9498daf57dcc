"""Baseline benchmark of Kernel.eval_batch on a fixed synthetic workload.

Random DNA (fixed seed): every sequence is added as a reference, the kernel
is finalised, and the same sequences are scored as queries in one eval_batch
call. Each thread count runs in a fresh interpreter so that its peak memory
is its own. Prints a table; there are no targets.
"""

import argparse
import hashlib
import json
import random
import resource
import struct
import subprocess
import sys
import time

L, K, D, USE_RC = 10, 6, 3, 1


def synthetic_sequences(n, length, seed):
    rng = random.Random(seed)
    return ["".join(rng.choices("ACGT", k=length)) for _ in range(n)]


def peak_rss_mib():
    # ru_maxrss is in KiB on Linux
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def cpu_seconds():
    """User plus system time of this process, all threads included."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def digest(rows):
    h = hashlib.sha256()
    for row in rows:
        h.update(struct.pack("%dd" % len(row), *row))
    return h.hexdigest()[:12]


def run_one(n, length, nthreads, seed):
    """One configuration in this process; returns its measurements."""
    from vellum import _gkmkern

    seqs = synthetic_sequences(n, length, seed)
    rss_before = peak_rss_mib()
    kernel = _gkmkern.Kernel(L=L, k=K, d=D, weight_scheme=0, use_rc=USE_RC, nthreads=nthreads)

    t0 = time.perf_counter()
    for s in seqs:
        kernel.add_sequence(s)
    t1 = time.perf_counter()
    kernel.finalize()
    t2, cpu2 = time.perf_counter(), cpu_seconds()
    rows = kernel.eval_batch(seqs)
    t3, cpu3 = time.perf_counter(), cpu_seconds()

    return {
        "nthreads": nthreads,
        "add_s": t1 - t0,
        "finalize_s": t2 - t1,
        "eval_batch_s": t3 - t2,
        "eval_batch_cpu_s": cpu3 - cpu2,
        "queries_per_s": n / (t3 - t2) if t3 > t2 else float("inf"),
        "rss_start_mib": rss_before,
        "peak_rss_mib": peak_rss_mib(),
        "digest": digest(rows),
    }


def run_in_subprocess(n, length, nthreads, seed):
    cmd = [sys.executable, __file__, "--worker", "--n", str(n), "--len", str(length),
           "--nthreads", str(nthreads), "--seed", str(seed)]
    out = subprocess.run(cmd, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def print_table(args, results):
    print("eval_batch benchmark: %d x %d bp, L=%d k=%d d=%d use_rc=%d, seed %d"
          % (args.n, args.len, L, K, D, USE_RC, args.seed))
    header = ("threads", "add (s)", "finalize (s)", "eval_batch (s)", "eval CPU (s)", "queries/s",
              "start RSS MiB", "peak RSS MiB", "result digest")
    print("%-7s %8s %12s %14s %12s %10s %13s %12s  %s" % header)
    for r in results:
        print("%-7d %8.2f %12.2f %14.2f %12.2f %10.1f %13.1f %12.1f  %s"
              % (r["nthreads"], r["add_s"], r["finalize_s"], r["eval_batch_s"], r["eval_batch_cpu_s"],
                 r["queries_per_s"], r["rss_start_mib"], r["peak_rss_mib"], r["digest"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=2000, help="number of sequences (default 2000)")
    parser.add_argument("--len", type=int, default=300, help="sequence length in bp (default 300)")
    parser.add_argument("--nthreads", type=int, nargs="+", default=[1, 2], help="thread counts (default 1 2)")
    parser.add_argument("--seed", type=int, default=12345, help="random seed (default 12345)")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker:
        print(json.dumps(run_one(args.n, args.len, args.nthreads[0], args.seed)))
        return
    results = [run_in_subprocess(args.n, args.len, t, args.seed) for t in args.nthreads]
    print_table(args, results)


if __name__ == "__main__":
    main()
