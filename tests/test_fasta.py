"""read_fasta on plain and gzip files, and the sequence checks that name the bad record."""
import gzip
import os
import re
import warnings

import numpy as np
import pytest

from vellum import DroppedRecordsWarning, read_fasta
from vellum.sequences import check_sequences

TEXT = ">seq1 first record\nACGTAC\ngtacgt\n>seq2\nTTTTGGGGCCCC\n>seq3\nACGTNNACGTAC\n"


@pytest.fixture(params=["plain", "gzip"])
def fasta(tmp_path, request):
    """Writes text as a FASTA file, plain or gzip (named .fa either way)."""

    def write(text):
        path = tmp_path / "records.fa"
        data = text.encode()
        path.write_bytes(gzip.compress(data) if request.param == "gzip" else data)
        return path

    return write


def test_keep_reads_ids_and_joined_lines_with_case_kept(fasta):
    assert read_fasta(fasta(TEXT), invalid="keep") == (
        ["seq1", "seq2", "seq3"],
        ["ACGTACgtacgt", "TTTTGGGGCCCC", "ACGTNNACGTAC"],
    )


def test_error_names_the_first_record_with_a_non_acgt_base(fasta):
    path = fasta(TEXT)
    message = f"{path}: record 'seq3' holds 'N' at position 4, not A/C/G/T (1 of 3 records do)"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        read_fasta(path)


def test_drop_leaves_out_invalid_records_and_reports_how_many(fasta):
    path = fasta(TEXT + ">seq4\nAC-GT\n")
    with pytest.warns(DroppedRecordsWarning, match=re.escape(f"{path}: dropped 2 of 4 records")):
        ids, seqs = read_fasta(path, invalid="drop")
    assert ids == ["seq1", "seq2"]
    assert seqs == ["ACGTACgtacgt", "TTTTGGGGCCCC"]


def test_drop_is_silent_when_nothing_is_dropped(fasta):
    path = fasta(">a\nACGT\n")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert read_fasta(path, invalid="drop") == (["a"], ["ACGT"])


def test_drop_of_every_record_is_an_error(fasta):
    with pytest.raises(ValueError, match="every record holds characters other than A/C/G/T; none is left"):
        with pytest.warns(DroppedRecordsWarning):
            read_fasta(fasta(">a\nNNNN\n"), invalid="drop")


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "no FASTA records"),
        ("\n\n", "no FASTA records"),
        ("just some text\n>a\nACGT\n", "not a FASTA file: text before the first '>' header"),
    ],
)
def test_unusable_files_name_the_file(fasta, text, message):
    path = fasta(text)
    with pytest.raises(ValueError, match=f"^{re.escape(f'{path}: {message}')}$"):
        read_fasta(path)


def test_binary_file_is_not_fasta(tmp_path):
    path = tmp_path / "matrix.npy"
    np.save(path, np.arange(5.0))
    with pytest.raises(ValueError, match=f"^{re.escape(str(path))}: not a FASTA text file"):
        read_fasta(path)


def test_truncated_gzip_is_reported(tmp_path):
    path = tmp_path / "cut.fa.gz"
    path.write_bytes(gzip.compress((TEXT * 50).encode())[:60])
    with pytest.raises(ValueError, match="not a FASTA text file"):
        read_fasta(path)


def test_missing_file_and_unknown_mode(tmp_path):
    with pytest.raises(FileNotFoundError):
        read_fasta(tmp_path / "absent.fa")
    with pytest.raises(ValueError, match="^invalid must be one of 'error', 'drop', 'keep'; got 'skip'$"):
        read_fasta(tmp_path / "absent.fa", invalid="skip")


def test_reading_writes_no_file_next_to_the_data(fasta, tmp_path):
    read_fasta(fasta(TEXT), invalid="keep")
    assert os.listdir(tmp_path) == ["records.fa"]


# ---- check_sequences ------------------------------------------------------------


@pytest.mark.parametrize(
    "seqs, kwargs, message",
    [
        ([], {}, "X is empty: no sequences"),
        (["ACGTACGT", "ACG"], {}, "X[1] has 3 bases, fewer than the word length L=5"),
        (["ACGTACGT", "ACGTRACG"], {}, "X[1] holds 'R' at position 4, not A/C/G/T"),
        (["ACGTACGT", "acgt acgt"], {"ids": ["a", "b"]}, "record 'b' holds ' ' at position 4, not A/C/G/T"),
        (["A" * 2048], {}, "X[0] has 2048 bases; one encoded sequence holds at most 2047"),
    ],
)
def test_check_sequences_names_the_record(seqs, kwargs, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}"):
        check_sequences(seqs, 5, **kwargs)


@pytest.mark.parametrize(
    "seqs, message",
    [
        ("ACGTACGT", "X must be a list of DNA strings, not a single str"),
        (5, "X must be a list of DNA strings, not int"),
        (["ACGTACGT", b"ACGTACGT"], "X[1] must be a str, not bytes"),
        (["ACGTACGT", None], "X[1] must be a str, not NoneType"),
    ],
)
def test_check_sequences_refuses_what_is_not_text(seqs, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        check_sequences(seqs, 5)


def test_check_sequences_edges_pass():
    seqs = np.array(["ACGTA", "acgtN" + "A" * 2042])
    assert check_sequences(seqs, 5, invalid="skip") == ["ACGTA", "acgtN" + "A" * 2042]
    assert check_sequences(["A" * 5000], 5, max_length=None) == ["A" * 5000]
