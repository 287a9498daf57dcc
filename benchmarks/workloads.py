"""Benchmark workloads of ``vellum._gkmkern``, runnable against any build of it.

Each workload builds its input texts first (untimed), then times everything
that a user of the module does with them: creating the kernel, adding
references, finalizing, the evaluation and receiving the result as nested
lists. It reports the time, the process's peak RSS at the end of the timed
section, and a digest of the result's float64 bits, so that two builds can
be checked for identical values.

Only the standard library is used here: the process measured must hold the
module and its inputs, nothing else.

Run one workload against whatever ``vellum`` is importable::

    python benchmarks/workloads.py --list
    python benchmarks/workloads.py --run W3 --scale 0.1
"""

from __future__ import annotations

import argparse
import array
import concurrent.futures
import functools
import hashlib
import json
import os
import random
import resource
import struct
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import Any, BinaryIO, Callable, Iterator, Optional

ALPHABET = "ACGT"
MOTIF_LENGTH = 12
MOTIF_COUNT = 5
MOTIF_FRACTION = 0.3

DATA_ENV = "VELLUM_TFBS_DIR"
DEFAULT_DATA_DIR = Path(__file__).resolve().parents[1].parent / "shared" / "data" / "tfbs"
CTCF_FILES = ("CTCF.train.fasta", "CTCF.test.fasta")

# Largest value-file chunk read at once when comparing two results.
COMPARE_CHUNK = 1 << 20


class WorkloadError(Exception):
    """Input that a workload cannot use (missing or malformed data)."""


# ---- inputs ----------------------------------------------------------------


def synthetic_dna(count: int, length: int, seed: int) -> list[str]:
    """Random DNA with a few planted motifs, the same for a seed everywhere.

    A fraction of the sequences carries one of a handful of 12-bp motifs at a
    random position, so that the kernels see shared words as in real data.
    Sequences come out in order from one generator, so a smaller ``count``
    gives a prefix of a larger one.

    Parameters
    ----------
    count, length
        Number of sequences and their length in bp.
    seed
        Seed of the ``random.Random`` generator.

    Returns
    -------
    list of str
        ``count`` upper-case texts over ACGT.
    """
    rng = random.Random(seed)
    motifs = [random_bases(rng, MOTIF_LENGTH) for _ in range(MOTIF_COUNT)]
    sequences = []
    for _ in range(count):
        bases = random_bases(rng, length)
        if length >= MOTIF_LENGTH and rng.random() < MOTIF_FRACTION:
            start = rng.randrange(length - MOTIF_LENGTH + 1)
            bases = bases[:start] + rng.choice(motifs) + bases[start + MOTIF_LENGTH :]
        sequences.append(bases)
    return sequences


def random_bases(rng: random.Random, length: int) -> str:
    return "".join(rng.choice(ALPHABET) for _ in range(length))


def scaled(count: int, scale: float) -> int:
    """A sequence count shrunk by ``scale``, at least 1."""
    return max(1, round(count * scale))


def read_fasta(path: Path) -> list[str]:
    """The sequences of a FASTA file, upper-cased, in file order.

    Raises
    ------
    WorkloadError
        When the file has no record, text before its first header or a
        header without sequence.
    """
    records: list[list[str]] = []
    for number, raw in enumerate(path.read_text().splitlines(), 1):
        line = raw.strip()
        if line.startswith(">"):
            records.append([])
        elif line and not records:
            raise WorkloadError("%s line %d: sequence before the first '>' header" % (path, number))
        elif line:
            records[-1].append(line)
    if not records:
        raise WorkloadError("%s: no FASTA record" % path)
    if not all(records):
        raise WorkloadError("%s: record %d has no sequence" % (path, records.index([]) + 1))
    return ["".join(lines).upper() for lines in records]


def data_dir(explicit: Optional[str]) -> Path:
    """The TFBS data directory: ``explicit``, else $VELLUM_TFBS_DIR, else the default."""
    return Path(explicit or os.environ.get(DATA_ENV) or DEFAULT_DATA_DIR)


