"""The whole Python surface of vellum._gkmkern as data.

Every constructor, method and attribute is one Entry: the exceptions it may
raise, what a well-formed result looks like for given arguments, fixed ways
to call it on its success and failure paths (Path), and the parameters from
which the fuzzer draws arbitrary calls. The leak test, the fuzzer and the
determinism test walk ENTRIES, so covering a new method means adding one
entry here. An entry whose method the module lacks fails every test that
walks it: a removed or renamed method must not pass as a skip.
"""

import math
import operator
import os
import random
from dataclasses import dataclass, field
from typing import Callable, Optional

import numpy as np
from hypothesis import strategies as st

from reference_windows import window_extents
from seqgen import random_dna
from vellum import _gkmkern as g

# The sanitizer stage preloads libasan; RSS and address-space measurements
# mean nothing under it.
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")

PARAMS = dict(L=5, k=3, d=2)
FOREIGN_PARAMS = dict(L=6, k=3, d=2)
SEQLEN = 30
MAX_SEQLEN = 2047
INT32_MAX = 2**31 - 1
INT32_MIN = -(2**31)
BOUNDARY_INTS = [0, 1, -1, 2, INT32_MAX, INT32_MIN, INT32_MAX + 1, INT32_MIN - 1, 2**63, -(2**63) - 1, 2**100]

_rng = random.Random(5150)
TEXTS = [random_dna(_rng, SEQLEN) for _ in range(4)]
SHORT_TEXT = random_dna(_rng, 12)
LONG_TEXT = random_dna(_rng, MAX_SEQLEN + 50)


def fresh(text):
    """An equal str object of its own, so that its reference count is ours alone."""
    return "".join(list(text)) if len(text) > 1 else str(text)


def texts(*indices):
    return [fresh(TEXTS[i]) for i in indices]


# ---- receivers ----------------------------------------------------------------


def kernel(finalized=True, n_refs=3, cls=g.Kernel, **params):
    kw = dict(PARAMS)
    kw.update(params)
    obj = cls(**kw)
    for text in TEXTS[:n_refs]:
        obj.add_sequence(text)
    if finalized:
        obj.finalize()
    return obj


def weighted(finalized=True, n_refs=3, **params):
    kw = dict(pos_kernel=g.POS_GAUSSIAN, weight_sigma=8.0)
    kw.update(params)
    return kernel(finalized, n_refs, cls=g.WeightedKernel, **kw)


def uninit(cls):
    """An object made by the type's allocator whose initialiser never ran."""
    return cls.__new__(cls)


def sequence(i=0, cls=g.Kernel, sid=None, **params):
    owner = kernel(False, 0, cls, **params)
    return g.Sequence(owner, fresh(TEXTS[i])) if sid is None else g.Sequence(owner, fresh(TEXTS[i]), sid)


KERNEL_RECEIVERS = {
    "finalized": lambda: kernel(),
    "open": lambda: kernel(finalized=False),
    "no references": lambda: kernel(n_refs=0),
    "bare": lambda: kernel(finalized=False, n_refs=0),
    "rc estimated 2 threads": lambda: kernel(L=4, k=2, d=1, use_rc=1, weight_scheme=2, nthreads=2),
    "INT_MAX threads": lambda: kernel(nthreads=INT32_MAX),
    "foreign parameters": lambda: kernel(**FOREIGN_PARAMS),
    "uninitialised": lambda: uninit(g.Kernel),
}
WEIGHTED_RECEIVERS = {
    "finalized": lambda: weighted(),
    "open": lambda: weighted(finalized=False),
    "no references": lambda: weighted(n_refs=0),
    "bare": lambda: weighted(finalized=False, n_refs=0),
    "laplacian rc truncated": lambda: weighted(use_rc=1, weight_scheme=1, pos_kernel=g.POS_LAPLACIAN, weight_gamma=0.3),
    "triangular narrow": lambda: weighted(pos_kernel=g.POS_TRIANGULAR, weight_sigma=2.0, weight_peak=3.0),
    "foreign parameters": lambda: weighted(**FOREIGN_PARAMS),
    "uninitialised": lambda: uninit(g.WeightedKernel),
}
SEQUENCE_RECEIVERS = {
    "from Kernel": lambda: sequence(0, sid="s0"),
    "from WeightedKernel": lambda: sequence(1, g.WeightedKernel),
    "uninitialised": lambda: uninit(g.Sequence),
}
CLASS_RECEIVERS = {
    g.Kernel: KERNEL_RECEIVERS,
    g.WeightedKernel: WEIGHTED_RECEIVERS,
    g.Sequence: SEQUENCE_RECEIVERS,
}


# ---- hostile argument objects -------------------------------------------------


class Boom(Exception):
    """Raised by an argument's own conversion code; must come through unchanged."""


class Meddler:
    """Converts like a number, but first calls back into the receiver of the
    running call (adds a reference and finalises it) and, when told to, fails."""

    target = None

    def __init__(self, fail=False):
        self.fail = fail

    def _meddle(self):
        target = Meddler.target
        if target is not None:
            try:
                target.add_sequence(TEXTS[3])
                target.finalize()
            except (RuntimeError, TypeError, ValueError, AttributeError):
                pass
        if self.fail:
            raise Boom("conversion refused")

    def __index__(self):
        self._meddle()
        return 3

    def __float__(self):
        self._meddle()
        return 0.5

    def __repr__(self):
        return "Meddler(fail=%r)" % self.fail


