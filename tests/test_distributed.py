"""vellum.distributed on a local cluster of two worker processes, compared
bit for bit with the single-process path on the same input."""
import gzip
import logging
import os
import pickle
import random
import re
import signal
import sys
import time

import numpy as np
import pytest
from sklearn.exceptions import NotFittedError

pytest.importorskip("distributed")
import dask  # noqa: E402
from distributed import Client, futures_of  # noqa: E402

from seqgen import mixed_case, random_dna  # noqa: E402
import vellum  # noqa: E402
from vellum import DroppedRecordsWarning, GkmKernel, GkmSVC, GkmSVR, cli, read_fasta  # noqa: E402
from vellum import distributed as vd  # noqa: E402
from vellum.demo import demo_data  # noqa: E402
from vellum.fasta import index_fasta, read_slices  # noqa: E402

PARAMS = dict(L=6, k=4, d=2)


@pytest.fixture(scope="module")
def client():
    # Several tests fail tasks on purpose; the workers' own log of those
    # failures would only clutter the output.
    with vd.local_cluster(2, silence_logs=logging.CRITICAL) as cluster, Client(cluster) as client:
        yield client


@pytest.fixture(scope="module")
def models():
    X, y = demo_data(per_class=15)
    targets = np.linspace(-1, 1, len(X))
    return {
        "svc": GkmSVC(**PARAMS).fit(X, y),
        "svc-skip": GkmSVC(**PARAMS, invalid="skip").fit(X, y),
        "svr": GkmSVR(**PARAMS).fit(X, targets),
    }


def dna_list(seed, n, lengths=(40, 90)):
    rng = random.Random(seed)
    return [mixed_case(rng, random_dna(rng, rng.randint(*lengths))) for _ in range(n)]


def write_fasta(path, records, width=60, newline="\n", compress=False):
    """records as FASTA, sequence lines of width bases (None: one line)."""
    lines = []
    for record_id, seq in records:
        lines.append(f">{record_id} some description{newline}")
        step = width or max(len(seq), 1)
        lines.extend(seq[i : i + step] + newline for i in range(0, len(seq), step))
    data = "".join(lines).encode()
    path.write_bytes(gzip.compress(data) if compress else data)
    return str(path)


# ---- FASTA index and slices ------------------------------------------------------


@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gzip"])
def test_slices_read_the_bases_read_fasta_reads(tmp_path, compress):
    rng = random.Random(3)
    text = (
        ">a desc\r\nACGTac gt\r\nAC\tG\r\n\n>empty\n>b\n"
        + "\n".join(random_dna(rng, rng.randint(1, 70)) for _ in range(40))
        + "\n>c x\nNNacgTTT"
    )
    path = tmp_path / "odd.fa"
    path.write_bytes(gzip.compress(text.encode()) if compress else text.encode())
    ids, seqs = read_fasta(path, invalid="keep")
    index = index_fasta(path, checkpoint_bases=50)
    assert list(index.lengths) == [len(s) for s in seqs]
    assert list(index.holds_invalid) == [0, 0, 0, 1]
    assert index.checkpoints.keys() == {2}
    spans = [(r, 0, None) for r in range(len(seqs))]
    spans += [(2, start, start + size) for start in (0, 49, 50, 51, 777) for size in (0, 1, 60, 500)]
    slices = [index.slice(r, start, stop) for r, start, stop in spans]
    got = list(read_slices(path, slices))
    assert got == [(ids[r], seqs[r][start:stop]) for r, start, stop in spans]


@pytest.mark.parametrize("newline", ["\r", "\r\n", "\n\r"], ids=["cr", "crlf", "lfcr"])
def test_every_line_end_reads_as_read_fasta_reads_it(tmp_path, newline):
    text = newline.join([">a one", "ACGT", "ac", ">b", "", "GGN", "T"]) + newline
    path = tmp_path / "ends.fa"
    path.write_bytes(text.encode())
    ids, seqs = read_fasta(path, invalid="keep")
    index = index_fasta(path)
    assert (ids, seqs) == (["a", "b"], ["ACGTac", "GGNT"])
    assert list(read_slices(path, [index.slice(r) for r in range(len(index))])) == list(zip(ids, seqs))


