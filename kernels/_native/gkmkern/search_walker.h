// The walk of the mismatch search, a template over the sink of its hits,
// and the two ways of running it.
#ifndef GKM_SEARCH_WALKER_H
#define GKM_SEARCH_WALKER_H

#include "search.h"

#include <algorithm>

// The walk descends the node prefixes with the query L-mers still within
// reach, kept in one list per mismatch count. An L-mer that has used up its d
// mismatches can only meet its own remaining bases, so it leaves the walk and
// is looked up directly. At a node, the suffixes within reach are read from
// the node's mask. The walk is a template over its sink, compiled with each
// consumer, so that a hit goes straight to where it is counted.
//
// Sink::at(tagged) gives the hits of one query L-mer that has spent m
// mismatches (tagged = tag_with_mismatches(tag, m)); their hit(dm, first, n):
// it met, with m + dm mismatches, the group of entries [first, first + n); n
// may be 0. What a sink derives from the tag is thus derived once an L-mer,
// not once a hit; retag(tagged) turns the hits into another L-mer's, so that
// one object serves a whole list.
template <class Sink>
class lmer_walker {
public:
    lmer_walker(const lmer_index_nodes& ix, int d, search_workspace& ws, Sink& sink)
        : ix_(ix), d_(d), ws_(ws), sink_(sink), tables_(suffix_tables_for(ix.suffix_len)),
          // Few suffixes a node: ranking the hits beats tabulating every suffix.
          sparse_(ix.n_groups() * 4 < ix.n_nodes() * ((size_t)1 << (2 * ix.suffix_len))),
          top_spans_prefix_(ix.top_len == ix.prefix_len && ix.n_nodes() > 0)
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
        if (ix_.prefix_len == 0)
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
        auto hits = sink_.at(tag_with_mismatches(l[0].tag, m));
        for (size_t i = 0; i < n; i++) {
            hits.retag(tag_with_mismatches(l[i].tag, m));
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
        const uint32_t node_prefix = code >> (2 * ix_.suffix_len), at = ix_.top[node_prefix];
        const size_t w0 = (size_t)std::min(at, (uint32_t)ix_.n_nodes() - 1) * ix_.words;
        rank_locator{&ix_.mask[w0], &ix_.word_group[w0], ix_.group_start.data()}.any(code & ((1u << (2 * ix_.suffix_len)) - 1),
                                                                                     first, n);
        *n &= 0u - (uint32_t)(ix_.top[node_prefix + 1] != at);
    }

    void walk(int t, uint32_t prefix, uint32_t lo, uint32_t hi, const node_lists& lists)
    {
        uint32_t child_lo[4], child_hi[4];
        child_ranges(ix_, t, prefix, lo, hi, child_lo, child_hi);
        bool ok[4];
        for (int c = 0; c < 4; c++) ok[c] = child_hi[c] > child_lo[c];
        node_lists child[4];
        partition_lists(ix_.L, d_, t, lists, ok, child, ws_.level[t + 1]);
        const int rest = 2 * (ix_.L - t - 1);
        const uint32_t low = (1u << rest) - 1;
        for (int c = 0; c < 4; c++) {
            if (!ok[c]) continue;
            if (t + 1 == ix_.prefix_len) {
                read_node(child_lo[c], child[c]);
                continue;
            }
            const uint32_t cp = prefix * 4 + (uint32_t)c;
            for_each_hits(child[c].spent, child[c].n_spent, d_, [&](auto& hits, const query_lmer& q) {
                lookup(hits, (cp << rest) | (q.code & low), child_lo[c], child_hi[c]);
            });
            bool any = false;
            for (int m = 0; m < d_; m++) any |= child[c].n[m] > 0;
            if (any) walk(t + 1, cp, child_lo[c], child_hi[c], child[c]);
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
        const uint32_t smask = (1u << (2 * ix_.suffix_len)) - 1;
        // Nothing left to spend: the own suffix only.
        for_each_hits(lists.spent, lists.n_spent, d_, [&](auto& hits, const query_lmer& q) {
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
            for (int k = 0; k < 3 * ix_.suffix_len; k++) {
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

// The same, calling f(tagged, entry) for every entry of every hit.
template <class F>
void search_lmer_entries(const lmer_index_nodes& ix, const lmer_entry* entries, int d, const query_lmer* queries,
                         size_t n, search_workspace& ws, F&& f)
{
    struct lmer_hits {
        const lmer_entry* entries;
        F& f;
        uint32_t tagged;
        void hit(int dm, uint32_t first, uint32_t n) const
        {
            for (uint32_t k = 0; k < n; k++) f(tagged + (uint32_t)dm, entries[first + k]);
        }
        void retag(uint32_t t) { tagged = t; }
    };
    struct entry_sink {
        const lmer_entry* entries;
        F& f;
        lmer_hits at(uint32_t tagged) const { return {entries, f, tagged}; }
    } sink{entries, f};
    search_lmer_index(ix, d, queries, n, ws, sink);
}

#endif  // GKM_SEARCH_WALKER_H
