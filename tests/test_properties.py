"""Every evaluation method against the brute-force references, on sequences,
parameters, window geometries, positional profiles and centres drawn by
Hypothesis. With full weights every kernel value is an exact integer sum, so
values must agree to the last bit; otherwise within 1e-12 (relative to the
value, or for weighted kernels to the size of the rounding error the sums can
carry). VELLUM_PROPERTY_EXAMPLES scales the number of examples (default 1.0)."""

import os

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from reference import WEIGHT_FULL, ReferenceKernel, encode
from reference_weighted import POS_KINDS, POS_LAPLACIAN, ReferenceWeightedKernel
from reference_weighted_windows import WeightedWindowReference
from reference_windows import WindowReference
from test_weighted_core import assert_matches_reference
from vellum import _gkmkern as g

SCALE = float(os.environ.get("VELLUM_PROPERTY_EXAMPLES", 1.0))


def examples(n):
    return settings(
        max_examples=max(1, int(n * SCALE)),
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    )


# ---- strategies ------------------------------------------------------------------


@st.composite
def kernel_params(draw, max_L=7):
    L = draw(st.integers(2, max_L))
    k = draw(st.integers(1, L))
    # Every d the parameters allow, so that the walker's bound on the
    # mismatches a suffix may still use is reached at every depth.
    d = draw(st.integers(0, L - k))
    return dict(L=L, k=k, d=d, weight_scheme=draw(st.sampled_from([0, 1, 2])), use_rc=int(draw(st.booleans())))


@st.composite
def positional_params(draw):
    kind = draw(st.sampled_from(POS_KINDS))
    sigma_low = 0.0 if kind == POS_LAPLACIAN else 0.5
    return dict(
        pos_kernel=kind,
        weight_gamma=draw(st.floats(0.0, 2.0)),
        weight_sigma=draw(st.floats(sigma_low, 30.0)),
        weight_peak=draw(st.floats(0.25, 4.0)),
    )


def mutated(draw, ancestor, max_changes):
    chars = list(ancestor)
    for pos, base in draw(st.lists(st.tuples(st.integers(0, len(chars) - 1), st.sampled_from("ACGTacgt")),
                                   max_size=max_changes)):
        chars[pos] = base
    return "".join(chars)


@st.composite
def family(draw, L, n_max, min_len=None, max_len=30, equal=True):
    """1..n_max sequences sharing much of one ancestor, so that many L-mers
    match; of one length when equal."""
    n = draw(st.integers(1, n_max))
    length = draw(st.integers(max(L, min_len or L), max_len))
    ancestor = draw(st.text("ACGT", min_size=length, max_size=length))
    seqs = []
    for _ in range(n):
        seq = mutated(draw, ancestor, 4)
        if not equal:
            seq = seq[: draw(st.integers(L, length))]
        seqs.append(seq)
    return seqs


