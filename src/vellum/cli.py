"""The ``vellum`` command: train, predict, scan, mutagenesis, explain, lmers, gram, demo.

Data goes to stdout or to ``-o``; progress bars and messages go to stderr.
Errors end the command with status 1 and one line naming what was wrong;
Ctrl-C ends it with status 130, SIGTERM (a batch scheduler ending the job)
with 143, and a closed pipe on stdout (``| head``) quietly with 141, each
leaving no partial output file. ``gram``, ``predict`` and ``scan`` run on
a Dask cluster with ``--scheduler ADDRESS`` or ``--workers N`` (see
:mod:`vellum.distributed`).

A subcommand declares each file it writes with ``type=OutputPath`` (see
:func:`add_output_option`); every such path is checked before any work
starts. Plotting, scikit-learn and Dask load only inside the subcommand
that uses them, so that the command starts at once.
"""
from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
import warnings
from contextlib import contextmanager
from typing import TYPE_CHECKING, Callable, Iterator, Sequence

if TYPE_CHECKING:
    import numpy as np

    from .estimators import GkmSVC, _GkmSVMBase
    from .kernels import GkmKernel
    from .model_selection import CrossValidatedROC
    from .parameters import Parameter
    from .sequences import RecordNames

# Exit statuses of a command ended by a signal: 128 + the signal's number,
# as a shell reports a process the signal killed.
EXIT_INTERRUPTED = 128 + signal.SIGINT
EXIT_TERMINATED = 128 + signal.SIGTERM
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE


class CommandError(Exception):
    """A problem with the command line itself, reported like any other error."""


class Terminated(BaseException):
    """SIGTERM, raised in the main thread like KeyboardInterrupt for Ctrl-C,
    so that the same clean-up removes unfinished output files."""


class OutputPath(str):
    """The type of an option naming a file the command writes: main checks
    every such path before the command starts its work."""


def say(message: str) -> None:
    """A message for the person at the terminal (stderr)."""
    print(message, file=sys.stderr)


def number(value: float) -> str:
    """Shortest text that reads back as the same float."""
    return repr(float(value))


@contextmanager
def warnings_as_messages() -> Iterator[None]:
    """Show warnings as one plain line each on stderr."""
    with warnings.catch_warnings():
        warnings.simplefilter("default")
        original = warnings.showwarning
        warnings.showwarning = lambda message, *args, **kwargs: say(f"vellum: warning: {message}")
        try:
            yield
        finally:
            warnings.showwarning = original


# ---- shared options ----------------------------------------------------------


class Switch(argparse.BooleanOptionalAction):
    """--name and --no-name, with the help as given (before Python 3.11 the
    base class appended the default to it, which the help already says)."""

    def __init__(self, *args, help: str | None = None, **kwargs):
        super().__init__(*args, **kwargs)
        self.help = help


# Spellings the kernel options had before they took the parameters' names:
# still read, no longer shown.
OLD_SPELLINGS = (
    ("--sigma", dict(dest="weight_sigma", type=float)),
    ("--gamma", dict(dest="weight_gamma", type=float)),
    ("--no-rc", dict(dest="use_rc", action="store_false")),
)


def add_kernel_options(parser: argparse.ArgumentParser) -> None:
    """An option for each kernel parameter that the command takes, named as
    the parameter (-L, --weight-sigma, --use-rc/--no-use-rc), with its
    default; threads and progress bars are run options (-j, -q)."""
    from .parameters import KERNEL_PARAMETERS

    group = parser.add_argument_group("kernel")
    for parameter in KERNEL_PARAMETERS:
        if parameter.option is not None:
            group.add_argument(option_name(parameter.name), dest=parameter.name, **option_spec(parameter))
    for spelling, spec in OLD_SPELLINGS:
        group.add_argument(spelling, **spec, default=argparse.SUPPRESS, help=argparse.SUPPRESS)


def option_name(name: str) -> str:
    """The option of a parameter: -L for one letter, --weight-sigma for weight_sigma."""
    return f"-{name}" if len(name) == 1 else "--" + name.replace("_", "-")


