// The parts of the mismatch search that do not depend on what its hits feed:
// the suffix tables, child ranges, node lookups and the partition of the
// walk's lists. The walk itself (gkm_internal.h) is compiled with each of its
// consumers, so that a hit goes straight to where it is counted.
#include "gkm_internal.h"

#include <cstring>
#include <mutex>

suffix_tables::suffix_tables(int n_bases)
{
    memset(within, 0, sizeof within);
    memset(one_away, 0, sizeof one_away);
    const int n = 1 << (2 * n_bases);
    for (int s = 0; s < n; s++) {
        int near = 0;
        for (int t = 0; t < n; t++) {
            const int m = lmer_mismatches((uint32_t)s, (uint32_t)t);
            for (int r = m; r <= MAX_SUFFIX; r++) within[s][r][t >> 6] |= uint64_t(1) << (t & 63);
            if (m == 1) one_away[s][near++] = (uint8_t)t;
        }
    }
}

const suffix_tables& suffix_tables_for(int n_bases)
{
    static std::once_flag once[MAX_SUFFIX + 1];
    static std::unique_ptr<suffix_tables> tables[MAX_SUFFIX + 1];
    std::call_once(once[n_bases], [n_bases] { tables[n_bases].reset(new suffix_tables(n_bases)); });
    return *tables[n_bases];
}

void child_ranges(const lmer_index_nodes& ix, int t, uint32_t prefix, uint32_t lo, uint32_t hi, uint32_t child_lo[4],
                  uint32_t child_hi[4])
{
    for (uint32_t c = 0; c < 4; c++) {
        const uint32_t child = prefix * 4 + c;
        if (t + 1 <= ix.top_len) {
            const int up = 2 * (ix.top_len - t - 1);
            child_lo[c] = ix.top[(size_t)child << up];
            child_hi[c] = ix.top[(size_t)(child + 1) << up];
            continue;
        }
        const int down = 2 * (ix.prefix_len - t - 1);
        const uint32_t* p = ix.prefix.data();
        child_lo[c] = (uint32_t)(std::lower_bound(p + lo, p + hi, child << down) - p);
        child_hi[c] = (uint32_t)(std::lower_bound(p + child_lo[c], p + hi, (child + 1) << down) - p);
    }
}

bool find_group(const lmer_index_nodes& ix, uint32_t code, uint32_t lo, uint32_t hi, uint32_t* first, uint32_t* n)
{
    const uint32_t node_prefix = code >> (2 * ix.suffix_len);
    const uint32_t* p = ix.prefix.data();
    const uint32_t* at = std::lower_bound(p + lo, p + hi, node_prefix);
    if (at == p + hi || *at != node_prefix) return false;
    const uint32_t node = (uint32_t)(at - p);
    const uint32_t s = code & ((1u << (2 * ix.suffix_len)) - 1);
    const size_t w = (size_t)node * ix.words + (s >> 6);
    const uint64_t bit = uint64_t(1) << (s & 63);
    if (!(ix.mask[w] & bit)) return false;
    const uint32_t g = ix.word_group[w] + (uint32_t)__builtin_popcountll(ix.mask[w] & (bit - 1));
    *first = ix.group_start[g];
    *n = ix.group_start[g + 1] - *first;
    return true;
}

void load_node_starts(const lmer_index_nodes& ix, uint32_t node, uint32_t* start)
{
    const uint64_t* mask = &ix.mask[(size_t)node * ix.words];
    const uint32_t* gs = ix.group_start.data();
    uint32_t g = ix.word_group[(size_t)node * ix.words];
    const int n = 1 << (2 * ix.suffix_len);
    for (int s = 0; s < n; s++) {
        start[s] = gs[g];
        g += (uint32_t)((mask[s >> 6] >> (s & 63)) & 1);
    }
    start[n] = gs[g];
}

void partition_lists(int L, int d, int t, const node_lists& in, const bool ok[4], node_lists out[4],
                     std::vector<query_lmer>& buf)
{
    const int sh = 2 * (L - 1 - t);
    // A child's list of count m takes the same-base L-mers of count m and the
    // other-base ones of count m - 1; count d is the child's spent list.
    size_t capacity[GKM_N_WEIGHTS + 1], need = 0;
    for (int m = 0; m <= d; m++) {
        capacity[m] = (m < d ? (size_t)in.n[m] : 0) + (m > 0 ? (size_t)in.n[m - 1] : 0);
        need += 4 * capacity[m];
    }
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
    const uint32_t present0 = ok[0], present1 = ok[1], present2 = ok[2], present3 = ok[3];
    for (int m = 0; m < d; m++) {
        const query_lmer* l = in.at[m];
        const int n = in.n[m];
        query_lmer *s0 = lists[0][m] + out[0].n[m], *s1 = lists[1][m] + out[1].n[m], *s2 = lists[2][m] + out[2].n[m],
                   *s3 = lists[3][m] + out[3].n[m];
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
            s0 += (b == 0) & present0;
            s1 += (b == 1) & present1;
            s2 += (b == 2) & present2;
            s3 += (b == 3) & present3;
            n0 += (b != 0) & present0;
            n1 += (b != 1) & present1;
            n2 += (b != 2) & present2;
            n3 += (b != 3) & present3;
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
        out[c].spent = lists[c][d];
        out[c].n_spent = out[c].n[d];
        out[c].n[d] = 0;
    }
}
