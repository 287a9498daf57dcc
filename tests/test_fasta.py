"""read_fasta on plain and gzip files, and the sequence checks that name the bad record."""
import gzip
import os
import re

import numpy as np
import pytest

from vellum import DroppedRecordsWarning, read_fasta
from vellum.fasta import index_fasta
from vellum.sequences import check_sequences

TEXT = ">seq1 first record\nACGTAC\ngtacgt\n>seq2\nTTTTGGGGCCCC\n>seq3\nACGTNNACGTAC\n>seq4\nAC-GT\n"


@pytest.fixture(params=["plain", "gzip"])
def fasta(tmp_path, request):
    """Writes text as records.fa, plain or gzip-compressed."""

    def write(text):
        path = tmp_path / "records.fa"
        path.write_bytes(gzip.compress(text.encode()) if request.param == "gzip" else text.encode())
        return path

    return write


def test_modes_keep_drop_and_error(fasta, tmp_path):
    path = fasta(TEXT)
    assert read_fasta(path, invalid="keep") == (
        ["seq1", "seq2", "seq3", "seq4"],
        ["ACGTACgtacgt", "TTTTGGGGCCCC", "ACGTNNACGTAC", "AC-GT"],
    )
    with pytest.warns(DroppedRecordsWarning, match=f"^{re.escape(f'{path}: dropped 2 of 4 records')}"):
        assert read_fasta(path, invalid="drop") == (["seq1", "seq2"], ["ACGTACgtacgt", "TTTTGGGGCCCC"])
    message = f"{path}: record 'seq3' holds 'N' at position 4, not A/C/G/T (2 of 4 records do)"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        read_fasta(path)
    assert os.listdir(tmp_path) == ["records.fa"]  # no index file beside the data


@pytest.mark.parametrize(
    "text, mode, message",
    [
        ("", "error", "no FASTA records"),
        ("\n\n", "error", "no FASTA records"),
        ("just some text\n>a\nACGT\n", "error", "not a FASTA file: text before the first '>' header"),
        (">a\nNNNN\n", "drop", "every record holds characters other than A/C/G/T; none is left"),
    ],
)
@pytest.mark.filterwarnings("ignore::vellum.DroppedRecordsWarning")
def test_unusable_files_name_the_file(fasta, text, mode, message):
    path = fasta(text)
    with pytest.raises(ValueError, match=f"^{re.escape(f'{path}: {message}')}$"):
        read_fasta(path, invalid=mode)


def test_binary_truncated_missing_and_unknown_mode(tmp_path):
    np.save(tmp_path / "matrix.npy", np.arange(5.0))
    (tmp_path / "cut.fa.gz").write_bytes(gzip.compress((TEXT * 50).encode())[:60])
    for name in ("matrix.npy", "cut.fa.gz"):
        with pytest.raises(ValueError, match=f"^{re.escape(str(tmp_path / name))}: not a FASTA text file"):
            read_fasta(tmp_path / name)
    with pytest.raises(FileNotFoundError):
        read_fasta(tmp_path / "absent.fa")
    with pytest.raises(ValueError, match="^invalid must be one of 'error', 'drop', 'keep'; got 'skip'$"):
        read_fasta(tmp_path / "absent.fa", invalid="skip")


@pytest.mark.parametrize(
    "seqs, kwargs, error, message",
    [
        ([], {}, ValueError, "X is empty: no sequences"),
        (["ACGTACGT", "ACG"], {}, ValueError, "X[1] has 3 bases, fewer than the word length L=5"),
        (["ACGTACGT", "ACGTRACG"], {}, ValueError, "X[1] holds 'R' at position 4, not A/C/G/T"),
        (["ACGTA", "acgt acgt"], {"ids": ["a", "b"]}, ValueError, "record 'b' holds ' ' at position 4, not A/C/G/T"),
        (["A" * 2048], {}, ValueError, "X[0] has 2048 bases; one encoded sequence holds at most 2047"),
        ("ACGTACGT", {}, TypeError, "X must be a list of DNA strings, not a single str"),
        (5, {}, TypeError, "X must be a list of DNA strings, not int"),
        (["ACGTACGT", b"ACGTACGT"], {}, TypeError, "X[1] must be a str, not bytes"),
    ],
)
def test_check_sequences_names_the_record(seqs, kwargs, error, message):
    with pytest.raises(error, match=f"^{re.escape(message)}"):
        check_sequences(seqs, 5, **kwargs)


def test_check_sequences_edges_pass():
    seqs = np.array(["ACGTA", "acgtN" + "A" * 2042])
    assert check_sequences(seqs, 5, invalid="skip") == ["ACGTA", "acgtN" + "A" * 2042]
    assert check_sequences(["A" * 5000], 5, max_length=None) == ["A" * 5000]


@pytest.mark.parametrize("read", [read_fasta, index_fasta], ids=["read_fasta", "index_fasta"])
def test_damaged_gzip_data_is_a_value_error_naming_the_file(tmp_path, read):
    data = bytearray(gzip.compress((TEXT * 200).encode()))
    data[30:38] = b"\xff" * 8  # a deflate block zlib refuses, not merely a bad checksum
    path = tmp_path / "damaged.fa.gz"
    path.write_bytes(bytes(data))
    with pytest.raises(ValueError, match=f"^{re.escape(str(path))}: not a FASTA text file \\(Error -3 .*\\)$"):
        read(path)
