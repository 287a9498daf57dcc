"""Reproducible random DNA for tests and benchmarks."""

DNA = "ACGT"


def random_dna(rng, n):
    return "".join(rng.choice(DNA) for _ in range(n))


def mutate(rng, seq, n_changes):
    """seq with n_changes distinct positions replaced by a different base."""
    chars = list(seq)
    for pos in rng.sample(range(len(chars)), min(n_changes, len(chars))):
        chars[pos] = rng.choice([b for b in DNA if b != chars[pos].upper()])
    return "".join(chars)


def mixed_case(rng, seq):
    return "".join(c.lower() if rng.random() < 0.5 else c for c in seq)