def option_spec(parameter: Parameter) -> dict:
    """add_argument's keywords for a parameter: how the option reads, its
    default (in the option's words) and its help."""
    if isinstance(parameter.default, bool):
        default = option_name(parameter.name) if parameter.default else option_name(f"no_{parameter.name}")
        return dict(action=Switch, default=parameter.default, help=f"{parameter.option} (default {default})")
    if parameter.words:
        [default] = [word for word, value in parameter.words.items() if value == parameter.default]
        return dict(choices=list(parameter.words), default=default, help=f"{parameter.option} (default {default})")
    spec = dict(choices=parameter.choices) if parameter.choices else dict(type=type(parameter.default))
    return dict(spec, default=parameter.default, help=f"{parameter.option} (default {parameter.default})")


def add_run_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-j", "--n-jobs", type=int, default=1, help="threads (-1: every core; default 1)")
    parser.add_argument(
        "-q", "--quiet", action="store_true", help="no progress bars (otherwise drawn when stderr is a terminal)"
    )


def progress_setting(args: argparse.Namespace) -> bool | str:
    """The progress parameter of the command's kernels and models: bars on a
    terminal only, never forced, so that a model saved by train draws none
    when loaded in a notebook or a logged job."""
    return False if args.quiet else "auto"


def add_output_option(parser: argparse.ArgumentParser, what: str) -> None:
    """-o PATH, data written there instead of stdout. Any other option naming
    a file to write takes ``type=OutputPath`` too (as --plot does)."""
    parser.add_argument("-o", "--output", type=OutputPath, metavar="PATH", help=f"write {what} here (default stdout)")


def add_model_command(
    commands, name: str, help: str, run: Callable, records: str | None = None, description: str | None = None
) -> argparse.ArgumentParser:
    """A subcommand on a model file (and, given records' help, a FASTA file),
    with the threads and progress options."""
    parser = commands.add_parser(name, help=help, description=description)
    parser.add_argument("model", metavar="MODEL", help="model file from vellum train")
    if records is not None:
        parser.add_argument("fasta", metavar="FASTA", help=records)
    add_run_options(parser)
    parser.set_defaults(run=run)
    return parser


def add_cluster_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("Dask cluster (pip install vellum[distributed])")
    where = group.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="run on the cluster of this scheduler (tcp://host:8786)")
    where.add_argument("--workers", type=positive_int, metavar="N", help="run on a local cluster of N worker processes")


def kernel_params(args: argparse.Namespace) -> dict:
    """The kernel parameters of the command's options, threads and progress bars."""
    from .parameters import KERNEL_PARAMETERS

    params = {
        parameter.name: parameter.from_option(getattr(args, parameter.name))
        for parameter in KERNEL_PARAMETERS
        if parameter.option is not None
    }
    return dict(params, n_jobs=args.n_jobs, progress=progress_setting(args))


def load_model(args: argparse.Namespace) -> _GkmSVMBase:
    """The model file args.model (from ``vellum train``, or joblib.dump of a
    fitted GkmSVC/GkmSVR), set to the command's threads and progress bars."""
    import joblib

    from .estimators import GkmSVC, GkmSVR

    path = args.model
    try:
        model = joblib.load(path)
    except OSError:
        raise
    except Exception as err:
        raise ValueError(f"{path}: not a vellum model file ({type(err).__name__}: {err})") from None
    if not isinstance(model, (GkmSVC, GkmSVR)) or not hasattr(model, "dual_coef_"):
        raise ValueError(f"{path}: not a fitted vellum model (found {type(model).__name__})")
    return model.set_params(progress=progress_setting(args), n_jobs=args.n_jobs)


def read_for_kernel(path: str, invalid: str) -> tuple[RecordNames, list[str]]:
    """Records of path as a kernel with this invalid mode takes them: kept
    when it skips non-ACGT bases, else refused naming the record; with
    their ids, as messages name them (by file and id)."""
    from .fasta import read_fasta
    from .sequences import RecordNames

    ids, seqs = read_fasta(path, invalid="keep" if invalid == "skip" else "error")
    return RecordNames.of_file(path, ids), seqs


def model_and_records(args: argparse.Namespace) -> tuple[_GkmSVMBase, RecordNames, list[str]]:
    """The command's model and the records of its FASTA argument."""
    model = load_model(args)
    names, seqs = read_for_kernel(args.fasta, model.kernel_.invalid)
    return model, names, seqs


