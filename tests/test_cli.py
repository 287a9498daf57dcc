"""The vellum command on small FASTA files: outputs, plots, atomic files and errors."""
import functools
import io
import os
import re
import stat
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import joblib
import numpy as np
import pytest
from matplotlib import image

import vellum
from vellum import GkmKernel, cli, read_fasta
from vellum.demo import demo_fasta_paths, run_demo
from vellum.outputs import atomic_write

KERNEL_ARGS = ["-L", "6", "-k", "4", "-d", "2"]
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def head_fasta(source, path, n):
    ids, seqs = read_fasta(source)
    path.write_text("".join(f">{i}\n{s}\n" for i, s in zip(ids[:n], seqs[:n])))
    return str(path)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Small positive and negative files, a long gapped record, and a trained model."""
    tmp = tmp_path_factory.mktemp("cli")
    bound, unbound = demo_fasta_paths()
    pos = head_fasta(bound, tmp / "pos.fa", 20)
    neg = head_fasta(unbound, tmp / "neg.fa", 20)
    _, seqs = read_fasta(bound)
    (tmp / "long.fa").write_text(">chr1 region\n" + "".join(seqs[20:45]) + "\n>short\n" + seqs[45] + "\n")
    model = str(tmp / "model.joblib")
    assert cli.main(["train", pos, neg, "-o", model, "-q", *KERNEL_ARGS]) == 0
    return {"pos": pos, "neg": neg, "long": str(tmp / "long.fa"), "model": model, "dir": tmp}


def run(capsys, *argv):
    status = cli.main(list(argv))
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def assert_png(path):
    data = Path(path).read_bytes()
    assert data[:8] == PNG_MAGIC
    pixels = image.imread(path)
    assert pixels.shape[0] > 200 and pixels.shape[1] > 200
    assert pixels[..., :3].std() > 0.05  # something is drawn


def test_console_script_is_declared_and_runs():
    [entry] = [e for e in metadata.entry_points(group="console_scripts") if e.name == "vellum"]
    assert entry.value == "vellum.cli:main"
    result = subprocess.run([sys.executable, "-m", "vellum.cli", "--help"], capture_output=True, text=True)
    assert result.returncode == 0 and "train" in result.stdout and "demo" in result.stdout


@pytest.mark.parametrize("command", ["train", "predict", "scan", "mutagenesis", "gram", "demo"])
def test_help_of_each_subcommand(capsys, command):
    with pytest.raises(SystemExit) as exit_info:
        cli.main([command, "--help"])
    assert exit_info.value.code == 0
    assert capsys.readouterr().out.startswith(f"usage: vellum {command}")


def test_train_prints_cross_validated_auc_and_draws_the_roc(files, capsys, tmp_path):
    model_path, roc = tmp_path / "m.joblib", tmp_path / "roc.png"
    status, out, err = run(
        capsys, "train", files["pos"], files["neg"], "-o", str(model_path), "--cv", "3", "--plot", str(roc), "-q",
        *KERNEL_ARGS,
    )
    assert status == 0
    assert re.fullmatch(r"3-fold cross-validated ROC AUC: 0\.\d{4} ± 0\.\d{4}\n", out)
    assert f"model written to {model_path}" in err
    assert_png(roc)
    model = joblib.load(model_path)
    assert model.get_params()["L"] == 6 and list(model.classes_) == [0, 1]


def test_predict_writes_id_and_exact_score(files, capsys, tmp_path):
    status, out, _ = run(capsys, "predict", files["model"], files["neg"], "-q")
    assert status == 0
    ids, seqs = read_fasta(files["neg"])
    scores = joblib.load(files["model"]).decision_function(seqs)
    assert out.splitlines() == [f"{i}\t{float(s)!r}" for i, s in zip(ids, scores)]
    target = tmp_path / "scores.tsv"
    assert run(capsys, "predict", files["model"], files["neg"], "-q", "-o", str(target))[:2] == (0, "")
    assert target.read_text() == out


def test_scan_writes_bed_like_lines_and_draws_tracks(files, capsys, tmp_path):
    plot = tmp_path / "track.png"
    status, out, _ = run(capsys, "scan", files["model"], files["long"], "--window", "100", "--shift", "40",
                         "--plot", str(plot), "-q")
    assert status == 0
    rows = [line.split("\t") for line in out.splitlines()]
    chrom = [r for r in rows if r[0] == "chr1"]
    assert len(chrom) == (2500 - 100) // 40 + 1
    assert [(int(r[1]), int(r[2])) for r in chrom[:2]] == [(0, 100), (40, 140)]
    assert [r[:3] for r in rows if r[0] == "short"] == [["short", "0", "100"]]
    model = joblib.load(files["model"])
    _, seqs = read_fasta(files["long"])
    assert [float(r[3]) for r in chrom] == list(model.scan(seqs[:1], 100, 40)[0])
    assert_png(plot)


def test_mutagenesis_table_and_heatmap(files, capsys, tmp_path):
    plot, table = tmp_path / "mut.png", tmp_path / "mut.tsv"
    fasta = head_fasta(files["pos"], tmp_path / "three.fa", 3)
    status, out, _ = run(capsys, "mutagenesis", files["model"], fasta, "-o", str(table), "--plot", str(plot), "-q")
    assert status == 0 and out == ""
    lines = table.read_text().splitlines()
    assert lines[0] == "id\tposition\tref\tA\tC\tG\tT"
    assert len(lines) == 1 + 3 * 100
    ids, seqs = read_fasta(fasta)
    effects = joblib.load(files["model"]).mutagenesis(seqs[1])
    row = lines[1 + 100 + 7].split("\t")
    assert row[:3] == [ids[1], "7", seqs[1][7]]
    assert [float(v) for v in row[3:]] == list(effects[:, 7])
    assert_png(plot)


@pytest.mark.parametrize("second", [False, True])
def test_gram_writes_the_kernel_matrix(files, capsys, tmp_path, second):
    target = tmp_path / "K.npy"
    extra = [files["neg"]] if second else []
    status, out, err = run(capsys, "gram", files["pos"], *extra, "-o", str(target), "-q", *KERNEL_ARGS, "--no-use-rc")
    assert status == 0 and out == ""
    _, X = read_fasta(files["pos"])
    Y = read_fasta(files["neg"])[1] if second else None
    assert np.array_equal(np.load(target), GkmKernel(L=6, k=4, d=2, use_rc=False)(X, Y))
    assert "20 x 20 kernel matrix written to" in err


def test_demo_prints_auc_and_draws_the_roc(capsys, tmp_path, monkeypatch):
    monkeypatch.setattr("vellum.demo.run_demo", functools.partial(run_demo, per_class=25))
    plot = tmp_path / "roc.png"
    status, out, err = run(capsys, "demo", "--plot", str(plot), "-q")
    assert status == 0
    assert out.splitlines()[0] == "sequences: 25 bound, 25 unbound"
    assert re.fullmatch(r"5-fold cross-validated ROC AUC: 0\.\d{4} ± 0\.\d{4}", out.splitlines()[1])
    assert "CTCF" in err
    assert_png(plot)


# ---- errors ---------------------------------------------------------------------


def test_errors_end_with_one_line_and_status_1_and_leave_outputs_untouched(files, capsys, tmp_path):
    dirty = tmp_path / "dirty.fa"
    dirty.write_text(">ok\nACGTACGTACGT\n>gap\nACGTNNACGTAC\n")
    (tmp_path / "empty.fa").write_text("")
    (tmp_path / "kept.tsv").write_text("previous\n")
    out, model = str(tmp_path / "kept.tsv"), files["model"]
    cases = [
        (["predict", model, str(tmp_path / "absent.fa")], "No such file or directory"),
        (["predict", files["pos"], files["pos"]], "not a vellum model file"),
        (["predict", model, str(dirty), "-o", out], f"{dirty}: record 'gap' holds 'N' at position 4"),
        (["train", files["pos"], str(tmp_path / "empty.fa"), "-o", out], "empty.fa: no FASTA records"),
        (["train", files["pos"], files["neg"], "-o", out, "--plot", "r.png"], "--plot draws the cross-validated ROC"),
        (["train", files["pos"], files["neg"], "-o", out, "-k", "7", "-L", "6"], "(L=6, k=7, d=3): k > L"),
        (["scan", model, files["long"], "--window", "3000", "--shift", "10", "-o", out], "got 3000"),
        (["mutagenesis", model, files["long"], "-o", out], f"{files['long']}: record 'chr1' has 2500 bases"),
        (["gram", str(dirty), "-o", str(tmp_path / "K.npy")], "record 'gap' holds 'N'"),
    ]
    for argv, message in cases:
        status, stdout, stderr = run(capsys, *argv, "-q")
        assert status == 1 and stdout == ""
        assert re.fullmatch(f"vellum {argv[0]}: error: .*{re.escape(message)}.*\n", stderr), stderr
    assert sorted(os.listdir(tmp_path)) == ["dirty.fa", "empty.fa", "kept.tsv"]
    assert (tmp_path / "kept.tsv").read_text() == "previous\n"


def test_a_positional_model_names_the_record_of_the_file_by_its_id_past_the_first_chunk(files, capsys, tmp_path):
    # Queries reach the core in chunks of 256: record 280 is the 25th of its chunk.
    model, queries = str(tmp_path / "pos.joblib"), tmp_path / "queries.fa"
    assert run(capsys, "train", files["pos"], files["neg"], "-o", model, "--positional", "-q", *KERNEL_ARGS)[0] == 0
    _, seqs = read_fasta(files["pos"])
    queries.write_text("".join(f">q{i}\n{seqs[i % 20][: 99 if i == 280 else 100]}\n" for i in range(300)))
    status, _, err = run(capsys, "predict", model, str(queries), "-q")
    assert (status, err) == (
        1,
        f"vellum predict: error: {queries}: record 'q280' has 99 bases; the positional kernel compares sequences "
        "of one length, 100 bases\n",
    )


def test_training_errors_name_the_record_s_own_file(files, capsys, tmp_path):
    negatives = tmp_path / "neg.fa"
    negatives.write_text(Path(files["neg"]).read_text() + ">huge\n" + "ACGT" * 600 + "\n")
    status, _, err = run(capsys, "train", files["pos"], str(negatives), "-o", str(tmp_path / "m.joblib"), "-q")
    assert status == 1
    assert err.startswith(f"vellum train: error: {negatives}: record 'huge' has 2400 bases; one encoded sequence")


def labelled_inputs(files, tmp_path):
    """The training set of files["pos"] and files["neg"] as one FASTA file
    labelled in its headers, and as one FASTA file with a label table."""
    pos_ids, pos = read_fasta(files["pos"])
    neg_ids, neg = read_fasta(files["neg"])
    records = [(i, s, "1") for i, s in zip(pos_ids, pos)] + [(i, s, "0") for i, s in zip(neg_ids, neg)]
    (tmp_path / "headers.fa").write_text("".join(f">{label} {i}\n{s}\n" for i, s, label in records))
    (tmp_path / "ids.fa").write_text("".join(f">{i}\n{s}\n" for i, s, _ in records))
    (tmp_path / "labels.tsv").write_text("id\tlabel\n" + "".join(f"{i}\t{label}\n" for i, _, label in records))


@pytest.mark.parametrize("inputs", [["headers.fa"], ["ids.fa", "--labels", "labels.tsv"]], ids=["headers", "table"])
def test_training_from_one_labelled_file_is_training_from_two(files, capsys, tmp_path, inputs):
    labelled_inputs(files, tmp_path)
    model = tmp_path / "m.joblib"
    argv = [str(tmp_path / a) if a.endswith((".fa", ".tsv")) else a for a in inputs]
    assert run(capsys, "train", *argv, "-o", str(model), "-q", *KERNEL_ARGS)[0] == 0
    scores = [run(capsys, "predict", m, files["pos"], "-q")[1] for m in (str(model), files["model"])]
    assert scores[0] == scores[1] and scores[0]


@pytest.mark.parametrize(
    "fasta, table, message",
    [
        (">1\nACGTACGTAC\n>bound\nACGTTCGTAC\n", None,
         "{fasta}: record 'bound' has no label: the ids of a labelled FASTA file are labels, 1 or +1 (bound), "
         "0 or -1 (unbound); give the negatives as NEG.fa, or the labels with --labels TSV"),
        (">a\nACGTACGTAC\n>b\nACGTTCGTAC\n", "a\t1\n", "{fasta}: record 'b' has no label in {table}"),
        (">a\nACGTACGTAC\n", "a\t1\nb\tyes\n",
         "{table}, line 2: expected a record id and a label, 1 or +1 (bound), 0 or -1 (unbound)"),
        (">a\nACGTACGTAC\n", "a\t1\na\t-1\n", "{table}, line 2: record 'a' has two labels"),
    ],
    ids=["header", "missing-in-table", "bad-line", "two-labels"],
)
def test_a_record_without_a_known_label_is_refused_naming_it(capsys, tmp_path, fasta, table, message):
    paths = {"fasta": tmp_path / "train.fa", "table": tmp_path / "labels.tsv"}
    paths["fasta"].write_text(fasta)
    labels = []
    if table is not None:
        paths["table"].write_text(table)
        labels = ["--labels", str(paths["table"])]
    status, _, err = run(capsys, "train", str(paths["fasta"]), *labels, "-o", str(tmp_path / "m.joblib"), "-q")
    assert (status, err) == (1, f"vellum train: error: {message.format(**paths)}\n")
    assert not (tmp_path / "m.joblib").exists()


def test_labels_with_two_files_are_refused(files, capsys, tmp_path):
    argv = ["train", files["pos"], files["neg"], "--labels", files["pos"], "-o", str(tmp_path / "m.joblib")]
    assert run(capsys, *argv) == (
        1,
        "",
        "vellum train: error: --labels labels the records of one FASTA file; give FASTA --labels TSV, or POS.fa "
        "NEG.fa\n",
    )


def test_predict_proba_writes_the_probability_of_the_positive_class(files, capsys, tmp_path):
    model = tmp_path / "p.joblib"
    argv = ["train", files["pos"], files["neg"], "-o", str(model), "--probability", "-q", *KERNEL_ARGS]
    assert run(capsys, *argv)[0] == 0
    status, out, _ = run(capsys, "predict", str(model), files["neg"], "--proba", "-q")
    ids, seqs = read_fasta(files["neg"])
    expected = joblib.load(model).predict_proba(seqs)[:, 1]
    assert status == 0 and out.splitlines() == [f"{i}\t{float(p)!r}" for i, p in zip(ids, expected)]


def test_predict_proba_refuses_a_model_without_probabilities_naming_it(files, capsys, tmp_path):
    regressor = tmp_path / "svr.joblib"
    _, X = read_fasta(files["pos"])
    joblib.dump(vellum.GkmSVR(L=6, k=4, d=2).fit(X, np.linspace(0, 1, len(X))), regressor)
    expected = {
        files["model"]: f"--proba needs a model trained with probability=True (vellum train --probability); "
        f"{files['model']} was not",
        str(regressor): f"--proba needs a classifier; {regressor} is a GkmSVR regressor",
    }
    for model, message in expected.items():
        assert run(capsys, "predict", model, files["neg"], "--proba", "-q") == (
            1, "", f"vellum predict: error: {message}\n"
        )


def test_skip_model_reads_and_scores_records_with_gaps(files, capsys, tmp_path):
    model, gapped = tmp_path / "skip.joblib", tmp_path / "gapped.fa"
    argv = ["train", files["pos"], files["neg"], "-o", str(model), "--invalid", "skip", "-q", *KERNEL_ARGS]
    assert run(capsys, *argv)[0] == 0
    gapped.write_text(">g\nACGTNNACGTACGGTAC\n")
    status, out, _ = run(capsys, "predict", str(model), str(gapped), "-q")
    assert status == 0 and out.startswith("g\t")


# ---- atomic files -----------------------------------------------------------------


def test_atomic_write_replaces_only_on_success(tmp_path):
    target = tmp_path / "out.txt"
    with atomic_write(target) as handle:
        handle.write("first")
    with pytest.raises(RuntimeError):
        with atomic_write(target) as handle:
            handle.write("half")
            raise RuntimeError("interrupted")
    assert target.read_text() == "first"
    assert os.listdir(tmp_path) == ["out.txt"]
    umask = os.umask(0o022)
    os.umask(umask)
    assert stat.S_IMODE(target.stat().st_mode) == 0o666 & ~umask


def test_output_through_a_symlink_replaces_its_target_and_keeps_the_link(files, capsys, tmp_path):
    target, link = tmp_path / "scores.tsv", tmp_path / "link.tsv"
    target.write_text("old\n")
    link.symlink_to(target.name)
    status, _, err = run(capsys, "predict", files["model"], files["pos"], "-o", str(link), "-q")
    assert status == 0, err
    assert link.is_symlink() and target.read_text().startswith("CTCF.train.0\t")
    assert sorted(os.listdir(tmp_path)) == ["link.tsv", "scores.tsv"]


def test_gram_into_a_fifo_writes_through_it_and_leaves_the_fifo(files, capsys, tmp_path):
    fifo = tmp_path / "K.npy"
    os.mkfifo(fifo)
    # The matrix fits the pipe's buffer, so the reader needs no thread; open
    # without waiting for a writer, it reads nothing if none comes.
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    status, _, err = run(capsys, "gram", files["pos"], "-o", str(fifo), "-q", *KERNEL_ARGS)
    data = os.read(reader, 1 << 20)
    os.close(reader)
    assert status == 0, err
    assert stat.S_ISFIFO(os.stat(fifo).st_mode) and os.listdir(tmp_path) == ["K.npy"]
    ids, seqs = read_fasta(files["pos"])
    expected = GkmKernel(L=6, k=4, d=2, progress=False)(seqs)
    assert np.array_equal(np.load(io.BytesIO(data)), expected)


@pytest.mark.parametrize(
    "argv, refused",
    [
        (["train", "{pos}", "{neg}", *KERNEL_ARGS, "-o", "{missing}/m.joblib"], "{missing}/m.joblib"),
        (["train", "{pos}", "{neg}", *KERNEL_ARGS, "-o", "{tmp}/m.joblib", "--cv", "2", "--plot", "{missing}/r.png"],
         "{missing}/r.png"),
        (["scan", "{model}", "{pos}", "--window", "50", "--shift", "25", "-o", "{tmp}/t.bed", "--plot", "{missing}/t.png"],
         "{missing}/t.png"),
    ],
    ids=["train-output", "train-plot", "scan-plot"],
)
def test_an_unwritable_output_is_refused_before_any_work_naming_the_path(
    files, capsys, tmp_path, monkeypatch, argv, refused
):
    names = dict(pos=files["pos"], neg=files["neg"], model=files["model"], tmp=tmp_path, missing=tmp_path / "absent")
    monkeypatch.setattr("vellum.fasta.read_fasta", lambda *a, **k: pytest.fail("read input before checking outputs"))
    status, stdout, err = run(capsys, *[a.format(**names) for a in argv], "-q")
    assert (status, stdout) == (1, "")
    assert err == f"vellum {argv[0]}: error: cannot write {refused.format(**names)}: No such file or directory\n"
    assert os.listdir(tmp_path) == []


def test_a_closed_stdout_pipe_ends_the_command_quietly(files, capsys, monkeypatch):
    class ClosedPipe(io.StringIO):
        def write(self, text):
            raise BrokenPipeError(32, "Broken pipe")

        writelines = write

    monkeypatch.setattr(sys, "stdout", ClosedPipe())
    status = cli.main(["predict", files["model"], files["pos"], "-q"])
    assert (status, capsys.readouterr().err) == (141, "")


def test_ctrl_c_while_the_command_starts_is_one_line(capsys, monkeypatch):
    def interrupted():
        raise KeyboardInterrupt

    monkeypatch.setattr(cli, "build_parser", interrupted)
    try:
        status = cli.main(["--help"])
    except KeyboardInterrupt:
        pytest.fail("Ctrl-C escaped main as a traceback")
    assert status == 130
    assert capsys.readouterr().err == "vellum: interrupted\n"


SIGTERM_DURING_WRITE = """
import os, signal, sys, time
import vellum.outputs
from vellum import cli