def missing_data_note(directory: Path) -> Optional[str]:
    """A one-line note naming the files that real-data workloads lack, or None."""
    missing = [name for name in CTCF_FILES if not (directory / name).is_file()]
    if not missing:
        return None
    return "no %s in %s (set --data DIR or $%s)" % (" or ".join(missing), directory, DATA_ENV)


# ---- evaluations: the timed sections -----------------------------------------


def stored_kernel(gk: ModuleType, params: dict, refs: list[str]) -> Any:
    """A Kernel holding ``refs`` as references, finalized."""
    kernel = gk.Kernel(**params)
    for ref in refs:
        kernel.add_sequence(ref)
    kernel.finalize()
    return kernel


def batch_against_refs(gk: ModuleType, params: dict, refs: list[str], queries: list[str]) -> list:
    return stored_kernel(gk, params, refs).eval_batch(queries)


def refs_against_each_other(gk: ModuleType, params: dict, refs: list[str]) -> list:
    """``gram()`` where the module has it, else the same values from ``eval_batch``."""
    kernel = stored_kernel(gk, params, refs)
    return kernel.gram() if hasattr(kernel, "gram") else kernel.eval_batch(refs)


def two_kernels(gk: ModuleType, params: dict, sets: list[list[str]], in_threads: bool) -> list:
    """``batch_against_refs`` of each set against itself, each on a kernel of
    its own: in one Python thread per set, started together, or one after
    the other. The results come in the order of ``sets`` either way."""
    if not in_threads:
        return [batch_against_refs(gk, params, refs, refs) for refs in sets]
    with concurrent.futures.ThreadPoolExecutor(len(sets)) as pool:
        return list(pool.map(lambda refs: batch_against_refs(gk, params, refs, refs), sets))


def sliding_query(gk: ModuleType, params: dict, refs: list[str], query: str, window: int, shift: int) -> list:
    return stored_kernel(gk, params, refs).sliding_query(query, window, shift)


def self_windows(gk: ModuleType, params: dict, seqs: list[str], window: int, shift: int) -> list:
    return gk.Kernel(**params).self_window_eval(seqs, window, shift)


def cross_windows(gk: ModuleType, params: dict, queries: list[str], refs: list[str], window: int, shift: int) -> list:
    return gk.Kernel(**params).cross_window_eval(queries, refs, window, shift)


def gaussian_centred_self_eval(gk: ModuleType, sigma: float, seqs: list[str], offsets: list[int]) -> list:
    kernel = gk.WeightedKernel(pos_kernel=gk.POS_GAUSSIAN, weight_sigma=sigma)
    return kernel.self_eval(seqs, offsets)


# ---- the workloads -----------------------------------------------------------


@dataclass(frozen=True)
class Workload:
    """One benchmark: its inputs, its timed evaluation and how exact it must be.

    ``make_inputs(scale, data_dir)`` returns the keyword arguments of
    ``evaluate(module, **inputs)``. ``tolerance`` is the largest relative
    difference from another build that still counts as the same result.
    """

    name: str
    summary: str
    make_inputs: Callable[[float, Path], dict]
    evaluate: Callable[..., list]
    tolerance: float = 0.0
    needs_data: bool = False


def w1_set(scale: float, _data: Path) -> dict:
    return {"refs": synthetic_dna(scaled(2000, scale), 300, seed=12345)}


def w1_inputs(scale: float, data: Path) -> dict:
    refs = w1_set(scale, data)["refs"]
    return {"refs": refs, "queries": refs}


def pair_inputs(scale: float, _data: Path) -> dict:
    return {"sets": [synthetic_dna(scaled(600, scale), 300, seed=seed) for seed in (707, 708)]}


def w2_inputs(scale: float, _data: Path) -> dict:
    return {"refs": synthetic_dna(scaled(100, scale), 300, seed=202),
            "queries": synthetic_dna(scaled(100, scale), 300, seed=203)}


def w3_inputs(scale: float, _data: Path) -> dict:
    return {"seqs": synthetic_dna(scaled(10, scale), 1000, seed=303), "window": 200, "shift": 50}


def w4_inputs(scale: float, _data: Path) -> dict:
    return {"queries": synthetic_dna(scaled(2, scale), 2000, seed=404),
            "refs": synthetic_dna(scaled(20, scale), 2000, seed=405), "window": 100, "shift": 20}


