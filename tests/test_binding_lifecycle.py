"""Constructors, accessors, reference storage and the object lifecycle."""
import gc
import sys

import pytest

from vellum import _gkmkern as g

KERNEL_TYPES = [g.Kernel, g.WeightedKernel]
SEQ10 = "ACGTTGCAAC"
NOT_ENCODABLE_SEQUENCE = "gkm_sequence_create failed (sequence too short for L, or contains non-ACGT characters)"
NOT_ENCODABLE_REFERENCE = "sequence too short for L, or contains non-ACGT characters"


@pytest.mark.parametrize("cls", KERNEL_TYPES)
def test_kernel_defaults(cls):
    kernel = cls()
    assert (kernel.L, kernel.k, kernel.d) == (10, 6, 3)
    assert kernel.weight_scheme() == 0
    assert kernel.use_rc() == 0
    assert kernel.num_sequences() == 0
    assert [kernel.weight(m) for m in range(-1, 5)] == [0.0, 210.0, 84.0, 28.0, 7.0, 0.0]


def test_weighted_kernel_defaults():
    kernel = g.WeightedKernel()
    assert kernel.pos_kernel() == 0
    assert (kernel.gamma(), kernel.sigma(), kernel.peak()) == (1.0, 50.0, 50.0)


def test_weighted_kernel_keeps_positional_arguments():
    kernel = g.WeightedKernel(8, 4, 2, 1, 1, g.POS_LAPLACIAN, 0.5, 0.0, 2.0, 3)
    assert (kernel.L, kernel.k, kernel.d, kernel.weight_scheme(), kernel.use_rc()) == (8, 4, 2, 1, 1)
    assert (kernel.pos_kernel(), kernel.gamma(), kernel.sigma(), kernel.peak()) == (3, 0.5, 0.0, 2.0)


@pytest.mark.parametrize("cls", KERNEL_TYPES)
@pytest.mark.parametrize(
    "kwargs, stored",
    [
        ({"use_rc": 5}, {"use_rc": 1}),
        ({"use_rc": -1}, {"use_rc": 1}),
        ({"use_rc": 0}, {"use_rc": 0}),
        ({"weight_scheme": 7}, {"weight_scheme": 7}),
        ({"weight_scheme": 2}, {"weight_scheme": 2}),
    ],
)
def test_stored_flags(cls, kwargs, stored):
    kernel = cls(**kwargs)
    for name, value in stored.items():
        assert getattr(kernel, name)() == value


@pytest.mark.parametrize("cls", KERNEL_TYPES)
@pytest.mark.parametrize("nthreads", [-3, 0, 1, 64, 2**31 - 1])
def test_nthreads_is_accepted_as_given(cls, nthreads):
    assert cls(nthreads=nthreads).L == 10


@pytest.mark.parametrize("cls", KERNEL_TYPES)
@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"L": 1}, "L < 2"),
        ({"L": 13}, "L > 12"),
        ({"L": 0, "k": 0}, "L < 2"),
        ({"L": 5, "k": 6}, "k > L"),
        ({"L": 5, "k": 0}, "k < 1"),
        ({"L": 3, "k": -1}, "k < 1"),
        ({"L": 10, "k": 6, "d": 5}, "d > L - k"),
        ({"d": -1}, "d < 0"),
    ],
)
def test_invalid_parameters(cls, kwargs, message):
    with pytest.raises(ValueError) as err:
        cls(**kwargs)
    assert str(err.value) == message


@pytest.mark.parametrize("cls", KERNEL_TYPES)
def test_extreme_valid_parameters(cls):
    kernel = cls(L=12, k=12, d=0)
    assert (kernel.L, kernel.k, kernel.d) == (12, 12, 0)


@pytest.mark.parametrize(
    "kwargs",
    [{"weight_peak": 0.0}, {"weight_peak": -1.0}, {"weight_sigma": 0.0}, {"weight_gamma": -0.5}],
)
def test_weighted_kernel_rejected_positional_parameters(kwargs):
    with pytest.raises(RuntimeError) as err:
        g.WeightedKernel(**kwargs)
    assert str(err.value) == "gkm_weighted_kernel_create failed"


@pytest.mark.parametrize(
    "cls, args, kwargs",
    [
        (g.Kernel, ("10",), {}),
        (g.Kernel, (1.5,), {}),
        (g.Kernel, (10, 6, 3, 0, 0, 1, 7), {}),
        (g.Kernel, (), {"bogus": 1}),
        (g.Kernel, (), {"pos_kernel": 1}),
        (g.WeightedKernel, (), {"weight_sigma": "wide"}),
        (g.WeightedKernel, (10, 6, 3, 0, 0, 0, 1.0, 50.0, 50.0, 1, 9), {}),
        (g.WeightedKernel, (), {"L": 2**40}),
    ],
)
def test_constructor_argument_types(cls, args, kwargs):
    with pytest.raises((TypeError, OverflowError)):
        cls(*args, **kwargs)