# ---- results --------------------------------------------------------------------


def seq_length(item):
    return item.length() if isinstance(item, g.Sequence) else min(len(item), MAX_SEQLEN)


def as_int(value):
    """The int the binding converted value to (a Meddler is not asked again)."""
    return 3 if isinstance(value, Meddler) else operator.index(value)


def padding_of(padding):
    if padding is None:
        return 0, 0
    if isinstance(padding, int):
        return padding, padding
    return as_int(padding[0]), as_int(padding[1])


def n_windows(seqlen, v, L):
    pad_left, pad_right = padding_of(v.get("padding"))
    return len(window_extents(seqlen, as_int(v["window"]), as_int(v["shift"]), pad_left, pad_right, L))


def window_cost(seqlen, window, shift, pad_left, pad_right):
    """Upper bound on the windows one sequence has, to keep fuzzed calls fast."""
    if shift < 1 or (pad_left > 0 and window - pad_left < 2) or (pad_right > 0 and window - pad_right < 2):
        return 0
    return (seqlen + max(pad_left, 0) + max(pad_right, 0)) // shift + 2


def n_centres(offsets, seqlen, L):
    if offsets is None or isinstance(offsets, (int, float)):
        return 1
    if isinstance(offsets, slice):
        return len(range(max(seqlen - L + 1, 0))[offsets])
    return len(offsets)


def assert_floats(row, n):
    assert type(row) is list and len(row) == n, "row of %d expected, got %r" % (n, row)
    assert all(type(x) is float for x in row), "non-float in %r" % (row,)


def assert_matrix(rows, n_rows, n_cols):
    assert type(rows) is list and len(rows) == n_rows, "%d rows expected, got %d" % (n_rows, len(rows))
    for row in rows:
        assert_floats(row, n_cols)


def assert_cube(blocks, n_blocks, n_rows, n_cols):
    assert type(blocks) is list and len(blocks) == n_blocks, "%d blocks expected, got %d" % (n_blocks, len(blocks))
    for block in blocks:
        assert_matrix(block, n_rows, n_cols)


def assert_finite(nested):
    if isinstance(nested, list):
        for x in nested:
            assert_finite(x)
    else:
        assert math.isfinite(nested), "non-finite kernel value %r" % nested


def check_instance(cls):
    def check(receiver, v, result):
        assert type(result) is cls
    return check


def check_type(*types):
    def check(receiver, v, result):
        assert type(result) in types, "%r is not of %r" % (result, types)
    return check


def check_none(receiver, v, result):
    assert result is None


def check_add_sequence(receiver, v, result):
    assert type(result) is int and 0 <= result < receiver.num_sequences()


def check_use_rc(receiver, v, result):
    assert result in (0, 1) and type(result) is int


def check_length(receiver, v, result):
    assert type(result) is int and 2 <= result <= MAX_SEQLEN


def check_sqnorm(receiver, v, result):
    assert type(result) is float and result >= 0.0 and math.isfinite(result)


def check_sid(receiver, v, result):
    assert result is None or type(result) is str


def check_eval_batch(receiver, v, result):
    assert_matrix(result, len(v["queries"]), receiver.num_sequences())
    assert_finite(result)


def check_gram(receiver, v, result):
    n = receiver.num_sequences()
    if v.get("out") is not None:
        assert result is v["out"]
        result = result.tolist()
    assert_matrix(result, n, n)
    assert_finite(result)
    assert all(result[i][j] == result[j][i] for i in range(n) for j in range(i)), "Gram not symmetric"


def check_kernel_sliding_query(receiver, v, result):
    assert_matrix(result, n_windows(seq_length(v["seq"]), v, receiver.L), receiver.num_sequences())
    assert_finite(result)


def check_weighted_sliding_query(receiver, v, result):
    assert_matrix(result, n_windows(seq_length(v["seq"]), v, receiver.L), receiver.num_sequences())


def check_self_window_eval(receiver, v, result):
    n = len(v["seqs"])
    assert_cube(result, n_windows(seq_length(v["seqs"][0]), v, receiver.L), n, n)


def check_cross_window_eval(receiver, v, result):
    count = n_windows(seq_length(v["queries"][0]), v, receiver.L)
    assert_cube(result, count, len(v["queries"]), len(v["refs"]))
    assert_finite(result)


def check_centred(rows_key, cols_key):
    def check(receiver, v, result):
        c = n_centres(v.get("offsets"), seq_length(v[rows_key][0]), receiver.L)
        n_rows, n_cols = len(v[rows_key]), len(v[cols_key])
        if c == 1:
            assert_matrix(result, n_rows, n_cols)
        else:
            assert_cube(result, c, n_rows, n_cols)
    return check


# ---- argument strategies ----------------------------------------------------------


def _object_pool():
    return [
        sequence(0),
        sequence(1, g.WeightedKernel, sid="w"),
        g.Sequence(kernel(False, 0), fresh(SHORT_TEXT)),
        sequence(2, **FOREIGN_PARAMS),
        uninit(g.Sequence),
        uninit(g.Kernel),
        kernel(),
        g.Kernel,
        Meddler(),
        Meddler(fail=True),
        object(),
        fresh(LONG_TEXT),
        b"ACGTACGTACGT",
        bytearray(b"ACGT"),
        1.5 + 2j,
        range(3),
    ]