@pytest.mark.parametrize("bad", ["N", "\u00e9"], ids=["ascii", "utf8"])
def test_a_bad_base_is_refused_with_read_fasta_s_words_before_any_task(models, tmp_path, bad):
    recs = records(21, [60, 80, 70])
    recs[1] = (recs[1][0], recs[1][1][:33] + bad + recs[1][1][34:])
    path = write_fasta(tmp_path / "bad.fa", recs, width=25)
    with pytest.raises(ValueError) as single:
        read_fasta(path)
    with pytest.raises(ValueError) as scaled:
        vd.predict(models["svc"], path)
    assert str(scaled.value) == str(single.value) == (
        f"{path}: record 'r1' holds {repr(bad) if bad.isascii() else 'byte 0xC3'} at position 33, not A/C/G/T "
        "(1 of 3 records do)"
    )


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "no FASTA records"),
        ("\n \n", "no FASTA records"),
        ("ACGT\n>a\nACGT\n", "not a FASTA file: text before the first '>' header"),
        ("\n>a\nACGT\n", "not a FASTA file: text before the first '>' header"),
    ],
)
def test_index_refuses_what_read_fasta_refuses(tmp_path, text, message):
    path = tmp_path / "bad.fa"
    path.write_text(text)
    for read in (read_fasta, index_fasta):
        with pytest.raises(ValueError, match=re.escape(f"{path}: {message}")):
            read(path)


# ---- Gram matrices --------------------------------------------------------------------


def with_gaps(seqs):
    return [s[:20] + "N" + s[21:] if i % 3 == 0 else s for i, s in enumerate(seqs)]


KERNELS = {
    "regular": (GkmKernel(**PARAMS, use_rc=True), lambda seqs: seqs),
    "skip": (GkmKernel(**PARAMS, invalid="skip"), with_gaps),
    "estimated": (GkmKernel(**PARAMS, weight_scheme=2, use_rc=False), lambda seqs: seqs),
    "positional": (GkmKernel(**PARAMS, positional=True), lambda seqs: [s[:40] for s in seqs]),
    # Short words: sums of positional weights whose order depends on the
    # index searched, so a stripe must search the index of the whole Gram.
    "positional-short": (
        GkmKernel(L=5, k=3, d=2, positional=True, weight_sigma=12.0),
        lambda seqs: [s[:30] for s in seqs],
    ),
}


