"""The benchmark harness's own logic: inputs, data files, digests, refusals.

Nothing here runs a workload or times anything.
"""

import hashlib
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

BENCHMARKS = Path(__file__).resolve().parents[1] / "benchmarks"


def load_benchmark_module(name):
    spec = importlib.util.spec_from_file_location(name, BENCHMARKS / (name + ".py"))
    module = importlib.util.module_from_spec(spec)
    # dataclasses look their module up there, and compare imports workloads
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


workloads = load_benchmark_module("workloads")
compare = load_benchmark_module("compare")


def synthetic_digest_in_child(hash_seed):
    """SHA-256 of a synthetic set made in a fresh interpreter."""
    code = ("import hashlib, sys; sys.path.insert(0, %r); import workloads; "
            "print(hashlib.sha256(''.join(workloads.synthetic_dna(50, 120, 7)).encode()).hexdigest())"
            % str(BENCHMARKS))
    env = dict(os.environ, PYTHONHASHSEED=str(hash_seed))
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          check=True).stdout.strip()


def test_synthetic_dna_is_the_same_in_every_process():
    expected = hashlib.sha256("".join(workloads.synthetic_dna(50, 120, 7)).encode()).hexdigest()
    assert {synthetic_digest_in_child(seed) for seed in (0, 1, 12345)} == {expected}


def test_scaled_sets_are_prefixes_of_the_full_set_and_carry_motifs():
    full = workloads.synthetic_dna(400, 100, 3)
    assert workloads.synthetic_dna(workloads.scaled(400, 0.05), 100, 3) == full[:20]
    assert {len(s) for s in full} == {100} and set("".join(full)) == set("ACGT")
    twelve_mers = {}
    for seq in full:
        for word in {seq[i : i + 12] for i in range(len(seq) - 11)}:
            twelve_mers[word] = twelve_mers.get(word, 0) + 1
    planted = sorted(twelve_mers.values())[-workloads.MOTIF_COUNT :]
    assert min(planted) >= 10  # random 12-mers almost never repeat in 40 kbp


def test_read_fasta_joins_lines_and_upper_cases(tmp_path):
    path = tmp_path / "x.fasta"
    path.write_text(">1\nacgT\nNNac\n\n>0\nGGtt\n")
    assert workloads.read_fasta(path) == ["ACGTNNAC", "GGTT"]


@pytest.mark.parametrize("text, problem", [
    ("", "no FASTA record"),
    ("ACGT\n>1\nACGT\n", "line 1: sequence before the first"),
    (">1\nACGT\n>0\n>1\nAC\n", "record 2 has no sequence"),
])
def test_read_fasta_names_what_is_wrong(tmp_path, text, problem):
    path = tmp_path / "bad.fasta"
    path.write_text(text)
    with pytest.raises(workloads.WorkloadError, match=problem):
        workloads.read_fasta(path)


def test_digest_covers_the_saved_bytes_in_row_major_order(tmp_path):
    result = [[[1.0, 2.5], [0.0, -3.0]], [[4.0, 5.0], [6.0, 7.0]]]
    path = tmp_path / "values.f64"
    digest = workloads.digest_to_file(result, path)
    assert digest == hashlib.sha256(path.read_bytes()).hexdigest()
    flat = [[1.0, 2.5, 0.0, -3.0, 4.0, 5.0, 6.0, 7.0]]
    assert workloads.digest_and_save(flat, None) == digest
    assert workloads.shape_of(result) == [2, 2, 2]


@pytest.mark.parametrize("a, b, expected", [
    ([0.0, 1.0], [0.0, 1.0], 0.0),
    ([1.0, -2.0], [1.0, -2.0 * (1 + 1e-13)], 1e-13),
    ([0.0, 0.5], [1e-300, 0.5], 1.0),
    ([1.0], [float("nan")], float("inf")),
])
def test_max_relative_difference(tmp_path, a, b, expected):
    path_a, path_b = tmp_path / "a", tmp_path / "b"
    workloads.digest_to_file([a], path_a)
    workloads.digest_to_file([b], path_b)
    assert workloads.max_relative_difference(path_a, path_b) == pytest.approx(expected, rel=1e-3)


@pytest.mark.parametrize("args, reason", [
    (["--workloads", "W1,W9"], "compare.py: unknown workload(s) W9; choose from W1,"),
    (["--workloads", "W7", "--data", "/nonexistent"], "compare.py: no workload left to run"),
    (["--base", "no-such-revision"], "compare.py: --base no-such-revision is not a commit"),
])
def test_compare_refuses_before_building(args, reason):
    command = [sys.executable, str(BENCHMARKS / "compare.py"), "--base", "HEAD", *args]
    proc = subprocess.run(command, capture_output=True, text=True)
    assert proc.returncode == 1 and proc.stdout == ""
    assert proc.stderr.strip().splitlines()[-1].startswith(reason)


def test_workload_names_are_matched_in_any_case_once_each():
    assert compare.selected_workloads(" w1t2,gram, W1,GRAM") == ["W1t2", "Gram", "W1"]
    with pytest.raises(compare.HarnessError, match="unknown workload"):
        compare.selected_workloads(",")


def measured_side(role, name, results, scratch):
    """A Side whose runs of ``name`` gave ``results``; the first one's values saved."""
    side = compare.Side(role, role, scratch)
    runs = []
    for i, result in enumerate(results):
        path = compare.values_file(scratch, name, side)
        digest = workloads.digest_to_file(result, path) if i == 0 else workloads.digest_and_save(result, None)
        runs.append({"digest": digest, "shape": workloads.shape_of(result)})
    side.runs[name] = runs
    return side


@pytest.mark.parametrize("name, base_results, head_results, verdict", [
    ("W1", [[[1.0, 0.5]], [[1.0, 0.5]]], [[[1.0, 0.5]]], "identical"),
    ("W1", [[[1.0, 0.5]], [[1.0, 0.25]]], [[[1.0, 0.5]]], "NOT REPEATABLE on base"),
    ("W1", [[[1.0, 0.5]]], [[[1.0], [0.5]]], "SHAPES DIFFER: [1, 2] vs [2, 1]"),
    ("W5", [[[1.0, 0.5]]], [[[1.0, 0.5 * (1 + 2e-13)]]], "max rel. diff 2.0e-13"),
    ("W1", [[[1.0, 0.5]]], [[[1.0, 0.5 * (1 + 2e-13)]]], "DIFFERENT: max rel. diff 2.0e-13"),
    ("W5", [[[1.0, 0.5]]], [[[1.0, 0.5 * (1 + 2e-12)]]], "DIFFERENT: max rel. diff 2.0e-12"),
])
def test_agreement_between_sides(tmp_path, name, base_results, head_results, verdict):
    base = measured_side("base", name, base_results, tmp_path)
    head = measured_side("head", name, head_results, tmp_path)
    assert compare.agreement(name, base, head, tmp_path) == verdict
