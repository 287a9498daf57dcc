// Records and helpers shared between the core's files; never installed.
#ifndef GKM_INTERNAL_H
#define GKM_INTERNAL_H

#include "gkmkern.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <vector>
#if defined(__SSE2__)
#include <immintrin.h>
#endif

constexpr int GKM_MAX_L = 12;
constexpr int GKM_MAX_SEQLEN = 2047;
constexpr int GKM_N_WEIGHTS = 13;
constexpr int GKM_MAX_WINDOWS = 1000001;
// Code of an L-mer that covers a masked base: it is searched and stored nowhere.
constexpr uint32_t GKM_NO_LMER = 0xFFFFFFFFu;

// ---- kernel base ----------------------------------------------------------

struct gkm_kernel_base_t {
    gkm_parameter_t param;
    double weights[GKM_N_WEIGHTS];
    gkm_sequence_t** seqs;
    int32_t n_seqs;
    int32_t cap_seqs;
    int32_t finalized;
};

// Fills a zeroed base; false (nothing left allocated) when memory is exhausted.
bool gkm_kernel_base_init(gkm_kernel_base_t* base, const gkm_parameter_t* param);
void gkm_kernel_base_destroy(gkm_kernel_base_t* base);
void calc_full_weights(gkm_kernel_base_t* base);
void calc_estimated_weights(gkm_kernel_base_t* base, int truncated);
double dCombinations(int n, int r);

// Profile reduction: sum over m = 0..d, in increasing m, of weights[m] * value(m).
template <class ProfileAt>
inline double reduce_profile(const double* weights, int d, ProfileAt value)
{
    double sum = 0.0;
    for (int m = 0; m <= d; m++) sum += value(m) * weights[m];
    return sum;
}

// Every kernel value is normalised this way: one division by the product of the norms.
inline double normalise(double value, double norm_a, double norm_b)
{
    return (norm_a > 0 && norm_b > 0) ? value / (norm_b * norm_a) : 0.0;
}

// Threads worth starting for `items` independent pieces of work.
int team_size(const gkm_kernel_base_t* base, size_t items);

// ---- encoded sequences ----------------------------------------------------

struct gkm_sequence_t {
    char* sid;
    int32_t seqlen;
    int32_t nkmers;   // seqlen - L + 1 for the L it was encoded for
    uint8_t* seq;     // bases, A = 0, C = 1, G = 2, T = 3
    uint8_t* masked;  // nonzero where the text held no ACGT base; null when it held none
    double sqnorm;
};

// The sequence was encoded for this base's word length: evaluations that
// take its L-mer count and norm as given refuse any other.
bool sequence_fits_base(const gkm_kernel_base_t* base, const gkm_sequence_t* seq);

// L-mer codes (two bits a base, first base most significant) of bases
// [start, start + n + L - 1) of s: fwd[i] is the forward L-mer starting at
// start + i, rc[i] (when rc is not null) the reverse complement of that same
// L-mer. An L-mer covering a masked base gets GKM_NO_LMER.
void sequence_lmers(const gkm_sequence_t* s, int L, int start, int n, uint32_t* fwd, uint32_t* rc);

// The L-mers of a whole sequence, or of a stretch of it.
struct lmer_span {
    std::vector<uint32_t> fwd;
    std::vector<uint32_t> rc;
    void load(const gkm_sequence_t* s, int L, int start, int n, bool with_rc);
};

// Mismatched bases of two L-mer codes, one bit each (the low bit of each base).
inline uint32_t mismatch_bits(uint32_t a, uint32_t b)
{
    const uint32_t x = a ^ b;
    return (x | (x >> 1)) & 0x55555555u;
}

// Mismatches between two L-mer codes.
inline int lmer_mismatches(uint32_t a, uint32_t b) { return __builtin_popcount(mismatch_bits(a, b)); }

// Four L-mer codes at once, in whatever vector registers the target has.
typedef uint32_t lmer_quad __attribute__((vector_size(16)));

