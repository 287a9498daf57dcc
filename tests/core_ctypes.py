"""ctypes view of the exported gkm_* functions of the native core.

The extension module links the whole core and exports every gkm_* symbol, so
the module's own shared object serves as the C library.
"""

import ctypes
from ctypes import POINTER, c_char_p, c_double, c_int, c_int32, c_int64, c_void_p


class GkmParameter(ctypes.Structure):
    _fields_ = [
        ("L", c_int32),
        ("k", c_int32),
        ("d", c_int32),
        ("weight_scheme", c_int32),
        ("use_rc", c_int32),
        ("nthreads", c_int32),
    ]


class GkmWeightedParams(ctypes.Structure):
    _fields_ = [
        ("base", GkmParameter),
        ("pos_kernel", c_int),
        ("weight_gamma", c_double),
        ("weight_sigma", c_double),
        ("weight_peak", c_double),
    ]


SeqArray = POINTER(c_void_p)
DoubleArray = POINTER(c_double)

# name: (restype, argtypes)
_SIGNATURES = {
    "gkm_last_status": (c_int, []),
    # L-mer tables
    "gkm_lmer_table_sums": (c_int, [c_void_p, c_int, c_void_p, c_int64, c_void_p, c_void_p, c_int64, c_int, c_void_p]),
    "gkm_lmer_codes": (c_int, [c_void_p, c_int64, c_void_p, c_int64, c_int, c_void_p, c_int64, c_int]),
    "gkm_lmer_owners": (c_int, [c_int, c_void_p, c_int64, c_void_p, c_int64, c_int, c_void_p, c_void_p, c_int64, c_int]),
    "gkm_lmer_table_of_owners": (c_int, [c_void_p, c_int, c_void_p, c_void_p, c_int64, c_void_p, c_int64, c_int, c_int]),
    "gkm_parameter_check": (c_char_p, [POINTER(GkmParameter)]),
    # kernel base
    "gkm_kernel_base_get_params": (None, [c_void_p, POINTER(c_int), POINTER(c_int), POINTER(c_int)]),
    "gkm_kernel_base_get_L": (c_int, [c_void_p]),
    "gkm_kernel_base_get_weight_scheme": (c_int, [c_void_p]),
    "gkm_kernel_base_get_use_rc": (c_int, [c_void_p]),
    "gkm_kernel_base_weight": (c_double, [c_void_p, c_int]),
    "gkm_kernel_base_add_sequence": (c_int, [c_void_p, c_void_p]),
    "gkm_kernel_base_finalize": (None, [c_void_p]),
    "gkm_kernel_base_is_finalized": (c_int, [c_void_p]),
    "gkm_kernel_base_num_sequences": (c_int, [c_void_p]),
    "gkm_kernel_base_get_sequence": (c_void_p, [c_void_p, c_int]),
    # encoded sequences
    "gkm_sequence_create": (c_void_p, [c_void_p, c_char_p, c_char_p]),
    "gkm_sequence_free": (None, [c_void_p]),
    "gkm_sequence_length": (c_int, [c_void_p]),
    "gkm_sequence_sid": (c_char_p, [c_void_p]),
    "gkm_sequence_sqnorm": (c_double, [c_void_p]),
    # regular kernel
    "gkm_kernel_create": (c_void_p, [POINTER(GkmParameter)]),
    "gkm_kernel_destroy": (None, [c_void_p]),
    "gkm_kernel_base": (c_void_p, [c_void_p]),
    "gkm_kernel_base_const": (c_void_p, [c_void_p]),
    "gkm_kernel_finalize": (c_int, [c_void_p]),
    "gkm_kernel_eval_all": (c_int, [c_void_p, c_void_p, DoubleArray]),
    "gkm_kernel_eval_batch": (c_int, [c_void_p, SeqArray, c_int, DoubleArray]),
    "gkm_kernel_eval_gram": (c_int, [c_void_p, DoubleArray]),
    "gkm_kernel_eval_gram_rows": (c_int, [c_void_p, c_int, c_int, DoubleArray]),
    # windows
    "gkm_compute_n_windows": (c_int, [c_int, c_int, c_int, c_int, c_int, c_int]),
    "gkm_window_iter_create": (c_void_p, [c_void_p, c_void_p, c_int, c_int, c_int, c_int]),
    "gkm_window_iter_destroy": (None, [c_void_p]),
    "gkm_window_iter_count": (c_int, [c_void_p]),
    "gkm_window_iter_reset": (None, [c_void_p]),
    "gkm_window_iter_next": (c_int, [c_void_p, DoubleArray]),
    "gkm_kernel_window_kernel": (
        c_int,
        [c_void_p, SeqArray, c_int, c_int, c_int, c_int, c_int, DoubleArray],
    ),
    "gkm_kernel_cross_window_kernel": (
        c_int,
        [c_void_p, SeqArray, c_int, SeqArray, c_int, c_int, c_int, c_int, c_int, DoubleArray],
    ),
    "gkm_window_tree_cache_build": (
        c_void_p,
        [c_void_p, SeqArray, c_int, c_int, c_int, c_int, c_int],
    ),
    "gkm_window_tree_cache_query": (c_int, [c_void_p, c_void_p, SeqArray, c_int, DoubleArray]),
    "gkm_window_tree_cache_destroy": (None, [c_void_p]),
    "gkm_window_tree_cache_matches": (
        c_int,
        [c_void_p, SeqArray, c_int, c_int, c_int, c_int, c_int],
    ),
    # weighted kernel
    "gkm_weighted_kernel_create": (c_void_p, [POINTER(GkmWeightedParams)]),
    "gkm_weighted_kernel_destroy": (None, [c_void_p]),
    "gkm_weighted_kernel_base": (c_void_p, [c_void_p]),
    "gkm_weighted_kernel_base_const": (c_void_p, [c_void_p]),
    "gkm_weighted_kernel_pos_kernel": (c_int, [c_void_p]),
    "gkm_weighted_kernel_gamma": (c_double, [c_void_p]),
    "gkm_weighted_kernel_sigma": (c_double, [c_void_p]),
    "gkm_weighted_kernel_peak": (c_double, [c_void_p]),
    "gkm_weighted_kernel_eval_self": (
        c_int,
        [c_void_p, SeqArray, c_int, DoubleArray, c_int, DoubleArray],
    ),
    "gkm_weighted_kernel_eval_cross": (
        c_int,
        [c_void_p, SeqArray, c_int, SeqArray, c_int, DoubleArray, c_int, DoubleArray],
    ),
    "gkm_weighted_kernel_window_kernel": (
        c_int,
        [c_void_p, SeqArray, c_int, c_int, c_int, c_int, c_int, DoubleArray],
    ),
    "gkm_weighted_kernel_sliding_query": (
        c_int,
        [c_void_p, c_void_p, c_int, c_int, c_int, c_int, DoubleArray, POINTER(c_int)],
    ),
}


class MissingSymbol:
    """Stands in for a function the library does not export (yet)."""

    def __init__(self, name):
        self.name = name

    def __call__(self, *args):
        raise AttributeError("%s is not exported by the core" % self.name)


def load_core(path):
    """CDLL on path with every gkm_* signature declared; absent ones raise on call."""
    lib = ctypes.CDLL(path)
    core = type("GkmCore", (), {})()
    core.lib = lib
    core.missing = []
    for name, (restype, argtypes) in _SIGNATURES.items():
        try:
            fn = getattr(lib, name)
        except AttributeError:
            core.missing.append(name)
            setattr(core, name, MissingSymbol(name))
            continue
        fn.restype = restype
        fn.argtypes = argtypes
        setattr(core, name, fn)
    return core


def params(L=10, k=6, d=3, weight_scheme=0, use_rc=0, nthreads=1):
    return GkmParameter(L, k, d, weight_scheme, use_rc, nthreads)


def seq_array(seqs):
    """A C array of sequence pointers."""
    return (c_void_p * len(seqs))(*seqs)


def double_buffer(n, fill=float("nan")):
    """A C double array of n (at least 1) elements, every one set to fill."""
    return (c_double * max(n, 1))(*([fill] * max(n, 1)))