# What a record's label may be in a labelled FASTA file or a label table:
# bound (1) or unbound (0).
LABELS = {"1": 1, "+1": 1, "0": 0, "-1": 0}
LABELS_HELP = "1 or +1 (bound), 0 or -1 (unbound)"


def training_records(args: argparse.Namespace) -> tuple[RecordNames, list[str], np.ndarray]:
    """The training records and their labels (1 bound, 0 unbound): the
    records of POS.fa and NEG.fa, or those of one FASTA file labelled by
    their ids (headers such as >1 and >0) or by an id<TAB>label table."""
    import numpy as np

    if args.negatives is not None:
        if args.labels is not None:
            raise CommandError(
                "--labels labels the records of one FASTA file; give FASTA --labels TSV, or POS.fa NEG.fa"
            )
        pos_names, pos = read_for_kernel(args.fasta, args.invalid)
        neg_names, neg = read_for_kernel(args.negatives, args.invalid)
        return pos_names + neg_names, pos + neg, np.array([1] * len(pos) + [0] * len(neg))
    names, seqs = read_for_kernel(args.fasta, args.invalid)
    if args.labels is None:
        return names, seqs, np.array([header_label(names, i) for i in range(len(seqs))])
    table = read_label_table(args.labels)
    return names, seqs, np.array([table_label(names, i, table, args.labels) for i in range(len(seqs))])


def header_label(names: RecordNames, index: int) -> int:
    """The label that a record of a labelled FASTA file carries as its id."""
    label = LABELS.get(names.ids[index])
    if label is None:
        raise ValueError(
            f"{names(index)} has no label: the ids of a labelled FASTA file are labels, {LABELS_HELP}; "
            "give the negatives as NEG.fa, or the labels with --labels TSV"
        )
    return label


def table_label(names: RecordNames, index: int, table: dict[str, int], path: str) -> int:
    """The label of a record in a label table read from path."""
    label = table.get(names.ids[index])
    if label is None:
        raise ValueError(f"{names(index)} has no label in {path}")
    return label


def read_label_table(path: str) -> dict[str, int]:
    """A label table: lines ``id<TAB>label`` (a first line ``id<TAB>label``
    is a header), labels as LABELS_HELP says; an error names the line."""
    table: dict[str, int] = {}
    with open(path, encoding="utf-8") as handle:
        for line_number, line in enumerate(handle, 1):
            fields = line.split()
            if not fields or (line_number == 1 and fields[1:] == ["label"]):
                continue
            if len(fields) != 2 or fields[1] not in LABELS:
                raise ValueError(f"{path}, line {line_number}: expected a record id and a label, {LABELS_HELP}")
            record_id, label = fields[0], LABELS[fields[1]]
            if table.setdefault(record_id, label) != label:
                raise ValueError(f"{path}, line {line_number}: record {record_id!r} has two labels")
    return table


def predict_line(seq_id: str, score: float) -> str:
    return f"{seq_id}\t{number(score)}\n"


def scan_line(seq_id: str, start: int, end: int, score: float) -> str:
    return f"{seq_id}\t{start}\t{end}\t{number(score)}\n"


# ---- on a Dask cluster ---------------------------------------------------------


# What the progress bar of a command on a cluster counts.
PART_UNITS = {"gram": "row", "predict": "part", "scan": "part"}


def uses_cluster(args: argparse.Namespace) -> bool:
    return args.scheduler is not None or args.workers is not None


def write_on_cluster(args: argparse.Namespace, make: Callable, write: Callable, mode: str = "w") -> None:
    """Compute make(vellum.distributed) on the command's cluster: a list of
    (collection, size) parts, passed in order to write(out, result) as soon
    as they and every part before them are done. The progress bar counts
    sizes as parts finish on the workers."""
    from ._progress import progress_bar
    from .outputs import output_stream

    try:
        from . import distributed
    except ImportError:
        raise CommandError("--scheduler and --workers need Dask: pip install vellum[distributed]") from None
    with distributed.connect(args.scheduler, args.workers) as client:
        parts = make(distributed)
        sizes = [size for _, size in parts]
        with output_stream(args.output, mode) as out:
            with progress_bar(progress_setting(args), sum(sizes), args.command, unit=PART_UNITS[args.command]) as bar:
                for result in distributed.results_in_order(client, [part for part, _ in parts], sizes, bar):
                    write(out, result)