inline lmer_quad load_quad(const uint32_t* codes)
{
    lmer_quad q;
    memcpy(&q, codes, sizeof q);
    return q;
}

// Mismatched bases of a against each lane, one bit each.
inline lmer_quad mismatch_bits(uint32_t a, lmer_quad b)
{
    const lmer_quad x = b ^ a;
    return (x | (x >> 1)) & 0x55555555u;
}

// Bit k set when lane k of flags (all ones or all zeros per lane) is set.
inline int lane_bits(lmer_quad flags)
{
#if defined(__SSE2__)
    return _mm_movemask_ps(_mm_castsi128_ps((__m128i)flags));
#else
    return (int)((flags[0] & 1) | (flags[1] & 2) | (flags[2] & 4) | (flags[3] & 8));
#endif
}

// Square root of a self-kernel value; 0 when negative (a NaN passes).
inline double norm_of(double value) { return value < 0 ? 0.0 : sqrt(value); }

// The self-norm of n L-mers with unit weights (GKM_NO_LMER left out), from
// the profile weights[0..d]: pairs counted as exact integers, so any way of
// reaching the same counts gives the same bits.
double unit_self_norm(int d, const double* weights, const uint32_t* fwd, const uint32_t* rc, int n);

// The self-norm sqrt(K(x, x)) of n L-mers, each forward one (fwd) against
// every forward one and, when rc is not null, every reverse-complement one
// (rc[i] covers the bases of fwd[i]). Unit weights when w is null; otherwise
// w[i] weighs both L-mers covering the bases of fwd[i]. Allocates nothing.
double lmers_self_norm(const gkm_kernel_base_t* base, const uint32_t* fwd, const uint32_t* rc, int n,
                       const double* w);

// The same under several weightings, weights[c * n + i], into norms[c]: the
// pairs within d mismatches are found once, a bounded batch at a time, and
// summed per weighting in the order lmers_self_norm sums them; throws
// std::bad_alloc.
void lmers_self_norms(const gkm_kernel_base_t* base, const uint32_t* fwd, const uint32_t* rc, int n,
                      const double* weights, int n_weightings, double* norms);

// ---- L-mer index ----------------------------------------------------------
//
// The L-mers of a set of sequences, sorted by code. Equal codes form a group;
// groups sharing their first P bases form a node, which records which of the
// 4^S possible S-base suffixes occur in a mask. A table over the first T <= P
// bases maps a prefix to its run of nodes; nodes past T are found by bisection.
// Every array grows with the L-mers held, never with 4^L.

struct lmer_entry {
    int32_t id;     // sequence
    int32_t value;  // occurrences (counting indexes) or forward start (positional ones)
};

