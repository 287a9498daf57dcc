// The mismatch search: query L-mers against an L-mer index, every pair within
// d mismatches. The walk descends the node prefixes with the query L-mers
// still within reach, kept in one list per mismatch count. An L-mer that has
// used up its d mismatches can only match its own remaining bases, so it
// leaves the walk and is looked up directly. At a node, the suffixes within
// reach are read from the node's mask. Hits are expanded to the entries of
// their group and handed to the sink in batches.
#include "gkm_internal.h"

#include <cstddef>
#include <cstring>
#include <mutex>

namespace {

constexpr int MAX_SUFFIX = 4;
constexpr int MAX_SUFFIXES = 1 << (2 * MAX_SUFFIX);
// Small enough to stay in the first-level cache between the walk and the sink,
// and at least the suffixes of one node, MAX_SUFFIXES.
constexpr size_t HIT_BATCH = 2048;

// Suffixes near a suffix s of S bases: within[s][r] the mask (4 words) of
// those at most r mismatches away.
struct suffix_tables {
    uint64_t within[MAX_SUFFIXES][MAX_SUFFIX + 1][4];

    explicit suffix_tables(int S)
    {
        memset(within, 0, sizeof within);
        const int n = 1 << (2 * S);
        for (int s = 0; s < n; s++) {
            for (int t = 0; t < n; t++) {
                const int m = lmer_mismatches((uint32_t)s, (uint32_t)t);
                for (int r = m; r <= MAX_SUFFIX; r++) within[s][r][t >> 6] |= uint64_t(1) << (t & 63);
            }
        }
    }
};

const suffix_tables& tables_for(int S)
{
    static std::once_flag once[MAX_SUFFIX + 1];
    static std::unique_ptr<suffix_tables> tables[MAX_SUFFIX + 1];
    std::call_once(once[S], [S] { tables[S].reset(new suffix_tables(S)); });
    return *tables[S];
}

inline uint32_t tag_m(uint32_t tag, int m) { return (tag << HIT_TAG_SHIFT) | (uint32_t)m; }

}  // namespace

struct search_workspace::state {
    std::vector<query_lmer> level[GKM_MAX_L + 1];
    std::vector<lmer_hit> hits;
    uint32_t start[MAX_SUFFIXES + 1];
};

search_workspace::search_workspace() : st(new state) {}
search_workspace::~search_workspace() { delete st; }

namespace {

// The lists of one node: U lists for each mismatch count below d, and the
// L-mers that reached d at this node.
struct node_lists {
    const query_lmer* at[GKM_N_WEIGHTS];
    int n[GKM_N_WEIGHTS];
    const query_lmer* sat;
    int n_sat;
};

class walker {
public:
    walker(const lmer_index_nodes& ix, int d, search_workspace::state& st, hit_sink& sink)
        : ix_(ix), d_(d), st_(st), sink_(sink), tables_(tables_for(ix.S)), n_hits_(0)
    {
        if (st_.hits.size() < HIT_BATCH) st_.hits.resize(HIT_BATCH);
    }

    void run(const query_lmer* queries, size_t n)
    {
        const uint32_t all = (uint32_t)ix_.n_nodes();
        if (d_ == 0) {
            for (size_t i = 0; i < n; i++) lookup(queries[i], queries[i].code, 0, all);
        } else {
            node_lists root{};
            root.at[0] = queries;
            root.n[0] = (int)n;
            if (ix_.P == 0)
                read_node(0, root);
            else
                walk(0, 0, 0, all, root);
        }
        flush();
    }

private:
    const lmer_index_nodes& ix_;
    const int d_;
    search_workspace::state& st_;
    hit_sink& sink_;
    const suffix_tables& tables_;
    size_t n_hits_;

    void flush()
    {
        if (n_hits_) sink_.take(st_.hits.data(), n_hits_);
        n_hits_ = 0;
    }

    // A hit on the group of entries [a, a + n); nothing when n is 0. The slot
    // is written either way and kept only for a group that exists: the
    // presence of a suffix is as good as random, and a store beats a branch.
    void emit(uint32_t tm, uint32_t a, uint32_t n)
    {
        st_.hits[n_hits_] = {tm, a, n};
        n_hits_ += n != 0;
    }

    // Room for `more` hits before the batch is full.
    void make_room(size_t more)
    {
        if (n_hits_ + more > HIT_BATCH) flush();
    }

    // Nodes [lo, hi) whose prefixes begin with the t + 1 bases of child.
    void child_range(int t, uint32_t child, uint32_t lo, uint32_t hi, uint32_t* clo, uint32_t* chi) const
    {
        if (t + 1 <= ix_.T) {
            const int up = 2 * (ix_.T - t - 1);
            *clo = ix_.top[(size_t)child << up];
            *chi = ix_.top[(size_t)(child + 1) << up];
            return;
        }
        const int down = 2 * (ix_.P - t - 1);
        const uint32_t* p = ix_.prefix.data();
        *clo = (uint32_t)(std::lower_bound(p + lo, p + hi, child << down) - p);
        *chi = (uint32_t)(std::lower_bound(p + *clo, p + hi, (child + 1) << down) - p);
    }

