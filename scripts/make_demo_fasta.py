"""Write the example FASTA bundled with vellum (src/vellum/data/example.fasta).

Random DNA from a fixed seed, with four planted motifs: each motif group's
sequences carry their motif three times, so a kernel should rank members of
the same group as nearest neighbours. Background sequences carry no motif.
"""
import random
from pathlib import Path

SEED = 20240611
N_PER_GROUP = 12
GROUPS = "ABCD"
N_BACKGROUND = 12
MOTIF_LENGTH = 12
COPIES = 3
OUT = Path(__file__).resolve().parent.parent / "src" / "vellum" / "data" / "example.fasta"


def random_dna(rng, n):
    return "".join(rng.choice("ACGT") for _ in range(n))


def plant(rng, seq, motif, copies):
    # Non-overlapping slots, so every copy survives intact.
    slots = len(seq) // len(motif)
    chars = list(seq)
    for slot in rng.sample(range(slots), copies):
        start = slot * len(motif)
        chars[start:start + len(motif)] = motif
    return "".join(chars)


def records(rng):
    motifs = {g: random_dna(rng, MOTIF_LENGTH) for g in GROUPS}
    labels = [g for g in GROUPS for _ in range(N_PER_GROUP)] + ["none"] * N_BACKGROUND
    rng.shuffle(labels)
    for i, label in enumerate(labels, 1):
        seq = random_dna(rng, rng.randint(100, 200))
        if label != "none":
            seq = plant(rng, seq, motifs[label], COPIES)
        yield f"seq{i:02d} motif={label}", seq


def main():
    rng = random.Random(SEED)
    lines = []
    for header, seq in records(rng):
        lines.append(">" + header)
        lines.extend(seq[i:i + 60] for i in range(0, len(seq), 60))
    OUT.write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
