// The window iterator: the windows of one query against the whole references
// of a finalised kernel. The query's L-mers walk the kernel's index once per
// chunk of windows; each hit counts in every window holding the query L-mer,
// added to a difference array over the chunk's windows.
#include "gkm_internal.h"

namespace {

// Rows for windows [w0, w0 + count) of one query: rows[w * n_refs + j].
class chunk_counts {
public:
    chunk_counts(const lmer_index<lmer_counts>& ix, const window_geometry& g, int w0, int count, int n_refs, int d)
        : entries_(ix.entries.data()), n_refs_(n_refs), n_classes_(d + 1), first_lmer_(g.eff_start[w0])
    {
        counter_.reset(count, (size_t)n_refs * (d + 1));
        const int last = w0 + count - 1;
        const int n = g.eff_start[last] + g.eff_len[last] - g.L + 1 - first_lmer_;
        first_.resize((size_t)n);
        last_.resize((size_t)n);
        for (int i = 0; i < n; i++) {
            first_[i] = std::max(g.first_holding(first_lmer_ + i), w0) - w0;
            last_[i] = std::min(g.last_holding(first_lmer_ + i), last) - w0;
        }
    }

    int first_lmer() const { return first_lmer_; }
    int n_lmers() const { return (int)first_.size(); }

    // The hits of the query L-mer at one position: each entry opens its
    // count at the first window holding that L-mer and closes it after the last.
    struct lmer_hits {
        chunk_counts& c;
        int32_t* opened;
        int32_t* closed;
        void hit(int dm, uint32_t first, uint32_t n) const
        {
            for (const lmer_entry* e = c.entries_ + first; e != c.entries_ + first + n; e++) {
                // References added after the iterator was made are not its columns.
                if (e->id >= c.n_refs_) continue;
                const size_t cell = (size_t)e->id * c.n_classes_ + (size_t)dm;
                opened[cell] += e->value;
                closed[cell] -= e->value;
            }
        }
        void retag(uint32_t tagged)
        {
            const uint32_t p = hit_tag(tagged);
            opened = c.counter_.opening(c.first_[p]) + hit_mismatches(tagged);
            closed = c.counter_.closing(c.last_[p]) + hit_mismatches(tagged);
        }
    };

    lmer_hits at(uint32_t tagged)
    {
        lmer_hits hits{*this, nullptr, nullptr};
        hits.retag(tagged);
        return hits;
    }

    // Each window's counts.
    const int32_t* counts() { return counter_.counts(); }

private:
    const lmer_entry* entries_;
    int n_refs_;
    int n_classes_;    // mismatch classes 0..d
    int first_lmer_;  // of the chunk's first window
    window_counter counter_;
    std::vector<int> first_, last_;
};

// Windows [w0, w0 + count) of seq against the first n_refs references.
void sliding_rows(const gkm_kernel_t* kernel, const gkm_sequence_t* seq, const window_geometry& g, int w0, int count,
                  const std::vector<double>& ref_norms, double* rows)
{
    const gkm_kernel_base_t* base = &kernel->base;
    const int L = base->param.L, d = base->param.d;
    const int n_refs = (int)ref_norms.size();
    if (n_refs == 0) return;
    chunk_counts counts(*kernel->index, g, w0, count, n_refs, d);
    lmer_span span;
    span.load(seq, L, counts.first_lmer(), counts.n_lmers(), base->param.use_rc != 0);
    std::vector<query_lmer> lmers;
    for (int i = 0; i < counts.n_lmers(); i++)
        if (span.fwd[i] != GKM_NO_LMER) lmers.push_back({span.fwd[i], (uint32_t)i});
    search_workspace ws;
    search_lmer_index(*kernel->index, d, lmers.data(), lmers.size(), ws, counts);
    const int32_t* c = counts.counts();
    for (int w = 0; w < count; w++) {
        const int at = g.eff_start[w0 + w] - counts.first_lmer();
        const double wnorm = lmers_self_norm(base, span.fwd.data() + at, span.rc.empty() ? nullptr : span.rc.data() + at,
                                             g.eff_len[w0 + w] - L + 1, nullptr);
        double* row = rows + (size_t)w * n_refs;
        for (int j = 0; j < n_refs; j++) {
            const int32_t* cell = c + ((size_t)w * n_refs + j) * (d + 1);
            const double v = reduce_profile(base->weights, d, [&](int m) { return (double)cell[m]; });
            row[j] = normalise(v, wnorm, ref_norms[j]);
        }
    }
}

}  // namespace

