"""
Contribution logo
=================

A fitted model with a regular kernel is one table of L-mer weights: the
decision value of a sequence is the intercept plus the sum of the weights of
its L-mers over its self-norm. Sharing each L-mer's part equally among its
bases gives every base a contribution, and a sequence's contributions sum
to its decision value minus the intercept. ``vellum explain --plot`` draws
the same logos from the shell.
"""

# %%
# A classifier trained on the bundled CTCF sequences, and its L-mers of
# largest weight (``vellum lmers`` prints the same table).
import numpy as np

import vellum
from vellum.demo import demo_data

X, y = demo_data()
model = vellum.GkmSVC(L=10, k=6, d=3).fit(X, y)

weights = model.lmer_weights()  # index: two bits a base, A=0 C=1 G=2 T=3, first base most significant
L = model.kernel_.L
for code in np.argsort(weights)[::-1][:5]:
    lmer = "".join("ACGT"[(code >> (2 * (L - 1 - i))) & 3] for i in range(L))
    print(f"{lmer}  {weights[code]:+.4f}")

# %%
# The contributions of two bound sequences, and their sums.
bound = [seq for seq, label in zip(X, y) if label == 1]
seqs = bound[:2]
shares = model.contributions(seqs)
for seq, values in zip(seqs, shares):
    total = values.sum() + model.intercept_[0]
    print(f"sum + intercept {total:+.6f}, decision value {model.decision_function([seq])[0]:+.6f}")

# %%
# Each base drawn as its letter, as tall as its contribution: above the axis
# where it raises the score, below where it lowers it.
from vellum.plots import plot_contributions

plot_contributions(["bound sequence 1", "bound sequence 2"], seqs, shares, "contributions.png")