@pytest.mark.parametrize("cls", KERNEL_TYPES)
def test_add_sequence_and_finalize(cls):
    kernel = cls()
    assert [kernel.add_sequence(SEQ10 * 2), kernel.add_sequence(SEQ10, sid=None), kernel.add_sequence(seq=SEQ10, sid="x")] == [0, 1, 2]
    kernel.finalize()
    with pytest.raises(RuntimeError) as err:
        kernel.add_sequence(SEQ10)
    assert str(err.value) == "kernel already finalized; cannot add more sequences"
    kernel.finalize()
    assert kernel.num_sequences() == 3


@pytest.mark.parametrize("cls", KERNEL_TYPES)
@pytest.mark.parametrize("text", ["ACGTNACGTACGT", "ACGTACGTA", "ACGT-ACGTACGT", ""])
def test_add_sequence_rejects_text(cls, text):
    kernel = cls()
    with pytest.raises(ValueError) as err:
        kernel.add_sequence(text)
    assert str(err.value) == NOT_ENCODABLE_REFERENCE
    assert kernel.num_sequences() == 0


@pytest.mark.parametrize("cls", KERNEL_TYPES)
@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((123,), {}), ((SEQ10, 5), {}), ((SEQ10,), {"name": "x"}), ((SEQ10, None, None), {})],
)
def test_add_sequence_argument_types(cls, args, kwargs):
    with pytest.raises(TypeError):
        cls().add_sequence(*args, **kwargs)


@pytest.mark.parametrize("cls", KERNEL_TYPES)
def test_add_sequence_rejects_sequence_object(cls):
    kernel = cls()
    with pytest.raises(TypeError):
        kernel.add_sequence(g.Sequence(kernel, SEQ10))


@pytest.mark.parametrize("cls", KERNEL_TYPES)
def test_weight_argument(cls):
    kernel = cls()
    for bad in [(), ("1",), (1, 2)]:
        with pytest.raises(TypeError):
            kernel.weight(*bad)
    with pytest.raises(TypeError):
        kernel.weight(m=1)


@pytest.mark.parametrize("cls", KERNEL_TYPES)
def test_sequence_from_either_kernel(cls):
    kernel = cls(L=3, k=2, d=1)
    seq = g.Sequence(kernel, "ACGT")
    assert seq.length() == 4
    assert seq.sqnorm() == pytest.approx(6**0.5)
    assert seq.sid() is None
    assert g.Sequence(kernel=kernel, seq="acgt", sid="x1").sid() == "x1"
    assert kernel.num_sequences() == 0


def test_sequence_is_cut_at_2047_bases():
    text = "ACGT" * 750
    assert g.Sequence(g.Kernel(), text).length() == 2047
    assert g.Sequence(g.Kernel(), text[:2500] + "N" + text[2501:]).length() == 2047


def test_sequence_outlives_its_kernel():
    kernel = g.Kernel(L=3, k=2, d=1, use_rc=1)
    seq = g.Sequence(kernel, "ACGT", "keep")
    del kernel
    gc.collect()
    assert (seq.length(), seq.sid()) == (4, "keep")
    assert seq.sqnorm() == pytest.approx(12**0.5)


@pytest.mark.parametrize("text", ["ACGTNACGTACGT", "ACGTACGTA", "acgt acgtac"])
def test_sequence_rejects_text(text):
    with pytest.raises(ValueError) as err:
        g.Sequence(g.Kernel(), text)
    assert str(err.value) == NOT_ENCODABLE_SEQUENCE


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("not a kernel", SEQ10), {}),
        ((None, SEQ10), {}),
        ((g.Kernel(),), {}),
        ((g.Kernel(), 12345), {}),
        ((g.WeightedKernel(), SEQ10, None), {}),
        ((g.Kernel(), SEQ10, 5), {}),
        ((g.Kernel(), SEQ10), {"name": "x"}),
        ((), {"seq": SEQ10}),
    ],
)
def test_sequence_argument_types(args, kwargs):
    with pytest.raises(TypeError):
        g.Sequence(*args, **kwargs)


def test_sequence_keeps_no_reference_to_kernel_or_arguments():
    kernel = g.Kernel()
    text, sid = "".join(["ACGT"] * 5), "".join(["i", "d"])
    before = [sys.getrefcount(x) for x in (kernel, text, sid)]
    seq = g.Sequence(kernel, text, sid)
    with pytest.raises(ValueError):
        g.Sequence(kernel, text + "N", sid)
    with pytest.raises(TypeError):
        g.Sequence(text, text, sid)
    assert [sys.getrefcount(x) for x in (kernel, text, sid)] == before
    del seq


