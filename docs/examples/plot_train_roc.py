"""
Train on CTCF and draw the ROC curve
====================================

Cross-validate a gapped k-mer classifier of CTCF binding on the 600 real
100-bp ChIP-seq sequences bundled with vellum (300 bound, 300 unbound), as
``vellum demo`` does, and draw the pooled out-of-fold ROC curve.
"""

# %%
# The bundled sequences and their labels: 1 bound, 0 unbound.
import numpy as np

import vellum
from vellum.demo import demo_fasta_paths

bound_path, unbound_path = demo_fasta_paths()
_, bound = vellum.read_fasta(bound_path)
_, unbound = vellum.read_fasta(unbound_path)
X = bound + unbound
y = np.array([1] * len(bound) + [0] * len(unbound))
print(f"{len(bound)} bound and {len(unbound)} unbound sequences of {len(X[0])} bp")

# %%
# :func:`vellum.cross_validate_roc` computes the kernel matrix once and cuts
# every fold from it: the same scores as fitting a fresh model per fold.
model = vellum.GkmSVC(L=10, k=6, d=3, use_rc=True)
cv = vellum.cross_validate_roc(model, X, y, n_splits=5, random_state=0)
print(f"5-fold ROC AUC: {cv.auc:.3f} ± {cv.auc_std:.3f}")

# %%
# The ROC curve of every sequence's score from the fold that held it out.
from vellum.plots import plot_roc

plot_roc(cv.labels, cv.scores, "roc.png", title="CTCF, 5-fold cross-validation", fold_aucs=cv.fold_aucs)
