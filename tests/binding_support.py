"""Helpers shared by the binding's test modules: the messages every method
family raises, padding as the binding resolves it, and the allocation-failure
sweep."""
import sys

import pytest

NOT_ENCODABLE = "could not create sequence (too short for L, or contains non-ACGT characters)"
OTHER_PARAMETERS = "Sequence was encoded for a kernel with different parameters (L, k, d, weight_scheme, use_rc)"
NO_WINDOWS = "no valid windows with given padding"
INT_MAX = 2**31 - 1
INT_MIN = -(2**31)


def resolve_padding(padding):
    if padding is None:
        return 0, 0
    if isinstance(padding, int):
        return padding, padding
    return tuple(padding)


def assert_each_allocation_failure_is_clean(call, expected, held, attempts):
    """Fails every interpreter allocation of call() once in turn: the call
    either returns expected or raises MemoryError, and the reference counts of
    the objects in held come back unchanged every time."""
    testcapi = pytest.importorskip("_testcapi")
    counts = [sys.getrefcount(obj) for obj in held]
    failures = 0
    for start in range(1, attempts):
        result, error = None, None
        testcapi.set_nomemory(start, start + 1)
        try:
            result = call()
        except MemoryError as exc:
            error = exc
        finally:
            testcapi.remove_mem_hooks()
        if error is None:
            assert result == expected
        else:
            failures += 1
            del error
        assert [sys.getrefcount(obj) for obj in held] == counts
    assert failures > 0