@pytest.mark.parametrize("kind", KERNELS)
@pytest.mark.parametrize("n, block", [(23, 5), (20, 5), (12, 50), (7, 1)], ids=["ragged", "even", "one-block", "ones"])
def test_gram_is_bitwise_the_single_process_gram(client, kind, n, block):
    kernel, prepare = KERNELS[kind]
    seqs = prepare(dna_list(n, n))
    matrix = vd.gram(seqs, kernel, block=block)
    expected_chunks = tuple([block] * (n // block) + ([n % block] if n % block else []))
    assert matrix.chunks == (expected_chunks, expected_chunks)
    assert matrix.compute().tobytes() == kernel(seqs).tobytes()


@pytest.mark.parametrize("kind", ["regular", "skip", "positional"])
def test_cross_matrix_is_bitwise_the_single_process_one(client, kind):
    kernel, prepare = KERNELS[kind]
    X, Y = prepare(dna_list(1, 17)), prepare(dna_list(2, 9))
    assert vd.gram(X, kernel, Y=Y, block=4).compute().tobytes() == kernel(X, Y).tobytes()


def test_shared_references_are_made_once_a_thread_and_never_pickled():
    shared = vd._SharedReferences(GkmKernel(**PARAMS), dna_list(3, 4))
    with shared.borrowed() as first:
        # Another task while the first holds its set: a second set.
        with shared.borrowed() as second:
            assert second is not first
    with shared.borrowed() as again:
        assert again in (first, second)
    restored = pickle.loads(pickle.dumps(shared))
    assert restored._idle == [] and restored.texts == shared.texts
    assert dask.base.tokenize(restored) == dask.base.tokenize(vd._SharedReferences(GkmKernel(**PARAMS), dna_list(3, 4)))


def test_gram_stores_to_zarr_and_npy_stack(client, tmp_path):
    pytest.importorskip("zarr")
    import dask.array as da

    seqs = dna_list(5, 30)
    expected = GkmKernel(**PARAMS)(seqs)
    matrix = vd.gram(seqs, GkmKernel(**PARAMS), block=8)
    matrix.to_zarr(str(tmp_path / "K.zarr"))
    da.to_npy_stack(str(tmp_path / "K.npy"), matrix)
    assert da.from_zarr(str(tmp_path / "K.zarr")).compute().tobytes() == expected.tobytes()
    assert da.from_npy_stack(str(tmp_path / "K.npy")).compute().tobytes() == expected.tobytes()


def test_default_kernel_is_the_default_gkm_kernel(client):
    seqs = dna_list(6, 5, lengths=(60, 80))
    assert vd.gram(seqs).compute().tobytes() == GkmKernel()(seqs).tobytes()


@pytest.mark.parametrize(
    "seqs, kwargs, error, message",
    [
        (["ACGTACGTAC"], dict(block=0), ValueError, "block must be at least 1; got 0"),
        (["ACGTACGTAC"], dict(block=2.0), TypeError, "block must be an int, not float"),
        (["ACGTACGTAC", "ACGTNCGTAC"], {}, ValueError, "seqs[1] holds 'N' at position 4"),
        (["ACGTACGTAC", "ACG"], {}, ValueError, "seqs[1] has 3 bases"),
        (["ACGTACGTAC"], dict(Y=["ACGTAACGTAC", "AC"]), ValueError, "Y[1] has 2 bases"),
        ([], {}, ValueError, "seqs is empty"),
    ],
)
def test_gram_refuses_bad_input_before_computing(seqs, kwargs, error, message):
    with pytest.raises(error, match=re.escape(message)):
        vd.gram(seqs, GkmKernel(**PARAMS), **kwargs)


def test_positional_gram_needs_one_length():
    message = "Y[1] has 11 bases; the positional kernel compares sequences of one length, 10 bases"
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        vd.gram(["ACGTACGTAC"], GkmKernel(**PARAMS, positional=True), Y=["ACGTACGTAC", "ACGTACGTACG"])


# ---- predict and scan of FASTA files ---------------------------------------------------


def records(seed, lengths):
    rng = random.Random(seed)
    return [(f"r{i}", mixed_case(rng, random_dna(rng, n))) for i, n in enumerate(lengths)]


@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize("name", ["svc", "svr"])
@pytest.mark.parametrize("partition_bases", [150, 10**6], ids=["many-parts", "one-part"])
def test_predict_is_bitwise_decision_values(client, models, tmp_path, compress, name, partition_bases):
    model = models[name]
    path = write_fasta(tmp_path / "q.fa", records(7, [30, 100, 61, 200, 6, 90] * 3), width=50, compress=compress)
    ids, seqs = read_fasta(path)
    frame = vd.predict(model, path, partition_bases=partition_bases)
    assert list(frame.columns) == ["id", "score"]
    result = frame.compute()
    assert list(result["id"]) == ids
    assert result["score"].to_numpy().tobytes() == model.decision_values(seqs).tobytes()


def expected_scan(model, path, window, shift, invalid="keep"):
    ids, seqs = read_fasta(path, invalid=invalid)
    tracks = model.scan(seqs, window, shift)
    rows = [(i, w * shift, w * shift + window) for i, t in zip(ids, tracks) for w in range(len(t))]
    return rows, np.concatenate(tracks)


@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize(
    "window, shift, partition_bases",
    [(100, 37, 400), (60, 1, 300), (50, 80, 333), (100, 100, 100), (100, 7, 10**6), (2047, 500, 4000)],
)
def test_scan_is_bitwise_model_scan_across_partition_boundaries(
    client, models, tmp_path, compress, window, shift, partition_bases
):
    model = models["svc"]
    path = write_fasta(tmp_path / "s.fa", records(8, [2500, 30, 999, 6000, 150]), width=70, compress=compress)
    frame = vd.scan(model, path, window, shift, partition_bases=partition_bases)
    assert list(frame.columns) == ["id", "start", "end", "score"]
    result = frame.compute()
    rows, scores = expected_scan(model, path, window, shift)
    assert list(zip(result["id"], result["start"], result["end"])) == rows
    assert result["score"].to_numpy().tobytes() == scores.tobytes()


def test_skip_model_scores_gapped_records_as_one_process_does(client, models, tmp_path):
    model = models["svc-skip"]
    gapped = [(i, s[:100] + "NNNNN" + s[105:300] + "n" + s[301:]) for i, s in records(9, [1200, 400, 700])]
    path = write_fasta(tmp_path / "g.fa", gapped, width=None)
    result = vd.scan(model, path, 80, 30, partition_bases=250).compute()
    rows, scores = expected_scan(model, path, 80, 30)
    assert list(zip(result["id"], result["start"], result["end"])) == rows
    assert result["score"].to_numpy().tobytes() == scores.tobytes()
    _, seqs = read_fasta(path, invalid="keep")
    short = write_fasta(tmp_path / "short.fa", [(f"x{i}", s[:500]) for i, s in enumerate(seqs)])
    predicted = vd.predict(model, short, partition_bases=600).compute()
    assert predicted["score"].to_numpy().tobytes() == model.decision_values([s[:500] for s in seqs]).tobytes()


def test_drop_leaves_out_records_with_other_characters_as_read_fasta_does(client, models, tmp_path):
    model = models["svc"]
    recs = records(10, [900, 300, 800, 200])
    recs[0] = ("r0", recs[0][1][:850] + "R" + recs[0][1][851:])
    recs[3] = ("r3", "N" + recs[3][1][1:])
    path = write_fasta(tmp_path / "d.fa", recs)
    with pytest.warns(DroppedRecordsWarning, match=re.escape(f"{path}: dropped 2 of 4 records")):
        frame = vd.scan(model, path, 100, 50, invalid="drop", partition_bases=300)
    with pytest.warns(DroppedRecordsWarning):
        rows, scores = expected_scan(model, path, 100, 50, invalid="drop")
    result = frame.compute()
    assert list(zip(result["id"], result["start"], result["end"])) == rows
    assert result["score"].to_numpy().tobytes() == scores.tobytes()


def test_drop_of_every_record_is_refused(models, tmp_path):
    path = write_fasta(tmp_path / "n.fa", [("a", "ACGTNACGTACGT")])
    with pytest.warns(DroppedRecordsWarning), pytest.raises(ValueError, match="none is left"):
        vd.predict(models["svc"], path, invalid="drop")


@pytest.mark.parametrize(
    "operation, lengths, bad, invalid, message",
    [
        ("scan", [500, 5000, 300], (1, 4321, "n"), None, "record 'r1' holds 'n' at position 4321, not A/C/G/T"),
        # Records read as they are, for a model that refuses them: the
        # position is the record's, not the task's slice's.
        ("scan", [500, 5000, 300], (1, 4321, "n"), "keep", "record 'r1' holds 'n' at position 4321, not A/C/G/T"),
        ("predict", [500, 90, 300], (2, 0, "X"), None, "record 'r2' holds 'X' at position 0, not A/C/G/T"),
        ("predict", [500, 3000], None, None, "record 'r1' has 3000 bases; one encoded sequence holds at most 2047"),
    ],
)
def test_a_bad_record_fails_the_computation_naming_it_and_its_file(
    client, models, tmp_path, operation, lengths, bad, invalid, message
):
    recs = records(11, lengths)
    if bad:
        index, position, char = bad
        seq = recs[index][1]
        recs[index] = (recs[index][0], seq[:position] + char + seq[position + 1 :])
    path = write_fasta(tmp_path / "bad.fa", recs)
    args = (100, 30) if operation == "scan" else ()
    with pytest.raises(ValueError, match="^" + re.escape(f"{path}: {message}")):
        getattr(vd, operation)(models["svc"], path, *args, invalid=invalid, partition_bases=700).compute()


@pytest.mark.parametrize("operation", ["predict", "scan"])
def test_the_frame_s_index_numbers_rows_across_partitions(client, models, tmp_path, operation):
    path = write_fasta(tmp_path / "many.fa", records(13, [300, 50, 900, 120, 2000, 80]))
    args = (100, 30) if operation == "scan" else ()
    frame = getattr(vd, operation)(models["svc"], path, *args, partition_bases=400)
    assert frame.npartitions > 2
    result = frame.compute()
    assert list(result.index) == list(range(len(result))) and len(result) > frame.npartitions


def test_scan_of_records_shorter_than_a_word_gives_no_windows_for_them(client, models, tmp_path):
    path = write_fasta(tmp_path / "short.fa", records(12, [500, 5, 0, 300]))
    rows, scores = expected_scan(models["svc"], path, 100, 30)
    result = vd.scan(models["svc"], path, 100, 30, partition_bases=700).compute()
    assert list(zip(result["id"], result["start"], result["end"])) == rows
    assert {row[0] for row in rows} == {"r0", "r3"}
    assert result["score"].to_numpy().tobytes() == scores.tobytes()


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda m, p: vd.predict(m, p), ValueError, "no FASTA records"),
        (lambda m, p: vd.scan(m, p, 5, 1), ValueError, "window must be between the word length L=6"),
        (lambda m, p: vd.scan(m, p, 100, 10, partition_bases=99), ValueError, "partition_bases must be at least"),
        (lambda m, p: vd.predict(m, p, invalid="skip"), ValueError, "invalid must be one of"),
        (lambda m, p: vd.predict(GkmSVC(), p), NotFittedError, "not fitted"),
    ],
)
def test_bad_arguments_are_refused_when_the_frame_is_made(models, tmp_path, call, error, message):
    path = tmp_path / "empty.fa"
    path.write_text("")
    with pytest.raises(error, match=message):
        call(models["svc"], str(path))


