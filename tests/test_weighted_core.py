"""The weighted kernel of the native core, driven through ctypes: creation
rules, accessors, and the centred evaluations against a brute-force kernel."""

from ctypes import c_double, c_int

import pytest

import core_ctypes
from reference import full_weights, revcomp
from reference_weighted import POS_KINDS, POS_LAPLACIAN, POS_TRIANGULAR, ReferenceWeightedKernel
from seqgen import mutate, random_dna

UNKNOWN_KIND = 7
ALL_KINDS = POS_KINDS + (UNKNOWN_KIND,)
SENTINEL = -12345.5


def weighted_params(L=10, k=6, d=3, weight_scheme=0, use_rc=0, pos_kernel=0, gamma=1.0, sigma=50.0, peak=50.0):
    return core_ctypes.GkmWeightedParams(
        core_ctypes.params(L, k, d, weight_scheme, use_rc), pos_kernel, gamma, sigma, peak
    )


class CoreWeightedKernel:
    """A core weighted kernel with the sequences it encoded, all released on close."""

    def __init__(self, core, **kw):
        self.core = core
        self.kw = kw
        self.handle = core.gkm_weighted_kernel_create(weighted_params(**kw))
        assert self.handle, "gkm_weighted_kernel_create returned null for %r" % (kw,)
        self.base = core.gkm_weighted_kernel_base(self.handle)
        self.seqs = []

    def encode(self, texts):
        out = []
        for text in texts:
            seq = self.core.gkm_sequence_create(self.base, text.encode(), None)
            assert seq, "could not encode %r" % text
            self.seqs.append(seq)
            out.append(seq)
        return out

    def eval_self(self, texts, centers, n_centers=None, out=None):
        """(result code, flat output buffer)."""
        seqs = self.encode(texts)
        n_centers = len(centers) if n_centers is None else n_centers
        out = out if out is not None else core_ctypes.double_buffer(n_centers * len(texts) ** 2, SENTINEL)
        rc = self.core.gkm_weighted_kernel_eval_self(
            self.handle, core_ctypes.seq_array(seqs), len(seqs), center_array(centers), n_centers, out
        )
        return rc, out

    def eval_cross(self, q_texts, r_texts, centers, n_centers=None):
        queries, refs = self.encode(q_texts), self.encode(r_texts)
        n_centers = len(centers) if n_centers is None else n_centers
        out = core_ctypes.double_buffer(n_centers * len(queries) * len(refs), SENTINEL)
        rc = self.core.gkm_weighted_kernel_eval_cross(
            self.handle,
            core_ctypes.seq_array(queries),
            len(queries),
            core_ctypes.seq_array(refs),
            len(refs),
            center_array(centers),
            n_centers,
            out,
        )
        return rc, out

    def reference(self):
        kw = dict(self.kw)
        scheme = kw.pop("weight_scheme", 0)
        return ReferenceWeightedKernel(scheme=scheme, **kw)

    def close(self):
        for seq in self.seqs:
            self.core.gkm_sequence_free(seq)
        self.core.gkm_weighted_kernel_destroy(self.handle)


def center_array(centers):
    return (c_double * len(centers))(*centers) if centers is not None else None


@pytest.fixture
def make_weighted(core):
    made = []

    def make(**kw):
        kernel = CoreWeightedKernel(core, **kw)
        made.append(kernel)
        return kernel

    yield make
    for kernel in made:
        kernel.close()


def nested(flat, n_centers, n_rows, n_cols):
    return [
        [list(flat[(c * n_rows + i) * n_cols : (c * n_rows + i + 1) * n_cols]) for i in range(n_rows)]
        for c in range(n_centers)
    ]


