"""Weighted window kernels of the native core, driven through ctypes: every
window weighted around its own middle, checked against brute-force windows."""

import math
import struct
from ctypes import c_int, c_void_p

import pytest

from core_ctypes import double_buffer, seq_array
from reference import full_weights, hamming_text
from reference_weighted import POS_CAUCHY, POS_GAUSSIAN, POS_LAPLACIAN, POS_TRIANGULAR
from reference_weighted_windows import WeightedWindowReference
from seqgen import mutate, random_dna
from test_weighted_core import ALL_KINDS, UNKNOWN_KIND, CoreWeightedKernel, assert_matches_reference

INT_MAX = 2**31 - 1
UNSET = -777


class WindowedKernel(CoreWeightedKernel):
    """A core weighted kernel that can also hold stored references."""

    def add_references(self, texts, finalize=True):
        for text in texts:
            seq = self.core.gkm_sequence_create(self.base, text.encode(), None)
            assert seq and self.core.gkm_kernel_base_add_sequence(self.base, seq) >= 0
        if finalize:
            self.core.gkm_kernel_base_finalize(self.base)

    def reference(self):
        kw = dict(self.kw)
        return WeightedWindowReference(scheme=kw.pop("weight_scheme", 0), **kw)

    def window_kernel(self, texts, geometry, out=None):
        """(result code, [w][i][j] or the raw buffer when out is given)."""
        n = len(texts)
        n_w = self.core.gkm_compute_n_windows(len(texts[0]), *geometry, self.kw["L"])
        buf = out if out is not None else double_buffer(n_w * n * n)
        rc = self.core.gkm_weighted_kernel_window_kernel(self.handle, seq_array(self.encode(texts)), n, *geometry, buf)
        if out is not None:
            return rc, buf
        return rc, [[list(buf[(w * n + i) * n : (w * n + i + 1) * n]) for i in range(n)] for w in range(n_w)]

    def sliding_query(self, text, geometry, n_rows=None, count=True):
        """(result code, [w][j] rows, reported count or UNSET, raw buffer)."""
        n_ref = self.core.gkm_kernel_base_num_sequences(self.base)
        if n_rows is None:
            n_rows = self.core.gkm_compute_n_windows(len(text), *geometry, self.kw["L"])
        buf = double_buffer(n_rows * n_ref)
        n_out = c_int(UNSET)
        query = self.encode([text])[0]
        rc = self.core.gkm_weighted_kernel_sliding_query(
            self.handle, query, *geometry, buf, n_out if count else None
        )
        rows = [list(buf[w * n_ref : (w + 1) * n_ref]) for w in range(n_rows)]
        return rc, rows, n_out.value, buf


@pytest.fixture
def weighted(core):
    made = []

    def make(**kw):
        kernel = WindowedKernel(core, **kw)
        made.append(kernel)
        return kernel

    yield make
    for kernel in made:
        kernel.close()


def untouched(buf):
    return all(math.isnan(x) for x in buf)


