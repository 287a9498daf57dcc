"""Training benchmarks: the table solver against the Gram solver.

    python benchmarks/training.py synthetic --n 20000 --solver table
    python benchmarks/training.py synthetic --n 20000 --solver gram --python .bench/venv-<sha>/bin/python
    python benchmarks/training.py tfbs

``synthetic`` fits GkmSVC(L=10, k=6, d=3, use_rc) in a child process (of the
given Python, so that an earlier commit's build can run it) and prints its
wall time, peak RSS and support count as JSON. The data: random background at
40% GC, half of the sequences carrying one of five planted 12-bp motifs with
up to two substitutions, labelled 1. ``tfbs`` trains both solvers on each of
the five TF training sets of ../shared/data/tfbs and prints a Markdown table
of the dual objectives, the largest difference of test decision values and
the test AUCs.
"""
from __future__ import annotations

import argparse
import json
import random
import subprocess
import sys
from pathlib import Path

DATA = Path(__file__).resolve().parents[1].parent / "shared" / "data" / "tfbs"
FACTORS = ("CTCF", "EP300", "JUND", "RAD21", "SIN3A")
PARAMS = dict(L=10, k=6, d=3, use_rc=True)


def synthetic(n: int, length: int, seed: int = 2026) -> tuple[list[str], list[int]]:
    """n sequences at 40% GC, the odd ones carrying a planted motif with up to two substitutions."""
    rng = random.Random(seed)
    background = "ACGT"
    weights = (0.3, 0.2, 0.2, 0.3)
    motifs = ["".join(rng.choices(background, k=12)) for _ in range(5)]
    X, y = [], []
    for i in range(n):
        seq = rng.choices(background, weights=weights, k=length)
        if i % 2:
            motif = list(rng.choice(motifs))
            for at in rng.sample(range(12), rng.randint(0, 2)):
                motif[at] = rng.choice([b for b in background if b != motif[at]])
            start = rng.randrange(length - 12)
            seq[start : start + 12] = motif
        X.append("".join(seq))
        y.append(i % 2)
    return X, y


CHILD = """
import json, resource, sys, time
sys.path.insert(0, {here!r})
from training import synthetic, PARAMS
from vellum import GkmSVC
X, y = synthetic({n}, {length})
extra = {{}} if {solver!r} == "gram-only" else {{"solver": {solver!r}}}
start = time.perf_counter()
model = GkmSVC(**PARAMS, n_jobs={n_jobs}, **extra).fit(X, y)
seconds = time.perf_counter() - start
print(json.dumps({{"seconds": seconds, "peak_rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
                  "n_support": len(model.support_sequences_), "solver": getattr(model, "solver_", "gram")}}))
"""


def run_synthetic(args: argparse.Namespace) -> None:
    code = CHILD.format(here=str(Path(__file__).resolve().parent), n=args.n, length=args.length,
                        solver=args.solver, n_jobs=args.n_jobs)
    done = subprocess.run([args.python, "-c", code], capture_output=True, text=True)
    if done.returncode:
        sys.exit(f"training.py: the child failed: {done.stderr.strip().splitlines()[-1:]}")
    print(done.stdout.strip())


def read_labelled(path: Path) -> tuple[list[str], list[int]]:
    X, y = [], []
    for line in path.read_text().splitlines():
        if line.startswith(">"):
            y.append(int(line[1:].strip()))
            X.append("")
        elif line.strip():
            X[-1] += line.strip()
    return X, y


def dual_objective(model, X, y) -> float:
    """1/2 c'Kc - sum |c| from the exact Gram of the support sequences."""
    import numpy as np
    from vellum import GkmKernel

    gram = GkmKernel(**model.kernel_.get_params())(model.support_sequences_)
    coef = model.dual_coef_[0]
    return float(0.5 * coef @ gram @ coef - np.abs(coef).sum())


def run_tfbs(_args: argparse.Namespace) -> None:
    import numpy as np
    from sklearn.metrics import roc_auc_score
    from vellum import GkmSVC

    print("| set | objective gram | objective table | rel. diff | max test decision diff | AUC gram | AUC table |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for factor in FACTORS:
        X, y = read_labelled(DATA / f"{factor}.train.fasta")
        T, t = read_labelled(DATA / f"{factor}.test.fasta")
        models = {solver: GkmSVC(**PARAMS, solver=solver).fit(X, y) for solver in ("gram", "table")}
        objectives = {solver: dual_objective(model, X, y) for solver, model in models.items()}
        scores = {solver: model.decision_function(T) for solver, model in models.items()}
        relative = abs(objectives["table"] - objectives["gram"]) / abs(objectives["gram"])
        print(
            f"| {factor} | {objectives['gram']:.6f} | {objectives['table']:.6f} | {relative:.1e} | "
            f"{np.abs(scores['table'] - scores['gram']).max():.1e} | {roc_auc_score(t, scores['gram']):.4f} | "
            f"{roc_auc_score(t, scores['table']):.4f} |",
            flush=True,
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    one = commands.add_parser("synthetic", help="one fit on the synthetic set, as JSON")
    one.add_argument("--n", type=int, default=20000)
    one.add_argument("--length", type=int, default=300)
    one.add_argument("--solver", default="table", help="gram, table, auto, or gram-only for builds without solver=")
    one.add_argument("--n-jobs", type=int, default=1)
    one.add_argument("--python", default=sys.executable, help="the Python whose vellum fits")
    one.set_defaults(run=run_synthetic)
    both = commands.add_parser("tfbs", help="both solvers on the five TF sets, as a Markdown table")
    both.set_defaults(run=run_tfbs)
    args = parser.parse_args()
    args.run(args)


if __name__ == "__main__":
    main()
