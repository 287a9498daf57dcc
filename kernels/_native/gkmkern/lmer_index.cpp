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
int node_suffix_len(int L) { return std::min(L, MAX_SUFFIX); }

// Bases of the top table: all of the node prefix when the nodes fill it
// densely enough, fewer otherwise, so that it never outgrows the nodes.
int top_len_for(int prefix_len, size_t n_nodes)
{
    int top_len = std::min(prefix_len, MAX_TOP_BASES);
    while (top_len > 0 && (size_t(1) << (2 * top_len)) > TOP_ENTRIES_PER_NODE * n_nodes + TOP_ENTRIES_EXTRA) top_len--;
    return top_len;
}

void fill_top_table(lmer_index_nodes& ix)
{
    const int drop = 2 * (ix.prefix_len - ix.top_len);
    ix.top.assign((size_t(1) << (2 * ix.top_len)) + 1, 0);
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

// Fills an index from groups given in increasing code order, each opened
// by open_group and followed by its entries.
class index_builder {
public:
    index_builder(lmer_index_nodes& ix, std::vector<lmer_entry>& entries, int L) : ix_(ix), entries_(entries)
    {
        ix.L = L;
        ix.suffix_len = node_suffix_len(L);
        ix.prefix_len = L - ix.suffix_len;
        ix.words = std::max(1, (1 << (2 * ix.suffix_len)) / 64);
        ix.prefix.clear();
        ix.mask.clear();
        ix.word_group.clear();
        ix.group_start.clear();
        entries.clear();
    }

    void open_group(uint32_t code)
    {
        const uint32_t prefix = code >> (2 * ix_.suffix_len), s = code & ((1u << (2 * ix_.suffix_len)) - 1);
        if (ix_.group_start.empty() || prefix != ix_.prefix.back()) add_node(prefix);
        ix_.mask[(ix_.n_nodes() - 1) * ix_.words + (s >> 6)] |= uint64_t(1) << (s & 63);
        ix_.group_start.push_back((uint32_t)entries_.size());
    }

    void finish()
    {
        ix_.group_start.push_back((uint32_t)entries_.size());
        ix_.group_start.push_back((uint32_t)entries_.size());
        fill_word_groups(ix_);
        ix_.top_len = top_len_for(ix_.prefix_len, ix_.n_nodes());
        fill_top_table(ix_);
    }

private:
    void add_node(uint32_t prefix)
    {
        ix_.prefix.push_back(prefix);
        for (int w = 0; w < ix_.words; w++) {
            ix_.mask.push_back(0);
            ix_.word_group.push_back((uint32_t)ix_.group_start.size());
        }
    }

    lmer_index_nodes& ix_;
    std::vector<lmer_entry>& entries_;
};

}  // namespace

void build_lmer_index(lmer_index_nodes& ix, std::vector<lmer_entry>& entries, std::vector<lmer_record>& records,
                      int L, bool merge)
{
    sort_by_code(records, L);
    index_builder build(ix, entries, L);
    // At most one entry a record: growing by doubling would hold both copies at once.
    entries.reserve(records.size());
    uint32_t code = GKM_NO_LMER;
    for (const lmer_record& r : records) {
        if (r.code != code) {
            build.open_group(r.code);
            code = r.code;
        } else if (merge && entries.back().id == r.id) {
            entries.back().value += r.value;
            continue;
        }
        entries.push_back({r.id, r.value});
    }
    records.clear();
    records.shrink_to_fit();
    if (entries.size() < entries.capacity() / 2) entries.shrink_to_fit();
    build.finish();
}

void filter_lmer_index(const lmer_index_nodes& from, const std::vector<lmer_entry>& from_entries, int32_t min_id,
                       lmer_index_nodes& ix, std::vector<lmer_entry>& entries)
{
    index_builder build(ix, entries, from.L);
    uint32_t g = 0;
    for (size_t x = 0; x < from.n_nodes(); x++) {
        const uint32_t high = from.prefix[x] << (2 * from.suffix_len);
        for (int w = 0; w < from.words; w++) {
            for (uint64_t bits = from.mask[x * from.words + w]; bits; bits &= bits - 1, g++) {
                uint32_t first = from.group_start[g];
                const uint32_t end = from.group_start[g + 1];
                // Ids ascend within a group: the kept entries are its tail.
                if (from_entries[end - 1].id < min_id) continue;
                while (from_entries[first].id < min_id) first++;
                build.open_group(high | (uint32_t)(w << 6) | (uint32_t)__builtin_ctzll(bits));
                entries.insert(entries.end(), from_entries.begin() + first, from_entries.begin() + end);
            }
        }
    }
    build.finish();
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
