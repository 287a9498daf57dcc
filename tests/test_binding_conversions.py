"""Shared argument conversions seen through the window methods: padding,
single-sequence coercion and three-level result lists, through both kernel
types."""
import sys

import pytest

from vellum import _gkmkern as g

NOT_ENCODABLE = "could not create sequence (too short for L, or contains non-ACGT characters)"
OTHER_PARAMETERS = "Sequence was encoded for a kernel with different parameters (L, k, d, weight_scheme, use_rc)"
PADDING_TYPE = "padding must be an int or a (left, right) tuple"
PADDING_LENGTH = "padding tuple/list must have 2 elements (left, right)"
PADDING_RANGE = "padding value out of range for a 32-bit int"
PARAMS = dict(L=6, k=4, d=2)


KERNEL_TYPES = [g.Kernel, g.WeightedKernel]


@pytest.fixture
def seqs(dna):
    return [dna(60) for _ in range(4)]


def finalized(cls, refs):
    kernel = cls(**PARAMS)
    for ref in refs:
        kernel.add_sequence(ref)
    kernel.finalize()
    return kernel


@pytest.mark.parametrize("cls", KERNEL_TYPES)
@pytest.mark.parametrize(
    "same_paddings",
    [
        [None, 0, (0, 0), [0, 0], False, "omitted"],
        [5, (5, 5), [5, 5]],
        [True, (1, 1), (True, 1)],
        [(3, 7), [3, 7]],
    ],
)
def test_equivalent_paddings(cls, same_paddings, seqs):
    kernel = finalized(cls, seqs)

    def run(padding):
        if padding == "omitted":
            return kernel.sliding_query(seqs[0], 20, 10)
        return kernel.sliding_query(seqs[0], 20, 10, padding=padding)

    results = [run(p) for p in same_paddings]
    assert all(r == results[0] for r in results)


@pytest.mark.parametrize("cls", KERNEL_TYPES)
@pytest.mark.parametrize(
    "padding, exc, message",
    [
        ((1, 2, 3), ValueError, PADDING_LENGTH),
        ([4], ValueError, PADDING_LENGTH),
        ((), ValueError, PADDING_LENGTH),
        (2.5, TypeError, PADDING_TYPE),
        ("3", TypeError, PADDING_TYPE),
        ({1: 2}, TypeError, PADDING_TYPE),
        ((1, "x"), TypeError, None),
        ((1.5, 2), TypeError, None),
        (2**31, OverflowError, PADDING_RANGE),
        (-(2**31) - 1, OverflowError, PADDING_RANGE),
        ((0, 2**31), OverflowError, PADDING_RANGE),
        (2**70, OverflowError, PADDING_RANGE),
        ((-(2**80), 0), OverflowError, PADDING_RANGE),
    ],
)
def test_padding_errors(cls, padding, exc, message, seqs):
    kernel = finalized(cls, seqs)
    with pytest.raises(exc) as err:
        kernel.sliding_query(seqs[0], 20, 10, padding)
    assert type(err.value) is exc
    if message is not None:
        assert str(err.value) == message
    else:
        assert str(err.value) not in (PADDING_TYPE, PADDING_LENGTH)


@pytest.mark.parametrize("cls", KERNEL_TYPES)
@pytest.mark.parametrize("padding", [(2**31 - 1, 0), (-(2**31), 0), (0, -(2**31)), (-2, 4)])
def test_padding_limits_reach_the_window_rule(cls, padding, seqs):
    # Values within 32 bits convert; the window rule alone decides what they mean.
    kernel = finalized(cls, seqs)
    try:
        kernel.sliding_query(seqs[0], 20, 10, padding)
    except (ValueError, RuntimeError) as err:
        assert PADDING_RANGE not in str(err)


@pytest.mark.parametrize("cls", KERNEL_TYPES)
@pytest.mark.parametrize(
    "make_query, exc, message",
    [
        (lambda k: 42, TypeError, "expected a Sequence or a string"),
        (lambda k: [k.__class__], TypeError, "expected a Sequence or a string"),
        (lambda k: b"ACGTACGTACGTACGTACGTAC", TypeError, "expected a Sequence or a string"),
        (lambda k: "ACGTNACGTACGTACGTACGTA", ValueError, NOT_ENCODABLE),
        (lambda k: "ACGTA", ValueError, NOT_ENCODABLE),
        (lambda k: "ACGTACGTAC\0GTACGTACGTA", ValueError, NOT_ENCODABLE),
        (lambda k: g.Sequence.__new__(g.Sequence), RuntimeError, "Sequence object is not initialized"),
        (lambda k: g.Sequence(g.Kernel(L=7, k=4, d=2), "ACGTACGTACGTACGTACGTAC"), ValueError, OTHER_PARAMETERS),
    ],
)
def test_single_query_errors(cls, make_query, exc, message, seqs):
    kernel = finalized(cls, seqs)
    with pytest.raises(exc) as err:
        kernel.sliding_query(make_query(kernel), 20, 10)
    assert str(err.value) == message


@pytest.mark.parametrize("cls", KERNEL_TYPES)
def test_single_query_str_and_sequence_agree_without_leaks(cls, seqs):
    kernel = finalized(cls, seqs)
    text = "".join(seqs[1])
    seq = g.Sequence(kernel, text)
    padding = (2, 3)
    before = [sys.getrefcount(x) for x in (text, seq, padding)]
    assert kernel.sliding_query(text, 20, 10, padding) == kernel.sliding_query(seq, 20, 10, padding)
    with pytest.raises(ValueError):
        kernel.sliding_query(seq, 20, 10, (1, 2, 3))
    assert [sys.getrefcount(x) for x in (text, seq, padding)] == before


@pytest.mark.parametrize("cls", KERNEL_TYPES)
@pytest.mark.parametrize("window, shift, n_windows", [(60, 5, 1), (30, 10, 4), (20, 20, 3)])
def test_three_level_result_shape(cls, window, shift, n_windows, seqs):
    result = cls(**PARAMS).self_window_eval(seqs, window, shift)
    assert len(result) == n_windows
    assert all(len(matrix) == len(seqs) and all(len(row) == len(seqs) for row in matrix) for matrix in result)
    assert all(type(v) is float for matrix in result for row in matrix for v in row)
