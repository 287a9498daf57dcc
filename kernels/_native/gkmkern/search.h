// The mismatch search's parts that do not depend on what its hits feed:
// query L-mers and their tags, suffix tables, per-node lists and the two ways
// of locating a suffix's entries. The walk itself is in search_walker.h.
#ifndef GKM_SEARCH_H
#define GKM_SEARCH_H

#include "lmer_index.h"

// The search finds every query L-mer against every indexed L-mer within d
// mismatches. A query L-mer carries a tag (a row, a position, or both) that
// comes back with each of its hits, together with the mismatch count and the
// group it met.

struct query_lmer {
    uint32_t code;
    uint32_t tag;
};

// A hit's tag and mismatch count travel as one word: tag << HIT_TAG_SHIFT | m.
constexpr int HIT_TAG_SHIFT = 4;
inline uint32_t tag_with_mismatches(uint32_t tag, int m) { return (tag << HIT_TAG_SHIFT) | (uint32_t)m; }
inline uint32_t hit_tag(uint32_t tagged) { return tagged >> HIT_TAG_SHIFT; }
inline int hit_mismatches(uint32_t tagged) { return (int)(tagged & ((1u << HIT_TAG_SHIFT) - 1)); }

// Tags of the searches that weigh or place hits by position: a query within
// its block above the start of its L-mer, which fits POS_BITS (a sequence
// holds at most 2047 bases).
constexpr int POS_BITS = 11;
static_assert(GKM_MAX_SEQLEN < 1 << POS_BITS, "an L-mer start fits its tag");
inline uint32_t position_tag(int query, int start) { return (uint32_t)query << POS_BITS | (uint32_t)start; }
inline int tag_query(uint32_t tag) { return (int)(tag >> POS_BITS); }
inline int tag_start(uint32_t tag) { return (int)(tag & ((1u << POS_BITS) - 1)); }

constexpr int MAX_SUFFIX = 4;
constexpr int MAX_SUFFIXES = 1 << (2 * MAX_SUFFIX);

// Suffixes near a suffix s of n_bases bases: within[s][r] the mask (4 words) of
// those at most r mismatches away; one_away[s] the 3S suffixes exactly one
// mismatch away.
struct suffix_tables {
    uint64_t within[MAX_SUFFIXES][MAX_SUFFIX + 1][4];
    uint8_t one_away[MAX_SUFFIXES][3 * MAX_SUFFIX];
    explicit suffix_tables(int n_bases);
};
const suffix_tables& suffix_tables_for(int n_bases);

// The lists of one node: a list for each mismatch count below d, and the
// L-mers that have spent all d mismatches at this node (spent).
struct node_lists {
    const query_lmer* at[GKM_N_WEIGHTS];
    int n[GKM_N_WEIGHTS];
    const query_lmer* spent;
    int n_spent;
};

// Working storage of searches, reused from one to the next.
struct search_workspace {
    std::vector<query_lmer> level[GKM_MAX_L + 1];
    uint32_t start[MAX_SUFFIXES + 1];
};

// Nodes [child_lo[c], child_hi[c]) among [lo, hi) whose prefixes begin with the t bases
// of prefix followed by base c.
void child_ranges(const lmer_index_nodes& ix, int t, uint32_t prefix, uint32_t lo, uint32_t hi, uint32_t child_lo[4],
                  uint32_t child_hi[4]);
// The group of L-mer code among nodes [lo, hi), found by bisection (a top
// table spanning the whole prefix is read by the walker itself): its entries
// [first, first + n).
bool find_group(const lmer_index_nodes& ix, uint32_t code, uint32_t lo, uint32_t hi, uint32_t* first, uint32_t* n);
// start[s]: first entry of suffix s in the node, start[s + 1] - start[s] its entries.
void load_node_starts(const lmer_index_nodes& ix, uint32_t node, uint32_t* start);
// Splits the lists of a node at depth t among the children allowed by ok: an
// L-mer keeps its count in the child of its own base and gains a mismatch in
// the three others. The children's lists live in buf.
void partition_lists(int L, int d, int t, const node_lists& in, const bool ok[4], node_lists out[4],
                     std::vector<query_lmer>& buf);

// The entries of suffix u of one node, through a table of starts (dense
// nodes) or by rank in the node's mask (sparse ones). any() takes any suffix
// and gives n = 0 for an absent one, so that callers need no branch; word(w)
// views one mask word whose set suffixes are known present, its loads
// hoisted out of the caller's loop.
struct starts_locator {
    static constexpr bool dense = true;
    const uint32_t* start;
    void any(uint32_t u, uint32_t* first, uint32_t* n) const
    {
        *first = start[u];
        *n = start[u + 1] - start[u];
    }
    struct word_view {
        const uint32_t* start;
        void present(uint32_t bit, uint32_t* first, uint32_t* n) const
        {
            *first = start[bit];
            *n = start[bit + 1] - start[bit];
        }
    };
    word_view word(int w) const { return {start + (w << 6)}; }
};
struct rank_locator {
    static constexpr bool dense = false;
    const uint64_t* mask;
    const uint32_t* word_group;
    const uint32_t* group_start;
    void any(uint32_t u, uint32_t* first, uint32_t* n) const
    {
        const uint64_t word = mask[u >> 6];
        const uint32_t bit = u & 63;
        const uint32_t g = word_group[u >> 6] + (uint32_t)__builtin_popcountll(word & ((uint64_t(1) << bit) - 1));
        const uint32_t present = (uint32_t)(word >> bit) & 1;
        *first = group_start[g];
        *n = (group_start[g + 1] - *first) & (0u - present);
    }
    struct word_view {
        uint64_t word;
        const uint32_t* group_start;  // from the word's first group
        void present(uint32_t bit, uint32_t* first, uint32_t* n) const
        {
            const uint32_t g = (uint32_t)__builtin_popcountll(word & ((uint64_t(1) << bit) - 1));
            *first = group_start[g];
            *n = group_start[g + 1] - *first;
        }
    };
    word_view word(int w) const { return {mask[w], group_start + word_group[w]}; }
};

#endif  // GKM_SEARCH_H