struct lmer_index_nodes {
    int L = 0;
    int S = 0;       // suffix bases in a node mask
    int P = 0;       // prefix bases of a node
    int T = 0;       // prefix bases of the top table
    int words = 0;   // 64-bit mask words per node
    std::vector<uint32_t> top;         // 4^T + 1
    std::vector<uint32_t> prefix;      // per node, its P-base prefix
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

// ---- search ---------------------------------------------------------------
//
// Every query L-mer against every indexed L-mer within d mismatches. A query
// L-mer carries a tag (a row, a position, or both) that comes back with each
// of its hits, together with the mismatch count and the group it met.
//
// The walk descends the node prefixes with the query L-mers still within
// reach, kept in one list per mismatch count. An L-mer that has used up its d
// mismatches can only meet its own remaining bases, so it leaves the walk and
// is looked up directly. At a node, the suffixes within reach are read from
// the node's mask. The walk is a template over its sink, compiled with each
// consumer, so that a hit goes straight to where it is counted.

struct query_lmer {
    uint32_t code;
    uint32_t tag;
};

// A hit's tag and mismatch count travel as one word: tag << HIT_TAG_SHIFT | m.
constexpr int HIT_TAG_SHIFT = 4;
constexpr uint32_t MAX_HIT_TAG = 0x0FFFFFFFu;
inline uint32_t tag_m(uint32_t tag, int m) { return (tag << HIT_TAG_SHIFT) | (uint32_t)m; }
inline uint32_t hit_tag(uint32_t tm) { return tm >> HIT_TAG_SHIFT; }
inline int hit_mismatches(uint32_t tm) { return (int)(tm & 15); }

constexpr int MAX_SUFFIX = 4;
constexpr int MAX_SUFFIXES = 1 << (2 * MAX_SUFFIX);

// Suffixes near a suffix s of S bases: within[s][r] the mask (4 words) of
// those at most r mismatches away; one_away[s] the 3S suffixes exactly one
// mismatch away.
struct suffix_tables {
    uint64_t within[MAX_SUFFIXES][MAX_SUFFIX + 1][4];
    uint8_t one_away[MAX_SUFFIXES][3 * MAX_SUFFIX];
    explicit suffix_tables(int S);
};
const suffix_tables& suffix_tables_for(int S);

// The lists of one node: a list for each mismatch count below d, and the
// L-mers that reached d at this node (sat).
struct node_lists {
    const query_lmer* at[GKM_N_WEIGHTS];
    int n[GKM_N_WEIGHTS];
    const query_lmer* sat;
    int n_sat;
};

// Working storage of searches, reused from one to the next.
struct search_workspace {
    std::vector<query_lmer> level[GKM_MAX_L + 1];
    uint32_t start[MAX_SUFFIXES + 1];
};

// Nodes [clo[c], chi[c]) among [lo, hi) whose prefixes begin with the t bases
// of prefix followed by base c.
void child_ranges(const lmer_index_nodes& ix, int t, uint32_t prefix, uint32_t lo, uint32_t hi, uint32_t clo[4],
                  uint32_t chi[4]);
// The group of L-mer code among nodes [lo, hi): its entries [first, first + n).
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

// Sink::at(tag_m) gives the hits of one query L-mer that has spent m
// mismatches; their hit(dm, first, n): it met, with m + dm mismatches, the
// group of entries [first, first + n); n may be 0. What a sink derives from
// the tag is thus derived once an L-mer, not once a hit; retag(tag_m) turns
// the hits into another L-mer's, so that one object serves a whole list.
template <class Sink>
class lmer_walker {
public:
    lmer_walker(const lmer_index_nodes& ix, int d, search_workspace& ws, Sink& sink)
        : ix_(ix), d_(d), ws_(ws), sink_(sink), tables_(suffix_tables_for(ix.S)),
          // Few suffixes a node: ranking the hits beats tabulating every suffix.
          sparse_(ix.n_groups() * 4 < ix.n_nodes() * ((size_t)1 << (2 * ix.S))),
          top_spans_prefix_(ix.T == ix.P && ix.n_nodes() > 0)
    {
    }

    void run(const query_lmer* queries, size_t n)
    {
        const uint32_t all = (uint32_t)ix_.n_nodes();
        if (d_ == 0) {
            for_each_hits(queries, n, 0, [&](auto& hits, const query_lmer& q) { lookup(hits, q.code, 0, all); });
            return;
        }
        node_lists root{};
        root.at[0] = queries;
        root.n[0] = (int)n;
        if (ix_.P == 0)
            read_node(0, root);
        else
            walk(0, 0, 0, all, root);
    }

private:
    const lmer_index_nodes& ix_;
    const int d_;
    search_workspace& ws_;
    Sink& sink_;
    const suffix_tables& tables_;
    const bool sparse_;
    const bool top_spans_prefix_;

    // Calls f(hits, q) for each of the n L-mers q of l, with q's hits at m
    // mismatches: one hits object serves them all, retagged from one L-mer
    // to the next, so that what it carries stays in registers.
    template <class F>
    void for_each_hits(const query_lmer* l, size_t n, int m, F f)
    {
        if (n == 0) return;
        auto hits = sink_.at(tag_m(l[0].tag, m));
        for (size_t i = 0; i < n; i++) {
            hits.retag(tag_m(l[i].tag, m));
            f(hits, l[i]);
        }
    }

