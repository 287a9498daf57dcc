"""
Scan a locus
============

Score every window of a long sequence with a trained classifier. The locus
here is 3,000 bases of random DNA into which three bound CTCF sequences
that the model never saw are planted; the score track should rise over
them.
"""

# %%
# Train on all but the last five bound sequences; those are kept out.
import random

import numpy as np

import vellum
from vellum.demo import demo_data

X, y = demo_data()
held_out = [seq for seq, label in zip(X, y) if label == 1][-5:]
train = [i for i, seq in enumerate(X) if seq not in held_out]
model = vellum.GkmSVC(L=10, k=6, d=3).fit([X[i] for i in train], y[train])

# %%
# A random locus, with three held-out bound sequences planted at known places.
rng = random.Random(0)
locus = "".join(rng.choice("ACGT") for _ in range(3000))
starts = [500, 1400, 2300]
for start, site in zip(starts, held_out):
    locus = locus[:start] + site + locus[start + len(site) :]

# %%
# Window ``w`` covers bases ``[w * shift, w * shift + window)`` and scores
# exactly what ``decision_function`` gives for that window's own text.
window, shift = 100, 10
[track] = model.scan([locus], window=window, shift=shift)
for start in starts:
    print(f"window at {start}: {track[start // shift]:+.2f}")
print(f"median window: {np.median(track):+.2f}")

# %%
# The track: each window's score drawn at its centre.
from vellum.plots import plot_scan, score_axis_label

plot_scan(
    ["random locus, bound sites at 500, 1400 and 2300"],
    [track],
    window,
    shift,
    "scan.png",
    score_label=score_axis_label(model),
)
