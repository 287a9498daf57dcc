"""The bundled demo data, the demo run, and cross-validation from one Gram matrix."""
import re

import numpy as np
import pytest
from sklearn.metrics import roc_auc_score
from sklearn.model_selection import StratifiedKFold

from vellum import GkmSVC, cross_validate_roc, read_fasta
from vellum.demo import demo_data, demo_fasta_paths

PARAMS = dict(L=6, k=4, d=2)


@pytest.mark.parametrize("index, label", [(0, "1"), (1, "0")])
def test_bundled_files_are_300_real_100bp_records_naming_their_source(index, label):
    path = demo_fasta_paths()[index]
    ids, seqs = read_fasta(path)
    assert len(ids) == 300 and len(set(ids)) == 300
    assert all(re.fullmatch(r"CTCF\.train\.\d+", i) for i in ids)
    assert {len(s) for s in seqs} == {100}
    assert f"label={label}" in path.read_text().splitlines()[0]
    readme = (path.parent / "README.md").read_text()
    assert "FastSK" in readme and "DeepBind" in readme


def test_folds_from_one_gram_equal_fresh_fits_per_fold():
    X, y = demo_data(per_class=20)
    labels = np.where(y == 1, "b", "a")
    cv = cross_validate_roc(GkmSVC(**PARAMS), X, labels, n_splits=4, random_state=3)
    folds = StratifiedKFold(n_splits=4, shuffle=True, random_state=3)
    for (train, test), auc in zip(folds.split(X, labels), cv.fold_aucs):
        model = GkmSVC(**PARAMS).fit([X[i] for i in train], labels[train])
        scores = model.decision_function([X[i] for i in test])
        # A fitted model scores through its L-mer table, within 1e-9 of the Gram rows.
        np.testing.assert_allclose(cv.scores[test], scores, rtol=0, atol=1e-9)
        assert auc == roc_auc_score(labels[test] == "b", cv.scores[test])
    assert cv.positive_class == "b" and np.array_equal(cv.labels, labels == "b")
    assert cv.auc == pytest.approx(np.mean(cv.fold_aucs))


def test_cross_validation_needs_two_classes():
    X, _ = demo_data(per_class=4)
    with pytest.raises(ValueError, match="^ROC needs two classes; y has 3$"):
        cross_validate_roc(GkmSVC(**PARAMS), X, [0, 1, 2, 0, 1, 2, 0, 1], n_splits=2)
