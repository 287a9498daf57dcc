// The L-mer index: the L-mers of a set of sequences, sorted by code into
// groups and nodes.
#ifndef GKM_LMER_INDEX_H
#define GKM_LMER_INDEX_H

#include "sequences.h"

#include <vector>

//
// The L-mers of a set of sequences, sorted by code. Equal codes form a group;
// groups sharing their first prefix_len bases form a node, which records
// which of the 4^suffix_len possible suffixes occur in a mask. A table over
// the first top_len <= prefix_len bases maps a prefix to its run of nodes;
// nodes past it are found by bisection.
// Every array grows with the L-mers held, never with 4^L.

struct lmer_entry {
    int32_t id;     // sequence
    int32_t value;  // occurrences (counting indexes) or forward start (positional ones)
};

struct lmer_index_nodes {
    int L = 0;
    int suffix_len = 0;  // suffix bases in a node mask
    int prefix_len = 0;  // prefix bases of a node
    int top_len = 0;     // prefix bases of the top table
    int words = 0;   // 64-bit mask words per node
    std::vector<uint32_t> top;         // 4^top_len + 1
    std::vector<uint32_t> prefix;      // per node, its prefix_len-base prefix
    std::vector<uint64_t> mask;        // words per node
    std::vector<uint32_t> word_group;  // words per node: first group of the word
    std::vector<uint32_t> group_start; // per group, first entry; two sentinels
    size_t n_nodes() const { return prefix.size(); }
    size_t n_groups() const { return group_start.size() - 2; }
};

// One L-mer occurrence to index.
struct lmer_record {
    uint32_t code;
    int32_t id;
    int32_t value;
};

// Counting: equal (code, id) records merge, their values add up.
// Positional: every record stays, in the order given for equal codes.
struct lmer_counts {
    static constexpr bool merges = true;
};
struct lmer_positions {
    static constexpr bool merges = false;
};

template <class Payload>
struct lmer_index : lmer_index_nodes {
    std::vector<lmer_entry> entries;
};

// Sorts records (consumed) into nodes, groups and entries; throws std::bad_alloc.
void build_lmer_index(lmer_index_nodes& nodes, std::vector<lmer_entry>& entries, std::vector<lmer_record>& records,
                      int L, bool merge);

template <class Payload>
void build_lmer_index(lmer_index<Payload>& ix, std::vector<lmer_record>& records, int L)
{
    build_lmer_index(ix, ix.entries, records, L, Payload::merges);
}

// The entries of from whose id is at least min_id, as building from their
// records would index them. Ids must ascend within each group, as they do
// in an index of records made sequence by sequence; throws std::bad_alloc.
void filter_lmer_index(const lmer_index_nodes& from, const std::vector<lmer_entry>& from_entries, int32_t min_id,
                       lmer_index_nodes& ix, std::vector<lmer_entry>& entries);

template <class Payload>
void filter_lmer_index(const lmer_index<Payload>& from, int32_t min_id, lmer_index<Payload>& ix)
{
    filter_lmer_index(from, from.entries, min_id, ix, ix.entries);
}

// Records of every L-mer of seqs[j], under id j (and the reverse complement
// with use_rc), optionally only those starting in [start, start + n). Counting
// records carry 1, positional ones the forward start.
void append_lmer_records(std::vector<lmer_record>& records, const gkm_sequence_t* seq, int id, int L, bool use_rc,
                         bool positions, int start = 0, int n = -1);

#endif  // GKM_LMER_INDEX_H
