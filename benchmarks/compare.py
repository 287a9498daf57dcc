"""Side-by-side benchmark of an earlier commit (base) and the working tree (head).

Builds the base commit into a virtualenv of its own (.bench/venv-<sha>) and
the working tree into .bench/venv-head, runs each workload of workloads.py in
a fresh child process per side (alternating the sides when repeated), and
prints a Markdown table of median times, peak RSS and whether both sides gave
the same values. Progress goes to stderr, the table to stdout.

    python benchmarks/compare.py --base 4d22d68
    python benchmarks/compare.py --base 4d22d68 --scale 0.05 --workloads W1,W5
"""

from __future__ import annotations

import argparse
import contextlib
import json
import shutil
import statistics
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterator, Optional

import workloads

REPO = Path(__file__).resolve().parents[1]
BENCH_DIR = REPO / ".bench"
WORKLOADS_SCRIPT = Path(__file__).resolve().parent / "workloads.py"
BUILD_TOOLS = ("scikit-build-core", "cmake", "ninja", "numpy")
# What the model workloads import besides the native module (the package
# itself is installed without its dependencies, so that both sides share these).
MODEL_DEPENDENCIES = ("scikit-learn", "tqdm")
# Written into a base virtualenv once its build succeeded: the commit it holds.
BUILT_COMMIT_FILE = "vellum-commit"


class HarnessError(Exception):
    """A reason to stop, reported as one line."""