def test_the_model_is_one_node_of_the_graph_shared_by_every_task(models, tmp_path):
    model = models["svc"]
    path = write_fasta(tmp_path / "m.fa", records(12, [300] * 10))
    frame = vd.scan(model, path, 100, 50, partition_bases=600)
    assert frame.npartitions == 5
    graph = dict(frame.__dask_graph__())
    model_keys = [key for key, node in graph.items() if isinstance(getattr(node, "value", None), GkmSVC)]
    assert len(model_keys) == 1
    users = [key for key, node in graph.items() if model_keys[0] in node.dependencies]
    assert len(users) == frame.npartitions


# ---- worker start method and faults -----------------------------------------------------


def test_forked_workers_are_replaced_by_spawned_ones():
    with dask.config.set({vd.START_METHOD_KEY: "fork"}):
        with pytest.warns(RuntimeWarning, match="leaves workers one OpenMP thread after a fork"):
            vd.use_safe_start_method()
        assert dask.config.get(vd.START_METHOD_KEY) == "spawn"
    with dask.config.set({vd.START_METHOD_KEY: "forkserver"}):
        vd.use_safe_start_method()
        assert dask.config.get(vd.START_METHOD_KEY) == "forkserver"


def test_local_workers_start_with_vellum_loaded_and_dask_monitors_quiet():
    # Builtins as the functions: a function of this module would import it,
    # and vellum with it, on the worker.
    loaded = "sorted(m for m in __import__('sys').modules if m in ('vellum.distributed', 'vellum.kernels'))"
    keys = ["distributed.worker.profile.enabled", "distributed.admin.tick.interval"]
    with dask.config.set({"distributed.admin.tick.interval": "50ms"}):
        with vd.local_cluster(1, silence_logs=logging.CRITICAL) as cluster, Client(cluster) as client:
            modules = client.run(eval, loaded)
            settings = client.run(eval, f"[__import__('dask').config.get(k) for k in {keys}]")
    assert list(modules.values()) == [["vellum.distributed", "vellum.kernels"]]
    # One quieted, one kept as the caller set it.
    assert list(settings.values()) == [[False, "50ms"]]
    assert dask.config.get("distributed.worker.profile.enabled") is True


