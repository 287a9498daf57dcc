"""Every core failure records why it failed (gkm_last_status), and the binding
raises from that reason: MemoryError for exhausted memory, the documented
ValueError or RuntimeError for refused arguments, never a guess."""

import threading

import numpy as np
import pytest

import core_ctypes
from core_ctypes import double_buffer, seq_array
from test_failure_paths import run_limited, skip_under_sanitizer

GKM_OK, GKM_ENOMEM, GKM_EINVAL = 0, 1, 2
SENTINEL = -7.25
TEXT = "ACGTTGCAAGGCTTACCGATCGATTGCA"


@pytest.fixture
def weighted(core):
    made = core.gkm_weighted_kernel_create(core_ctypes.GkmWeightedParams(core_ctypes.params(), 2, 1.0, 5.0, 1.0))
    assert made
    yield made
    core.gkm_weighted_kernel_destroy(made)


def overflow_centred(core, weighted):
    """gkm_weighted_kernel_eval_self with sizes whose product in bytes
    overflows: refused for want of memory before anything is allocated or
    written. Returns its result and whether out stayed untouched."""
    base = core.gkm_weighted_kernel_base(weighted)
    seq = core.gkm_sequence_create(base, TEXT.encode(), None)
    try:
        out = double_buffer(4, SENTINEL)
        rc = core.gkm_weighted_kernel_eval_self(weighted, seq_array([seq] * 65536), 65536, double_buffer(1, 0.0),
                                                2**31 - 1, out)
        return rc, list(out) == [SENTINEL] * 4
    finally:
        core.gkm_sequence_free(seq)


def test_sizes_beyond_memory_record_enomem_and_leave_out_untouched(core, weighted):
    assert overflow_centred(core, weighted) == (-1, True)
    assert core.gkm_last_status() == GKM_ENOMEM


def first_window_before_finalize(core, kernel):
    it = core.gkm_window_iter_create(kernel.handle, kernel.query(TEXT), 12, 4, 0, 0)
    assert it
    try:
        return core.gkm_window_iter_next(it, double_buffer(4))
    finally:
        core.gkm_window_iter_destroy(it)


# Each refusal, run right after an ENOMEM, must record its own reason.
REFUSALS = {
    "kernel_create L = 13": lambda core, k, w: core.gkm_kernel_create(core_ctypes.params(L=13)) is None,
    "sequence shorter than L": lambda core, k, w: core.gkm_sequence_create(k.base, b"ACGT", None) is None,
    "sequence with N": lambda core, k, w: core.gkm_sequence_create(k.base, b"ACGTNACGTACGTAC", None) is None,
    "gram before finalize": lambda core, k, w: core.gkm_kernel_eval_gram(k.handle, double_buffer(1)) == -1,
    "window kernel with shift 0": lambda core, k, w: core.gkm_kernel_window_kernel(
        k.handle, seq_array([k.query(TEXT)]), 1, 12, 0, 0, 0, double_buffer(1)) == -1,
    "cross windows of unequal lengths": lambda core, k, w: core.gkm_kernel_cross_window_kernel(
        k.handle, seq_array([k.query(TEXT)]), 1, seq_array([k.query(TEXT + "A")]), 1, 12, 4, 0, 0,
        double_buffer(64)) == -1,
    "window iterator before finalize": lambda core, k, w: first_window_before_finalize(core, k) == 0,
    "weighted eval_self of no sequence": lambda core, k, w: core.gkm_weighted_kernel_eval_self(
        w, seq_array([k.query(TEXT)]), 0, double_buffer(1, 0.0), 1, double_buffer(1)) == -1,
    "table sums of no table": lambda core, k, w: core.gkm_lmer_table_sums(None, 3, None, 0, None, None, 0, 1, None) == -1,
    "codes without bounds": lambda core, k, w: core.gkm_lmer_codes(None, 0, None, 0, 3, None, 0, 1) == -1,
    "owner lists without offsets": lambda core, k, w: core.gkm_lmer_owners(3, None, 0, None, 0, 1, None, None, 0, 1) == -1,
    "table of owners of no table": lambda core, k, w: core.gkm_lmer_table_of_owners(
        None, 3, None, None, 0, None, 0, 1, 1) == -1,
    "weighted sliding_query before finalize": lambda core, k, w: core.gkm_weighted_kernel_sliding_query(
        w, k.query(TEXT), 12, 4, 0, 0, double_buffer(8), None) == -1,
}