def progress(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


# ---- commits and builds ------------------------------------------------------


def git(*args: str) -> str:
    proc = subprocess.run(["git", "-C", str(REPO), *args], capture_output=True, text=True)
    if proc.returncode != 0:
        reason = proc.stderr.strip().splitlines()[-1:] or ["exit status %d" % proc.returncode]
        raise HarnessError("git %s: %s" % (" ".join(args), reason[0]))
    return proc.stdout.strip()


def resolve_commit(rev: str) -> str:
    """The full SHA of ``rev``; HarnessError when it names no commit."""
    try:
        return git("rev-parse", "--verify", "--quiet", rev + "^{commit}")
    except HarnessError:
        raise HarnessError("--base %s is not a commit of this repository" % rev) from None


def head_label() -> str:
    sha = git("rev-parse", "--short", "HEAD")
    return sha + " + uncommitted changes" if git("status", "--porcelain") else sha


def run_logged(command: list[str], log: Path, what: str) -> None:
    with open(log, "a") as out:
        out.write("$ %s\n" % " ".join(command))
        out.flush()
        if subprocess.run(command, stdout=out, stderr=subprocess.STDOUT).returncode != 0:
            raise HarnessError("%s failed (log: %s)" % (what, log))


def venv_python(venv: Path) -> Path:
    return venv / "bin" / "python"


def create_venv(venv: Path, log: Path) -> None:
    run_logged([sys.executable, "-m", "venv", str(venv)], log, "creating %s" % venv)
    run_logged([str(venv_python(venv)), "-m", "pip", "install", "-q", *BUILD_TOOLS, *MODEL_DEPENDENCIES], log,
               "installing build tools into %s" % venv)


def install_package(venv: Path, source: Path, build_dir: Path, log: Path, what: str) -> None:
    run_logged([str(venv_python(venv)), "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
                "--force-reinstall", str(source), "-C", "build-dir=%s" % build_dir], log, what)


def export_commit(sha: str, destination: Path) -> None:
    """The tree of ``sha`` written to ``destination`` (no checkout involved)."""
    destination.mkdir()
    archive = subprocess.Popen(["git", "-C", str(REPO), "archive", sha], stdout=subprocess.PIPE)
    extracted = subprocess.run(["tar", "-x", "-C", str(destination)], stdin=archive.stdout)
    archive.stdout.close()
    if archive.wait() != 0 or extracted.returncode != 0:
        raise HarnessError("could not export %s" % sha[:12])


@contextlib.contextmanager
def removed_on_failure(path: Path) -> Iterator[None]:
    """Deletes ``path`` if the block fails, so no half-built environment stays."""
    try:
        yield
    except BaseException:
        shutil.rmtree(path, ignore_errors=True)
        raise


def base_venv(sha: str) -> Path:
    """A virtualenv holding the build of ``sha``, reused when already built."""
    venv = BENCH_DIR / ("venv-" + sha)
    marker = venv / BUILT_COMMIT_FILE
    if marker.is_file() and marker.read_text() == sha:
        progress("base %s: reusing %s" % (sha[:12], venv.relative_to(REPO)))
        return venv
    shutil.rmtree(venv, ignore_errors=True)
    log = BENCH_DIR / ("build-%s.log" % sha)
    log.unlink(missing_ok=True)
    progress("base %s: building into %s" % (sha[:12], venv.relative_to(REPO)))
    with removed_on_failure(venv), tempfile.TemporaryDirectory(prefix="vellum-base-") as tmp:
        source = Path(tmp) / "src"
        export_commit(sha, source)
        create_venv(venv, log)
        install_package(venv, source, Path(tmp) / "build", log, "building %s" % sha[:12])
        marker.write_text(sha)
    return venv


def head_venv() -> Path:
    """.bench/venv-head with the working tree freshly installed."""
    venv = BENCH_DIR / "venv-head"
    log = BENCH_DIR / "build-head.log"
    log.unlink(missing_ok=True)
    progress("head: building the working tree into %s" % venv.relative_to(REPO))
    with removed_on_failure(venv):
        if not venv_python(venv).exists():
            create_venv(venv, log)
        install_package(venv, REPO, BENCH_DIR / "build-head", log, "building the working tree")
    return venv


# ---- running the workloads ----------------------------------------------------


@dataclass
class Side:
    """One build under test and the measurements of its runs."""

    role: str
    label: str
    venv: Path
    runs: dict[str, list[dict]] = field(default_factory=dict)

    def median_seconds(self, name: str) -> float:
        return statistics.median(run["seconds"] for run in self.runs[name])

    def peak_rss_mib(self, name: str) -> float:
        return max(run["peak_rss_mib"] for run in self.runs[name])


def run_child(side: Side, name: str, options: argparse.Namespace, values: Optional[Path]) -> dict:
    """One workload in a fresh interpreter of ``side``'s virtualenv."""
    command = [str(venv_python(side.venv)), "-I", str(WORKLOADS_SCRIPT), "--run", name,
               "--scale", repr(options.scale), "--data", str(options.data)]
    if values is not None:
        command += ["--values", str(values)]
    proc = subprocess.run(command, capture_output=True, text=True)
    if proc.returncode != 0:
        raise HarnessError("%s failed on %s: %s" % (name, side.role, failure_reason(proc)))
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    if not Path(result["module"]).resolve().is_relative_to(side.venv.resolve()):
        raise HarnessError("%s on %s imported %s, not its own build" % (name, side.role, result["module"]))
    return result


def failure_reason(proc: subprocess.CompletedProcess) -> str:
    """The child's last line of stderr, or how it ended when it said nothing."""
    last = proc.stderr.strip().splitlines()[-1:]
    if last:
        return last[0]
    if proc.returncode < 0:
        return "killed by signal %d" % -proc.returncode
    return "exit status %d" % proc.returncode


def run_workload(name: str, base: Side, head: Side, options: argparse.Namespace, scratch: Path) -> None:
    """``options.repeat`` runs per side, alternating which side goes first.

    The first run of each side also saves its values under ``scratch`` for
    the comparison of the two results.
    """
    for repetition in range(options.repeat):
        order = (base, head) if repetition % 2 == 0 else (head, base)
        for side in order:
            values = values_file(scratch, name, side) if repetition == 0 else None
            result = run_child(side, name, options, values)
            side.runs.setdefault(name, []).append(result)
            progress("%-5s %s run %d/%d: %.3f s, peak RSS %.1f MiB"
                     % (name, side.role, repetition + 1, options.repeat, result["seconds"], result["peak_rss_mib"]))


def values_file(scratch: Path, name: str, side: Side) -> Path:
    return scratch / ("%s-%s.f64" % (name, side.role))


def agreement(name: str, base: Side, head: Side, scratch: Path) -> str:
    """How the two sides' results compare: identical bits, or how far apart."""
    for side in (base, head):
        if len({run["digest"] for run in side.runs[name]}) > 1:
            return "NOT REPEATABLE on %s" % side.role
    base_run, head_run = base.runs[name][0], head.runs[name][0]
    if base_run["shape"] != head_run["shape"]:
        return "SHAPES DIFFER: %s vs %s" % (base_run["shape"], head_run["shape"])
    if base_run["digest"] == head_run["digest"]:
        return "identical"
    difference = workloads.max_relative_difference(values_file(scratch, name, base), values_file(scratch, name, head))
    verdict = "max rel. diff" if difference <= workloads.WORKLOADS[name].tolerance else "DIFFERENT: max rel. diff"
    return "%s %.1e" % (verdict, difference)


# ---- report -------------------------------------------------------------------


def markdown_table(names: list[str], base: Side, head: Side, verdicts: dict[str, str]) -> list[str]:
    header = ("Workload", "Base (s)", "Head (s)", "Base/head", "Base peak RSS (MiB)", "Head peak RSS (MiB)", "Values")
    lines = ["| " + " | ".join(header) + " |", "|---|---:|---:|---:|---:|---:|---|"]
    for name in names:
        base_s, head_s = base.median_seconds(name), head.median_seconds(name)
        cells = (name, "%.3f" % base_s, "%.3f" % head_s, ratio(base_s, head_s), "%.1f" % base.peak_rss_mib(name),
                 "%.1f" % head.peak_rss_mib(name), verdicts[name])
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def ratio(numerator: float, denominator: float) -> str:
    return "%.2f" % (numerator / denominator) if denominator > 0 else "n/a"


def gram_method(side: Side, name: str) -> str:
    return "gram" if side.runs[name][0]["has_gram"] else "eval_batch"


def derived_lines(base: Side, head: Side) -> list[str]:
    """Ratios between workloads: core threads on the head side, Python threads on both, Gram against the base."""
    lines = []
    for one, two in (("W1", "W1t2"), ("Gram", "Gram2")):
        if one in head.runs and two in head.runs:
            lines.append("- 2 threads vs 1 (head, %s / %s): %s"
                         % (one, two, ratio(head.median_seconds(one), head.median_seconds(two))))
    if "Pair" in head.runs and "Pair2" in head.runs:
        lines.append("- two kernels in 2 Python threads vs one after the other (Pair2 / Pair): head %s, base %s"
                     % tuple(ratio(side.median_seconds("Pair2"), side.median_seconds("Pair")) for side in (head, base)))
    if "Gram" in head.runs:
        lines.append("- Gram, head %s vs base %s: %.3f s vs %.3f s, base/head %s"
                     % (gram_method(head, "Gram"), gram_method(base, "Gram"), head.median_seconds("Gram"),
                        base.median_seconds("Gram"), ratio(base.median_seconds("Gram"), head.median_seconds("Gram"))))
    return lines


def report(names: list[str], base: Side, head: Side, verdicts: dict[str, str], options: argparse.Namespace) -> str:
    intro = ("Base `%s` vs head `%s`; scale %g; median of %d run(s) per side; peak RSS of each run's own process."
             % (base.label, head.label, options.scale, options.repeat))
    return "\n".join([intro, ""] + markdown_table(names, base, head, verdicts) + [""] + derived_lines(base, head))


# ---- command line ---------------------------------------------------------------


def selected_workloads(text: Optional[str]) -> list[str]:
    """Workload names from a comma-separated list (any case), in the given order."""
    if text is None:
        return list(workloads.WORKLOADS)
    by_folded_name = {name.casefold(): name for name in workloads.WORKLOADS}
    wanted = [item.strip() for item in text.split(",") if item.strip()]
    unknown = [item for item in wanted if item.casefold() not in by_folded_name]
    if unknown or not wanted:
        raise HarnessError("unknown workload(s) %s; choose from %s"
                           % (", ".join(unknown) or repr(text), ", ".join(workloads.WORKLOADS)))
    return list(dict.fromkeys(by_folded_name[item.casefold()] for item in wanted))


def available_workloads(names: list[str], data: Path) -> list[str]:
    """``names`` without the real-data workloads when their files are missing."""
    note = workloads.missing_data_note(data)
    if note is None:
        return names
    skipped = [name for name in names if workloads.WORKLOADS[name].needs_data]
    if skipped:
        progress("skipping %s: %s" % (", ".join(skipped), note))
    return [name for name in names if name not in skipped]


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1, got %s" % text)
    return value


def parse_args(argv: Optional[list[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--base", required=True, metavar="REV", help="earlier commit to compare against")
    parser.add_argument("--workloads", metavar="LIST", help="comma-separated names (default: all): "
                        + ",".join(workloads.WORKLOADS))
    parser.add_argument("--repeat", type=positive_int, default=1, metavar="N", help="runs per side (median)")
    parser.add_argument("--scale", type=workloads.scale_factor, default=1.0, metavar="F",
                        help="shrink sequence counts by F, 0 < F <= 1 (lengths stay)")
    parser.add_argument("--data", metavar="DIR", help="CTCF FASTA directory (default $%s or %s)"
                        % (workloads.DATA_ENV, workloads.DEFAULT_DATA_DIR))
    parser.add_argument("--keep-venvs", action="store_true",
                        help="keep .bench/ environments so the next run reuses the base build")
    options = parser.parse_args(argv)
    options.data = workloads.data_dir(options.data)
    return options


def compare(options: argparse.Namespace) -> str:
    names = available_workloads(selected_workloads(options.workloads), options.data)
    sha = resolve_commit(options.base)
    if not names:
        raise HarnessError("no workload left to run")
    BENCH_DIR.mkdir(exist_ok=True)
    built: list[Path] = []
    try:
        built.append(base_venv(sha))
        built.append(head_venv())
        base, head = Side("base", sha[:12], built[0]), Side("head", head_label(), built[1])
        with tempfile.TemporaryDirectory(prefix="vellum-compare-") as scratch:
            verdicts = {}
            for name in names:
                run_workload(name, base, head, options, Path(scratch))
                verdicts[name] = agreement(name, base, head, Path(scratch))
    finally:
        if not options.keep_venvs:
            for path in built + [BENCH_DIR / "build-head"]:
                shutil.rmtree(path, ignore_errors=True)
    return report(names, base, head, verdicts, options)


def main(argv: Optional[list[str]] = None) -> int:
    options = parse_args(argv)
    try:
        table = compare(options)
    except (HarnessError, workloads.WorkloadError) as error:
        print("compare.py: %s" % error, file=sys.stderr)
        return 1
    print(table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