def most_held_at_once(transitions):
    """The most keys in memory at once, from (key, start, finish) transitions."""
    held, most = set(), 0
    for key, start, finish in transitions:
        if finish == "memory":
            held.add(key)
        elif start == "memory":
            held.discard(key)
        most = max(most, len(held))
    return most


def test_a_worker_holds_one_stripe_at_a_time_and_never_receives_one(tmp_path):
    pytest.importorskip("zarr")
    seqs = dna_list(21, 18)
    # Nine stripes in five tasks: more tasks than twice the threads, which
    # Dask queues and hands out one per free thread.
    matrix = vd.gram(seqs, GkmKernel(**PARAMS), block=2)
    with dask.config.set({"distributed.admin.low-level-log-length": 100_000}):
        with vd.local_cluster(2, silence_logs=logging.CRITICAL) as cluster, Client(cluster) as client:
            assert "stealing" not in cluster.scheduler.extensions
            matrix.to_zarr(str(tmp_path / "K.zarr"))
            # A worker logs a transition as (key, start, finish asked, finish, ...).
            logs = client.run(
                lambda dask_worker: [
                    (entry[0], entry[1], entry[3])
                    for entry in dask_worker.state.log
                    if len(entry) == 7 and str(entry[0]).startswith("_kernel_stripes")
                ]
            )
    assert sum(finish == "executing" for log in logs.values() for _, _, finish in log) == 5
    assert [most_held_at_once(log) for log in logs.values()] == [1, 1]
    assert not any(finish == "flight" for log in logs.values() for _, _, finish in log)


