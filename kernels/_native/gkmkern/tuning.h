// Memory budgets and block limits of the evaluations. None changes a value:
// each only decides how work is cut into pieces.
#ifndef GKM_TUNING_H
#define GKM_TUNING_H

#include <cstddef>

// ---- regular kernel: queries per search -------------------------------------

// Most query rows a block holds: a hit's tag carries the row in 6 bits.
constexpr int MAX_BLOCK_ROWS = 64;
// Counts are written at random: within this they stay in a core's L2 cache.
constexpr size_t CACHED_COUNTS_BYTES = 256u << 10;
// Past this an index's entries no longer fit the last-level cache, so more
// queries share each pass over them.
constexpr size_t LARGE_INDEX_BYTES = 4u << 20;
// Queries a search shares a pass over the entries among: eight against a
// small index, sixteen against a large one.
constexpr size_t SHARED_ROWS_SMALL_INDEX = 8, SHARED_ROWS_LARGE_INDEX = 16;
// Counts of a block that shares a pass stay within this, well inside the
// last-level cache of one socket.
constexpr size_t SHARED_COUNTS_BYTES = 16u << 20;
// The references are searched instead of the queries only while one
// reference's counts over all queries stay within this.
constexpr size_t SEARCH_REFERENCES_ROW_BYTES = 4u << 20;
// Hit increments batched before they are applied: 16 KB, within L1.
constexpr size_t INCREMENT_BATCH = 2048;

// ---- weighted centred evaluations and window matrices -----------------------

// Most queries a search holds, as in the regular kernel: queries share each
// pass over the index's entries, and more would only grow the values.
constexpr int MAX_BLOCK_QUERIES = 64;
// Values of one block of queries, held by each thread: a team of threads
// then needs tens of megabytes, whatever the number of references.
constexpr size_t BLOCK_VALUES_BYTES = 8u << 20;
// Values a run of windows may hold per query and thread, for the same reason.
constexpr size_t RUN_VALUES_BYTES = 8u << 20;

// ---- window iterator --------------------------------------------------------

// Rows and counts of one chunk of windows, computed ahead of the caller's
// reads: enough windows to spread over the kernel's threads, while what a
// query's windows hold at once stays bounded however many references.
constexpr size_t CHUNK_BYTES = 32u << 20;

// ---- L-mer index --------------------------------------------------------------

// Most prefix bases of the top table: 4^8 entries, 256 KB.
constexpr int MAX_TOP_BASES = 8;
// The top table may hold this many entries per node (plus a constant), so
// that it stays proportionate to the nodes it indexes: it never dominates a
// small index, and its lookups stay in cache.
constexpr size_t TOP_ENTRIES_PER_NODE = 4, TOP_ENTRIES_EXTRA = 64;

// ---- self-norms -----------------------------------------------------------------

// Pairs gathered before being weighed under every weighting: a run of one
// base holds millions of them, and 4096 keep the batch (48 KB) in L2.
constexpr size_t PAIR_BATCH = 4096;

#endif  // GKM_TUNING_H