    // The one L-mer, code, that a query L-mer with no mismatch left can still
    // meet among nodes [lo, hi).
    // When the top table spans the whole node prefix, the lookup runs without
    // a branch (an absent L-mer holds no entries), so that the cache misses
    // of successive lookups overlap.
    template <class Hits>
    void lookup(Hits& hits, uint32_t code, uint32_t lo, uint32_t hi)
    {
        uint32_t first, n;
        if (top_spans_prefix_)
            locate_by_top(code, &first, &n);
        else if (!find_group(ix_, code, lo, hi, &first, &n))
            return;
        hits.hit(0, first, n);
    }

    void locate_by_top(uint32_t code, uint32_t* first, uint32_t* n) const
    {
        const uint32_t pp = code >> (2 * ix_.S), at = ix_.top[pp];
        const size_t w0 = (size_t)std::min(at, (uint32_t)ix_.n_nodes() - 1) * ix_.words;
        rank_locator{&ix_.mask[w0], &ix_.word_group[w0], ix_.group_start.data()}.any(code & ((1u << (2 * ix_.S)) - 1),
                                                                                     first, n);
        *n &= 0u - (uint32_t)(ix_.top[pp + 1] != at);
    }

    void walk(int t, uint32_t prefix, uint32_t lo, uint32_t hi, const node_lists& lists)
    {
        uint32_t clo[4], chi[4];
        child_ranges(ix_, t, prefix, lo, hi, clo, chi);
        bool ok[4];
        for (int c = 0; c < 4; c++) ok[c] = chi[c] > clo[c];
        node_lists child[4];
        partition_lists(ix_.L, d_, t, lists, ok, child, ws_.level[t + 1]);
        const int rest = 2 * (ix_.L - t - 1);
        const uint32_t low = (1u << rest) - 1;
        for (int c = 0; c < 4; c++) {
            if (!ok[c]) continue;
            if (t + 1 == ix_.P) {
                read_node(clo[c], child[c]);
                continue;
            }
            const uint32_t cp = prefix * 4 + (uint32_t)c;
            for_each_hits(child[c].sat, child[c].n_sat, d_, [&](auto& hits, const query_lmer& q) {
                lookup(hits, (cp << rest) | (q.code & low), clo[c], chi[c]);
            });
            bool any = false;
            for (int m = 0; m < d_; m++) any |= child[c].n[m] > 0;
            if (any) walk(t + 1, cp, clo[c], chi[c], child[c]);
        }
    }

    void read_node(uint32_t node, const node_lists& lists)
    {
        const size_t w0 = (size_t)node * ix_.words;
        if (sparse_) {
            read_suffixes(node, lists, rank_locator{&ix_.mask[w0], &ix_.word_group[w0], ix_.group_start.data()});
        } else {
            load_node_starts(ix_, node, ws_.start);
            read_suffixes(node, lists, starts_locator{ws_.start});
        }
    }

    // The suffixes of one node that the node's lists reach, each a hit on its group.
    template <class Locate>
    void read_suffixes(uint32_t node, const node_lists& lists, Locate locate)
    {
        const uint64_t* mask = &ix_.mask[(size_t)node * ix_.words];
        const uint32_t smask = (1u << (2 * ix_.S)) - 1;
        // Nothing left to spend: the own suffix only.
        for_each_hits(lists.sat, lists.n_sat, d_, [&](auto& hits, const query_lmer& q) {
            uint32_t first, n;
            locate.any(q.code & smask, &first, &n);
            hits.hit(0, first, n);
        });
        // Mismatches to spend: every present suffix within reach, from the mask.
        for (int m = 0; m < d_; m++) {
            const int r = std::min(d_ - m, MAX_SUFFIX);
            for_each_hits(lists.at[m], lists.n[m], m, [&](auto& hits, const query_lmer& q) {
                read_within(hits, q.code & smask, r, mask, locate);
            });
        }
    }