OBJECTS = _object_pool()
SEQUENCE_OBJECTS = OBJECTS[:5]

dna_equal = st.one_of(st.sampled_from(TEXTS), st.text(alphabet="ACGT", min_size=SEQLEN, max_size=SEQLEN))
dna_any = st.text(alphabet="ACGTacgt", max_size=40)
dirty = st.lists(st.sampled_from(list("ACGTNacgtn- \x00é") + ["\ud800"]), max_size=40).map("".join)

_leaf = st.one_of(
    st.integers(-5, 50),
    st.sampled_from(BOUNDARY_INTS),
    st.integers(),
    st.floats(),
    st.booleans(),
    st.none(),
    st.text(max_size=8),
    dna_any,
    dirty,
    st.slices(40),
    st.sampled_from(OBJECTS),
)
anything = st.recursive(
    _leaf,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.lists(inner, max_size=4).map(tuple),
        st.dictionaries(st.text(max_size=2), inner, max_size=2),
    ),
    max_leaves=6,
)


def mostly(*plausible):
    """Plausible values three times in four, anything at all otherwise."""
    return st.one_of(*plausible, *plausible, *plausible, anything)


seq_item = st.one_of(dna_equal, dna_equal, dna_any, dirty, st.sampled_from(SEQUENCE_OBJECTS))
seq_list = mostly(
    st.lists(dna_equal, min_size=1, max_size=4),
    st.lists(seq_item, min_size=1, max_size=4),
    st.lists(seq_item, max_size=4).map(tuple),
)
one_seq = mostly(seq_item)
good_item = st.one_of(dna_equal, dna_equal, st.sampled_from(SEQUENCE_OBJECTS[:2]))
good_seqs = st.one_of(st.lists(good_item, min_size=1, max_size=4), st.lists(good_item, min_size=1, max_size=4).map(tuple))
good_window = st.integers(5, SEQLEN)
good_shift = st.integers(1, 12)
good_padding = st.one_of(st.none(), st.integers(0, 4), st.tuples(st.integers(-3, 4), st.integers(-3, 4)))
good_offsets = st.one_of(st.none(), st.floats(-20, 20), st.lists(st.floats(-20, 20), min_size=1, max_size=4),
                         st.slices(SEQLEN))
small_int = st.one_of(st.integers(-3, 45), st.sampled_from(BOUNDARY_INTS), st.booleans())
window_int = mostly(st.integers(5, SEQLEN + 4), small_int)
shift_int = mostly(st.integers(1, 12), small_int)
padding = mostly(
    st.none(),
    st.integers(-4, 20),
    st.tuples(small_int, small_int),
    st.lists(small_int, min_size=1, max_size=3),
    st.just((Meddler(), 2)),
)
offsets = mostly(
    st.none(),
    st.floats(-40, 40),
    st.integers(-40, 40),
    st.lists(st.floats(-40, 40), min_size=1, max_size=5),
    st.slices(SEQLEN),
    st.lists(st.one_of(st.floats(), st.integers(), st.booleans(), st.sampled_from([Meddler(), Meddler(True)])), max_size=4),
)
param_int = mostly(st.integers(-2, 14), st.sampled_from(BOUNDARY_INTS))
param_float = mostly(st.floats(), st.floats(-5, 60))
text_arg = mostly(dna_any, dirty, st.sampled_from(TEXTS))
sid_arg = mostly(st.none(), st.text(max_size=6), dirty)
kernel_arg = mostly(st.sampled_from(OBJECTS[5:7]), st.builds(kernel, st.booleans()), st.builds(weighted))


# ---- the table ------------------------------------------------------------------


@dataclass
class Param:
    name: str
    strategy: object  # anything a caller might pass
    required: bool = False
    good: object = None  # values a careful caller passes; strategy when None


@dataclass
class Path:
    """One fixed way of calling an entry. make() returns (fn, args, kwargs)
    built from fresh objects; expect is the exception it must raise, or None."""

    label: str
    make: Callable
    expect: Optional[type] = None
    repeatable: bool = True


@dataclass
class Entry:
    name: str
    owner: type
    attr: Optional[str]  # method or attribute name; None for the constructor
    kind: str  # "constructor", "method" or "attribute"
    errors: tuple
    check: Callable  # check(receiver, bound values, result) raises AssertionError
    params: list = field(default_factory=list)
    paths: list = field(default_factory=list)
    positional_only: bool = False
    budget: float = 1.0  # share of the fuzz examples, relative to the others
    evaluation: bool = False  # returns kernel values

    def receivers(self):
        if self.kind == "constructor":
            return {"class": lambda: self.owner}
        return CLASS_RECEIVERS[self.owner]

    def function(self, receiver):
        if self.kind == "constructor":
            return receiver
        if self.kind == "attribute":
            return lambda: getattr(receiver, self.attr)
        return getattr(receiver, self.attr)

    def bind(self, args, kwargs):
        """Argument values by parameter name, as the binding sees them."""
        values = dict(zip((p.name for p in self.params), args))
        values.update(kwargs)
        return values


