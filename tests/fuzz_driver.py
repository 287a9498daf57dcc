"""Child process of test_fuzz_api: Hypothesis calls one entry of api_surface
with arbitrary receivers and arguments, and every call must either return a
well-formed result or raise one of the exceptions the entry documents.

    python tests/fuzz_driver.py NAME --examples N --seed S

Each call is printed (CALL ...) before it runs, so that when the interpreter
dies the last CALL line names the call that killed it. The closing line is
FUZZED NAME calls=N followed by the count of each outcome.
"""

import argparse
import sys

from hypothesis import HealthCheck, assume, given, seed, settings
from hypothesis import strategies as st

import api_surface as api
from vellum import _gkmkern as g

# Windows per sequence above which a drawn geometry is not run: the cost of a
# call grows with its windows, and the cases that matter are cheap.
MAX_WINDOWS = 400
JUNK = [None] * 8 + ["extra positional", "unknown keyword"]


def first_length(values):
    """Length of the sequence that decides the window count, 0 when unknown."""
    first = values.get("seq", values.get("seqs", values.get("queries")))
    if isinstance(first, (list, tuple)):
        first = first[0] if first else None
    if isinstance(first, str):
        return min(len(first), api.MAX_SEQLEN)
    if isinstance(first, g.Sequence):
        try:
            return first.length()
        except RuntimeError:
            return 0
    return 0


def too_costly(entry, values):
    if not any(p.name == "window" for p in entry.params):
        return False
    try:
        window, shift = api.as_int(values["window"]), api.as_int(values["shift"])
        pad_left, pad_right = api.padding_of(values.get("padding"))
    except Exception:
        return False  # the binding rejects such arguments before any window exists
    return api.window_cost(first_length(values), window, shift, pad_left, pad_right) > MAX_WINDOWS


def draw_arguments(data, entry):
    """(args, kwargs, values, malformed): a call of the entry's parameters,
    split between positions and keywords; malformed calls must not return.
    Half the calls are careful ones, whose every value is plausible."""
    values, malformed = {}, False
    careful = data.draw(st.booleans(), label="careful")
    for p in entry.params:
        include = p.required or data.draw(st.booleans(), label="give " + p.name)
        if p.required and not careful and data.draw(st.integers(0, 19), label="omit " + p.name) == 0:
            include, malformed = False, True
        if include:
            strategy = p.good if careful and p.good is not None else p.strategy
            values[p.name] = data.draw(strategy, label=p.name)
    names = [p.name for p in entry.params]
    prefix = 0
    while prefix < len(names) and names[prefix] in values:
        prefix += 1
    n_pos = prefix if entry.positional_only else data.draw(st.integers(0, prefix), label="positional")
    args = [values[n] for n in names[:n_pos]]
    kwargs = {n: values[n] for n in names[n_pos:] if n in values}
    if entry.positional_only and kwargs:
        malformed = True
    junk = None if careful else data.draw(st.sampled_from(JUNK), label="junk")
    if junk == "extra positional" and n_pos == len(names):
        args.append(data.draw(api.anything, label="extra"))
        malformed = True
    elif junk == "unknown keyword":
        kwargs["bogus"] = 0
        malformed = True
    return args, kwargs, values, malformed


def check_attribute(entry, receiver, data, outcomes):
    action = data.draw(st.sampled_from(["get", "get", "set", "delete"]), label="action")
    try:
        if action == "get":
            result = getattr(receiver, entry.attr)
        elif action == "set":
            setattr(receiver, entry.attr, data.draw(api.anything, label="value"))
        else:
            delattr(receiver, entry.attr)
    except AttributeError as exc:
        outcomes.append("AttributeError")
        assert action != "get", "reading %s raised %r" % (entry.name, exc)
        return
    except RuntimeError as exc:
        outcomes.append("RuntimeError")
        assert action == "get" and str(exc), "%s: %r" % (action, exc)
        return
    outcomes.append("returned")
    assert action == "get", "%s of the read-only %s succeeded" % (action, entry.name)
    entry.check(receiver, {}, result)


def check_call(entry, receiver, args, kwargs, values, malformed, outcomes):
    fn = entry.function(receiver)
    api.Meddler.target = receiver if entry.kind != "constructor" else None
    try:
        result = fn(*args, **kwargs)
    except Exception as exc:
        outcomes.append(type(exc).__name__)
        assert isinstance(exc, entry.errors), "undocumented %s: %s" % (type(exc).__name__, exc)
        assert str(exc) or isinstance(exc, MemoryError), "%s without a message" % type(exc).__name__
        return
    finally:
        api.Meddler.target = None
    outcomes.append("returned")
    assert not malformed, "returned %r for a call it should have refused" % (result,)
    entry.check(receiver, values, result)


def fuzz(entry, examples, seed_value):
    """The outcome of every call made: "returned" or the exception's type name."""
    outcomes = []
    receivers = entry.receivers()

    @seed(seed_value)
    @settings(max_examples=examples, deadline=None, database=None, print_blob=False,
              suppress_health_check=list(HealthCheck))
    @given(st.data())
    def one_call(data):
        label = data.draw(st.sampled_from(sorted(receivers)), label="receiver")
        receiver = receivers[label]()
        if entry.kind == "attribute":
            print("CALL %s on %s" % (entry.name, label), flush=True)
            check_attribute(entry, receiver, data, outcomes)
            return
        args, kwargs, values, malformed = draw_arguments(data, entry)
        assume(not too_costly(entry, values))
        print("CALL %s on %s: args=%r kwargs=%r" % (entry.name, label, args, kwargs), flush=True)
        check_call(entry, receiver, args, kwargs, values, malformed, outcomes)

    one_call()
    return outcomes


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("name")
    parser.add_argument("--examples", type=int, default=200)
    parser.add_argument("--seed", type=int, default=0)
    ns = parser.parse_args(argv)
    entry = api.ENTRIES[ns.name]
    outcomes = fuzz(entry, ns.examples, ns.seed)
    summary = " ".join("%s=%d" % (kind, outcomes.count(kind)) for kind in sorted(set(outcomes)))
    print("FUZZED %s calls=%d %s" % (entry.name, len(outcomes), summary), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
