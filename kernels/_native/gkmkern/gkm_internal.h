// The core's private headers, one concern each; never installed. The core's
// files include them all through this one.
//
//   kernel_base.h     limits, the kernel base, profile reduction, normalisation
//   lmer_codes.h      mismatches between L-mer codes, reverse complements
//   array_checks.h    checks of large argument arrays, across threads
//   sequences.h       encoded sequences, their L-mers and self-norms
//   lmer_index.h      the L-mer index: nodes, groups, entries; building, filtering
//   search.h          query L-mers, hit tags, suffix tables, node lists, locators
//   search_walker.h   the mismatch walk over an index, and its two entry points
//   kernels.h         the records of the regular and the weighted kernel
//   windows.h         the window rule, geometry, and runs of window matrices
//   window_counts.h   difference arrays over consecutive windows
//   pos_weights.h     positional weights around a centre
//   self_matrix.h     writing a symmetric all-pairs matrix
//   failures.h        failure reasons, checked sizes, exhausted memory as -1
//   parallel.h        OpenMP regions with per-thread scratch, block sizes
//   tuning.h          memory budgets and block limits, each with its reason
#ifndef GKM_INTERNAL_H
#define GKM_INTERNAL_H

#include "array_checks.h"
#include "failures.h"
#include "kernel_base.h"
#include "kernels.h"
#include "lmer_codes.h"
#include "lmer_index.h"
#include "parallel.h"
#include "pos_weights.h"
#include "search.h"
#include "search_walker.h"
#include "self_matrix.h"
#include "sequences.h"
#include "tuning.h"
#include "window_counts.h"
#include "windows.h"

#endif  // GKM_INTERNAL_H
