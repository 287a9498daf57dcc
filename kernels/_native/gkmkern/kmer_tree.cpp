// The implicit 4-ary tree of L-mers: internal nodes keep the smallest
// reference id below them, leaves the references holding each L-mer.
#include "gkm_internal.h"

#include <climits>
#include <cstdlib>

namespace {

// Visits the L-mer at s[j..j+L), lowering the id minimum of every internal
// node on its path, and returns its leaf.
kmer_leaf_t& walk_lmer(kmer_tree_t* tree, int seqid, const uint8_t* s)
{
    int x = 0;
    for (int i = 0; i < tree->L; i++) {
        if (tree->node[x] > seqid) tree->node[x] = seqid;
        x = 4 * x + s[i];
    }
    return tree->leaf[x - tree->node_count];
}

// Makes room for one more entry: capacity 0 becomes 1, a full array doubles.
// On failure the leaf is left exactly as it was.
template <class Entry>
bool reserve_entry(kmer_leaf_t& leaf, Entry*& entries)
{
    if (leaf.count < leaf.capacity) return true;
    if (leaf.capacity > INT_MAX / 2) return false;
    const int cap = leaf.capacity == 0 ? 1 : 2 * leaf.capacity;
    void* grown = realloc(entries, sizeof(Entry) * (size_t)cap);
    if (!grown) return false;
    entries = static_cast<Entry*>(grown);
    leaf.capacity = cap;
    return true;
}

bool add_weighted(kmer_tree_t* tree, int seqid, const uint8_t* s, int nkmers, const double* wt)
{
    for (int j = 0; j < nkmers; j++) {
        kmer_leaf_t& leaf = walk_lmer(tree, seqid, s + j);
        if (!reserve_entry(leaf, leaf.data)) return false;
        int e = 0;
        while (e < leaf.count && leaf.data[e].seqid != seqid) e++;
        if (e < leaf.count) {
            leaf.data[e].wt += wt[j];
        } else {
            leaf.data[leaf.count++] = {seqid, wt[j]};
        }
    }
    return true;
}

// Strand positions map to forward starts through offset_of(j).
template <class OffsetOf>
bool add_offsets(kmer_tree_t* tree, int seqid, const uint8_t* s, int nkmers, OffsetOf offset_of)
{
    for (int j = 0; j < nkmers; j++) {
        kmer_leaf_t& leaf = walk_lmer(tree, seqid, s + j);
        leaf.use_offsets = 1;
        if (!reserve_entry(leaf, leaf.odata)) return false;
        leaf.odata[leaf.count++] = {seqid, offset_of(j)};
    }
    return true;
}

}  // namespace

bool kmer_tree_init(kmer_tree_t* tree, int L, int k, int d)
{
    tree->L = L;
    tree->k = k;
    tree->d = d;
    tree->leaf_count = 1 << (2 * L);
    tree->node_count = (tree->leaf_count - 1) / 3;
    tree->node = static_cast<int*>(malloc(sizeof(int) * (size_t)tree->node_count));
    // calloc leaves untouched pages unmapped: a sparse tree costs little memory.
    tree->leaf = static_cast<kmer_leaf_t*>(calloc((size_t)tree->leaf_count, sizeof(kmer_leaf_t)));
    if (!tree->node || !tree->leaf) return false;
    for (int i = 0; i < tree->node_count; i++) tree->node[i] = GKM_NODE_EMPTY;
    return true;
}

bool kmer_tree_add_sequence(kmer_tree_t* tree, int seqid, const gkm_sequence_t* d, int use_rc)
{
    if (!add_weighted(tree, seqid, d->seq, d->nkmers, d->wt)) return false;
    return !use_rc || add_weighted(tree, seqid, d->seq_rc, d->nkmers, d->wt_rc);
}

bool kmer_tree_add_sequence_offsets(kmer_tree_t* tree, int seqid, const gkm_sequence_t* d, int use_rc)
{
    const int nk = d->nkmers;
    if (!add_offsets(tree, seqid, d->seq, nk, [](int j) { return j; })) return false;
    return !use_rc || add_offsets(tree, seqid, d->seq_rc, nk, [nk](int i) { return nk - 1 - i; });
}

void kmer_tree_destroy(kmer_tree_t* tree)
{
    if (!tree) return;
    if (tree->leaf) {
        for (int i = 0; i < tree->leaf_count; i++) {
            free(tree->leaf[i].data);
            free(tree->leaf[i].odata);
        }
    }
    free(tree->leaf);
    free(tree->node);
    free(tree);
}

kmer_tree_ptr kmer_tree_new(const gkm_kernel_base_t* base)
{
    kmer_tree_ptr tree(static_cast<kmer_tree_t*>(calloc(1, sizeof(kmer_tree_t))));
    if (!tree) return nullptr;
    if (!kmer_tree_init(tree.get(), base->param.L, base->param.k, base->param.d)) return nullptr;
    return tree;
}