@st.composite
def geometry(draw, L, seqlen):
    """(window, shift, padding argument, (pad_left, pad_right)) with few windows."""
    window = draw(st.integers(L, seqlen + 4))
    shift = draw(st.integers(max(1, seqlen // 8), 8))
    slack = window - L
    form = draw(st.sampled_from(["none", "int", "pair"]))
    if form == "none":
        return window, shift, None, (0, 0)
    if form == "int":
        p = draw(st.integers(-3, slack))
        return window, shift, p, (p, p)
    pair = (draw(st.integers(-3, slack)), draw(st.integers(-3, slack)))
    return window, shift, pair, pair


@st.composite
def offsets(draw, seqlen, L):
    """(offsets argument, the centres it stands for)."""
    middle = (seqlen - 1) * 0.5
    form = draw(st.sampled_from(["none", "scalar", "list", "slice"]))
    if form == "none":
        return None, [middle]
    if form == "scalar":
        off = draw(st.one_of(st.integers(-20, 20), st.floats(-20, 20)))
        return off, [middle + off]
    if form == "list":
        offs = draw(st.lists(st.floats(-20, 20), min_size=1, max_size=4))
        return offs, [middle + o for o in offs]
    starts = range(seqlen - L + 1)
    sl = draw(st.slices(len(starts)).filter(lambda s: len(starts[s]) > 0))
    return sl, [j + (L - 1) * 0.5 for j in starts[sl]]


# ---- comparisons ---------------------------------------------------------------


def assert_values(got, expected, exact):
    """Nested lists of equal shape; equal floats when exact, else within 1e-12."""
    if isinstance(expected, list):
        assert isinstance(got, list) and len(got) == len(expected), (got, expected)
        for g_item, e_item in zip(got, expected):
            assert_values(g_item, e_item, exact)
        return
    assert type(got) is float
    if exact:
        assert got == expected, (got, expected)
    else:
        assert abs(got - expected) <= 1e-12 * abs(expected) + 1e-300, (got, expected)


def make_kernel(cls, params, refs=(), finalize=True, **extra):
    kernel = cls(**params, **extra)
    for ref in refs:
        kernel.add_sequence(ref)
    if finalize:
        kernel.finalize()
    return kernel


def as_sequences(kernel, texts, data):
    """Each text either as itself or as a Sequence made by the kernel."""
    return [g.Sequence(kernel, t) if data.draw(st.booleans(), label="as Sequence") else t for t in texts]


# ---- regular kernel ----------------------------------------------------------------


@examples(300)
@given(params=kernel_params(max_L=8), data=st.data())
def test_eval_batch_and_sqnorm(params, data):
    L = params["L"]
    refs = data.draw(family(L, 4, equal=False), label="refs")
    queries = data.draw(family(L, 3, equal=False), label="queries")
    kernel = make_kernel(g.Kernel, params, refs, nthreads=data.draw(st.integers(1, 3), label="nthreads"))
    ref = ReferenceKernel(L, params["k"], params["d"], params["weight_scheme"], params["use_rc"])
    exact = params["weight_scheme"] == WEIGHT_FULL
    assert_values(kernel.eval_batch(as_sequences(kernel, queries, data)), ref.eval_batch(queries, refs), exact)
    assert_values([g.Sequence(kernel, q).sqnorm() for q in queries], [ref.sqnorm(q) for q in queries], exact)


def window_case(data, params, n_max, equal=True, max_len=26):
    L = params["L"]
    seqs = data.draw(family(L, n_max, max_len=max_len, equal=equal), label="seqs")
    window, shift, padding, (pad_left, pad_right) = data.draw(geometry(L, len(seqs[0])), label="geometry")
    return seqs, window, shift, padding, pad_left, pad_right


def window_reference(params):
    return WindowReference(params["L"], params["k"], params["d"], params["use_rc"], params["weight_scheme"])


@examples(200)
@given(params=kernel_params(max_L=6), data=st.data())
def test_kernel_sliding_query(params, data):
    seqs, window, shift, padding, pad_left, pad_right = window_case(data, params, 3, equal=False)
    query, refs = seqs[0], seqs[1:] or seqs
    kernel = make_kernel(g.Kernel, params, refs)
    expected = window_reference(params).sliding_query(encode(query, params["L"]), [encode(r, params["L"]) for r in refs],
                                                      window, shift, pad_left, pad_right)
    [q_arg] = as_sequences(kernel, [query], data)
    got = kernel.sliding_query(q_arg, window, shift, padding)
    assert_values(got, expected, params["weight_scheme"] == WEIGHT_FULL)


@examples(200)
@given(params=kernel_params(max_L=6), data=st.data())
def test_kernel_self_window_eval(params, data):
    seqs, window, shift, padding, pad_left, pad_right = window_case(data, params, 3)
    # A window longer than the sequences is refused whatever the padding.
    window = min(window, len(seqs[0]))
    expected = window_reference(params).self_window(
        [encode(s, params["L"]) for s in seqs], window, shift, pad_left, pad_right)
    kernel = g.Kernel(**params)
    event("%d windows" % min(len(expected), 3))
    if not expected:
        with pytest.raises(ValueError, match="^no valid windows with given padding$"):
            kernel.self_window_eval(seqs, window, shift, padding)
        return
    got = kernel.self_window_eval(as_sequences(kernel, seqs, data), window, shift, padding)
    assert_values(got, expected, params["weight_scheme"] == WEIGHT_FULL)


@examples(200)
@given(params=kernel_params(max_L=6), data=st.data())
def test_kernel_cross_window_eval(params, data):
    seqs, window, shift, padding, pad_left, pad_right = window_case(data, params, 4)
    split = data.draw(st.integers(0, len(seqs) - 1), label="split")
    queries, refs = seqs[: split + 1], seqs[split:]
    encoded = [encode(s, params["L"]) for s in seqs]
    expected = window_reference(params).cross_window(encoded[: split + 1], encoded[split:], window, shift,
                                                     pad_left, pad_right)
    kernel = g.Kernel(**params)
    if not expected:
        with pytest.raises(ValueError, match="^no valid windows with given padding$"):
            kernel.cross_window_eval(queries, refs, window, shift, padding)
        return
    exact = params["weight_scheme"] == WEIGHT_FULL
    # The second call answers from the trees the first one cached.
    for _ in range(2):
        got = kernel.cross_window_eval(as_sequences(kernel, queries, data), refs, window, shift, padding)
        assert_values(got, expected, exact)


# ---- weighted kernel -------------------------------------------------------------


def weighted_pair(params, pos):
    kernel = g.WeightedKernel(**params, **pos)
    ref = ReferenceWeightedKernel(params["L"], params["k"], params["d"], params["weight_scheme"], params["use_rc"],
                                  pos["pos_kernel"], pos["weight_gamma"], pos["weight_sigma"], pos["weight_peak"])
    return kernel, ref


def with_centre_level(result, n_centres):
    return [result] if n_centres == 1 else result


@examples(250)
@given(params=kernel_params(), pos=positional_params(), data=st.data())
def test_weighted_self_and_cross_eval(params, pos, data):
    L = params["L"]
    seqs = data.draw(family(L, 4), label="seqs")
    offsets_arg, centres = data.draw(offsets(len(seqs[0]), L), label="offsets")
    kernel, ref = weighted_pair(params, pos)
    split = data.draw(st.integers(0, len(seqs) - 1), label="split")
    queries, refs = seqs[: split + 1], seqs[split:]
    got_self = kernel.self_eval(as_sequences(kernel, seqs, data), offsets_arg)
    assert_matches_reference(with_centre_level(got_self, len(centres)), ref.eval_self(seqs, centres))
    got_cross = kernel.cross_eval(queries, as_sequences(kernel, refs, data), offsets_arg)
    assert_matches_reference(with_centre_level(got_cross, len(centres)), ref.eval_cross(queries, refs, centres))


@examples(150)
@given(params=kernel_params(max_L=6), pos=positional_params(), data=st.data())
def test_weighted_self_window_eval(params, pos, data):
    seqs, window, shift, padding, pad_left, pad_right = window_case(data, params, 3)
    ref = WeightedWindowReference(params["L"], params["k"], params["d"], params["weight_scheme"], params["use_rc"],
                                  pos["pos_kernel"], pos["weight_gamma"], pos["weight_sigma"], pos["weight_peak"])
    expected = ref.self_window([encode(s, params["L"]) for s in seqs], window, shift, pad_left, pad_right)
    kernel = g.WeightedKernel(**params, **pos)
    if not expected:
        with pytest.raises(ValueError, match="^no valid windows with given padding$"):
            kernel.self_window_eval(seqs, window, shift, padding)
        return
    assert_matches_reference(kernel.self_window_eval(as_sequences(kernel, seqs, data), window, shift, padding),
                             expected)


@examples(150)
@given(params=kernel_params(max_L=6), pos=positional_params(), data=st.data())
def test_weighted_sliding_query(params, pos, data):
    # The stored references must reach the query's last window: same length.
    seqs, window, shift, padding, pad_left, pad_right = window_case(data, params, 3)
    query, refs = seqs[0], seqs[1:] or seqs
    ref = WeightedWindowReference(params["L"], params["k"], params["d"], params["weight_scheme"], params["use_rc"],
                                  pos["pos_kernel"], pos["weight_gamma"], pos["weight_sigma"], pos["weight_peak"])
    expected = ref.sliding_query(encode(query, params["L"]), [encode(r, params["L"]) for r in refs],
                                 window, shift, pad_left, pad_right)
    kernel = make_kernel(g.WeightedKernel, params, refs, **pos)
    [q_arg] = as_sequences(kernel, [query], data)
    got = kernel.sliding_query(q_arg, window, shift, padding)
    assert len(got) == len(expected)
    assert_matches_reference([[row] for row in got], [[row] for row in expected])


@examples(80)
@given(params=kernel_params(max_L=5), data=st.data())
def test_kernel_cross_window_eval_call_sequences(params, data):
    """One kernel, many calls: the cached window trees are reused only for the
    same references and geometry, so every call matches the brute force,
    whatever came before it (other references of the same length, another
    geometry, a call that failed and dropped the cache)."""
    params["weight_scheme"] = WEIGHT_FULL
    L = params["L"]
    pool = data.draw(family(L, 5, min_len=L + 4, max_len=22), label="pool")
    length = len(pool[0])
    geometries = [data.draw(geometry(L, length), label="geometry") for _ in range(2)] + [(L, 0, None, (0, 0))]
    reference = window_reference(params)
    kernel = g.Kernel(**params)
    for _ in range(data.draw(st.integers(2, 6), label="calls")):
        queries = data.draw(st.lists(st.sampled_from(pool), min_size=1, max_size=2), label="queries")
        refs = data.draw(st.lists(st.sampled_from(pool), min_size=1, max_size=3), label="refs")
        window, shift, padding, (pad_left, pad_right) = data.draw(st.sampled_from(geometries), label="call geometry")
        if shift < 1:
            with pytest.raises(RuntimeError, match="^window_tree_cache_build failed$"):
                kernel.cross_window_eval(queries, refs, window, shift, padding)
            continue
        encoded = lambda texts: [encode(t, L) for t in texts]
        expected = reference.cross_window(encoded(queries), encoded(refs), window, shift, pad_left, pad_right)
        if not expected:
            with pytest.raises(ValueError, match="^no valid windows with given padding$"):
                kernel.cross_window_eval(queries, refs, window, shift, padding)
            continue
        assert_values(kernel.cross_window_eval(queries, refs, window, shift, padding), expected, True)