# ---- objects whose initialiser never succeeded ------------------------------

UNINITIALIZED_CALLS = {
    g.Kernel: [
        ("add_sequence", (SEQ10,)),
        ("finalize", ()),
        ("num_sequences", ()),
        ("weight", (0,)),
        ("weight_scheme", ()),
        ("use_rc", ()),
        ("eval_batch", ([SEQ10],)),
    ],
    g.WeightedKernel: [
        ("add_sequence", (SEQ10,)),
        ("finalize", ()),
        ("num_sequences", ()),
        ("weight", (0,)),
        ("weight_scheme", ()),
        ("use_rc", ()),
        ("pos_kernel", ()),
        ("gamma", ()),
        ("sigma", ()),
        ("peak", ()),
    ],
    g.Sequence: [("length", ()), ("sqnorm", ()), ("sid", ())],
}


@pytest.mark.parametrize(
    "cls, method, args", [(cls, m, a) for cls, calls in UNINITIALIZED_CALLS.items() for m, a in calls]
)
def test_uninitialized_methods_raise(cls, method, args):
    obj = cls.__new__(cls)
    with pytest.raises(RuntimeError) as err:
        getattr(obj, method)(*args)
    assert str(err.value) == f"{cls.__name__} object is not initialized"


@pytest.mark.parametrize("cls", KERNEL_TYPES)
@pytest.mark.parametrize("attr", ["L", "k", "d"])
def test_uninitialized_attributes_raise(cls, attr):
    with pytest.raises(RuntimeError) as err:
        getattr(cls.__new__(cls), attr)
    assert str(err.value) == f"{cls.__name__} object is not initialized"


@pytest.mark.parametrize("cls", KERNEL_TYPES)
def test_sequence_from_uninitialized_kernel(cls):
    with pytest.raises(RuntimeError) as err:
        g.Sequence(cls.__new__(cls), SEQ10)
    assert str(err.value) == f"{cls.__name__} object is not initialized"


@pytest.mark.parametrize("cls", [g.Kernel, g.WeightedKernel, g.Sequence])
def test_uninitialized_objects_are_destroyed_cleanly(cls):
    for _ in range(100):
        cls.__new__(cls)
    gc.collect()


# ---- initialising twice -----------------------------------------------------


@pytest.mark.parametrize("cls", KERNEL_TYPES)
@pytest.mark.parametrize("kwargs", [{"L": 8, "k": 4, "d": 2}, {"L": 13}, {}])
def test_reinitializing_a_kernel_is_refused(cls, kwargs):
    kernel = cls(L=5, k=3, d=1)
    kernel.add_sequence("ACGTACG")
    with pytest.raises(RuntimeError) as err:
        kernel.__init__(**kwargs)
    assert str(err.value) == f"{cls.__name__} object is already initialized"
    assert (kernel.L, kernel.k, kernel.d, kernel.num_sequences()) == (5, 3, 1, 1)


def test_reinitializing_a_sequence_is_refused():
    kernel = g.Kernel(L=3, k=2, d=1)
    seq = g.Sequence(kernel, "ACGT", "a")
    with pytest.raises(RuntimeError) as err:
        seq.__init__(g.Kernel(), "ACGTACGTACGTACGT", "b")
    assert str(err.value) == "Sequence object is already initialized"
    assert (seq.length(), seq.sid()) == (4, "a")


@pytest.mark.parametrize(
    "cls, bad, good, check",
    [
        (g.Kernel, {"L": 13}, {"L": 5, "k": 3, "d": 1}, lambda o: o.L == 5),
        (g.WeightedKernel, {"weight_peak": 0.0}, {"weight_peak": 2.0}, lambda o: o.peak() == 2.0),
        (g.Kernel, {"L": "x"}, {}, lambda o: o.L == 10),
    ],
)
def test_failed_initialization_can_be_retried(cls, bad, good, check):
    obj = cls.__new__(cls)
    with pytest.raises((ValueError, RuntimeError, TypeError)):
        obj.__init__(**bad)
    with pytest.raises(RuntimeError):
        obj.num_sequences()
    obj.__init__(**good)
    assert check(obj)


def test_failed_sequence_initialization_can_be_retried():
    kernel = g.Kernel(L=3, k=2, d=1)
    seq = g.Sequence.__new__(g.Sequence)
    with pytest.raises(ValueError):
        seq.__init__(kernel, "ACGN")
    seq.__init__(kernel, "ACGTT")
    assert seq.length() == 5