def method_path(entry_attr):
    """Path factory for a method of a receiver made by recv()."""
    def path(label, recv, args=lambda: (), kwargs=lambda: {}, expect=None, repeatable=True):
        def make():
            return getattr(recv(), entry_attr), args(), kwargs()
        return Path(label, make, expect, repeatable)
    return path


def fresh_receiver_path(label, recv, attr, args=lambda: (), kwargs=lambda: {}, expect=None):
    """A path whose receiver is made anew for every call (the call changes it)."""
    def make():
        def call(*a, **kw):
            return getattr(recv(), attr)(*a, **kw)
        return call, args(), kwargs()
    return Path(label, make, expect)


BASE_ERRORS = (TypeError, RuntimeError, MemoryError)
PARSE_ERRORS = BASE_ERRORS + (ValueError, OverflowError, Boom)


def constructor_entries():
    def kernel_paths(cls, bad_value, bad_runtime):
        ok_kwargs = dict(L=5, k=3, d=2, use_rc=1, weight_scheme=1)
        paths = [
            Path("keywords", lambda: (cls, (), dict(ok_kwargs))),
            Path("defaults", lambda: (cls, (), {})),
            Path("invalid parameters", lambda: (cls, (), dict(bad_value)), ValueError),
            Path("argument type", lambda: (cls, (), {"L": fresh("ten")}), TypeError),
            Path("int out of range", lambda: (cls, (), {"L": 2**40 + 3}), OverflowError),
            Path("too many arguments", lambda: (cls, tuple(range(12)), {}), TypeError),
        ]
        if bad_runtime:
            paths.append(Path("positional parameters", lambda: (cls, (), dict(bad_runtime)), RuntimeError))
        return paths

    small = st.integers(0, 6)
    kernel_params = [Param(n, param_int, good=small) for n in ("L", "k", "d", "weight_scheme", "use_rc", "nthreads")]
    weighted_params = kernel_params[:5] + [
        Param("pos_kernel", param_int, good=st.integers(0, 4)),
        Param("weight_gamma", param_float, good=st.floats(0, 3)),
        Param("weight_sigma", param_float, good=st.floats(0.5, 40)),
        Param("weight_peak", param_float, good=st.floats(0.5, 5)),
        Param("nthreads", param_int, good=small),
    ]
    entries = [
        Entry("Kernel()", g.Kernel, None, "constructor", PARSE_ERRORS, check_instance(g.Kernel), kernel_params,
              kernel_paths(g.Kernel, {"L": 13}, None)),
        Entry("WeightedKernel()", g.WeightedKernel, None, "constructor", PARSE_ERRORS,
              check_instance(g.WeightedKernel), weighted_params,
              kernel_paths(g.WeightedKernel, {"L": 1}, {"weight_peak": 0.0})),
        Entry("Sequence()", g.Sequence, None, "constructor", BASE_ERRORS + (ValueError,), check_instance(g.Sequence),
              [Param("kernel", kernel_arg, True, st.builds(kernel, st.booleans())), Param("seq", text_arg, True, dna_equal),
               Param("sid", sid_arg, good=st.text(max_size=6))], [
                  Path("with sid", lambda: (g.Sequence, (kernel(False, 0), fresh(TEXTS[0]), fresh("id7")), {})),
                  Path("from WeightedKernel", lambda: (g.Sequence, (), dict(kernel=weighted(False, 0), seq=fresh(TEXTS[1])))),
                  Path("long text", lambda: (g.Sequence, (kernel(False, 0), fresh(LONG_TEXT)), {})),
                  Path("non-ACGT text", lambda: (g.Sequence, (kernel(False, 0), fresh(TEXTS[0] + "N")), {}), ValueError),
                  # A Kernel whose text the parser refuses is retried as a WeightedKernel,
                  # and that parser's TypeError is the one reported.
                  Path("embedded NUL", lambda: (g.Sequence, (kernel(False, 0), fresh(TEXTS[0] + "\0")), {}), TypeError),
                  Path("embedded NUL, WeightedKernel", lambda: (g.Sequence, (weighted(False, 0), fresh(TEXTS[0] + "\0")), {}),
                       ValueError),
                  Path("not a kernel", lambda: (g.Sequence, (fresh("kernel"), fresh(TEXTS[0])), {}), TypeError),
                  Path("sid None", lambda: (g.Sequence, (kernel(False, 0), fresh(TEXTS[0]), None), {}), TypeError),
                  Path("uninitialised kernel", lambda: (g.Sequence, (uninit(g.WeightedKernel), fresh(TEXTS[0])), {}),
                       RuntimeError),
              ]),
    ]
    # A second __init__ is refused on a live object and works on a blank one.
    for cls, params, good in [
        (g.Kernel, kernel_params, lambda: {"L": 6, "k": 3, "d": 1}),
        (g.WeightedKernel, weighted_params, lambda: {"weight_sigma": 3.0}),
        (g.Sequence, entries[2].params, lambda: {"kernel": kernel(False, 0), "seq": fresh(TEXTS[2])}),
    ]:
        live = CLASS_RECEIVERS[cls]["finalized" if cls is not g.Sequence else "from Kernel"]
        path = method_path("__init__")
        entries.append(Entry(
            "%s.__init__" % cls.__name__, cls, "__init__", "method", PARSE_ERRORS,
            check_none, params, [
                path("live object", live, kwargs=good, expect=RuntimeError),
                fresh_receiver_path("blank object", lambda cls=cls: uninit(cls), "__init__", kwargs=good),
            ], budget=0.5,
        ))
    return entries


