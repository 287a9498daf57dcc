"""scan, mutagenesis and variant_effect of fitted models against decision values
of the texts they stand for."""
import random
import re

import numpy as np
import pytest

from seqgen import mixed_case, random_dna
from vellum import GkmSVC, GkmSVR
from vellum.demo import demo_data

PARAMS = dict(L=6, k=4, d=2)


@pytest.fixture(scope="module")
def training():
    X, y = demo_data(per_class=15)
    return X, y


@pytest.fixture(scope="module", params=["strict", "skip"])
def model(request, training):
    X, y = training
    return GkmSVC(**PARAMS, invalid="error" if request.param == "strict" else "skip").fit(X, y)


def window_texts(seq, window, shift):
    return [seq[s : s + window] for s in range(0, len(seq) - window + 1, shift)]


def long_sequence(length, seed, gaps=False):
    rng = random.Random(seed)
    seq = mixed_case(rng, random_dna(rng, length))
    if gaps:
        seq = seq[:700] + "N" * 30 + seq[730:2040] + "n" + seq[2041:]
    return seq


@pytest.mark.parametrize(
    "length, window, shift",
    [(150, 100, 7), (100, 100, 1), (2047, 60, 13), (4500, 100, 50), (5000, 2047, 1000), (3000, 57, 2000)],
)
def test_each_window_scores_exactly_its_own_text(model, length, window, shift):
    seq = long_sequence(length, seed=length + window, gaps=model.invalid == "skip" and length > 2100)
    [track] = model.scan([seq], window, shift)
    texts = window_texts(seq, window, shift)
    assert len(track) == len(texts) == (length - window) // shift + 1
    assert np.array_equal(track, model.decision_values(texts))


def test_scan_of_several_sequences_and_short_ones(model):
    seqs = [long_sequence(300, 2), "ACGTACGTAC", long_sequence(120, 3)]
    tracks = model.scan(seqs, 120, 20)
    assert [len(t) for t in tracks] == [10, 0, 1]
    assert tracks[2][0] == model.decision_values([seqs[2]])[0]


@pytest.mark.parametrize(
    "window, shift, error, message",
    [
        (5, 1, ValueError, "window must be between the word length L=6 and 2047; got 5"),
        (2048, 1, ValueError, "window must be between the word length L=6 and 2047; got 2048"),
        (50, 0, ValueError, "shift must be at least 1; got 0"),
        (50.0, 1, TypeError, "window must be an int, not float"),
    ],
)
def test_bad_window_geometry_is_named(model, window, shift, error, message):
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        model.scan([long_sequence(300, 4)], window, shift)


def test_strict_model_names_the_sequence_holding_a_gap(training):
    model = GkmSVC(**PARAMS).fit(*training)
    with pytest.raises(ValueError, match=r"^X\[1\] holds 'N' at position 700"):
        model.scan([long_sequence(300, 5), long_sequence(2500, 6, gaps=True)], 100, 10)


def test_positional_model_scans_windows_of_its_training_length(training):
    X, y = training
    model = GkmSVC(**PARAMS, positional=True).fit(X, y)
    seq = long_sequence(400, 7)
    [track] = model.scan([seq], 100, 30)
    assert np.array_equal(track, model.decision_values(window_texts(seq, 100, 30)))
    with pytest.raises(ValueError, match=re.escape("references' length (100 bases); got window=80")):
        model.scan([seq], 80, 30)


def test_regression_model_scans_predictions(training):
    X, y = training
    model = GkmSVR(**PARAMS).fit(X, y.astype(float))
    seq = long_sequence(2300, 8)
    [track] = model.scan([seq], 100, 90)
    assert np.array_equal(track, model.predict(window_texts(seq, 100, 90)))


# ---- mutagenesis and variant_effect ------------------------------------------------


def test_mutagenesis_is_each_substitution_minus_the_reference(model):
    seq = "ACGTTGCAACGTAGGCTAACgtacNNcgatGCATTA" if model.invalid == "skip" else "ACGTTGCAACGTAGGCTAACgtacgatGCATTA"
    effects = model.mutagenesis(seq)
    assert effects.shape == (4, len(seq))
    reference = model.decision_values([seq])[0]
    for i, base in enumerate(seq.upper()):
        for row, new in enumerate("ACGT"):
            mutant = seq[:i] + new + seq[i + 1 :]
            # A substitution changes the table sum by the L-mers it touches,
            # so effects agree with rescoring to rounding, not bit for bit.
            expected = 0.0 if new == base else model.decision_values([mutant])[0] - reference
            assert effects[row, i] == pytest.approx(expected, rel=0, abs=1e-12), (i, new)


def test_mutagenesis_refuses_what_it_cannot_score_whole(model):
    with pytest.raises(ValueError, match=r"^seq\[0\] has 2048 bases; one encoded sequence holds at most 2047"):
        model.mutagenesis("A" * 2048)
    with pytest.raises(TypeError, match="^seq must be a str, not list$"):
        model.mutagenesis(["ACGTACGT"])


def test_variant_effect_is_alternative_minus_reference(model):
    refs = [long_sequence(100, 9), long_sequence(80, 10)]
    alts = [refs[0][:50] + "T" + refs[0][51:], refs[1][:30] + refs[1][35:]]
    effect = model.variant_effect(refs, alts)
    assert np.array_equal(effect, model.decision_values(alts) - model.decision_values(refs))
    with pytest.raises(ValueError, match="^ref_seqs has 2 sequences but alt_seqs has 1$"):
        model.variant_effect(refs, alts[:1])
