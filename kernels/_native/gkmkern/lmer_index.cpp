// The L-mer index: occurrences sorted by code into groups and nodes, so that
// the search reads every node it visits from one contiguous stretch.
#include "gkm_internal.h"

#include <cstring>

namespace {

// Stable sort by code, 12 bits a pass: equal codes keep the order the
// records were made in (by sequence, then strand and position).
void sort_by_code(std::vector<lmer_record>& records, int L)
{
    std::vector<lmer_record> sorted(records.size());
    std::vector<size_t> count(4097);
    for (int shift = 0; shift < 2 * L; shift += 12) {
        std::fill(count.begin(), count.end(), 0);
        for (const lmer_record& r : records) count[((r.code >> shift) & 4095) + 1]++;
        for (int b = 0; b < 4096; b++) count[b + 1] += count[b];
        for (const lmer_record& r : records) sorted[count[(r.code >> shift) & 4095]++] = r;
        records.swap(sorted);
    }
}

// Suffix bases kept in a node's mask: four (a 256-bit mask) once L allows it.
int suffix_bases(int L) { return std::min(L, MAX_SUFFIX); }

// Bases of the top table: all of the node prefix when the nodes fill it
// densely enough, fewer otherwise, so that it never outgrows the nodes.
int top_bases(int P, size_t n_nodes)
{
    int T = std::min(P, 8);
    while (T > 0 && (size_t(1) << (2 * T)) > 4 * n_nodes + 64) T--;
    return T;
}

void add_node(lmer_index_nodes& ix, uint32_t prefix, size_t groups)
{
    ix.prefix.push_back(prefix);
    for (int w = 0; w < ix.words; w++) {
        ix.mask.push_back(0);
        ix.word_group.push_back((uint32_t)groups);
    }
}

void fill_top_table(lmer_index_nodes& ix)
{
    const int drop = 2 * (ix.P - ix.T);
    ix.top.assign((size_t(1) << (2 * ix.T)) + 1, 0);
    for (uint32_t p : ix.prefix) ix.top[(p >> drop) + 1]++;
    for (size_t i = 0; i + 1 < ix.top.size(); i++) ix.top[i + 1] += ix.top[i];
}

// First group of each mask word: the node's first group plus the groups of
// the words before it.
void fill_word_groups(lmer_index_nodes& ix)
{
    for (size_t x = 0; x < ix.n_nodes(); x++) {
        uint32_t g = ix.word_group[x * ix.words];
        for (int w = 0; w < ix.words; w++) {
            ix.word_group[x * ix.words + w] = g;
            g += (uint32_t)__builtin_popcountll(ix.mask[x * ix.words + w]);
        }
    }
}

}  // namespace

void build_lmer_index(lmer_index_nodes& ix, std::vector<lmer_entry>& entries, std::vector<lmer_record>& records,
                      int L, bool merge)
{
    sort_by_code(records, L);
    ix.L = L;
    ix.S = suffix_bases(L);
    ix.P = L - ix.S;
    ix.words = std::max(1, (1 << (2 * ix.S)) / 64);
    ix.prefix.clear();
    ix.mask.clear();
    ix.word_group.clear();
    ix.group_start.clear();
    entries.clear();
    const uint32_t suffix_mask = (1u << (2 * ix.S)) - 1;
    uint32_t code = GKM_NO_LMER;
    for (const lmer_record& r : records) {
        if (r.code != code) {
            if (code == GKM_NO_LMER || (r.code >> (2 * ix.S)) != ix.prefix.back())
                add_node(ix, r.code >> (2 * ix.S), ix.group_start.size());
            const uint32_t s = r.code & suffix_mask;
            ix.mask[(ix.n_nodes() - 1) * ix.words + (s >> 6)] |= uint64_t(1) << (s & 63);
            ix.group_start.push_back((uint32_t)entries.size());
            code = r.code;
        } else if (merge && entries.back().id == r.id) {
            entries.back().value += r.value;
            continue;
        }
        entries.push_back({r.id, r.value});
    }
    ix.group_start.push_back((uint32_t)entries.size());
    ix.group_start.push_back((uint32_t)entries.size());
    records.clear();
    records.shrink_to_fit();
    fill_word_groups(ix);
    ix.T = top_bases(ix.P, ix.n_nodes());
    fill_top_table(ix);
}

void append_lmer_records(std::vector<lmer_record>& records, const gkm_sequence_t* seq, int id, int L, bool use_rc,
                         bool positions, int start, int n)
{
    if (n < 0) n = seq->seqlen - L + 1 - start;
    if (n <= 0) return;
    lmer_span span;
    span.load(seq, L, start, n, use_rc);
    for (int i = 0; i < n; i++)
        if (span.fwd[i] != GKM_NO_LMER) records.push_back({span.fwd[i], id, positions ? start + i : 1});
    if (!use_rc) return;
    for (int i = 0; i < n; i++)
        if (span.rc[i] != GKM_NO_LMER) records.push_back({span.rc[i], id, positions ? start + i : 1});
}