def assert_matches_reference(got, expected):
    """Each value within 1e-12 of the reference, relative to the value and
    to the size of the rounding error its sums can carry."""
    for c, (got_c, exp_c) in enumerate(zip(got, expected)):
        for i, (got_row, exp_row) in enumerate(zip(got_c, exp_c)):
            for j, (value, (ref, scale)) in enumerate(zip(got_row, exp_row)):
                tol = 1e-12 * max(abs(ref), scale)
                assert abs(value - ref) <= tol, "[%d][%d][%d]: core %r, reference %r" % (c, i, j, value, ref)


def related_family(rng, n, length):
    """n sequences sharing much of one random ancestor, so that many L-mers match."""
    ancestor = random_dna(rng, length)
    return [mutate(rng, ancestor, rng.randint(1, max(1, length // 5))) for _ in range(n)]


# ---- creation and accessors -------------------------------------------------


@pytest.mark.parametrize(
    "kw, created",
    [
        ({}, True),
        ({"L": 13}, False),
        ({"L": 5, "k": 6}, False),
        ({"d": 5}, False),
        ({"d": -1}, False),
        ({"gamma": 0.0}, True),
        ({"peak": 1e-300}, True),
        ({"peak": 0.0}, False),
        ({"peak": -1.0}, False),
        ({"pos_kernel": POS_LAPLACIAN, "sigma": 0.0}, True),
        ({"pos_kernel": POS_LAPLACIAN, "sigma": -3.0}, True),
        ({"pos_kernel": POS_LAPLACIAN, "sigma": 0.0, "peak": 0.0}, False),
        ({"pos_kernel": UNKNOWN_KIND}, True),
    ]
    + [({"pos_kernel": kind, "gamma": -0.5}, False) for kind in ALL_KINDS]
    + [({"pos_kernel": kind, "sigma": 0.0}, False) for kind in ALL_KINDS if kind != POS_LAPLACIAN],
)
def test_creation_rules(core, kw, created):
    handle = core.gkm_weighted_kernel_create(weighted_params(**kw))
    try:
        assert bool(handle) == created
    finally:
        core.gkm_weighted_kernel_destroy(handle)


def test_create_with_null_params_and_destroy_null(core):
    assert not core.gkm_weighted_kernel_create(None)
    core.gkm_weighted_kernel_destroy(None)
    assert core.gkm_weighted_kernel_base(None) is None
    assert core.gkm_weighted_kernel_base_const(None) is None


@pytest.mark.parametrize("kind", ALL_KINDS)
def test_accessors_report_creation_values(make_weighted, core, kind):
    kernel = make_weighted(L=8, k=5, d=2, weight_scheme=9, use_rc=1, pos_kernel=kind, gamma=0.25, sigma=7.5, peak=3.0)
    h = kernel.handle
    assert core.gkm_weighted_kernel_pos_kernel(h) == kind
    assert core.gkm_weighted_kernel_gamma(h) == 0.25
    assert core.gkm_weighted_kernel_sigma(h) == 7.5
    assert core.gkm_weighted_kernel_peak(h) == 3.0
    assert core.gkm_weighted_kernel_base_const(h) == kernel.base
    L, k, d = c_int(), c_int(), c_int()
    core.gkm_kernel_base_get_params(kernel.base, L, k, d)
    assert (L.value, k.value, d.value) == (8, 5, 2)
    assert core.gkm_kernel_base_get_weight_scheme(kernel.base) == 9
    assert core.gkm_kernel_base_get_use_rc(kernel.base) == 1
    assert [core.gkm_kernel_base_weight(kernel.base, m) for m in range(4)] == full_weights(8, 5)[:3] + [0.0]


def test_base_operations_reach_the_weighted_kernel(make_weighted, core, dna):
    kernel = make_weighted(L=6, k=4, d=1)
    for expected_id in range(20):
        seq = core.gkm_sequence_create(kernel.base, dna(30).encode(), None)
        assert core.gkm_kernel_base_add_sequence(kernel.base, seq) == expected_id
    core.gkm_kernel_base_finalize(kernel.base)
    assert core.gkm_kernel_base_num_sequences(kernel.base) == 20


# ---- centred evaluations against the brute force ----------------------------


def centres_for(length, L):
    """On an L-mer midpoint, between two midpoints, at the middle, and outside."""
    half = (L - 1) / 2
    return [half + 3, half + 5.5, (length - 1) / 2, length + 4.25, -6.0]


def profile_configs():
    for kind in ALL_KINDS:
        for use_rc in (0, 1):
            yield dict(L=5, k=3, d=2, use_rc=use_rc, pos_kernel=kind, gamma=0.3, sigma=6.0, peak=2.0)


def word_length_configs():
    for L in range(2, 13):
        k = max(1, L - 3)
        yield dict(L=L, k=k, d=min(2, L - k), use_rc=L % 2, pos_kernel=L % 5, gamma=0.2, sigma=9.0, peak=1.5)


OTHER_CONFIGS = [
    dict(L=6, k=3, d=3, weight_scheme=1, use_rc=1, pos_kernel=2, sigma=5.0),
    dict(L=6, k=3, d=3, weight_scheme=2, use_rc=0, pos_kernel=4, sigma=5.0),
    dict(L=4, k=4, d=0, use_rc=1, pos_kernel=1, sigma=8.0),
]


@pytest.mark.parametrize("kw", [*profile_configs(), *word_length_configs(), *OTHER_CONFIGS], ids=repr)
def test_self_and_cross_match_brute_force(make_weighted, rng, kw):
    kernel = make_weighted(**kw)
    length = kw["L"] + 17
    seqs = related_family(rng, 4, length)
    others = related_family(rng, 3, length)
    centers = centres_for(length, kw["L"])
    ref = kernel.reference()

    rc, out = kernel.eval_self(seqs, centers)
    assert rc == 0
    assert_matches_reference(nested(out, len(centers), 4, 4), ref.eval_self(seqs, centers))

    rc, out = kernel.eval_cross(others, seqs, centers)
    assert rc == 0
    assert_matches_reference(nested(out, len(centers), 3, 4), ref.eval_cross(others, seqs, centers))


@pytest.mark.parametrize("kind", [0, 1])
def test_compact_profile_excluding_a_whole_sequence_gives_zero_blocks(make_weighted, rng, kind):
    kernel = make_weighted(L=6, k=4, d=2, pos_kernel=kind, sigma=3.0)
    length = 20
    seqs = related_family(rng, 3, length)
    # The last L-mer midpoint is 16.5: centres 19.5 and -3.0 lie sigma or more from all of them.
    centers = [19.5, 8.0, -3.0]
    rc, out = kernel.eval_self(seqs, centers)
    assert rc == 0
    got = nested(out, 3, 3, 3)
    assert got[0] == [[0.0] * 3] * 3
    assert got[2] == [[0.0] * 3] * 3
    assert all(got[1][i][i] == pytest.approx(1.0, rel=1e-13) for i in range(3))
    rc, out = kernel.eval_cross(seqs[:1], seqs, centers)
    assert rc == 0
    assert list(out[0:3]) == [0.0] * 3 and list(out[6:9]) == [0.0] * 3


def test_narrow_triangle_between_midpoints_weights_nothing(make_weighted, rng):
    kernel = make_weighted(L=5, k=3, d=1, pos_kernel=POS_TRIANGULAR, sigma=0.4)
    seqs = related_family(rng, 2, 15)
    rc, out = kernel.eval_self(seqs, [2.0 + 3.5])
    assert rc == 0
    assert list(out) == [0.0] * 4


@pytest.mark.parametrize("use_rc", [0, 1])
def test_self_diagonal_is_one_or_zero(make_weighted, rng, use_rc):
    kernel = make_weighted(L=7, k=4, d=3, use_rc=use_rc, pos_kernel=POS_TRIANGULAR, sigma=4.0)
    length = 30
    seqs = [random_dna(rng, length) for _ in range(5)]
    centers = [(length - 1) / 2, 3.0, 3.5, 100.0]
    rc, out = kernel.eval_self(seqs, centers)
    assert rc == 0
    got = nested(out, 4, 5, 5)
    for c in range(3):
        assert [got[c][i][i] for i in range(5)] == pytest.approx([1.0] * 5, rel=1e-13)
        for i in range(5):
            for j in range(5):
                assert got[c][i][j] == pytest.approx(got[c][j][i], rel=1e-12, abs=1e-15)
    assert got[3] == [[0.0] * 5] * 5


def test_one_sequence_one_centre(make_weighted, dna):
    kernel = make_weighted()
    rc, out = kernel.eval_self([dna(40)], [19.5])
    assert rc == 0
    assert out[0] == pytest.approx(1.0, rel=1e-13)


@pytest.mark.parametrize("kind", ALL_KINDS)
def test_peak_does_not_change_normalised_values(make_weighted, rng, kind):
    seqs = related_family(rng, 3, 25)
    others = related_family(rng, 2, 25)
    centers = [3.0, 12.0, 20.5]
    results = []
    for peak in (1.0, 50.0):
        kernel = make_weighted(L=5, k=3, d=2, use_rc=1, pos_kernel=kind, gamma=0.4, sigma=7.0, peak=peak)
        rc, out = kernel.eval_cross(others, seqs, centers)
        assert rc == 0
        results.append(list(out))
    assert results[0] == pytest.approx(results[1], rel=1e-12, abs=1e-15)


def test_every_unknown_kind_is_the_flat_profile(make_weighted, rng):
    seqs = related_family(rng, 3, 25)
    results = []
    for kind in (UNKNOWN_KIND, 5, 100, -1, 2**31 - 1):
        kernel = make_weighted(L=5, k=3, d=2, pos_kernel=kind, gamma=0.4, sigma=7.0)
        rc, out = kernel.eval_self(seqs, [3.0, 40.0])
        assert rc == 0
        results.append(list(out))
    assert all(r == results[0] for r in results)
    flat = make_weighted(L=5, k=3, d=2, pos_kernel=POS_LAPLACIAN, gamma=0.0)
    assert list(flat.eval_self(seqs, [3.0, 40.0])[1]) == results[0]


def test_reverse_complement_centred_at_the_middle_scores_one(make_weighted, dna):
    kernel = make_weighted(L=8, k=5, d=2, use_rc=1, pos_kernel=2, sigma=6.0)
    seq = dna(31)
    rc, out = kernel.eval_cross([seq], [revcomp(seq)], [15.0])
    assert rc == 0
    assert out[0] == pytest.approx(1.0, rel=1e-13)


def test_many_centres_in_one_call(make_weighted, rng):
    kernel = make_weighted(L=4, k=2, d=1, use_rc=1, pos_kernel=POS_TRIANGULAR, sigma=2.5)
    seqs = related_family(rng, 3, 12)
    centers = [rng.uniform(-5.0, 17.0) for _ in range(1_000_000)]
    rc, out = kernel.eval_self(seqs, centers)
    assert rc == 0
    picks = sorted(rng.sample(range(len(centers)), 20))
    expected = kernel.reference().eval_self(seqs, [centers[c] for c in picks])
    got = [[list(out[(c * 3 + i) * 3 : (c * 3 + i + 1) * 3]) for i in range(3)] for c in picks]
    assert_matches_reference(got, expected)


# ---- failures leave the output untouched ------------------------------------


def test_unequal_lengths_fail_without_writing(make_weighted, dna):
    kernel = make_weighted(L=5, k=3, d=1)
    rc, out = kernel.eval_self([dna(20), dna(21)], [5.0, 9.0])
    assert rc == -1
    assert list(out) == [SENTINEL] * 8
    for queries, refs in [([dna(20)], [dna(21)]), ([dna(20), dna(19)], [dna(20)]), ([dna(20)], [dna(20), dna(22)])]:
        rc, out = kernel.eval_cross(queries, refs, [5.0])
        assert rc == -1
        assert list(out) == [SENTINEL] * len(out)


@pytest.mark.parametrize("centers, n_centers", [([], 0), ([3.0], 0), ([3.0], -1), (None, 1)])
def test_missing_centres_fail(make_weighted, dna, centers, n_centers):
    kernel = make_weighted(L=5, k=3, d=1)
    seqs = [dna(20)]
    rc, out = kernel.eval_self(seqs, centers, n_centers)
    assert rc == -1 and out[0] == SENTINEL
    rc, out = kernel.eval_cross(seqs, seqs, centers, n_centers)
    assert rc == -1 and out[0] == SENTINEL


def test_null_and_empty_arguments_fail(make_weighted, core, dna):
    kernel = make_weighted(L=5, k=3, d=1)
    seqs = core_ctypes.seq_array(kernel.encode([dna(20), dna(20)]))
    centers = center_array([4.0])
    out = core_ctypes.double_buffer(4, SENTINEL)
    self_eval, cross_eval = core.gkm_weighted_kernel_eval_self, core.gkm_weighted_kernel_eval_cross
    assert self_eval(None, seqs, 2, centers, 1, out) == -1
    assert self_eval(kernel.handle, None, 2, centers, 1, out) == -1
    assert self_eval(kernel.handle, seqs, 0, centers, 1, out) == -1
    assert self_eval(kernel.handle, seqs, 2, centers, 1, None) == -1
    assert self_eval(kernel.handle, core_ctypes.seq_array([seqs[0], None]), 2, centers, 1, out) == -1
    assert cross_eval(None, seqs, 2, seqs, 2, centers, 1, out) == -1
    assert cross_eval(kernel.handle, None, 2, seqs, 2, centers, 1, out) == -1
    assert cross_eval(kernel.handle, seqs, 2, None, 2, centers, 1, out) == -1
    assert cross_eval(kernel.handle, seqs, 0, seqs, 2, centers, 1, out) == -1
    assert cross_eval(kernel.handle, seqs, 2, seqs, 0, centers, 1, out) == -1
    assert cross_eval(kernel.handle, seqs, 2, seqs, 2, centers, 1, None) == -1
    assert cross_eval(kernel.handle, seqs, 1, core_ctypes.seq_array([None]), 1, centers, 1, out) == -1
    assert list(out) == [SENTINEL] * 4


def test_sequences_encoded_for_another_word_length(make_weighted, core, rng):
    """Only the bases of a sequence count: one encoded for a smaller L scores
    as if encoded for this kernel, one shorter than this L fails."""
    kernel = make_weighted(L=9, k=5, d=2, use_rc=1, pos_kernel=2, sigma=6.0)
    foreign = make_weighted(L=4, k=2, d=1)
    texts = related_family(rng, 3, 20)
    centers = center_array([4.0, 10.0])
    outs = []
    for owner in (kernel, foreign):
        seqs = core_ctypes.seq_array(owner.encode(texts))
        out = core_ctypes.double_buffer(18, SENTINEL)
        assert core.gkm_weighted_kernel_eval_self(kernel.handle, seqs, 3, centers, 2, out) == 0
        outs.append(list(out))
        out = core_ctypes.double_buffer(18, SENTINEL)
        assert core.gkm_weighted_kernel_eval_cross(kernel.handle, seqs, 3, seqs, 3, centers, 2, out) == 0
        outs.append(list(out))
    assert outs[0] == outs[1] == outs[2] == outs[3]

    short = core_ctypes.seq_array(foreign.encode([texts[0][:8], texts[1][:8]]))
    out = core_ctypes.double_buffer(4, SENTINEL)
    assert core.gkm_weighted_kernel_eval_self(kernel.handle, short, 2, centers, 1, out) == -1
    assert core.gkm_weighted_kernel_eval_cross(kernel.handle, short, 1, short, 1, centers, 1, out) == -1
    assert list(out) == [SENTINEL] * 4
