"""The demo entry point and its bundled example data."""
import re

import pytest

from vellum import demo


@pytest.fixture(scope="module")
def records():
    return demo.read_fasta(demo.example_fasta())


def test_bundled_example_fasta(records):
    assert len(records) == 60
    assert len({header for header, _ in records}) == 60
    assert all(100 <= len(seq) <= 200 and set(seq) <= set("ACGT") for _, seq in records)


def test_planted_motifs_are_nearest_neighbours(records):
    matrix = demo.kernel_matrix([seq for _, seq in records], nthreads=2)
    labels = [header.split("motif=")[1] for header, _ in records]
    for i, label in enumerate(labels):
        assert matrix[i][i] == pytest.approx(1.0, rel=1e-12)
        if label != "none":
            assert labels[demo.nearest_neighbours(matrix, i, 1)[0]] == label


def test_main_prints_summary(capsys):
    assert demo.main(["--nthreads", "1"]) == 0
    out = capsys.readouterr().out
    assert "sequences: 60" in out
    assert "parameters: L=10 k=6 d=3 use_rc=0 nthreads=1" in out
    mean = float(re.search(r"mean off-diagonal kernel value: ([0-9.]+)", out).group(1))
    assert 0.0 < mean < 1.0
    assert len(re.findall(r"^  seq\d\d .*: ", out, re.M)) == 5


def test_main_on_own_fasta(tmp_path, capsys):
    path = tmp_path / "mine.fasta"
    path.write_text(">a\nACGTACGTAC\nGTTGCA\n\n>b\nACGTACGTACGTTGCA\n>c\nTTTTGGGGCCCCAAAA\n")
    assert demo.read_fasta(path) == [("a", "ACGTACGTACGTTGCA"), ("b", "ACGTACGTACGTTGCA"), ("c", "TTTTGGGGCCCCAAAA")]
    assert demo.main([str(path), "-L", "5", "-k", "3", "-d", "1", "--use-rc"]) == 0
    out = capsys.readouterr().out
    assert "sequences: 3" in out
    assert "  a: b (1.000)" in out


@pytest.mark.parametrize(
    "text, args",
    [(">a\nACGTACGTAC\n", []), (">a\nACGTNNNNAC\n>b\nACGTACGTAC\n", []), (">a\nACGTACGTAC\n>b\nACGTACGTAC\n", ["-L", "13"])],
)
def test_main_reports_unusable_input(tmp_path, capsys, text, args):
    path = tmp_path / "bad.fasta"
    path.write_text(text)
    assert demo.main([str(path)] + args) == 1
    assert capsys.readouterr().err
