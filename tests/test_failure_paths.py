"""Failure paths of the native module: exhausted memory ends as an exception
(never an abort) and leaves no partial result in out=, positional norms of
long repeats stay within a few megabytes, nested initialisation from argument
conversion is refused, gram converts its indexes before locking, and extreme
weight peaks give the values of any other peak."""

import os
import random
import subprocess
import sys

import numpy as np
import pytest

from seqgen import random_dna
from vellum import _gkmkern as g

UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")
POLY_A = "A" * 2047


def run_limited(script_body, tmp_path):
    """Runs script_body in a fresh interpreter, where limited(headroom, call)
    lets the address space grow by headroom MiB during call and gives its
    result or the name of its exception; returns the printed lines."""
    script = tmp_path / "limited.py"
    script.write_text(LIMIT_PRELUDE + script_body)
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, "exit %d: %s" % (done.returncode, done.stderr[-2000:])
    return done.stdout.splitlines()


LIMIT_PRELUDE = r"""
import resource
import numpy as np
from vellum import _gkmkern as g

PAGE = resource.getpagesize()
_, HARD = resource.getrlimit(resource.RLIMIT_AS)


def limited(headroom_mib, call):
    in_use = int(open("/proc/self/statm").read().split()[0]) * PAGE
    resource.setrlimit(resource.RLIMIT_AS, (in_use + headroom_mib * 2**20, HARD))
    try:
        return call()
    except MemoryError:
        return "MemoryError"
    except RuntimeError:
        return "RuntimeError"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (HARD, HARD))
"""

skip_under_sanitizer = pytest.mark.skipif(UNDER_SANITIZER, reason="an address-space limit breaks the sanitizer")


# ---- exhausted memory is an exception, not an abort ---------------------------


@skip_under_sanitizer
def test_weighted_window_methods_under_shrinking_memory_raise_or_answer(tmp_path):
    # The windows' positional norms of a run of one base once gathered every
    # pair inside the thread team, where a failed allocation aborted.
    lines = run_limited(r"""
kernel = g.WeightedKernel(L=10, k=6, d=3)
kernel.add_sequence("A" * 2047)
kernel.finalize()
seq = g.Sequence(kernel, "A" * 2047)
for headroom in (1, 2, 4, 8, 16, 32):
    print(limited(headroom, lambda: round(kernel.self_window_eval([seq], 2047, 2047)[0][0][0], 12)))
    print(limited(headroom, lambda: round(kernel.sliding_query(seq, 2047, 2047)[0][0], 12)))
""", tmp_path)
    assert len(lines) == 12
    assert set(lines) <= {"1.0", "MemoryError"}
    assert lines[-2:] == ["1.0", "1.0"]


# ---- positional norms in bounded memory ---------------------------------------

# Within d mismatches of each other: every pair of L-mers of a run of one base
# (d = 3), or of any sequence at k = 1, d = 11 (all L-mers of L = 12).
@skip_under_sanitizer
@pytest.mark.parametrize("params, text", [
    (dict(L=10, k=6, d=3), POLY_A),
    (dict(L=12, k=1, d=11), random_dna(random.Random(4), 2047)),
], ids=["poly-A", "k1-d11"])
def test_positional_norms_of_dense_pairs_need_a_few_megabytes(tmp_path, params, text):
    lines = run_limited(r"""
kernel = g.WeightedKernel(pos_kernel=g.POS_GAUSSIAN, weight_sigma=400.0, **%r)
seq = g.Sequence(kernel, %r)
print(limited(8, lambda: round(kernel.self_eval([seq], [0, 1000, 2046])[0][0][0], 12)))
print(limited(8, lambda: round(kernel.self_window_eval([seq], 2047, 1)[0][0][0], 12)))
""" % (params, text), tmp_path)
    assert lines == ["1.0", "1.0"]


# ---- a failed evaluation leaves out untouched or all zeros ---------------------