def frame_parts(frame) -> list:
    """A dask frame's partitions in order, one unit of progress each."""
    return [(part, 1) for part in frame.to_delayed()]


# ---- subcommands -------------------------------------------------------------


def run_train(args: argparse.Namespace) -> None:
    import joblib
    import numpy as np

    from .estimators import GkmSVC
    from .outputs import atomic_write

    if args.plot and not args.cv:
        raise CommandError("--plot draws the cross-validated ROC curve; give --cv N too")
    names, X, y = training_records(args)
    model = GkmSVC(
        **kernel_params(args),
        C=args.C,
        class_weight=args.class_weight,
        probability=args.probability,
        solver=args.solver,
    )
    kernel = model.make_kernel()
    X = kernel.check(X, ids=names)
    # The table solver never makes the Gram; the model is written first, so
    # that a later failure of the evaluation or its plot does not lose it.
    gram = None
    if model._chosen_solver(kernel, X, y) == "gram":
        gram = kernel(X, ids=names)
        model.fit_from_gram(X, y, gram)
    else:
        model.fit(X, y)
    with atomic_write(args.output, "wb") as handle:
        joblib.dump(model, handle)
    say(f"vellum: model written to {args.output} ({len(model.support_)} support sequences of {len(X)})")
    if args.cv:
        report_cross_validation(model, X, y, gram, args)


def report_cross_validation(model: GkmSVC, X: list[str], y: np.ndarray, gram: np.ndarray | None, args) -> None:
    from .model_selection import cross_validate_roc

    cv = cross_validate_roc(model, X, y, n_splits=args.cv, random_state=args.seed, gram=gram)
    print(f"{args.cv}-fold cross-validated ROC AUC: {cv.auc:.4f} ± {cv.auc_std:.4f}")
    if args.plot:
        draw_roc(cv, args.plot, f"{args.cv}-fold cross-validation")


def draw_roc(cv: CrossValidatedROC, path: str, title: str) -> None:
    from . import plots

    plots.plot_roc(cv.labels, cv.scores, path, title=title, fold_aucs=cv.fold_aucs)
    say(f"vellum: ROC curve written to {path}")


def run_predict(args: argparse.Namespace) -> None:
    if uses_cluster(args):
        if args.proba:
            raise CommandError("--proba runs in one process; leave out --scheduler and --workers")
        model = load_model(args)
        write_on_cluster(
            args,
            lambda distributed: frame_parts(distributed.predict(model, args.fasta)),
            lambda out, part: out.writelines(map(predict_line, part["id"], part["score"])),
        )
        return
    from .outputs import output_stream

    model, names, seqs = model_and_records(args)
    scores = probabilities(model, args.model, names, seqs) if args.proba else model.decision_values(seqs, ids=names)
    with output_stream(args.output) as out:
        out.writelines(map(predict_line, names.ids, scores))


def probabilities(model: _GkmSVMBase, path: str, names: RecordNames, seqs: list[str]) -> np.ndarray:
    """Each sequence's probability of classes_[1] (bound, for a model of
    vellum train), from a classifier trained with probability=True."""
    from .estimators import GkmSVC

    if not isinstance(model, GkmSVC):
        raise CommandError(f"--proba needs a classifier; {path} is a {type(model).__name__} regressor")
    if not model.probability:
        raise CommandError(
            f"--proba needs a model trained with probability=True (vellum train --probability); {path} was not"
        )
    model._check_scalar()
    return model.predict_proba(model.kernel_.check(seqs, ids=names))[:, 1]


SCAN_OUTPUT = (
    "Score every window of every record. Output: bedGraph-like lines record<TAB>start<TAB>end<TAB>value, "
    "one per window, start 0-based and end excluded (start = w * shift, end = start + window), value the "
    "window's decision value. Windows overlap when shift < window (a strict bedGraph has no overlapping "
    "intervals), and a record shorter than the window has none."
)


