"""Kernel.eval_batch: query lists, borrowed sequences, results and failures."""
import sys

import pytest

from binding_support import NOT_ENCODABLE, OTHER_PARAMETERS, assert_each_allocation_failure_is_clean
from vellum import _gkmkern as g


def finalized_kernel(refs, **params):
    kernel = g.Kernel(**params)
    for ref in refs:
        kernel.add_sequence(ref)
    kernel.finalize()
    return kernel


@pytest.fixture
def refs(dna):
    return [dna(n) for n in (30, 45, 60, 12, 80)]


@pytest.mark.parametrize(
    "use_rc, expected",
    [(0, 4.0 / 6.0), (1, 8.0 / (8**0.5 * 12**0.5))],
)
def test_small_known_value(use_rc, expected):
    kernel = finalized_kernel(["ACGT"], L=3, k=2, d=1, use_rc=use_rc)
    assert kernel.eval_batch(["ACGA"]) == [[pytest.approx(expected, rel=1e-12)]]


def test_query_equal_to_reference_scores_one(refs):
    kernel = finalized_kernel(refs, L=6, k=4, d=2)
    rows = kernel.eval_batch(refs)
    assert len(rows) == len(refs) and all(len(row) == len(refs) for row in rows)
    for j in range(len(refs)):
        assert rows[j][j] == pytest.approx(1.0, rel=1e-12)
    assert kernel.num_sequences() == len(refs)


def test_never_finalized_kernel_gives_zeros(refs):
    kernel = g.Kernel(L=6, k=4, d=2)
    for ref in refs:
        kernel.add_sequence(ref)
    assert kernel.eval_batch(refs[:2]) == [[0.0] * len(refs)] * 2


@pytest.mark.parametrize("finalize", [False, True])
def test_kernel_without_references_gives_empty_rows(finalize):
    kernel = g.Kernel(L=6, k=4, d=2)
    if finalize:
        kernel.finalize()
    assert kernel.eval_batch(("ACGTACGT", "TTTTTTTT", "GGGGGGGG")) == [[], [], []]


def test_str_and_sequence_queries_agree(refs, dna):
    params = dict(L=7, k=4, d=2, use_rc=1)
    kernel = finalized_kernel(refs, **params)
    queries = [dna(n) for n in (7, 25, 90)] + refs[:1]
    as_str = kernel.eval_batch(queries)
    as_seq = kernel.eval_batch([g.Sequence(kernel, q) for q in queries])
    from_weighted = kernel.eval_batch([g.Sequence(g.WeightedKernel(**params), q) for q in queries])
    mixed = kernel.eval_batch(tuple(q if i % 2 else g.Sequence(kernel, q) for i, q in enumerate(queries)))
    assert as_str == as_seq == from_weighted == mixed


def test_results_do_not_depend_on_thread_count(refs, dna):
    queries = [dna(n) for n in range(10, 150, 7)]
    results = [finalized_kernel(refs, L=8, k=5, d=3, nthreads=t).eval_batch(queries) for t in (-2, 0, 1, 2, 7)]
    assert all(r == results[0] for r in results)


@pytest.mark.parametrize(
    "arg, exc, message",
    [
        ([], ValueError, "sequence list is empty"),
        ((), ValueError, "sequence list is empty"),
        ("ACGTACGT", TypeError, "must be a list or tuple of strings or Sequence objects"),
        (None, TypeError, "must be a list or tuple of strings or Sequence objects"),
        ({"ACGTACGT"}, TypeError, "must be a list or tuple of strings or Sequence objects"),
        (iter(["ACGTACGT"]), TypeError, "must be a list or tuple of strings or Sequence objects"),
        ([1], TypeError, "elements must be str or Sequence"),
        (["ACGTACGT", b"ACGTACGT"], TypeError, "elements must be str or Sequence"),
        (["ACGTACGT", None], TypeError, "elements must be str or Sequence"),
        (["ACGTNCGT"], ValueError, NOT_ENCODABLE),
        (["ACG"], ValueError, NOT_ENCODABLE),
        ([""], ValueError, NOT_ENCODABLE),
        (["ACGTACGT\0ACGT"], ValueError, NOT_ENCODABLE),
        (["ACGTACGT", "ACGTACGT", "ACGTNCGT"], ValueError, NOT_ENCODABLE),
        (["ACGTNCGT", 7], ValueError, NOT_ENCODABLE),
        ([5, "ACGTNCGT"], TypeError, "elements must be str or Sequence"),
        ([g.Sequence.__new__(g.Sequence)], RuntimeError, "Sequence object is not initialized"),
        (["ACGTACGT", g.Sequence.__new__(g.Sequence)], RuntimeError, "Sequence object is not initialized"),
        ([g.Sequence(g.Kernel(L=6, k=3, d=2), "ACGTACGT")], ValueError, OTHER_PARAMETERS),
    ],
)
def test_query_list_errors(arg, exc, message):
    kernel = finalized_kernel(["ACGTACGTAC"], L=5, k=3, d=2)
    with pytest.raises(exc) as err:
        kernel.eval_batch(arg)
    assert type(err.value) is exc
    assert str(err.value) == message