    // The suffixes of a node within r mismatches of suffix s.
    template <class Hits, class Locate>
    void read_within(Hits& hits, uint32_t s, int r, const uint64_t* mask, Locate locate)
    {
        uint32_t first, n;
        if (r == 1 && Locate::dense) {
            // Most suffixes are present: every neighbour is read, an absent
            // one as an empty hit, so that no branch depends on which are there.
            locate.any(s, &first, &n);
            hits.hit(0, first, n);
            const uint8_t* near = tables_.one_away[s];
            for (int k = 0; k < 3 * ix_.S; k++) {
                locate.any(near[k], &first, &n);
                hits.hit(1, first, n);
            }
            return;
        }
        if (r == 1 && ix_.words == 4) {
            // One mismatch left on four bases: the own suffix and its
            // neighbours of the own mask word, and the three suffixes that
            // differ in the first base, one in each other word.
            const uint32_t own = s >> 6;
            for (uint32_t other = 1; other < 4; other++) {
                locate.any(s ^ (other << 6), &first, &n);
                hits.hit(1, first, n);
            }
            read_word(hits, s, own, mask[own] & tables_.within[s][1][own], locate);
            return;
        }
        const uint64_t* within = tables_.within[s][r];
        for (int w = 0; w < ix_.words; w++) read_word(hits, s, w, mask[w] & within[w], locate);
    }