def base_method_entries(cls):
    """The methods Kernel and WeightedKernel share."""
    name = cls.__name__
    recv = CLASS_RECEIVERS[cls]
    add, finalize, weight = method_path("add_sequence"), method_path("finalize"), method_path("weight")
    noargs = [
        ("num_sequences", check_type(int)),
        ("weight_scheme", check_type(int)),
        ("use_rc", check_use_rc),
    ]
    if cls is g.WeightedKernel:
        noargs += [
            ("pos_kernel", check_type(int)),
            ("gamma", check_type(float)),
            ("sigma", check_type(float)),
            ("peak", check_type(float)),
        ]
    entries = [
        Entry("%s.add_sequence" % name, cls, "add_sequence", "method", BASE_ERRORS + (ValueError,),
              check_add_sequence, [Param("seq", text_arg, True, dna_equal), Param("sid", sid_arg, good=st.none())], [
                  fresh_receiver_path("new reference", recv["bare"], "add_sequence",
                                      lambda: (fresh(TEXTS[0]), fresh("r0"))),
                  add("finalized", recv["finalized"], lambda: (fresh(TEXTS[0]),), expect=RuntimeError),
                  add("non-ACGT", recv["open"], lambda: (fresh(TEXTS[0] + "N"),), expect=ValueError),
                  add("too short", recv["open"], lambda: (fresh("ACG"),), expect=ValueError),
                  add("not a str", recv["open"], lambda: (2**70,), expect=TypeError),
                  add("Sequence object", recv["open"], lambda: (sequence(0, cls),), expect=TypeError),
                  add("uninitialised", recv["uninitialised"], lambda: (fresh(TEXTS[0]),),
                                       expect=RuntimeError),
              ]),
        Entry("%s.finalize" % name, cls, "finalize", "method", BASE_ERRORS, check_none, [], [
            fresh_receiver_path("build", recv["open"], "finalize"),
            finalize("again", recv["finalized"]),
            finalize("uninitialised", recv["uninitialised"], expect=RuntimeError),
            finalize("argument", recv["open"], lambda: (1,), expect=TypeError),
        ], budget=0.3),
        Entry("%s.weight" % name, cls, "weight", "method", BASE_ERRORS + (OverflowError, Boom), check_type(float),
              [Param("m", mostly(st.integers(-3, 14), st.sampled_from(BOUNDARY_INTS)), True, st.integers(-1, 13))], [
                  weight("in range", recv["finalized"], lambda: (2,)),
                  weight("out of range", recv["finalized"], lambda: (INT32_MIN,)),
                  weight("float", recv["finalized"], lambda: (1.5,), expect=TypeError),
                  weight("too large", recv["finalized"], lambda: (2**80,), expect=OverflowError),
                  weight("uninitialised", recv["uninitialised"], lambda: (0,), expect=RuntimeError),
              ], positional_only=True, budget=0.5),
    ]
    for attr, check in noargs:
        entries.append(Entry("%s.%s" % (name, attr), cls, attr, "method", BASE_ERRORS, check, [], [
            method_path(attr)("value", recv["finalized"]),
            method_path(attr)("uninitialised", recv["uninitialised"], expect=RuntimeError),
            method_path(attr)("argument", recv["finalized"], lambda: (None,), expect=TypeError),
        ], budget=0.2))
    for attr in ("L", "k", "d"):
        def attribute_path(label, make_recv, expect=None, attr=attr):
            return Path(label, lambda: (operator.attrgetter(attr), (make_recv(),), {}), expect)
        entries.append(Entry("%s.%s" % (name, attr), cls, attr, "attribute", (RuntimeError,), check_type(int), [], [
            attribute_path("value", recv["finalized"]),
            attribute_path("uninitialised", recv["uninitialised"], RuntimeError),
        ], budget=0.1))
    return entries


def sequence_entries():
    recv = SEQUENCE_RECEIVERS
    entries = []
    for attr, check in [("length", check_length), ("sqnorm", check_sqnorm), ("sid", check_sid)]:
        path = method_path(attr)
        entries.append(Entry("Sequence.%s" % attr, g.Sequence, attr, "method", BASE_ERRORS, check, [], [
            path("value", recv["from Kernel"]),
            path("without sid", recv["from WeightedKernel"]),
            path("uninitialised", recv["uninitialised"], expect=RuntimeError),
            path("argument", recv["from Kernel"], lambda: (1,), expect=TypeError),
        ], budget=0.2))
    return entries


WINDOW_ERRORS = PARSE_ERRORS


def window_params(first):
    return [
        first,
        Param("window", window_int, True, good_window),
        Param("shift", shift_int, True, good_shift),
        Param("padding", padding, good=good_padding),
    ]