def w5_inputs(scale: float, _data: Path) -> dict:
    return {"seqs": synthetic_dna(scaled(200, scale), 200, seed=505), "offsets": list(range(-50, 50, 5))}


def w6_inputs(scale: float, _data: Path) -> dict:
    return {"refs": synthetic_dna(scaled(500, scale), 300, seed=606),
            "query": synthetic_dna(1, 2000, seed=607)[0], "window": 200, "shift": 10}


def w7_inputs(scale: float, data: Path) -> dict:
    train, test = (read_fasta(data / name) for name in CTCF_FILES)
    train, test = train[: scaled(len(train), scale)], test[: scaled(len(test), scale)]
    return {"refs": train, "queries": train + test}


def ctcf_model(scale: float, data: Path):
    """GkmSVC(L=10, k=6, d=3, use_rc) trained by libsvm on the CTCF training
    set (untimed), and the CTCF test sequences."""
    from vellum import GkmSVC

    train_path, test_path = (data / name for name in CTCF_FILES)
    labels = [line[1:].strip() for line in train_path.read_text().splitlines() if line.startswith(">")]
    train, test = read_fasta(train_path), read_fasta(test_path)
    count = scaled(len(train), scale)
    model = GkmSVC(L=10, k=6, d=3, use_rc=True)
    # libsvm's model on every side, so that the sides score the same model
    # (commits from before the table solver know no solver parameter).
    if "solver" in model.get_params():
        model.set_params(solver="gram")
    return model.fit(train[:count], labels[:count]), test


def decide_inputs(scale: float, data: Path) -> dict:
    model, test = ctcf_model(scale, data)
    return {"model": model, "seqs": test}


def scan_inputs(shift: int, scale: float, data: Path) -> dict:
    model, _ = ctcf_model(scale, data)
    return {"model": model, "locus": synthetic_dna(1, scaled(200_000, scale), seed=808)[0], "window": 100,
            "shift": shift}


def variant_inputs(scale: float, data: Path) -> dict:
    model, test = ctcf_model(scale, data)
    refs = test[: scaled(1000, scale)]
    rng = random.Random(909)
    alts = []
    for ref in refs:
        at = rng.randrange(len(ref))
        alts.append(ref[:at] + rng.choice([b for b in ALPHABET if b != ref[at]]) + ref[at + 1 :])
    return {"model": model, "refs": refs, "alts": alts, "ref_scores": model.decision_function(refs)}


def mutagenesis_inputs(scale: float, data: Path) -> dict:
    model, _ = ctcf_model(scale, data)
    seq = synthetic_dna(1, 2000, seed=1010)[0]
    return {"model": model, "seq": seq, "score": model.decision_function([seq])[0]}


def model_decisions(_gk: ModuleType, model, seqs: list[str]) -> list:
    return model.decision_function(seqs).tolist()


def model_scan(_gk: ModuleType, model, locus: str, window: int, shift: int) -> list:
    return model.scan([locus], window, shift)[0].tolist()


# Effects are differences of decision values: they are compared as the
# decision values of the variants, whose relative differences mean something.
def model_variants(_gk: ModuleType, model, refs: list[str], alts: list[str], ref_scores) -> list:
    return (model.variant_effect(refs, alts) + ref_scores).tolist()


def model_mutagenesis(_gk: ModuleType, model, seq: str, score: float) -> list:
    return (model.mutagenesis(seq) + score).tolist()


W1_PARAMS = {"L": 10, "k": 6, "d": 3, "use_rc": 1, "nthreads": 1}
W1T2_PARAMS = {**W1_PARAMS, "nthreads": 2}
L12 = {"L": 12, "k": 6, "d": 3}