    // Hits on the suffixes set in h, mask word w, each as far from s as it is.
    template <class Hits, class Locate>
    void read_word(Hits& hits, uint32_t s, int w, uint64_t h, Locate locate)
    {
        const auto view = locate.word(w);
        while (h) {
            const uint32_t bit = (uint32_t)__builtin_ctzll(h);
            h &= h - 1;
            uint32_t first, n;
            view.present(bit, &first, &n);
            hits.hit(lmer_mismatches(s, (uint32_t)(w << 6) | bit), first, n);
        }
    }
};

// Hits reach sink in an order fixed by the index and the query L-mers alone
// (a query's hits come in the same order whatever else is searched with it);
// a group's entries keep the order they were indexed in. Throws std::bad_alloc.
template <class Sink>
void search_lmer_index(const lmer_index_nodes& ix, int d, const query_lmer* queries, size_t n, search_workspace& ws,
                       Sink& sink)
{
    if (n == 0 || ix.n_nodes() == 0) return;
    lmer_walker<Sink>(ix, d, ws, sink).run(queries, n);
}

// The same, calling f(tag_m, entry) for every entry of every hit.
template <class F>
void search_lmer_entries(const lmer_index_nodes& ix, const lmer_entry* entries, int d, const query_lmer* queries,
                         size_t n, search_workspace& ws, F&& f)
{
    struct lmer_hits {
        const lmer_entry* entries;
        F& f;
        uint32_t tm;
        void hit(int dm, uint32_t first, uint32_t n) const
        {
            for (uint32_t k = 0; k < n; k++) f(tm + (uint32_t)dm, entries[first + k]);
        }
        void retag(uint32_t t) { tm = t; }
    };
    struct entry_sink {
        const lmer_entry* entries;
        F& f;
        lmer_hits at(uint32_t tm) const { return {entries, f, tm}; }
    } sink{entries, f};
    search_lmer_index(ix, d, queries, n, ws, sink);
}

// ---- regular kernel -------------------------------------------------------

struct gkm_kernel_t {
    gkm_kernel_base_t base;
    lmer_index<lmer_counts>* index;  // every stored reference; null until finalised
};

// ---- windows --------------------------------------------------------------

// The valid windows of one sequence length, in order: window w covers bases
// [eff_start[w], eff_start[w] + eff_len[w]) of a nominal window starting at
// start[w].
struct window_geometry {
    int seqlen = 0, window = 0, shift = 0, pad_left = 0, pad_right = 0, L = 0;
    std::vector<int> start, eff_start, eff_len;
    int count() const { return (int)start.size(); }
    // Windows holding the L-mer that starts at p: [first_holding(p),
    // last_holding(p)], empty when the first is past the last.
    int first_holding(int p) const;
    int last_holding(int p) const;
};

// shift >= 1, window >= L and both padding guards hold.
bool window_geometry_ok(int window, int shift, int pad_left, int pad_right, int L);

// Calls f(w, start, eff_start, eff_len) for every valid window, in order;
// returns how many there were.
template <class F>
int for_each_window(int seqlen, int window, int shift, int pad_left, int pad_right, int L, F&& f);

// The windows of seqlen under this geometry; throws std::bad_alloc.
void make_window_geometry(window_geometry& g, int seqlen, int window, int shift, int pad_left, int pad_right, int L);

// Every sequence is present and seqlen long.
bool all_have_length(const gkm_sequence_t* const* seqs, int n, int seqlen);
// Every sequence is present and encoded for this base's word length.
bool all_fit_base(const gkm_kernel_base_t* base, const gkm_sequence_t* const* seqs, int n);

// Window matrices: window w of every query against window w of every
// reference, for the regular kernel (positional null) or with every window
// weighted around its own middle. The windows are cut into runs of
// consecutive windows; the references' L-mers that a run's windows hold are
// indexed by position, the queries' L-mers walk that index once, and each
// matched pair counts in every window of the run that holds both L-mers.
struct window_side {
    const gkm_sequence_t* const* seqs;
    int n;
};

struct window_job {
    const gkm_kernel_base_t* base;
    const gkm_weighted_kernel_t* positional;  // null: the regular kernel
    const window_geometry* g;                 // the windows of the queries' length
    window_side queries, refs;
};

struct window_run {
    int first = 0, count = 0;            // windows
    int span_start = 0, span_lmers = 0;  // the L-mers its windows hold
    lmer_index<lmer_positions> refs;
};

// Runs covering every window, none indexed yet.
std::vector<window_run> plan_window_runs(const window_job& job);
// Indexes the references' L-mers of one run; throws std::bad_alloc.
void index_window_run(const window_job& job, window_run& run);
// norms[w * n + i]: self-norm of window w of side.seqs[i], on the job's threads.
void window_norms(const window_job& job, const window_side& side, double* norms);
// out[(w * n_q + i) * n_ref + j] for the windows of an indexed run, the
// queries' and references' window norms given; throws std::bad_alloc.
void eval_window_run(const window_job& job, const window_run& run, const double* q_norms, const double* r_norms,
                     double* out);
// Norms, runs and values of every window at once, runs spread over the
// job's threads; -1 when memory runs out.
int eval_windows(const window_job& job, double* out);

// ---- positional weights ---------------------------------------------------

struct gkm_weighted_kernel_t {
    gkm_kernel_base_t base;
    gkm_pos_kernel_t pos_kernel;
    double weight_gamma;
    double weight_sigma;
    double weight_peak;
};

// wt[j]: weight of the L-mer starting at j, for j < n, around center. A
// reverse-complement L-mer covers the bases of a forward one and takes its weight.
void pos_weights(const gkm_weighted_kernel_t* kernel, int n, double center, double* wt);

// Positional weight of the L-mer starting at `start`: p(midpoint - center) * peak.
// The weight arrays, the self-norms and the searches all form it here, so a
// sequence scored against itself normalises to 1.
template <class Kind>
inline double lmer_pos_weight(double start, int L, double center, Kind kind, double gamma, double sigma,
                              double peak)
{
    const double midpoint = start + (L - 1) * 0.5;
    const double dist = midpoint - center;
    return gkm_pos_weight(dist, kind, gamma, sigma) * peak;
}

// Calls f(kind) with the five known kinds as compile-time constants (other
// values, the flat profile, stay runtime), so that inner loops carry no dispatch.
template <class F>
inline void with_pos_kernel(gkm_pos_kernel_t kind, F&& f)
{
    switch (kind) {
    case GKM_POS_TRIANGULAR: f(std::integral_constant<gkm_pos_kernel_t, GKM_POS_TRIANGULAR>()); break;
    case GKM_POS_EPANECHNIKOV: f(std::integral_constant<gkm_pos_kernel_t, GKM_POS_EPANECHNIKOV>()); break;
    case GKM_POS_GAUSSIAN: f(std::integral_constant<gkm_pos_kernel_t, GKM_POS_GAUSSIAN>()); break;
    case GKM_POS_LAPLACIAN: f(std::integral_constant<gkm_pos_kernel_t, GKM_POS_LAPLACIAN>()); break;
    case GKM_POS_CAUCHY: f(std::integral_constant<gkm_pos_kernel_t, GKM_POS_CAUCHY>()); break;
    default: f(kind); break;
    }
}

// Weights of the eff_len[w] - L + 1 L-mers of window w, from its first,
// around the window's own middle.
void window_pos_weights(const gkm_weighted_kernel_t* kernel, const window_geometry& g, int w, double* wt);

// ---- sizes ----------------------------------------------------------------

// a * b (* c) as size_t, or false when the product overflows.
bool checked_size(size_t a, size_t b, size_t* out);
bool checked_size3(size_t a, size_t b, size_t c, size_t* out);
// a * b * c doubles, as a count and in bytes, fit in size_t; count receives it.
bool doubles_fit(size_t a, size_t b, size_t c, size_t* count);

// Sets n doubles to 0.0: what a call that fails after it began writing leaves.
inline void zero_fill(double* out, size_t n)
{
    std::fill(out, out + n, 0.0);
}

// Runs an evaluation; exhausted memory, or a size beyond what a vector can
// hold, becomes the -1 failure.
template <class Eval>
int fail_safely(Eval eval)
{
    try {
        return eval();
    } catch (const std::bad_alloc&) {
        return -1;
    } catch (const std::length_error&) {
        return -1;
    }
}

// The same for an evaluation that writes n doubles at out: a failure leaves
// them all zeros, whatever it had written before, so that no part of a
// result outlives a failed call.
template <class Eval>
int fail_zeroing(double* out, size_t n, Eval eval)
{
    const int rc = fail_safely(eval);
    if (rc != 0) zero_fill(out, n);
    return rc;
}

// ---- window enumeration (template body) ------------------------------------

// Window w before and after clipping to [0, seqlen), in 64 bits: w * shift -
// pad_left and start + window overflow int for large arguments.
struct window_extent {
    int64_t start, end, eff_start, eff_len;
};

inline window_extent window_at(int64_t w, int seqlen, int window, int shift, int pad_left)
{
    window_extent e;
    e.start = w * shift - pad_left;
    e.end = e.start + window;
    e.eff_start = std::max<int64_t>(e.start, 0);
    e.eff_len = std::min<int64_t>(e.end, seqlen) - e.eff_start;
    return e;
}

template <class F>
int for_each_window(int seqlen, int window, int shift, int pad_left, int pad_right, int L, F&& f)
{
    // Without these no window can hold an L-mer; shift < 1 would repeat one window.
    if (shift < 1 || seqlen < L || !window_geometry_ok(window, shift, pad_left, pad_right, L)) return 0;
    int n = 0;
    for (int64_t w = 0; w < GKM_MAX_WINDOWS; w++) {
        const window_extent e = window_at(w, seqlen, window, shift, pad_left);
        if (e.eff_len < L) {
            if (e.start >= (int64_t)seqlen - L + 1) break;
            continue;
        }
        if (e.end > (int64_t)seqlen + pad_right) break;
        // A visited window starts after -pad_left and before seqlen: all fit int.
        f(n, (int)e.start, (int)e.eff_start, (int)e.eff_len);
        n++;
    }
    return n;
}

#endif  // GKM_INTERNAL_H
