"""ROC AUC and time of GkmSVC on each real transcription-factor set.

For every ``<TF>.train.fasta`` / ``<TF>.test.fasta`` pair in the data
directory (headers ``>1`` bound, ``>0`` not bound), trains
``GkmSVC(L=10, k=6, d=3, use_rc=True)`` on the training file and scores the
held-out test file. Prints one row per set: sizes, support sequences, test
ROC AUC, and the wall time of training and of scoring.

    python benchmarks/real_data.py                       # ../shared/data/tfbs, one thread
    python benchmarks/real_data.py --n-jobs 2 --sets CTCF JUND
"""
import argparse
import time
from pathlib import Path

import numpy as np
from sklearn.metrics import roc_auc_score

from vellum import GkmSVC, read_fasta

DEFAULT_DATA = Path(__file__).resolve().parents[1] / ".." / "shared" / "data" / "tfbs"
SETS = ("CTCF", "EP300", "JUND", "RAD21", "SIN3A")


def labelled(path):
    ids, seqs = read_fasta(path)
    return seqs, np.array([int(label) for label in ids])


def run_set(data, name, n_jobs):
    X_train, y_train = labelled(data / f"{name}.train.fasta")
    X_test, y_test = labelled(data / f"{name}.test.fasta")
    model = GkmSVC(L=10, k=6, d=3, use_rc=True, n_jobs=n_jobs)
    start = time.perf_counter()
    model.fit(X_train, y_train)
    trained = time.perf_counter()
    scores = model.decision_function(X_test)
    scored = time.perf_counter()
    auc = roc_auc_score(y_test, scores)
    return len(X_train), len(X_test), len(model.support_), auc, trained - start, scored - trained


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA, help="directory of the FASTA pairs")
    parser.add_argument("--sets", nargs="+", default=SETS, help="sets to run (default: all five)")
    parser.add_argument("--n-jobs", type=int, default=1, help="threads of the kernel evaluation")
    args = parser.parse_args()
    print(f"{'set':8} {'train':>6} {'test':>6} {'SVs':>6} {'ROC AUC':>8} {'train s':>8} {'test s':>7}", flush=True)
    for name in args.sets:
        n_train, n_test, n_sv, auc, fit_s, score_s = run_set(args.data, name, args.n_jobs)
        print(f"{name:8} {n_train:6d} {n_test:6d} {n_sv:6d} {auc:8.3f} {fit_s:8.1f} {score_s:7.1f}", flush=True)


if __name__ == "__main__":
    main()
