"""Progress bars: the Gram advanced stripe by stripe with the values of one
call, bars on a terminal only unless asked, and distributed work counted in
many partitions."""
import io
import random
import sys

import joblib
import numpy as np
import pytest

from vellum import GkmKernel, GkmSVC, _progress, cli, distributed, kernels, read_fasta
from vellum.demo import demo_fasta_paths

SMALL = dict(L=6, k=4, d=2)


class Terminal(io.StringIO):
    def isatty(self):
        return True


class RecordingBar:
    """Stands in for a drawn tqdm bar and keeps each update."""

    disable = False

    def __init__(self, total):
        self.total, self.updates = total, []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def update(self, n=1):
        self.updates.append(n)


def random_texts(n, length, seed=0):
    rng = random.Random(seed)
    return ["".join(rng.choice("ACGT") for _ in range(length)) for _ in range(n)]


@pytest.mark.parametrize("n", [129, 194])
@pytest.mark.parametrize(
    "params", [SMALL, dict(SMALL, positional=True), dict(SMALL, invalid="skip")], ids=["regular", "positional", "skip"]
)
def test_striped_gram_is_bitwise_one_call(monkeypatch, n, params):
    # Stripes of unequal height that do not divide the rows evenly.
    monkeypatch.setattr(kernels, "GRAM_STRIPE_ROWS", 16)
    texts = random_texts(n, 24)
    if params.get("invalid") == "skip":
        texts[5] = texts[5][:10] + "N" + texts[5][11:]
    assert len(kernels.gram_stripes(n)) > 2
    whole = GkmKernel(**params, progress=False)(texts)
    striped = GkmKernel(**params, progress=True)(texts, out=np.full((n, n), np.nan))
    assert striped.view(np.int64).tolist() == whole.view(np.int64).tolist()


@pytest.mark.parametrize("n", [1, 64, 129, 1000, 20001])
def test_gram_stripes_cover_the_rows_with_balanced_pairs(n):
    stripes = kernels.gram_stripes(n)
    assert [start for start, _ in stripes] == [0] + [stop for _, stop in stripes[:-1]]
    assert stripes[-1][1] == n
    assert len(stripes) == min(kernels.GRAM_STRIPES, max(1, n // kernels.GRAM_STRIPE_ROWS))
    pairs = [sum(n - i for i in range(start, stop)) for start, stop in stripes]
    assert [kernels.pairs_in_rows(n, start, stop) for start, stop in stripes] == pairs
    # Each stripe holds its share of the triangle to within one row.
    assert max(abs(p - n * (n + 1) / 2 / len(stripes)) for p in pairs) <= n


def test_gram_bar_advances_by_stripe_up_to_every_pair(monkeypatch):
    bars = []

    def recording_bar(progress, total, *args, **kwargs):
        bars.append(RecordingBar(total))
        return bars[-1]

    monkeypatch.setattr(kernels, "progress_bar", recording_bar)
    n = 200
    GkmKernel(**SMALL, progress=True)(random_texts(n, 20))
    [bar] = bars
    assert bar.total == n * (n + 1) // 2
    assert len(bar.updates) == len(kernels.gram_stripes(n)) > 1
    assert sum(bar.updates) == bar.total


@pytest.mark.parametrize(
    "progress, terminal, drawn",
    [(False, True, False), (True, False, True), ("auto", True, True), ("auto", False, False)],
)
def test_bars_on_a_terminal_only_unless_asked(monkeypatch, progress, terminal, drawn):
    monkeypatch.setattr(_progress, "DELAY_SECONDS", 0)
    stderr = Terminal() if terminal else io.StringIO()
    monkeypatch.setattr(sys, "stderr", stderr)
    GkmKernel(**SMALL, progress=progress)(random_texts(10, 20))
    assert ("Gram matrix" in stderr.getvalue()) == drawn


@pytest.mark.parametrize("progress", ["yes", 2, None])
def test_progress_must_be_true_false_or_auto(progress):
    with pytest.raises(ValueError) as info:
        GkmSVC(**SMALL, progress=progress).fit(random_texts(6, 20), [0, 1] * 3)
    assert str(info.value) == f"progress must be one of False, True, 'auto'; got {progress!r}"


@pytest.mark.parametrize("quiet, saved", [([], "auto"), (["-q"], False)])
def test_a_trained_model_file_never_forces_bars(monkeypatch, tmp_path, capsys, quiet, saved):
    monkeypatch.setattr(_progress, "DELAY_SECONDS", 0)
    paths = []
    for source in demo_fasta_paths():
        ids, seqs = read_fasta(source)
        paths.append(tmp_path / source.name)
        paths[-1].write_text("".join(f">{i}\n{s}\n" for i, s in zip(ids[:20], seqs[:20])))
    model_path = tmp_path / "m.joblib"
    argv = ["train", *map(str, paths), "-L", "6", "-k", "4", "-d", "2", "-o", str(model_path), *quiet]
    assert cli.main(argv) == 0
    model = joblib.load(model_path)
    assert model.progress == saved
    capsys.readouterr()
    # Loaded where stderr is not a terminal (a notebook, a log): no bar.
    model.decision_function(random_texts(30, 30))
    assert capsys.readouterr().err == ""


def test_distributed_records_fill_many_partitions_by_default(tmp_path):
    path = tmp_path / "reads.fa"
    texts = random_texts(200, 1000)
    path.write_text("".join(f">r{i}\n{text}\n" for i, text in enumerate(texts)))
    model = GkmSVC(**SMALL).fit(texts[:20], [0, 1] * 10)
    # 200 kb make partitions of the 32-kb minimum: 32 whole records each.
    assert distributed.predict(model, path).npartitions == 7
    assert distributed.scan(model, path, 500, 250).npartitions == 7
    assert distributed.predict(model, path, partition_bases=10**6).npartitions == 1


def test_the_table_solver_counts_its_iterations_and_shows_the_violation(monkeypatch):
    monkeypatch.setattr(_progress, "DELAY_SECONDS", 0)
    stderr = io.StringIO()
    monkeypatch.setattr(sys, "stderr", stderr)
    model = GkmSVC(**SMALL, solver="table", progress=True).fit(random_texts(40, 30), [0, 1] * 20)
    shown = stderr.getvalue()
    assert f"table solver: {model.n_iter_}" in shown.replace("\r", "\n")
    assert "largest violation" in shown and "stops below 0.001" in shown