def kernel_evaluation_entries():
    recv = KERNEL_RECEIVERS
    P = method_path
    other = lambda: g.Sequence(kernel(False, 0, **FOREIGN_PARAMS), fresh(TEXTS[0]))
    mixed = lambda: ([fresh(TEXTS[0]), sequence(1), fresh(SHORT_TEXT), sequence(2, g.WeightedKernel)],)
    batch, sliding, self_win, cross = P("eval_batch"), P("sliding_query"), P("self_window_eval"), P("cross_window_eval")
    gram = P("gram")
    square = lambda n: lambda: dict(out=np.full((n, n), np.nan))
    unequal = lambda: [fresh(TEXTS[0]), fresh(TEXTS[1] + "ACGTA")]
    alternating = _alternating_geometry()
    return [
        Entry("Kernel.eval_batch", g.Kernel, "eval_batch", "method", BASE_ERRORS + (ValueError,), check_eval_batch,
              [Param("queries", seq_list, True, good_seqs)], [
                  batch("str and Sequence", recv["finalized"], mixed),
                  batch("rc, two threads", recv["rc estimated 2 threads"], lambda: (texts(0, 1, 2),)),
                  batch("never finalized", recv["open"], mixed),
                  batch("no references", recv["no references"], mixed),
                  batch("empty list", recv["finalized"], lambda: ([],), expect=ValueError),
                  batch("not a list", recv["finalized"], lambda: (fresh(TEXTS[0]),), expect=TypeError),
                  batch("bad element", recv["finalized"], lambda: ([fresh(TEXTS[0]), 7.5],), expect=TypeError),
                  batch("unencodable third", recv["finalized"], lambda: (texts(0, 1) + [fresh("ACGTN" * 4)],),
                        expect=ValueError),
                  batch("foreign Sequence", recv["finalized"], lambda: ([sequence(0), other()],), expect=ValueError),
                  batch("uninitialised Sequence", recv["finalized"], lambda: ([fresh(TEXTS[0]), uninit(g.Sequence)],),
                        expect=RuntimeError),
                  batch("uninitialised kernel", recv["uninitialised"], mixed, expect=RuntimeError),
              ], positional_only=True, evaluation=True),
        Entry("Kernel.gram", g.Kernel, "gram", "method", BASE_ERRORS + (ValueError,), check_gram,
              [Param("out", mostly(st.none(), st.sampled_from([None])), good=st.none())], [
                  gram("lists", recv["finalized"]),
                  gram("into out", recv["finalized"], kwargs=square(3)),
                  gram("rc, two threads", recv["rc estimated 2 threads"]),
                  gram("no references", recv["no references"]),
                  gram("never finalized", recv["open"], expect=RuntimeError),
                  gram("out of other shape", recv["finalized"], kwargs=square(2), expect=ValueError),
                  gram("out not a buffer", recv["finalized"], kwargs=lambda: dict(out=[0.0]), expect=TypeError),
                  gram("positional", recv["finalized"], lambda: (None,), expect=TypeError),
                  gram("uninitialised kernel", recv["uninitialised"], expect=RuntimeError),
              ], evaluation=True, budget=0.5),
        Entry("Kernel.sliding_query", g.Kernel, "sliding_query", "method", WINDOW_ERRORS, check_kernel_sliding_query,
              window_params(Param("seq", one_seq, True, good_item)), [
                  sliding("str", recv["finalized"], lambda: (fresh(TEXTS[0]), 12, 5)),
                  sliding("Sequence, padding pair", recv["finalized"], lambda: (sequence(1), 10, 3, (2, 4))),
                  sliding("keywords, rc", recv["rc estimated 2 threads"], lambda: (),
                          lambda: dict(seq=fresh(TEXTS[2]), window=8, shift=4, padding=3)),
                  sliding("no window fits", recv["finalized"], lambda: (fresh(SHORT_TEXT), 20, 5)),
                  sliding("shift 0", recv["finalized"], lambda: (fresh(TEXTS[0]), 12, 0), expect=ValueError),
                  sliding("never finalized", recv["open"], lambda: (fresh(TEXTS[0]), 12, 5), expect=RuntimeError),
                  sliding("not a sequence", recv["finalized"], lambda: ([fresh(TEXTS[0])], 12, 5), expect=TypeError),
                  sliding("unencodable", recv["finalized"], lambda: (fresh(TEXTS[0] + "-"), 12, 5), expect=ValueError),
                  sliding("foreign Sequence", recv["finalized"], lambda: (other(), 12, 5), expect=ValueError),
                  sliding("padding length", recv["finalized"], lambda: (fresh(TEXTS[0]), 12, 5, [1, 2, 3]),
                          expect=ValueError),
                  sliding("padding type", recv["finalized"], lambda: (fresh(TEXTS[0]), 12, 5, 2.5), expect=TypeError),
                  sliding("padding range", recv["finalized"], lambda: (fresh(TEXTS[0]), 12, 5, (0, 2**40)),
                          expect=OverflowError),
                  sliding("window range", recv["finalized"], lambda: (fresh(TEXTS[0]), 2**40, 5), expect=OverflowError),
                  sliding("uninitialised kernel", recv["uninitialised"], lambda: (fresh(TEXTS[0]), 12, 5),
                          expect=RuntimeError),
              ], evaluation=True),
        Entry("Kernel.self_window_eval", g.Kernel, "self_window_eval", "method", WINDOW_ERRORS, check_self_window_eval,
              window_params(Param("seqs", seq_list, True, good_seqs)), [
                  self_win("str and Sequence", recv["finalized"], lambda: ([fresh(TEXTS[0]), sequence(1), fresh(TEXTS[2])], 12, 6)),
                  self_win("padding pair", recv["bare"], lambda: (texts(0, 1), 10, 4, (3, 5))),
                  self_win("window longer than sequences", recv["bare"], lambda: (texts(0, 1), SEQLEN + 1, 4),
                           expect=ValueError),
                  self_win("unequal lengths", recv["bare"], lambda: (unequal(), 10, 4), expect=RuntimeError),
                  self_win("shift 0", recv["bare"], lambda: (texts(0, 1), 10, 0), expect=RuntimeError),
                  self_win("no valid window", recv["bare"], lambda: (texts(0, 1), 10, 4, 8), expect=ValueError),
                  self_win("empty list", recv["bare"], lambda: ((), 10, 4), expect=ValueError),
                  self_win("uninitialised kernel", recv["uninitialised"], lambda: (texts(0, 1), 10, 4),
                           expect=RuntimeError),
              ], evaluation=True),
        Entry("Kernel.cross_window_eval", g.Kernel, "cross_window_eval", "method", WINDOW_ERRORS,
              check_cross_window_eval,
              [Param("queries", seq_list, True, good_seqs)] + window_params(Param("refs", seq_list, True, good_seqs)), [
                  cross("cached trees", recv["bare"], lambda: (texts(0, 1), [fresh(TEXTS[2]), sequence(3)], 12, 6)),
                  Path("geometry changes every call", alternating, repeatable=False),
                  cross("shift 0", recv["bare"], lambda: (texts(0), texts(1, 2), 12, 0), expect=RuntimeError),
                  cross("references of unequal length", recv["bare"], lambda: (texts(0), unequal(), 12, 6),
                        expect=RuntimeError),
                  cross("queries of other length", recv["bare"], lambda: ([fresh(TEXTS[0] + "ACGTA")], texts(1, 2), 12, 6),
                        expect=RuntimeError),
                  cross("bad reference list", recv["bare"], lambda: (texts(0, 1), [fresh(TEXTS[2]), fresh("NNNNNNNN")], 12, 6),
                        expect=ValueError),
                  cross("bad query list", recv["bare"], lambda: (fresh(TEXTS[0]), texts(1), 12, 6), expect=TypeError),
                  cross("no valid window", recv["bare"], lambda: (texts(0), texts(1), 40, 6), expect=ValueError),
                  cross("uninitialised kernel", recv["uninitialised"], lambda: (texts(0), texts(1), 12, 6),
                        expect=RuntimeError),
              ], evaluation=True),
    ]