def run_scan(args: argparse.Namespace) -> None:
    """vellum scan: SCAN_OUTPUT says what it writes."""
    if uses_cluster(args):
        if args.plot:
            raise CommandError("--plot draws the tracks in one process; leave out --scheduler and --workers")
        model = load_model(args)
        write_on_cluster(
            args,
            lambda distributed: frame_parts(distributed.scan(model, args.fasta, args.window, args.shift)),
            lambda out, part: out.writelines(map(scan_line, part["id"], part["start"], part["end"], part["score"])),
        )
        return
    from . import plots
    from .outputs import output_stream

    model, names, seqs = model_and_records(args)
    tracks = model.scan(seqs, args.window, args.shift, ids=names)
    ids = names.ids
    with output_stream(args.output) as out:
        for seq_id, track in zip(ids, tracks):
            out.writelines(
                scan_line(seq_id, w * args.shift, w * args.shift + args.window, score) for w, score in enumerate(track)
            )
    if args.plot:
        plots.plot_scan(ids, tracks, args.window, args.shift, args.plot, score_label=plots.score_axis_label(model))
        say(f"vellum: score track written to {args.plot}")


def run_mutagenesis(args: argparse.Namespace) -> None:
    from . import plots
    from ._progress import progress_bar
    from .outputs import output_stream
    from .sequences import BASES

    model, names, seqs = model_and_records(args)
    model.kernel_.check(seqs, ids=names)
    ids = names.ids
    # One bar over the records instead of one per record's mutants.
    model.set_params(progress=False)
    with progress_bar(progress_setting(args), len(seqs), "mutagenesis", unit="record") as bar:
        effects = []
        for seq in seqs:
            effects.append(model.mutagenesis(seq))
            bar.update()
    with output_stream(args.output) as out:
        out.write("id\tposition\tref\t" + "\t".join(BASES) + "\n")
        for seq_id, seq, effect in zip(ids, seqs, effects):
            out.writelines(
                f"{seq_id}\t{i}\t{seq[i]}\t" + "\t".join(number(v) for v in effect[:, i]) + "\n"
                for i in range(len(seq))
            )
    if args.plot:
        plots.plot_mutagenesis(ids, seqs, effects, args.plot)
        say(f"vellum: heatmap written to {args.plot}")


def run_gram(args: argparse.Namespace) -> None:
    if args.output in (None, "-") and sys.stdout.isatty():
        raise CommandError("refusing to write a binary .npy matrix to a terminal; give -o K.npy")
    from .kernels import GkmKernel, check_one_length
    from .outputs import output_stream, write_npy

    kernel = GkmKernel(**kernel_params(args))
    names, X = read_for_kernel(args.fasta, args.invalid)
    X = kernel.check(X, ids=names)
    Y = None
    if args.fasta2 is not None:
        names2, Y = read_for_kernel(args.fasta2, args.invalid)
        Y = kernel.check(Y, "Y", ids=names2)
    if kernel.positional:
        # Checked here, where the records' files are known, for either path.
        check_one_length(X, names)
        if Y is not None:
            check_one_length(Y, names2, len(X[0]))
    if uses_cluster(args):
        shape = write_gram_on_cluster(args, kernel, X, Y)
    else:
        matrix = kernel(X, ids=names) if Y is None else kernel.references(Y, ids=names2)(X, ids=names)
        with output_stream(args.output, "wb") as out:
            write_npy(out, matrix)
        shape = matrix.shape
    say(f"vellum: {shape[0]} x {shape[1]} kernel matrix written to {args.output or 'stdout'}")


def write_gram_on_cluster(args: argparse.Namespace, kernel: GkmKernel, X: list[str], Y: list[str] | None):
    """The .npy file of the matrix, written a stripe of rows at a time as the
    cluster computes them; returns its shape."""
    from .kernels import chunk_bounds
    from .outputs import write_npy_header, write_values

    shape = (len(X), len(X if Y is None else Y))

    def stripes(distributed) -> list:
        matrix = distributed.gram(X, kernel, Y=Y)
        return [(matrix[start:stop], stop - start) for start, stop in chunk_bounds(shape[0], matrix.chunks[0][0])]

    header_written = False

    def write(out, stripe: np.ndarray) -> None:
        nonlocal header_written
        if not header_written:
            write_npy_header(out, stripe.dtype, shape)
            header_written = True
        write_values(out, stripe)

    write_on_cluster(args, stripes, write, "wb")
    return shape