WORKLOADS = {w.name: w for w in (
    Workload("W1", "Kernel L10 k6 d3 rc, 1 thread: 2,000 x 300 bp references, eval_batch of the same texts",
             w1_inputs, functools.partial(batch_against_refs, params=W1_PARAMS)),
    Workload("W1t2", "W1 with nthreads=2",
             w1_inputs, functools.partial(batch_against_refs, params=W1T2_PARAMS)),
    Workload("W2", "Kernel L12 k6 d3 rc: 100 x 300 bp references, eval_batch of 100 other sequences",
             w2_inputs, functools.partial(batch_against_refs, params={**L12, "use_rc": 1})),
    Workload("W3", "Kernel L12 k6 d3: self_window_eval of 10 x 1,000 bp, window 200, shift 50",
             w3_inputs, functools.partial(self_windows, params=L12)),
    Workload("W4", "Kernel L12 k6 d3: cross_window_eval of 2 queries x 20 references of 2,000 bp, "
             "window 100, shift 20",
             w4_inputs, functools.partial(cross_windows, params=L12)),
    Workload("W5", "WeightedKernel Gaussian, sigma 20: self_eval of 200 x 200 bp at 20 centres (-50, -45, ..., 45)",
             w5_inputs, functools.partial(gaussian_centred_self_eval, sigma=20.0), tolerance=1e-12),
    Workload("W6", "Kernel() defaults: 500 x 300 bp references, sliding_query of a 2,000 bp query, "
             "window 200, shift 10",
             w6_inputs, functools.partial(sliding_query, params={})),
    Workload("W7", "Kernel L10 k6 d4: CTCF train (2,000 x 100 bp) as references, eval_batch of train + test",
             w7_inputs, functools.partial(batch_against_refs, params={"L": 10, "k": 6, "d": 4, "use_rc": 0}),
             needs_data=True),
    Workload("Gram", "W1 set: gram() of the stored references (eval_batch of them where gram is missing)",
             w1_set, functools.partial(refs_against_each_other, params=W1_PARAMS)),
    Workload("Gram2", "Gram with nthreads=2",
             w1_set, functools.partial(refs_against_each_other, params=W1T2_PARAMS)),
    Workload("Pair", "two Kernels with W1's parameters, 600 x 300 bp references each, eval_batch of the same "
             "texts, one after the other",
             pair_inputs, functools.partial(two_kernels, params=W1_PARAMS, in_threads=False)),
    Workload("Pair2", "Pair with each kernel in a Python thread of its own, both at once",
             pair_inputs, functools.partial(two_kernels, params=W1_PARAMS, in_threads=True)),
    Workload("Decide", "GkmSVC L10 k6 d3 rc trained on CTCF train: decision_function of the 2,000 test sequences",
             decide_inputs, model_decisions, tolerance=1e-9, needs_data=True),
    Workload("Scan10", "the Decide model: scan of a 200 kb sequence, window 100, shift 10",
             functools.partial(scan_inputs, 10), model_scan, tolerance=1e-9, needs_data=True),
    Workload("Scan1", "the Decide model: scan of a 200 kb sequence, window 100, shift 1",
             functools.partial(scan_inputs, 1), model_scan, tolerance=1e-9, needs_data=True),
    Workload("Variants", "the Decide model: variant_effect of 1,000 SNVs in 100 bp CTCF test sequences "
             "(compared as the variants' decision values)",
             variant_inputs, model_variants, tolerance=1e-9, needs_data=True),
    Workload("Mutagenesis", "the Decide model: mutagenesis of one 2,000 bp sequence "
             "(compared as the mutants' decision values)",
             mutagenesis_inputs, model_mutagenesis, tolerance=1e-9, needs_data=True),
)}


# ---- results -----------------------------------------------------------------


def innermost_rows(result: list) -> Iterator[list]:
    """The rows of floats of a nested-list result, row-major."""
    if result and isinstance(result[0], list):
        for item in result:
            yield from innermost_rows(item)
    else:
        yield result


def shape_of(result: list) -> list[int]:
    shape = []
    while isinstance(result, list):
        shape.append(len(result))
        result = result[0] if result else None
    return shape


def digest_and_save(result: list, values: Optional[BinaryIO]) -> str:
    """SHA-256 of the result's little-endian float64 bits, row-major.

    With ``values``, the same bytes are written there, one row at a time so
    that no second copy of the result is ever held.
    """
    sha = hashlib.sha256()
    for row in innermost_rows(result):
        data = struct.pack("<%dd" % len(row), *row)
        sha.update(data)
        if values is not None:
            values.write(data)
    return sha.hexdigest()