def _alternating_geometry():
    """cross_window_eval on one kernel with a shift that changes every call,
    so that every call drops the cached trees and builds new ones."""
    def make():
        receiver = kernel(False, 0)
        queries, refs = texts(0, 1), texts(2, 3)
        shifts = [5, 6]

        def call(queries, refs):
            shifts.reverse()
            return receiver.cross_window_eval(queries, refs, 12, shifts[0])
        return call, (queries, refs), {}
    return make


def weighted_evaluation_entries():
    recv = WEIGHTED_RECEIVERS
    P = method_path
    self_eval, cross_eval = P("self_eval"), P("cross_eval")
    self_win, sliding = P("self_window_eval"), P("sliding_query")
    seqs3 = lambda: [fresh(TEXTS[0]), sequence(1, g.WeightedKernel, weight_sigma=1.0), fresh(TEXTS[2])]
    unequal = lambda: [fresh(TEXTS[0]), fresh(TEXTS[1] + "ACGTA")]
    centred_errors = BASE_ERRORS + (ValueError, OverflowError, Boom)
    return [
        Entry("WeightedKernel.self_eval", g.WeightedKernel, "self_eval", "method", centred_errors,
              check_centred("seqs", "seqs"), [Param("seqs", seq_list, True, good_seqs), Param("offsets", offsets, good=good_offsets)], [
                  self_eval("middle", recv["open"], lambda: (seqs3(),)),
                  self_eval("offset list", recv["laplacian rc truncated"], lambda: (texts(0, 1, 2), [-3.5, 0, 7])),
                  self_eval("slice", recv["no references"], lambda: (seqs3(), slice(2, 20, 3))),
                  self_eval("float offset", recv["triangular narrow"], lambda: (seqs3(), -2.25)),
                  self_eval("empty offsets", recv["open"], lambda: (seqs3(), []), expect=ValueError),
                  self_eval("offsets type", recv["open"], lambda: (seqs3(), {1: 2}), expect=TypeError),
                  self_eval("str offset", recv["open"], lambda: (seqs3(), [1.0, fresh("two")]), expect=TypeError),
                  self_eval("huge offset", recv["open"], lambda: (seqs3(), [2**2000]), expect=OverflowError),
                  self_eval("empty slice", recv["open"], lambda: (seqs3(), slice(5, 5)), expect=RuntimeError),
                  self_eval("unequal lengths", recv["open"], lambda: (unequal(),), expect=RuntimeError),
                  self_eval("bad list", recv["open"], lambda: ([fresh(TEXTS[0]), None],), expect=TypeError),
                  self_eval("uninitialised kernel", recv["uninitialised"], lambda: (seqs3(),), expect=RuntimeError),
              ], evaluation=True),
        Entry("WeightedKernel.cross_eval", g.WeightedKernel, "cross_eval", "method", centred_errors,
              check_centred("queries", "refs"),
              [Param("queries", seq_list, True, good_seqs), Param("refs", seq_list, True, good_seqs), Param("offsets", offsets, good=good_offsets)], [
                  cross_eval("middle", recv["open"], lambda: (texts(0, 1), seqs3())),
                  cross_eval("offset list", recv["laplacian rc truncated"], lambda: (texts(0, 1, 2), texts(3), (1, -1.5))),
                  cross_eval("bad references", recv["open"], lambda: (texts(0, 1), [fresh(TEXTS[2]), fresh("AC")]),
                             expect=ValueError),
                  cross_eval("offsets type", recv["open"], lambda: (texts(0), texts(1), fresh("0")), expect=TypeError),
                  cross_eval("unequal lengths", recv["open"], lambda: (texts(0), unequal()), expect=RuntimeError),
                  cross_eval("uninitialised kernel", recv["uninitialised"], lambda: (texts(0), texts(1)),
                             expect=RuntimeError),
              ], evaluation=True),
        Entry("WeightedKernel.self_window_eval", g.WeightedKernel, "self_window_eval", "method", WINDOW_ERRORS,
              check_self_window_eval, window_params(Param("seqs", seq_list, True, good_seqs)), [
                  self_win("str and Sequence", recv["open"], lambda: (seqs3(), 12, 6)),
                  self_win("padding pair", recv["laplacian rc truncated"], lambda: (texts(0, 1), 10, 4, (3, 5))),
                  self_win("shift 0", recv["open"], lambda: (texts(0, 1), 10, 0), expect=RuntimeError),
                  self_win("no valid window", recv["open"], lambda: (texts(0, 1), SEQLEN + 1, 4), expect=ValueError),
                  self_win("unequal lengths", recv["open"], lambda: (unequal(), 10, 4), expect=RuntimeError),
                  self_win("padding type", recv["open"], lambda: (texts(0, 1), 10, 4, fresh("3")), expect=TypeError),
                  self_win("uninitialised kernel", recv["uninitialised"], lambda: (texts(0, 1), 10, 4),
                           expect=RuntimeError),
              ], evaluation=True),
        Entry("WeightedKernel.sliding_query", g.WeightedKernel, "sliding_query", "method", WINDOW_ERRORS,
              check_weighted_sliding_query, window_params(Param("seq", one_seq, True, good_item)), [
                  sliding("str", recv["finalized"], lambda: (fresh(TEXTS[0]), 12, 5)),
                  sliding("Sequence, padding pair", recv["laplacian rc truncated"],
                          lambda: (sequence(1, g.WeightedKernel, use_rc=1, weight_scheme=1), 10, 3, (2, 4))),
                  sliding("no window fits", recv["finalized"], lambda: (fresh(SHORT_TEXT), 20, 5)),
                  sliding("never finalized", recv["open"], lambda: (fresh(TEXTS[0]), 12, 5), expect=RuntimeError),
                  sliding("shift 0", recv["finalized"], lambda: (fresh(TEXTS[0]), 12, 0), expect=RuntimeError),
                  sliding("not a sequence", recv["finalized"], lambda: (3, 12, 5), expect=TypeError),
                  sliding("unencodable", recv["finalized"], lambda: (fresh("ACGTN" * 6), 12, 5), expect=ValueError),
                  sliding("padding range", recv["finalized"], lambda: (fresh(TEXTS[0]), 12, 5, -(2**33)),
                          expect=OverflowError),
                  sliding("uninitialised kernel", recv["uninitialised"], lambda: (fresh(TEXTS[0]), 12, 5),
                          expect=RuntimeError),
              ], evaluation=True),
    ]