def run_demo_command(args: argparse.Namespace) -> None:
    import time

    from .demo import DEMO_PARAMS, FOLDS, demo_fasta_paths, run_demo

    bound, unbound = demo_fasta_paths()
    params = " ".join(f"{name}={value}" for name, value in DEMO_PARAMS.items())
    say(f"vellum demo: GkmSVC({params}) on {bound.name} and {unbound.name} (CTCF ChIP-seq, 100 bp)")
    start = time.perf_counter()
    cv = run_demo(n_jobs=args.n_jobs, progress=progress_setting(args))
    print(f"sequences: {cv.labels.sum()} bound, {(~cv.labels).sum()} unbound")
    print(f"{FOLDS}-fold cross-validated ROC AUC: {cv.auc:.4f} ± {cv.auc_std:.4f}")
    print(f"time: {time.perf_counter() - start:.1f} s")
    if args.plot:
        draw_roc(cv, args.plot, f"CTCF demo, {FOLDS}-fold cross-validation")


# ---- parser ------------------------------------------------------------------


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def run_lmers(args: argparse.Namespace) -> None:
    import numpy as np

    from .outputs import output_stream

    model = load_model(args)
    weights = model.lmer_weights()
    L = model.kernel_.L
    order = np.argsort(weights, kind="stable")
    count = min(args.top, len(weights))
    chosen = np.concatenate([order[::-1][:count], order[: min(count, len(weights) - count)][::-1]])
    with output_stream(args.output) as out:
        out.writelines(f"{lmer_text(code, L)}\t{number(weights[code])}\n" for code in chosen)


def lmer_text(code: int, L: int) -> str:
    """The bases of an L-mer code: two bits a base, A=0 C=1 G=2 T=3, first base most significant."""
    return "".join("ACGT"[(int(code) >> (2 * (L - 1 - i))) & 3] for i in range(L))


def run_explain(args: argparse.Namespace) -> None:
    from . import plots
    from .outputs import output_stream

    model, names, seqs = model_and_records(args)
    ids = names.ids
    shares = model.contributions(seqs, ids=names)
    with output_stream(args.output) as out:
        out.write("id\tposition\tbase\tcontribution\n")
        for seq_id, seq, values in zip(ids, seqs, shares):
            out.writelines(f"{seq_id}\t{i}\t{seq[i]}\t{number(v)}\n" for i, v in enumerate(values))
    if args.plot:
        plots.plot_contributions(ids, seqs, shares, args.plot)
        say(f"vellum: contribution logos written to {args.plot}")


