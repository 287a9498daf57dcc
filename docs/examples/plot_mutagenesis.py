"""
Mutagenesis heatmap
===================

Score every single-base substitution of a bound CTCF sequence: each entry
is the decision value of the sequence with that one base replaced, minus the
decision value of the sequence itself.
"""

# %%
# A classifier trained on the bundled CTCF sequences.
import numpy as np

import vellum
from vellum.demo import demo_data

X, y = demo_data()
model = vellum.GkmSVC(L=10, k=6, d=3).fit(X, y)

# %%
# The bound sequence the model scores highest.
bound = [seq for seq, label in zip(X, y) if label == 1]
seq = bound[int(np.argmax(model.decision_function(bound)))]
effects = model.mutagenesis(seq)  # rows A, C, G, T; 0.0 at the reference base
print(f"decision value {model.decision_function([seq])[0]:+.2f}")
print(f"strongest loss {effects.min():+.3f} (position {np.unravel_index(effects.argmin(), effects.shape)[1]})")

# %%
# An entry of the map is exactly the change a variant makes:
# :meth:`~vellum.GkmSVC.variant_effect` of the same substitution agrees.
position = int(np.unravel_index(effects.argmin(), effects.shape)[1])
base = "ACGT"[int(effects[:, position].argmin())]
alt = seq[:position] + base + seq[position + 1 :]
print(f"variant_effect: {model.variant_effect([seq], [alt])[0]:+.3f}")

# %%
# The heatmap: red raises the score, blue lowers it; dots mark the
# reference bases.
from vellum.plots import plot_mutagenesis

plot_mutagenesis(["the highest-scoring bound sequence"], [seq], [effects], "mutagenesis.png")