ENTRY_LIST = (
    constructor_entries()
    + base_method_entries(g.Kernel)
    + base_method_entries(g.WeightedKernel)
    + sequence_entries()
    + kernel_evaluation_entries()
    + weighted_evaluation_entries()
)
ENTRIES = {entry.name: entry for entry in ENTRY_LIST}
assert len(ENTRIES) == len(ENTRY_LIST), "entry names must be unique"


def all_paths():
    """(entry, path) for every fixed path of every entry."""
    return [(entry, path) for entry in ENTRY_LIST for path in entry.paths]


def evaluation_paths():
    """(entry, path) for every repeatable success path of every evaluation method."""
    return [(entry, path) for entry, path in all_paths()
            if entry.evaluation and path.expect is None and path.repeatable]


def path_ids(pairs):
    """pytest ids of (entry, path) pairs."""
    return ["%s[%s]" % (entry.name, path.label) for entry, path in pairs]


def run_path(entry, path, fn, args, kwargs):
    """Calls once; checks the outcome against the path; returns the result."""
    try:
        result = fn(*args, **kwargs)
    except Exception as exc:
        assert path.expect is not None, "%s [%s] raised %r" % (entry.name, path.label, exc)
        assert type(exc) is path.expect, "%s [%s]: %r instead of %s" % (entry.name, path.label, exc, path.expect.__name__)
        return None
    assert path.expect is None, "%s [%s] returned instead of raising %s" % (entry.name, path.label, path.expect.__name__)
    return result
