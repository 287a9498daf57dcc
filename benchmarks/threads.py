"""Two kernels in two Python threads against the same calls one after the other.

Runs the Pair and Pair2 workloads of workloads.py (each builds two kernels and
calls eval_batch on both; Pair2 gives each kernel a Python thread of its own)
in this process against whatever ``vellum`` is importable, alternating which
goes first, and prints the median time of each and their ratio. With the GIL
released around the core the ratio nears 0.5 on two idle cores; held, it is
1.0 or more. Both must give identical bits, or the exit status is 1.

    python benchmarks/threads.py
    python benchmarks/threads.py --repeat 7 --scale 0.5
"""

from __future__ import annotations

import argparse
import statistics
import sys
from typing import Optional

import workloads

ONE_AFTER_THE_OTHER, IN_THREADS = "Pair", "Pair2"


def measure(repeat: int, scale: float) -> dict[str, list[dict]]:
    """``repeat`` runs of each workload, alternating which runs first."""
    runs: dict[str, list[dict]] = {ONE_AFTER_THE_OTHER: [], IN_THREADS: []}
    for repetition in range(repeat):
        order = list(runs) if repetition % 2 == 0 else list(reversed(runs))
        for name in order:
            result = workloads.run_workload(name, scale, workloads.data_dir(None), None)
            runs[name].append(result)
            print("%-5s run %d/%d: %.3f s" % (name, repetition + 1, repeat, result["seconds"]),
                  file=sys.stderr, flush=True)
    return runs


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=5, metavar="N", help="runs of each (median)")
    parser.add_argument("--scale", type=workloads.scale_factor, default=1.0, metavar="F",
                        help="shrink sequence counts by F, 0 < F <= 1")
    args = parser.parse_args(argv)
    if args.repeat < 1:
        parser.error("--repeat must be at least 1, got %d" % args.repeat)
    runs = measure(args.repeat, args.scale)
    digests = {run["digest"] for name_runs in runs.values() for run in name_runs}
    if len(digests) != 1:
        print("threads.py: the two ways gave different values", file=sys.stderr)
        return 1
    sequential, threaded = (statistics.median(run["seconds"] for run in runs[name])
                            for name in (ONE_AFTER_THE_OTHER, IN_THREADS))
    print("two kernels one after the other: %.3f s; in two Python threads: %.3f s; ratio %.2f "
          "(median of %d runs each, scale %g, %s)"
          % (sequential, threaded, threaded / sequential, args.repeat, args.scale, runs[IN_THREADS][0]["module"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