def test_a_worker_killed_during_a_gram_changes_nothing(client):
    kernel = GkmKernel(L=10, k=6, d=3)
    seqs = dna_list(13, 600, lengths=(150, 200))
    expected = kernel(seqs)
    before = set(client.scheduler_info()["workers"])
    matrix = client.persist(vd.gram(seqs, kernel, block=60))
    futures = futures_of(matrix)
    while not any(future.done() for future in futures):
        time.sleep(0.05)
    victim = sorted(before)[0]
    os.kill(client.run(os.getpid, workers=[victim])[victim], signal.SIGKILL)
    assert matrix.compute().tobytes() == expected.tobytes()
    client.wait_for_workers(2, timeout=120)
    assert victim not in client.scheduler_info()["workers"]


# ---- command line --------------------------------------------------------------------------


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


@pytest.fixture(scope="module")
def cli_files(tmp_path_factory, models):
    import joblib

    tmp = tmp_path_factory.mktemp("cli")
    joblib.dump(models["svc"], tmp / "model.joblib")
    write_fasta(tmp / "short.fa", records(14, [40, 90, 120, 70] * 4))
    write_fasta(tmp / "long.fa", records(15, [3000, 50, 700]))
    return tmp


@pytest.mark.parametrize(
    "argv",
    [
        ["predict", "{model}", "{short}"],
        ["scan", "{model}", "{long}", "--window", "100", "--shift", "30"],
        ["gram", "{short}", *("-L", "6", "-k", "4", "-d", "2"), "-o", "{out}"],
        ["gram", "{short}", "{long_short}", *("-L", "6", "-k", "4", "-d", "2"), "-o", "{out}"],
    ],
    ids=["predict", "scan", "gram", "gram-cross"],
)
def test_cli_on_a_cluster_writes_the_bytes_of_the_plain_cli(client, cli_files, capsys, argv):
    write_fasta(cli_files / "long_short.fa", records(16, [50, 80, 60]))
    names = dict(
        model=cli_files / "model.joblib",
        short=cli_files / "short.fa",
        long=cli_files / "long.fa",
        long_short=cli_files / "long_short.fa",
    )
    outputs = []
    for extra in ([], ["--scheduler", client.scheduler.address]):
        out = cli_files / f"out{len(outputs)}.npy"
        status, stdout, err = run(capsys, *[a.format(out=out, **names) for a in argv], "-q", *extra)
        assert status == 0, err
        outputs.append(out.read_bytes() if argv[0] == "gram" else stdout)
    assert outputs[0] == outputs[1] and outputs[0]


def test_cli_local_workers_and_a_failure_leaving_no_file(cli_files, capsys):
    out = cli_files / "scores.txt"
    status, _, err = run(capsys, "predict", cli_files / "model.joblib", cli_files / "long.fa", "-o", out, "--workers", 1)
    assert status == 1
    assert err.strip().splitlines()[-1] == (
        f"vellum predict: error: {cli_files / 'long.fa'}: record 'r0' has 3000 bases; one encoded sequence "
        "holds at most 2047, and longer sequences are never cut (use scan for long sequences)"
    )
    assert not out.exists() and not list(cli_files.glob(".scores.txt*"))


def test_cli_cluster_options_without_dask_or_with_a_plot(cli_files, capsys, monkeypatch):
    argv = ["scan", cli_files / "model.joblib", cli_files / "long.fa", "--window", "100", "--shift", "30"]
    status, _, err = run(capsys, *argv, "--workers", 2, "--plot", cli_files / "t.png")
    assert (status, err) == (
        1,
        "vellum scan: error: --plot draws the tracks in one process; leave out --scheduler and --workers\n",
    )
    monkeypatch.setitem(sys.modules, "dask", None)
    monkeypatch.delitem(sys.modules, "vellum.distributed")
    monkeypatch.delattr(vellum, "distributed")
    status, _, err = run(capsys, *argv, "--workers", 2)
    assert (status, err) == (
        1,
        "vellum scan: error: --scheduler and --workers need Dask: pip install vellum[distributed]\n",
    )