def test_unencodable_unicode_propagates_its_error():
    kernel = finalized_kernel(["ACGTACGTAC"], L=5, k=3, d=2)
    with pytest.raises(UnicodeEncodeError):
        kernel.eval_batch(["ACGTA\ud800CGT"])


@pytest.mark.parametrize("args, kwargs", [((), {}), ((["ACGTACGT"], 1), {}), ((), {"queries": ["ACGTACGT"]})])
def test_argument_parsing(args, kwargs):
    kernel = finalized_kernel(["ACGTACGTAC"], L=5, k=3, d=2)
    with pytest.raises(TypeError):
        kernel.eval_batch(*args, **kwargs)


@pytest.mark.parametrize(
    "other",
    [
        dict(L=9, k=6, d=3),
        dict(L=10, k=5, d=3),
        dict(L=10, k=6, d=2),
        dict(L=10, k=6, d=3, weight_scheme=1),
        dict(L=10, k=6, d=3, weight_scheme=7),
        dict(L=10, k=6, d=3, use_rc=1),
    ],
)
@pytest.mark.parametrize("kind", [g.Kernel, g.WeightedKernel])
def test_sequence_for_other_parameters_is_rejected(other, kind, dna):
    kernel = finalized_kernel([dna(40)], L=10, k=6, d=3)
    foreign = g.Sequence(kind(**other), dna(40))
    with pytest.raises(ValueError) as err:
        kernel.eval_batch([dna(30), foreign])
    assert str(err.value) == OTHER_PARAMETERS


def test_sequence_for_other_thread_count_is_accepted(dna):
    ref = dna(40)
    kernel = finalized_kernel([ref], L=10, k=6, d=3, nthreads=1)
    seq = g.Sequence(g.Kernel(L=10, k=6, d=3, use_rc=0, nthreads=4), ref)
    assert kernel.eval_batch([seq]) == [[pytest.approx(1.0, rel=1e-12)]]


class HostileList(list):
    """A list whose Python-level protocol lies; the binding must read the storage."""

    def __len__(self):
        return 0

    def __getitem__(self, i):
        raise AssertionError("__getitem__ called")

    def __iter__(self):
        raise AssertionError("__iter__ called")


class HostileTuple(tuple):
    def __len__(self):
        return 99

    def __getitem__(self, i):
        raise AssertionError("__getitem__ called")


@pytest.mark.parametrize("container", [HostileList, HostileTuple])
def test_list_subclasses_are_read_from_their_storage(container, refs):
    kernel = finalized_kernel(refs, L=6, k=4, d=2)
    queries = [refs[1], g.Sequence(kernel, refs[2])]
    assert kernel.eval_batch(container(queries)) == kernel.eval_batch(list(queries))


def fresh_objects(kernel, dna):
    """Queries built at run time, so that only this test holds references to them."""
    return [dna(20), g.Sequence(kernel, dna(25)), "".join([dna(15)]), g.Sequence(kernel, dna(30))]


@pytest.mark.parametrize(
    "spoil",
    [
        None,
        lambda q: q.append("ACGTNACGTACGT"),
        lambda q: q.append(3.5),
        lambda q: q.append(g.Sequence.__new__(g.Sequence)),
        lambda q: q.insert(2, g.Sequence(g.Kernel(L=6, k=4, d=1), "ACGTACGT")),
    ],
)
def test_argument_refcounts_are_unchanged(spoil, refs, dna):
    kernel = finalized_kernel(refs, L=6, k=4, d=2)
    queries = fresh_objects(kernel, dna)
    if spoil:
        spoil(queries)
    before = [sys.getrefcount(queries)] + [sys.getrefcount(q) for q in queries] + [sys.getrefcount(kernel)]
    for _ in range(3):
        try:
            kernel.eval_batch(queries)
        except (ValueError, TypeError, RuntimeError):
            assert spoil is not None
    after = [sys.getrefcount(queries)] + [sys.getrefcount(q) for q in queries] + [sys.getrefcount(kernel)]
    assert after == before


def test_borrowed_sequences_stay_usable(refs):
    kernel = finalized_kernel(refs, L=6, k=4, d=2)
    seq = g.Sequence(kernel, refs[0])
    first = kernel.eval_batch([seq, seq, seq])
    assert kernel.eval_batch([seq]) == first[:1]
    assert seq.length() == len(refs[0])


def test_failing_allocations_raise_memory_error_and_leak_nothing(dna):
    """Every allocation the call makes is failed once in turn: the call either
    succeeds with the right values or raises MemoryError, and the arguments'
    reference counts come back unchanged."""
    refs = [dna(30) for _ in range(60)]
    kernel = finalized_kernel(refs, L=6, k=4, d=2)
    queries = [dna(25), g.Sequence(kernel, dna(40)), dna(35)]
    expected = kernel.eval_batch(queries)
    assert_each_allocation_failure_is_clean(lambda: kernel.eval_batch(queries), expected, [queries] + queries, 400)