def digest_to_file(result: list, values_path: Path) -> str:
    """``digest_and_save`` into a new file, removed again if writing fails."""
    try:
        with open(values_path, "wb") as values:
            return digest_and_save(result, values)
    except BaseException:
        values_path.unlink(missing_ok=True)
        raise


def max_relative_difference(path_a: Path, path_b: Path) -> float:
    """Largest |a - b| / max(|a|, |b|) between two saved results of one shape.

    Pairs of zeros count as equal; a NaN on either side makes it infinite.
    """
    largest = 0.0
    with open(path_a, "rb") as file_a, open(path_b, "rb") as file_b:
        while True:
            chunk_a, chunk_b = float64_chunk(file_a), float64_chunk(file_b)
            if len(chunk_a) != len(chunk_b):
                raise WorkloadError("saved results %s and %s differ in length" % (path_a, path_b))
            if not chunk_a:
                return largest
            largest = max(largest, max(map(relative_difference, chunk_a, chunk_b)))


def float64_chunk(file: BinaryIO) -> array.array:
    chunk = array.array("d", file.read(COMPARE_CHUNK * 8))
    if sys.byteorder != "little":
        chunk.byteswap()
    return chunk


def relative_difference(a: float, b: float) -> float:
    if a == b:
        return 0.0
    scale = max(abs(a), abs(b))
    difference = abs(a - b) / scale
    return difference if difference == difference else float("inf")


def peak_rss_mib() -> float:
    """This process's peak resident set size so far (Linux reports KiB)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def run_workload(name: str, scale: float, data: Path, values_path: Optional[Path]) -> dict:
    """Runs one workload in this process and returns its measurements.

    Parameters
    ----------
    name
        A key of ``WORKLOADS``.
    scale
        Factor (0, 1] applied to the workload's sequence counts.
    data
        Directory of the CTCF FASTA files (real-data workloads only).
    values_path
        Where to write the result's float64 values, or None.

    Returns
    -------
    dict
        ``seconds`` of the timed section, ``peak_rss_mib`` at its end,
        ``digest`` and ``shape`` of the result, ``module`` (the extension's
        file) and ``has_gram``.
    """
    workload = WORKLOADS[name]
    inputs = workload.make_inputs(scale, data)
    from vellum import _gkmkern

    start = time.perf_counter()
    result = workload.evaluate(_gkmkern, **inputs)
    seconds = time.perf_counter() - start
    peak = peak_rss_mib()
    digest = digest_to_file(result, values_path) if values_path else digest_and_save(result, None)
    return {"workload": name, "seconds": seconds, "peak_rss_mib": peak, "digest": digest,
            "shape": shape_of(result), "module": _gkmkern.__file__, "has_gram": hasattr(_gkmkern.Kernel, "gram")}


def scale_factor(text: str) -> float:
    """argparse type: a float in (0, 1]."""
    value = float(text)
    if not 0.0 < value <= 1.0:
        raise argparse.ArgumentTypeError("scale must be in (0, 1], got %s" % text)
    return value


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    action = parser.add_mutually_exclusive_group(required=True)
    action.add_argument("--list", action="store_true", help="list the workloads")
    action.add_argument("--run", metavar="NAME", choices=sorted(WORKLOADS), help="run one workload, print JSON")
    parser.add_argument("--scale", type=scale_factor, default=1.0, help="shrink sequence counts (0 < F <= 1)")
    parser.add_argument("--data", help="directory of the CTCF FASTA files (default $%s or %s)"
                        % (DATA_ENV, DEFAULT_DATA_DIR))
    parser.add_argument("--values", type=Path, help="also write the result's float64 values to this file")
    args = parser.parse_args(argv)
    if args.list:
        for workload in WORKLOADS.values():
            print("%-6s %s" % (workload.name, workload.summary))
        return 0
    directory = data_dir(args.data)
    note = missing_data_note(directory) if WORKLOADS[args.run].needs_data else None
    if note:
        print("workloads.py: %s: %s" % (args.run, note), file=sys.stderr)
        return 1
    try:
        print(json.dumps(run_workload(args.run, args.scale, directory, args.values)))
    except WorkloadError as error:
        print("workloads.py: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