def family(rng, n, length):
    """Near-copies of one ancestor plus an unrelated sequence."""
    ancestor = random_dna(rng, length)
    return [mutate(rng, ancestor, rng.randint(1, length // 6)) for _ in range(n - 1)] + [random_dna(rng, length)]


def as_blocks(rows):
    """Sliding-query rows [w][j] as one-row blocks [w][0][j]."""
    return [[row] for row in rows]


# ---- against the brute force --------------------------------------------------

# On 36 bases: the first window starts at -4 and keeps 10 bases, the last
# starts at 26 and keeps 10, interior ones keep all 14.
CLIPPING = (14, 6, 4, 6)


def profile_cases():
    for kind in ALL_KINDS:
        for use_rc in (0, 1):
            kw = dict(L=5, k=3, d=2, use_rc=use_rc, pos_kernel=kind, gamma=0.3, sigma=4.0, peak=2.0)
            yield pytest.param(kw, CLIPPING, 36, id="kind%d-rc%d" % (kind, use_rc))


def word_length_cases():
    for L in (2, 3, 4, 7, 10, 12):
        k = max(1, L - 3)
        kw = dict(L=L, k=k, d=min(2, L - k), use_rc=L % 2, pos_kernel=L % 5, gamma=0.2, sigma=5.0, peak=1.5)
        # Clipped on both sides as CLIPPING, for every L.
        yield pytest.param(kw, (L + 9, 6, 4, 6), 36, id="L%d" % L)


GEOMETRY_CASES = [
    ((20, 7, 8, 8), "wide-padding"),
    ((16, 9, -3, -4), "negative-padding"),
    ((10, 4, 5, -2), "mixed-padding"),
    ((48, 5, 0, 0), "whole-sequence"),
    ((60, 5, 10, 20), "longer-than-sequence"),
    ((INT_MAX, 7, 0, INT_MAX - 5), "huge-window"),
    ((INT_MAX, INT_MAX, INT_MAX - 20, INT_MAX - 5), "huge-padding"),
]


def geometry_cases():
    for geometry, name in GEOMETRY_CASES:
        for kind in (POS_TRIANGULAR, POS_CAUCHY, UNKNOWN_KIND):
            kw = dict(L=5, k=3, d=2, use_rc=1, pos_kernel=kind, sigma=6.0)
            yield pytest.param(kw, geometry, 48, id="%s-kind%d" % (name, kind))


OTHER_CASES = [
    pytest.param(dict(L=6, k=3, d=3, weight_scheme=1, use_rc=1, pos_kernel=POS_GAUSSIAN, sigma=3.0), CLIPPING, 36,
                 id="truncated-gaussian"),
    pytest.param(dict(L=6, k=3, d=3, weight_scheme=2, pos_kernel=POS_LAPLACIAN, gamma=0.5, sigma=0.0), CLIPPING, 36,
                 id="estimated-laplacian"),
]

ALL_CASES = [*profile_cases(), *word_length_cases(), *geometry_cases(), *OTHER_CASES]


@pytest.mark.parametrize("kw, geometry, seqlen", ALL_CASES)
def test_window_kernel_matches_brute_force(weighted, rng, kw, geometry, seqlen):
    kernel = weighted(**kw)
    texts = family(rng, 4, seqlen)
    texts[1] = texts[0]
    rc, got = kernel.window_kernel(texts, geometry)
    assert rc == 0
    expected = kernel.reference().self_window(texts, *geometry)
    assert len(got) == len(expected) > 0
    assert_matches_reference(got, expected)


@pytest.mark.parametrize("kw, geometry, seqlen", ALL_CASES)
def test_sliding_query_matches_brute_force(weighted, rng, kw, geometry, seqlen):
    kernel = weighted(**kw)
    texts = family(rng, 4, seqlen)
    # A longer reference is cut at the query's windows like the others.
    refs = [texts[0], texts[1], texts[2] + random_dna(rng, 7), texts[3]]
    kernel.add_references(refs)
    rc, rows, n_out, _ = kernel.sliding_query(texts[0], geometry)
    assert rc == 0
    expected = kernel.reference().sliding_query(texts[0], refs, *geometry)
    assert n_out == len(rows) == len(expected) > 0
    assert_matches_reference(as_blocks(rows), as_blocks(expected))


# ---- where the centre lies ----------------------------------------------------


@pytest.mark.parametrize(
    "geometry, w_idx, lmer_start",
    [
        ((20, 10, 0, 0), 1, 15),  # interior window at 10: centre 9.5, L-mer 5 of the view (bases 15..24)
        ((20, 10, 5, 0), 0, 0),  # first window clipped to [0, 15): centre 4.5, L-mer 0
    ],
    ids=["interior", "left-clipped"],
)
@pytest.mark.parametrize("n_changes", [0, 1, 2, 3, 4])
def test_only_the_lmer_at_the_window_middle_counts(weighted, rng, geometry, w_idx, lmer_start, n_changes):
    # With a triangle of half-width 1 only the L-mer whose midpoint is the
    # centre has a weight, so a block entry compares just that L-mer pair.
    kernel = weighted(L=10, k=6, d=3, pos_kernel=POS_TRIANGULAR, sigma=1.0, peak=3.0)
    a = random_dna(rng, 60)
    chars = list(a)
    for pos in rng.sample(range(lmer_start, lmer_start + 10), n_changes):
        chars[pos] = "A" if chars[pos] != "A" else "C"
    b = "".join(chars)
    m = hamming_text(a[lmer_start : lmer_start + 10], b[lmer_start : lmer_start + 10])
    assert m == n_changes
    w = full_weights(10, 6)
    expected = w[m] / w[0] if m <= 3 else 0.0
    rc, got = kernel.window_kernel([a, b], geometry)
    assert rc == 0
    assert got[w_idx][0][1] == pytest.approx(expected, rel=1e-14, abs=0.0)
    assert got[w_idx][0][0] == pytest.approx(1.0, rel=1e-14)


@pytest.mark.parametrize("shift", [50, 7])
def test_window_whose_centre_lies_far_left_is_all_zero(weighted, rng, shift):
    # First window: 50 bases, centre -50.5 from its first base; every midpoint
    # (4.5 .. 44.5) lies 55 or more away from it, beyond the half-width 50.
    kernel = weighted(L=10, k=6, d=3, pos_kernel=POS_TRIANGULAR, sigma=50.0)
    texts = family(rng, 3, 100)
    geometry = (200, shift, 150, 0)
    rc, got = kernel.window_kernel(texts, geometry)
    assert rc == 0
    assert got[0] == [[0.0] * 3] * 3
    expected = kernel.reference().self_window(texts, *geometry)
    assert_matches_reference(got, expected)
    assert any(v > 0 for v in got[-1][0])

    kernel.add_references(texts)
    rc, rows, n_out, _ = kernel.sliding_query(texts[0], geometry)
    assert rc == 0 and n_out == len(got)
    assert rows[0] == [0.0] * 3
    assert_matches_reference(as_blocks(rows), as_blocks(kernel.reference().sliding_query(texts[0], texts, *geometry)))


@pytest.mark.parametrize("kind", ALL_KINDS)
@pytest.mark.parametrize("use_rc", [0, 1])
def test_whole_sequence_window_equals_centred_self_evaluation(weighted, rng, kind, use_rc):
    kernel = weighted(L=8, k=5, d=2, use_rc=use_rc, pos_kernel=kind, gamma=0.1, sigma=9.0)
    texts = family(rng, 4, 41)
    rc, got = kernel.window_kernel(texts, (41, 3, 0, 0))
    assert rc == 0 and len(got) == 1
    rc, centred = kernel.eval_self(texts, [(41 - 1) / 2])
    assert rc == 0
    assert [v for row in got[0] for v in row] == pytest.approx(list(centred), rel=1e-12, abs=0.0)


def test_query_equal_to_a_reference_scores_one(weighted, rng):
    kernel = weighted(L=6, k=4, d=2, use_rc=1, pos_kernel=POS_TRIANGULAR, sigma=1.5)
    texts = family(rng, 3, 50)
    kernel.add_references(texts)
    # The first window holds bases 0..10 and its centre lies 0.5 from its first
    # base, 2 or more from every midpoint (2.5 .. 7.5): its norm is 0.
    rc, rows, n_out, _ = kernel.sliding_query(texts[1], (20, 10, 9, 9))
    assert rc == 0 and n_out == len(rows) == 5
    assert rows[0] == [0.0] * 3
    assert [row[1] for row in rows[1:]] == [pytest.approx(1.0, rel=1e-13)] * 4


# ---- sliding query: references, counts and failures -----------------------------


def test_sliding_query_reference_must_reach_the_last_window(weighted, rng):
    # Query of 50, windows at 0, 12, 24: the last ends at 44.
    geometry = (20, 12, 0, 0)
    text = random_dna(rng, 50)
    reaching = weighted(L=6, k=3, d=2, pos_kernel=POS_GAUSSIAN, sigma=4.0)
    refs = [text, text[:44]]
    reaching.add_references(refs)
    rc, rows, n_out, _ = reaching.sliding_query(text, geometry)
    assert rc == 0 and n_out == 3
    assert_matches_reference(as_blocks(rows), as_blocks(reaching.reference().sliding_query(text, refs, *geometry)))

    short = weighted(L=6, k=3, d=2, pos_kernel=POS_GAUSSIAN, sigma=4.0)
    short.add_references([text, text[:43]])
    rc, _, n_out, buf = short.sliding_query(text, geometry)
    assert rc == -1 and n_out == UNSET and untouched(buf)


def test_sliding_query_on_unfinalised_kernel_fails(weighted, rng):
    kernel = weighted(L=6, k=3, d=2)
    kernel.add_references([random_dna(rng, 40)], finalize=False)
    rc, _, n_out, buf = kernel.sliding_query(random_dna(rng, 40), (20, 10, 0, 0))
    assert rc == -1 and n_out == UNSET and untouched(buf)


@pytest.mark.parametrize("geometry", [(60, 5, 0, 0), (20, 5, -45, 0), (20, 5, 0, -35)])
def test_sliding_query_without_windows_reports_zero(weighted, rng, geometry):
    kernel = weighted(L=6, k=3, d=2)
    # A short reference does not matter when no window is cut.
    kernel.add_references([random_dna(rng, 40), random_dna(rng, 8)])
    rc, _, n_out, buf = kernel.sliding_query(random_dna(rng, 50), geometry, n_rows=4)
    assert rc == 0 and n_out == 0 and untouched(buf)


def test_sliding_query_without_count_pointer(weighted, rng):
    kernel = weighted(L=6, k=3, d=2, use_rc=1)
    texts = family(rng, 2, 40)
    kernel.add_references(texts)
    with_count = kernel.sliding_query(texts[0], (20, 10, 5, 5))
    rc, rows, n_out, _ = kernel.sliding_query(texts[0], (20, 10, 5, 5), count=False)
    assert rc == 0 and n_out == UNSET
    assert rows == with_count[1] and with_count[2] == len(rows) == 4


def test_sliding_query_without_references(weighted, rng):
    kernel = weighted(L=6, k=3, d=2)
    kernel.add_references([])
    rc, _, n_out, buf = kernel.sliding_query(random_dna(rng, 40), (20, 10, 0, 0))
    assert rc == 0 and n_out == 3 and untouched(buf)


@pytest.mark.parametrize(
    "geometry",
    [(20, 0, 0, 0), (20, -3, 0, 0), (5, 5, 0, 0), (20, 5, 15, 0), (20, 5, 0, 15)],
    ids=["shift0", "shift-neg", "window<L", "pad-left-guard", "pad-right-guard"],
)
def test_both_reject_geometry_untouched(weighted, core, rng, geometry):
    kernel = weighted(L=6, k=3, d=2)
    texts = family(rng, 2, 40)
    kernel.add_references(texts)
    out = double_buffer(64)
    rc, out = kernel.window_kernel(texts, geometry, out=out)
    assert rc == -1 and untouched(out)
    rc, _, n_out, buf = kernel.sliding_query(texts[0], geometry, n_rows=8)
    assert rc == -1 and n_out == UNSET and untouched(buf)


def test_window_kernel_rejects_bad_arguments_untouched(weighted, core, rng):
    kernel = weighted(L=6, k=3, d=2)
    a, b, short = kernel.encode([random_dna(rng, 40), random_dna(rng, 40), random_dna(rng, 39)])
    geometry = (20, 10, 0, 0)
    out = double_buffer(64)
    window_kernel = core.gkm_weighted_kernel_window_kernel
    assert window_kernel(kernel.handle, seq_array([a, short]), 2, *geometry, out) == -1
    assert window_kernel(kernel.handle, seq_array([a, None]), 2, *geometry, out) == -1
    assert window_kernel(kernel.handle, seq_array([a, b]), 0, *geometry, out) == -1
    assert window_kernel(None, seq_array([a, b]), 2, *geometry, out) == -1
    assert window_kernel(kernel.handle, None, 2, *geometry, out) == -1
    assert window_kernel(kernel.handle, seq_array([a, b]), 2, *geometry, None) == -1
    # No valid window is a failure here, unlike in the sliding query.
    assert window_kernel(kernel.handle, seq_array([a, b]), 2, 60, 5, 0, 0, out) == -1
    assert untouched(out)


def test_sliding_query_rejects_null_arguments_untouched(weighted, core, rng):
    kernel = weighted(L=6, k=3, d=2)
    kernel.add_references([random_dna(rng, 40)])
    query = kernel.encode([random_dna(rng, 40)])[0]
    out, n_out = double_buffer(8), c_int(UNSET)
    sliding_query = core.gkm_weighted_kernel_sliding_query
    assert sliding_query(None, query, 20, 10, 0, 0, out, n_out) == -1
    assert sliding_query(kernel.handle, None, 20, 10, 0, 0, out, n_out) == -1
    assert sliding_query(kernel.handle, query, 20, 10, 0, 0, None, n_out) == -1
    assert n_out.value == UNSET and untouched(out)


def test_window_kernel_impossible_output_size(weighted, core, rng):
    # 1,000,001 windows x n x n doubles cannot be addressed: refused before any work.
    kernel = weighted(L=10, k=6, d=3)
    seq = kernel.encode([random_dna(rng, 2047)])[0]
    n = 5_000_000
    seqs = (c_void_p * n).from_buffer_copy(struct.pack("P", seq) * n)
    geometry = (3_000_000, 1, 2_999_990, 2_999_990)
    out = double_buffer(1)
    assert core.gkm_compute_n_windows(2047, *geometry, 10) == 1_000_001
    assert core.gkm_weighted_kernel_window_kernel(kernel.handle, seqs, n, *geometry, out) == -1
    assert untouched(out)