    // The node of P-prefix pp among nodes [lo, hi), or n_nodes.
    uint32_t find_node(uint32_t pp, uint32_t lo, uint32_t hi) const
    {
        if (ix_.T == ix_.P) return ix_.top[pp + 1] > ix_.top[pp] ? ix_.top[pp] : (uint32_t)ix_.n_nodes();
        const uint32_t* p = ix_.prefix.data();
        const uint32_t* at = std::lower_bound(p + lo, p + hi, pp);
        return (at != p + hi && *at == pp) ? (uint32_t)(at - p) : (uint32_t)ix_.n_nodes();
    }

    // The one L-mer, code, that a query L-mer with no mismatch left can still
    // meet among nodes [lo, hi).
    void lookup(const query_lmer& q, uint32_t code, uint32_t lo, uint32_t hi)
    {
        const int S = ix_.S;
        const uint32_t node = find_node(code >> (2 * S), lo, hi);
        if (node == ix_.n_nodes()) return;
        const uint32_t s = code & ((1u << (2 * S)) - 1);
        const size_t w = (size_t)node * ix_.words + (s >> 6);
        const uint64_t word = ix_.mask[w];
        const uint64_t bit = uint64_t(1) << (s & 63);
        if (!(word & bit)) return;
        const uint32_t g = ix_.word_group[w] + (uint32_t)__builtin_popcountll(word & (bit - 1));
        const uint32_t a = ix_.group_start[g];
        make_room(1);
        emit(tag_m(q.tag, d_), a, ix_.group_start[g + 1] - a);
    }

    // Splits the U lists of a node at depth t among the children allowed by
    // ok: an L-mer keeps its count in the child of its own base and gains a
    // mismatch in the three others. Every list is written to all four
    // children and kept where it belongs, which avoids a branch per L-mer.
    void partition(int t, const node_lists& in, const bool ok[4], node_lists out[4])
    {
        const int d = d_;
        const int sh = 2 * (ix_.L - 1 - t);
        // A child's list of count m takes the same-base L-mers of count m and
        // the other-base ones of count m - 1; count d is the child's sat list.
        size_t capacity[GKM_N_WEIGHTS + 1], need = 0;
        for (int m = 0; m <= d; m++) {
            capacity[m] = (m < d ? (size_t)in.n[m] : 0) + (m > 0 ? (size_t)in.n[m - 1] : 0);
            need += 4 * capacity[m];
        }
        std::vector<query_lmer>& buf = st_.level[t + 1];
        if (buf.size() < need + 4) buf.resize(need + 4);
        query_lmer* lists[4][GKM_N_WEIGHTS + 1];
        query_lmer* free_at = buf.data();
        for (int c = 0; c < 4; c++) {
            for (int m = 0; m <= d; m++) {
                lists[c][m] = free_at;
                out[c].n[m] = 0;
                free_at += capacity[m];
            }
        }
        const uint32_t o0 = ok[0], o1 = ok[1], o2 = ok[2], o3 = ok[3];
        for (int m = 0; m < d; m++) {
            const query_lmer* l = in.at[m];
            const int n = in.n[m];
            query_lmer *s0 = lists[0][m] + out[0].n[m], *s1 = lists[1][m] + out[1].n[m],
                       *s2 = lists[2][m] + out[2].n[m], *s3 = lists[3][m] + out[3].n[m];
            query_lmer *n0 = lists[0][m + 1], *n1 = lists[1][m + 1], *n2 = lists[2][m + 1], *n3 = lists[3][m + 1];
            for (int i = 0; i < n; i++) {
                const query_lmer e = l[i];
                const uint32_t b = (e.code >> sh) & 3;
                *s0 = e;
                *s1 = e;
                *s2 = e;
                *s3 = e;
                *n0 = e;
                *n1 = e;
                *n2 = e;
                *n3 = e;
                s0 += (b == 0) & o0;
                s1 += (b == 1) & o1;
                s2 += (b == 2) & o2;
                s3 += (b == 3) & o3;
                n0 += (b != 0) & o0;
                n1 += (b != 1) & o1;
                n2 += (b != 2) & o2;
                n3 += (b != 3) & o3;
            }
            query_lmer* const same_end[4] = {s0, s1, s2, s3};
            query_lmer* const next_end[4] = {n0, n1, n2, n3};
            for (int c = 0; c < 4; c++) {
                out[c].n[m] = (int)(same_end[c] - lists[c][m]);
                out[c].n[m + 1] = (int)(next_end[c] - lists[c][m + 1]);
            }
        }
        for (int c = 0; c < 4; c++) {
            for (int m = 0; m < d; m++) out[c].at[m] = lists[c][m];
            out[c].sat = lists[c][d];
            out[c].n_sat = out[c].n[d];
            out[c].n[d] = 0;
        }
    }

