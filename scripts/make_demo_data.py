"""Writes the demo's bundled data: the first 300 bound and the first 300
unbound records of the CTCF training set in ../shared/data/tfbs/ (see
src/vellum/data/README.md for the source), bases unchanged.

    python scripts/make_demo_data.py [../shared/data/tfbs/CTCF.train.fasta]
"""
import sys
from pathlib import Path

from Bio.SeqIO.FastaIO import SimpleFastaParser

PER_CLASS = 300
SOURCE = Path(__file__).resolve().parents[1] / ".." / "shared" / "data" / "tfbs" / "CTCF.train.fasta"
DATA = Path(__file__).resolve().parents[1] / "src" / "vellum" / "data"


def main(source):
    chosen = {"1": [], "0": []}
    with open(source) as handle:
        for index, (label, seq) in enumerate(SimpleFastaParser(handle)):
            if len(chosen[label]) < PER_CLASS:
                chosen[label].append((index, seq))
    DATA.mkdir(exist_ok=True)
    for label, name in (("1", "ctcf_bound.fasta"), ("0", "ctcf_unbound.fasta")):
        lines = [f">CTCF.train.{index} label={label}\n{seq}\n" for index, seq in chosen[label]]
        (DATA / name).write_text("".join(lines))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else SOURCE)