struct gkm_window_iter_t {
    const gkm_kernel_t* kernel;
    const gkm_sequence_t* seq;
    window_geometry g;
    int cur_w = 0;
    // Fixed at creation: rows cover these references whatever happens to the kernel.
    std::vector<double> ref_norms;
    // Rows of windows [chunk_first, chunk_first + chunk_count), once computed.
    std::vector<double> rows;
    int chunk_first = 0, chunk_count = 0;

    // Computes the chunk of windows from cur_w on, its parts on the kernel's threads.
    int fill_chunk()
    {
        const gkm_kernel_base_t* base = &kernel->base;
        const size_t n_refs = ref_norms.size();
        const size_t per_window = (n_refs * (base->param.d + 1) + 1) * sizeof(double);
        const int count = (int)items_within(CHUNK_BYTES, per_window, (size_t)(g.count() - cur_w));
        return fail_safely([&] {
            rows.resize((size_t)count * n_refs);
            const int parts = team_size(base, (size_t)count);
            parallel_with_scratch(parts, make_no_scratch, [&](no_scratch&, region_failure& failure) {
#pragma omp for schedule(static, 1)
                for (int part = 0; part < parts; part++) {
                    const int a = (int)((int64_t)count * part / parts), b = (int)((int64_t)count * (part + 1) / parts);
                    if (b > a)
                        failure.guard([&] {
                            sliding_rows(kernel, seq, g, cur_w + a, b - a, ref_norms, rows.data() + (size_t)a * n_refs);
                        });
                }
            });
            chunk_first = cur_w;
            chunk_count = count;
            return 0;
        });
    }
};

extern "C" gkm_window_iter_t* gkm_window_iter_create(const gkm_kernel_t* kernel, const gkm_sequence_t* seq,
                                                     int window, int shift, int pad_left, int pad_right)
{
    if (!kernel || !sequence_fits_base(&kernel->base, seq) ||
        !window_geometry_ok(window, shift, pad_left, pad_right, kernel->base.param.L))
        return fail_null<gkm_window_iter_t>(GKM_EINVAL);
    return create_safely([&] {
        std::unique_ptr<gkm_window_iter_t> it(new gkm_window_iter_t());
        it->kernel = kernel;
        it->seq = seq;
        make_window_geometry(it->g, seq->seqlen, window, shift, pad_left, pad_right, kernel->base.param.L);
        const gkm_kernel_base_t* base = &kernel->base;
        for (int j = 0; j < base->n_seqs; j++) it->ref_norms.push_back(base->seqs[j]->sqnorm);
        return it.release();
    });
}

extern "C" void gkm_window_iter_destroy(gkm_window_iter_t* it) { delete it; }

extern "C" int gkm_window_iter_count(const gkm_window_iter_t* it) { return it ? it->g.count() : 0; }

extern "C" void gkm_window_iter_reset(gkm_window_iter_t* it)
{
    if (it) it->cur_w = 0;
}

extern "C" int gkm_window_iter_next(gkm_window_iter_t* it, double* res)
{
    if (!it || it->cur_w >= it->g.count()) return 0;
    const size_t n_refs = it->ref_norms.size();
    if (!it->kernel->index || (!res && n_refs > 0)) {
        fail(GKM_EINVAL);
        return 0;
    }
    if (it->cur_w < it->chunk_first || it->cur_w >= it->chunk_first + it->chunk_count) {
        if (it->fill_chunk() != 0) return 0;
    }
    const double* row = it->rows.data() + (size_t)(it->cur_w - it->chunk_first) * n_refs;
    std::copy(row, row + n_refs, res);
    it->cur_w++;
    return 1;
}