@skip_under_sanitizer
def test_failed_evaluations_leave_out_untouched_or_zero(tmp_path):
    # Windows over a run of one base come first and index few distinct
    # L-mers; the random half after them needs larger indexes. Tight limits
    # then fail later runs after the first ones wrote theirs, and out must
    # hold no part of a result.
    lines = run_limited(r"""
import random
rng = random.Random(9)
texts = ["A" * 1000 + "".join(rng.choice("ACGT") for _ in range(1000)) for _ in range(8)]
kernel = g.Kernel(L=10, k=6, d=3)
seqs = [g.Sequence(kernel, t) for t in texts]
calls = {
    "self_window_eval": (lambda out: kernel.self_window_eval(seqs, 100, 1, out=out), (1901, 8, 8)),
    "cross_window_eval": (lambda out: kernel.cross_window_eval(seqs, seqs, 100, 1, out=out), (1901, 8, 8)),
}
for name, (call, shape) in calls.items():
    states = set()
    for headroom in range(1, 5):
        out = np.full(shape, -7.25)
        kernel.cross_window_eval(seqs[:1], seqs[:1], 2000, 1)  # drops the kept cache
        outcome = limited(headroom, lambda: call(out))
        if isinstance(outcome, str):
            states.add("untouched" if (out == -7.25).all() else "zeros" if (out == 0).all() else "partial")
        else:
            states.add("answered")
    print(name, sorted(states))
""", tmp_path)
    assert len(lines) == 2
    for line in lines:
        assert "partial" not in line and "answered" in line, line

# ---- nested initialisation ----------------------------------------------------


class Reentrant:
    """An argument whose conversion initialises obj first."""

    def __init__(self, obj, init_args, value):
        self.obj, self.init_args, self.value = obj, init_args, value

    def _convert(self):
        self.obj.__init__(*self.init_args)
        return self.value

    __index__ = __float__ = __bool__ = _convert


@pytest.mark.parametrize("make, init, check", [
    (lambda: g.Kernel.__new__(g.Kernel), lambda o, nested: o.__init__(L=nested(10)), lambda o: o.L == 5),
    (lambda: g.WeightedKernel.__new__(g.WeightedKernel), lambda o, nested: o.__init__(weight_peak=nested(7.0)),
     lambda o: o.L == 5),
    (lambda: g.Sequence.__new__(g.Sequence),
     lambda o, nested: o.__init__(g.Kernel(L=5, k=3, d=1), "ACGTACGT", skip_invalid=nested(True)),
     lambda o: o.length() == 6),
], ids=["Kernel", "WeightedKernel", "Sequence"])
def test_initialisation_from_argument_conversion_is_refused(make, init, check):
    obj = make()
    inner = (g.Kernel(L=5, k=3, d=1), "ACGTAC") if isinstance(obj, g.Sequence) else (5, 3, 1)
    with pytest.raises(RuntimeError) as err:
        init(obj, lambda value: Reentrant(obj, inner, value))
    assert str(err.value) == "%s object is already initialized" % type(obj).__name__
    assert check(obj)


# ---- gram converts its indexes before locking ---------------------------------


class ReadsKernel:
    def __init__(self, kernel, value):
        self.kernel, self.value = kernel, value

    def __index__(self):
        return self.value + 0 * self.kernel.num_sequences()


@pytest.mark.parametrize("arg", ["first", "rows"])
def test_gram_index_may_read_the_same_kernel(arg):
    kernel = g.Kernel(L=5, k=3, d=1)
    for text in ("ACGTACGTAA", "TTGACCAGTA", "GGGCATCAGT"):
        kernel.add_sequence(text)
    kernel.finalize()
    assert kernel.gram(**{arg: ReadsKernel(kernel, 1)}) == kernel.gram(**{arg: 1})


# ---- extreme weight peaks -----------------------------------------------------


@pytest.mark.parametrize("peak", [1e160, 1e-170, 1e300, 1e-300])
def test_extreme_peak_gives_the_values_of_any_peak(peak):
    rng = random.Random(2)
    texts = [random_dna(rng, 60) for _ in range(3)]

    def values(p):
        kernel = g.WeightedKernel(L=6, k=3, d=2, use_rc=1, pos_kernel=g.POS_GAUSSIAN, weight_sigma=20.0,
                                  weight_peak=p)
        return np.array(kernel.self_eval(texts, [-10, 0, 25]))

    expected, got = values(50.0), values(peak)
    assert np.isfinite(got).all()
    np.testing.assert_allclose(got, expected, rtol=1e-12, atol=0)
    assert (np.diagonal(got, axis1=1, axis2=2) > 0.99).all()