def build_parser() -> argparse.ArgumentParser:
    from . import __version__
    from .parameters import SOLVERS

    parser = argparse.ArgumentParser(prog="vellum", description="Gapped k-mer SVMs for DNA sequences.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    train = commands.add_parser(
        "train",
        help="train a classifier on bound and unbound sequences",
        description="Train a classifier on bound (label 1) and unbound (label 0) sequences, given as two files "
        "(POS.fa NEG.fa), as one FASTA file whose record ids are the labels (headers >1 and >0), or as one FASTA "
        "file and a table of id<TAB>label lines (--labels; a first line id<TAB>label is a header). "
        f"Labels: {LABELS_HELP}.",
    )
    train.add_argument(
        "fasta", metavar="FASTA", help="the positives (label 1) when NEG.fa follows, else every training record"
    )
    train.add_argument("negatives", metavar="NEG.fa", nargs="?", help="negative (unbound) sequences, label 0")
    train.add_argument("--labels", metavar="TSV", help="id<TAB>label lines labelling every record of FASTA")
    train.add_argument("-o", "--output", type=OutputPath, metavar="MODEL", required=True, help="model file to write")
    add_kernel_options(train)
    svm = train.add_argument_group("SVM")
    svm.add_argument("-C", type=float, default=1.0, help="regularisation (default 1)")
    svm.add_argument("--class-weight", choices=("balanced",), default=None, help="reweight classes by frequency")
    svm.add_argument("--probability", action="store_true", help="also calibrate probabilities")
    svm.add_argument(
        "--solver",
        choices=SOLVERS,
        default="auto",
        help="gram: libsvm on the n x n Gram; table: the same optimum without it (regular kernels); "
        "auto: the faster of the two for the data (default)",
    )
    evaluation = train.add_argument_group("evaluation")
    evaluation.add_argument("--cv", type=positive_int, metavar="N", help="print the N-fold cross-validated ROC AUC")
    evaluation.add_argument("--seed", type=int, default=0, help="seed of the folds (default 0)")
    evaluation.add_argument("--plot", type=OutputPath, metavar="PNG", help="draw the cross-validated ROC curve (needs --cv)")
    add_run_options(train)
    train.set_defaults(run=run_train)

    predict = add_model_command(
        commands, "predict", "score sequences: id<TAB>decision value lines", run_predict, "sequences"
    )
    predict.add_argument(
        "--proba",
        action="store_true",
        help="write each record's probability of the positive class (classes_[1]) instead "
        "(a classifier trained with --probability)",
    )
    add_output_option(predict, "the scores")
    add_cluster_options(predict)

    scan = add_model_command(
        commands,
        "scan",
        "score every window: bedGraph-like record<TAB>start<TAB>end<TAB>decision value lines",
        run_scan,
        "sequences of any length",
        SCAN_OUTPUT,
    )
    scan.add_argument("--window", type=positive_int, required=True, help="window length (bp)")
    scan.add_argument("--shift", type=positive_int, required=True, help="step between window starts (bp)")
    add_output_option(scan, "the windows' scores")
    scan.add_argument("--plot", type=OutputPath, metavar="PNG", help="draw the score tracks (first 6 records)")
    add_cluster_options(scan)

    mutagenesis = add_model_command(
        commands, "mutagenesis", "score change of every single-base substitution", run_mutagenesis, "sequences"
    )
    add_output_option(mutagenesis, "the effects (id, position, ref, A, C, G, T)")
    mutagenesis.add_argument("--plot", type=OutputPath, metavar="PNG", help="draw heatmaps (first 4 records)")

    lmers = add_model_command(
        commands, "lmers", "the model's L-mer weights: lmer<TAB>weight, highest then lowest", run_lmers
    )
    lmers.add_argument("--top", type=positive_int, default=20, help="how many highest and lowest (default 20)")
    add_output_option(lmers, "the weights")

    explain = add_model_command(
        commands, "explain", "each base's contribution to the decision value", run_explain, "sequences"
    )
    add_output_option(explain, "the contributions (id, position, base, contribution)")
    explain.add_argument("--plot", type=OutputPath, metavar="PNG", help="draw sequence logos (first 4 records)")

    gram = commands.add_parser("gram", help="kernel matrix of FASTA (against FASTA2) as .npy")
    gram.add_argument("fasta", metavar="FASTA", help="rows")
    gram.add_argument("fasta2", metavar="FASTA2", nargs="?", help="columns (default: FASTA itself)")
    add_output_option(gram, "the .npy matrix")
    add_kernel_options(gram)
    add_run_options(gram)
    add_cluster_options(gram)
    gram.set_defaults(run=run_gram)

    demo = commands.add_parser("demo", help="cross-validate a CTCF classifier on bundled real sequences")
    demo.add_argument("--plot", type=OutputPath, metavar="PNG", help="draw the ROC curve")
    add_run_options(demo)
    demo.set_defaults(run=run_demo_command)
    return parser


def check_output_paths(args: argparse.Namespace) -> None:
    """Refuse, before any work, every file the command would fail to write."""
    from .outputs import check_writable

    for value in vars(args).values():
        if isinstance(value, OutputPath) and value != "-":
            check_writable(value)


def raise_terminated(signum: int, frame) -> None:
    raise Terminated


@contextmanager
def sigterm_raises_terminated() -> Iterator[None]:
    """SIGTERM raises Terminated while the block runs (in the main thread,
    the only one that takes signal handlers)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, raise_terminated)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def silence_stdout() -> None:
    """Point stdout at /dev/null once its reader has gone, so that flushing
    it at exit does not complain of the broken pipe again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments after the program name; None for ``sys.argv[1:]``.
    """
    command = "vellum"
    try:
        with sigterm_raises_terminated():
            args = build_parser().parse_args(argv)
            command = f"vellum {args.command}"
            with warnings_as_messages():
                check_output_paths(args)
                args.run(args)
            sys.stdout.flush()
    except KeyboardInterrupt:
        say(f"{command}: interrupted")
        return EXIT_INTERRUPTED
    except Terminated:
        say(f"{command}: terminated")
        return EXIT_TERMINATED
    except BrokenPipeError:
        silence_stdout()
        return EXIT_BROKEN_PIPE
    except (CommandError, ValueError, TypeError, OSError, RuntimeError, MemoryError) as err:
        reason = " ".join(str(err).split())
        say(f"{command}: error: {reason}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