def write_then_terminated(out, matrix):
    out.write(b"partial")
    os.kill(os.getpid(), signal.SIGTERM)
    time.sleep(5)

vellum.outputs.write_npy = write_then_terminated
sys.exit(cli.main(sys.argv[1:]))
"""


def test_sigterm_while_writing_exits_143_and_leaves_no_file(files, tmp_path):
    out = tmp_path / "K.npy"
    argv = ["gram", files["pos"], "-o", str(out), "-q", *KERNEL_ARGS]
    result = subprocess.run([sys.executable, "-c", SIGTERM_DURING_WRITE, *argv], capture_output=True, text=True)
    assert (result.returncode, result.stderr) == (143, "vellum gram: terminated\n")
    assert os.listdir(tmp_path) == []


def test_help_loads_no_plotting_scikit_learn_or_dask():
    code = (
        "import sys\nfrom vellum import cli\ncli.build_parser().format_help()\n"
        "print(sorted(m for m in ('sklearn', 'matplotlib', 'dask', 'numpy', 'joblib') if m in sys.modules))"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout == "[]\n"


def test_version_is_the_installed_distributions(capsys):
    with pytest.raises(SystemExit) as exit_info:
        cli.main(["--version"])
    assert exit_info.value.code == 0
    assert capsys.readouterr().out == f"vellum {metadata.version('vellum')}\n"
    assert vellum.__version__ == metadata.version("vellum")


def test_lmers_and_explain_read_the_model_table(files, capsys, tmp_path):
    model = joblib.load(files["model"])
    weights = model.lmer_weights()
    status, out, _ = run(capsys, "lmers", files["model"], "--top", "2", "-q")
    assert status == 0
    lines = [line.split("\t") for line in out.splitlines()]
    order = np.argsort(weights)
    expected = [order[-1], order[-2], order[1], order[0]]
    assert [float(w) for _, w in lines] == [weights[i] for i in expected]
    for lmer, _ in lines:
        code = sum("ACGT".index(b) << 2 * (len(lmer) - 1 - i) for i, b in enumerate(lmer))
        assert len(lmer) == model.kernel_.L and code in expected
    logo = tmp_path / "logo.png"
    status, out, err = run(capsys, "explain", files["model"], files["pos"], "--plot", str(logo), "-q")
    assert status == 0 and f"contribution logos written to {logo}" in err
    ids, seqs = read_fasta(files["pos"])
    rows = [line.split("\t") for line in out.splitlines()[1:]]
    assert out.startswith("id\tposition\tbase\tcontribution\n") and len(rows) == sum(map(len, seqs))
    first = np.array([float(r[3]) for r in rows if r[0] == ids[0]])
    assert first.sum() == pytest.approx(model.decision_function(seqs[:1])[0] - model.intercept_[0], abs=1e-9)
    assert_png(logo)


def test_train_with_the_table_solver_matches_the_gram_model(files, capsys, tmp_path):
    paths = {solver: tmp_path / f"{solver}.joblib" for solver in ("gram", "table")}
    for solver, path in paths.items():
        assert run(capsys, "train", files["pos"], files["neg"], "-o", str(path), "--solver", solver, "-q", *KERNEL_ARGS)[0] == 0
    gram, table = (joblib.load(path) for path in paths.values())
    assert (gram.solver_, table.solver_) == ("gram", "table")
    _, seqs = read_fasta(files["neg"])
    np.testing.assert_allclose(table.decision_function(seqs), gram.decision_function(seqs), atol=2e-2)
    assert run(capsys, "predict", str(paths["table"]), files["neg"], "-q")[0] == 0