@pytest.mark.parametrize("refusal", REFUSALS.values(), ids=REFUSALS.keys())
def test_refused_arguments_record_einval(core, make_core_kernel, weighted, refusal):
    kernel = make_core_kernel()
    overflow_centred(core, weighted)
    assert refusal(core, kernel, weighted)
    assert core.gkm_last_status() == GKM_EINVAL


def test_adding_to_a_finalised_kernel_records_einval(core, make_core_kernel, weighted):
    kernel = make_core_kernel()
    kernel.add(TEXT)
    kernel.finalize()
    overflow_centred(core, weighted)
    assert kernel.add(TEXT) == -1
    assert core.gkm_last_status() == GKM_EINVAL


def test_success_keeps_the_last_reason_and_threads_keep_their_own(core, make_core_kernel, weighted):
    kernel = make_core_kernel()
    kernel.add(TEXT)
    overflow_centred(core, weighted)
    assert kernel.finalize() == 0
    assert core.gkm_last_status() == GKM_ENOMEM
    seen = []
    thread = threading.Thread(target=lambda: seen.append(core.gkm_last_status()))
    thread.start()
    thread.join()
    assert seen == [GKM_OK]


# ---- the binding raises from the recorded reason ------------------------------


@pytest.mark.parametrize("make_call, error, message", [
    (lambda g, k: lambda: g.Sequence(k, "ACGTNACGTACGT"), ValueError,
     "gkm_sequence_create failed (sequence too short for L, or contains non-ACGT characters)"),
    (lambda g, k: lambda: k.sliding_query("ACGT" * 10, 12, 4), RuntimeError, "window iter ended early"),
    (lambda g, k: lambda: k.sliding_query("ACGT" * 10, 9, 4), ValueError,
     "could not create window iterator (check window/shift/padding)"),
    (lambda g, k: lambda: k.self_window_eval(["ACGT" * 10, "ACGT" * 11], 12, 4), RuntimeError, None),
], ids=["encoding refused", "iterator before finalize", "window shorter than L", "unequal lengths"])
def test_refusals_raise_the_documented_exception(make_call, error, message):
    from vellum import _gkmkern as g

    kernel = g.Kernel(L=10, k=6, d=3)
    kernel.add_sequence("ACGT" * 10)
    with pytest.raises(error) as info:
        make_call(g, kernel)()
    if message is not None:
        assert str(info.value) == message


@skip_under_sanitizer
def test_exhausted_memory_in_the_core_raises_memory_error_naming_the_step(tmp_path):
    # A large index to finalise, and one thread's block of weighted values
    # (8 MB, made inside the OpenMP region): both fail within a few
    # megabytes, and out is left all zeros.
    lines = run_limited(r"""
import random
rng = random.Random(5)
texts = ["".join(rng.choice("ACGT") for _ in range(2000)) for _ in range(400)]
kernel = g.Kernel(L=10, k=6, d=3)
for t in texts:
    kernel.add_sequence(t)
def message(call):
    try:
        call()
        return "answered"
    except MemoryError as err:
        return "MemoryError: %s" % err
print(limited(4, lambda: message(kernel.finalize)))
weighted = g.WeightedKernel(L=10, k=6, d=3, pos_kernel=g.POS_GAUSSIAN, weight_sigma=20.0)
short = [g.Sequence(weighted, t[:200]) for t in texts[:200]]
out = np.full((20, 200, 200), -7.25)
offsets = list(range(-50, 50, 5))
print(limited(4, lambda: message(lambda: weighted.self_eval(short, offsets, out=out))))
print("zeros" if (out == 0).all() else "not zeros")
print(limited(256, lambda: message(lambda: weighted.self_eval(short, offsets, out=out))))
""", tmp_path)
    assert lines == [
        "MemoryError: gkm_kernel_finalize failed: out of memory",
        "MemoryError: gkm_weighted_kernel_eval_self failed: out of memory",
        "zeros",
        "answered",
    ]
