import random

import pytest

import core_ctypes
from seqgen import random_dna


@pytest.fixture
def rng():
    return random.Random(20240611)


@pytest.fixture
def dna(rng):
    """Random DNA of a given length, reproducible within a test."""
    return lambda n: random_dna(rng, n)


@pytest.fixture(scope="session")
def gkmkern():
    from vellum import _gkmkern

    return _gkmkern


@pytest.fixture(scope="session")
def core(gkmkern):
    """ctypes handle on the exported gkm_* functions of the native core."""
    return core_ctypes.load_core(gkmkern.__file__)


class CoreKernel:
    """A core regular kernel driven through ctypes, destroyed by the fixture."""

    def __init__(self, core, **kw):
        self.core = core
        self.handle = core.gkm_kernel_create(core_ctypes.params(**kw))
        assert self.handle, "gkm_kernel_create returned null for %r" % (kw,)
        self.base = core.gkm_kernel_base(self.handle)
        self.queries = []

    def add(self, text, sid=None):
        seq = self.core.gkm_sequence_create(self.base, text.encode(), sid and sid.encode())
        assert seq, "could not encode %r" % text
        seqid = self.core.gkm_kernel_base_add_sequence(self.base, seq)
        if seqid < 0:
            self.core.gkm_sequence_free(seq)
        return seqid

    def query(self, text):
        """An encoded sequence owned by this wrapper, freed on close."""
        seq = self.core.gkm_sequence_create(self.base, text.encode(), None)
        assert seq, "could not encode %r" % text
        self.queries.append(seq)
        return seq

    def n_seqs(self):
        return self.core.gkm_kernel_base_num_sequences(self.base)

    def finalize(self):
        return self.core.gkm_kernel_finalize(self.handle)

    def eval_all(self, query_seq):
        n = self.n_seqs()
        res = core_ctypes.double_buffer(n)
        rc = self.core.gkm_kernel_eval_all(self.handle, query_seq, res)
        return rc, list(res[:n])

    def eval_batch(self, query_seqs):
        n = self.n_seqs()
        res = core_ctypes.double_buffer(len(query_seqs) * n)
        rc = self.core.gkm_kernel_eval_batch(
            self.handle, core_ctypes.seq_array(query_seqs), len(query_seqs), res
        )
        flat = list(res[: len(query_seqs) * n])
        return rc, [flat[i * n : (i + 1) * n] for i in range(len(query_seqs))]

    def close(self):
        for seq in self.queries:
            self.core.gkm_sequence_free(seq)
        self.queries = []
        self.core.gkm_kernel_destroy(self.handle)
        self.handle = None


@pytest.fixture
def make_core_kernel(core):
    """Factory of ctypes-driven kernels; every kernel made is destroyed afterwards."""
    made = []

    def make(**kw):
        kernel = CoreKernel(core, **kw)
        made.append(kernel)
        return kernel

    yield make
    for kernel in made:
        kernel.close()