    void walk(int t, uint32_t prefix, uint32_t lo, uint32_t hi, const node_lists& lists)
    {
        uint32_t clo[4], chi[4];
        bool ok[4];
        for (int c = 0; c < 4; c++) {
            child_range(t, prefix * 4 + c, lo, hi, &clo[c], &chi[c]);
            ok[c] = chi[c] > clo[c];
        }
        node_lists child[4];
        partition(t, lists, ok, child);
        const int rest = 2 * (ix_.L - t - 1);
        for (int c = 0; c < 4; c++) {
            if (!ok[c]) continue;
            const uint32_t cp = prefix * 4 + c;
            if (t + 1 == ix_.P) {
                read_node(clo[c], child[c]);
                continue;
            }
            const uint32_t low = (1u << rest) - 1;
            for (int i = 0; i < child[c].n_sat; i++) {
                const query_lmer& q = child[c].sat[i];
                lookup(q, (cp << rest) | (q.code & low), clo[c], chi[c]);
            }
            bool any = false;
            for (int m = 0; m < d_; m++) any |= child[c].n[m] > 0;
            if (any) walk(t + 1, cp, clo[c], chi[c], child[c]);
        }
    }

    // start[s]: first entry of suffix s in the node, start[s + 1] - start[s] its entries.
    void load_node_starts(uint32_t node)
    {
        const uint64_t* mask = &ix_.mask[(size_t)node * ix_.words];
        const uint32_t* gs = ix_.group_start.data();
        uint32_t g = ix_.word_group[(size_t)node * ix_.words];
        const int n = 1 << (2 * ix_.S);
        for (int s = 0; s < n; s++) {
            st_.start[s] = gs[g];
            g += (uint32_t)((mask[s >> 6] >> (s & 63)) & 1);
        }
        st_.start[n] = gs[g];
    }

    // The suffixes of one node that the node's lists reach, each a hit on
    // its group.
    void read_node(uint32_t node, const node_lists& lists)
    {
        load_node_starts(node);
        const uint32_t* start = st_.start;
        const uint64_t* mask = &ix_.mask[(size_t)node * ix_.words];
        const uint32_t smask = (1u << (2 * ix_.S)) - 1;
        const int d = d_;
        auto hit = [&](uint32_t tm, uint32_t s) { emit(tm, start[s], start[s + 1] - start[s]); };
        // Nothing left to spend: the own suffix only.
        for (int i = 0; i < lists.n_sat; i++) {
            if ((i & 1023) == 0) make_room(1024);
            hit(tag_m(lists.sat[i].tag, d), lists.sat[i].code & smask);
        }
        // Mismatches to spend: every present suffix within reach, from the mask.
        for (int m = 0; m < d; m++) {
            const query_lmer* l = lists.at[m];
            const int r = std::min(d - m, MAX_SUFFIX);
            for (int i = 0; i < lists.n[m]; i++) {
                make_room(MAX_SUFFIXES);
                const uint32_t s = l[i].code & smask;
                const uint32_t tm = tag_m(l[i].tag, m);
                if (r == 1 && ix_.words == 4) {
                    // One mismatch left on four bases: the own suffix and its
                    // neighbours of the own mask word, and the three suffixes
                    // that differ in the first base, one in each other word.
                    const uint32_t own = s >> 6, bit = s & 63;
                    for (uint32_t other = 1; other < 4; other++) hit(tm + 1, ((own ^ other) << 6) | bit);
                    read_word(tm, s, own, mask[own] & tables_.within[s][1][own], start);
                    continue;
                }
                const uint64_t* within = tables_.within[s][r];
                for (int w = 0; w < ix_.words; w++) read_word(tm, s, w, mask[w] & within[w], start);
            }
        }
    }

    // Hits on the suffixes set in h, mask word w, each as far from s as it is.
    void read_word(uint32_t tm, uint32_t s, int w, uint64_t h, const uint32_t* start)
    {
        while (h) {
            const uint32_t u = (uint32_t)(w << 6) | (uint32_t)__builtin_ctzll(h);
            h &= h - 1;
            emit(tm + (uint32_t)lmer_mismatches(s, u), start[u], start[u + 1] - start[u]);
        }
    }
};

}  // namespace

void search_lmer_index(const lmer_index_nodes& ix, int d, const query_lmer* queries, size_t n, search_workspace& ws,
                       hit_sink& sink)
{
    if (n == 0 || ix.n_nodes() == 0) return;
    walker(ix, d, *ws.st, sink).run(queries, n);
}
