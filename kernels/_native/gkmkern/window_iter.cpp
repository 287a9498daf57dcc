// The window iterator: the windows of one query against the whole references
// of a finalised kernel. The query's L-mers walk the kernel's index once per
// chunk of windows; each hit counts in every window holding the query L-mer,
// added to a difference array over the chunk's windows.
#include "gkm_internal.h"

namespace {

// Bytes of counts one chunk of windows may hold.
constexpr size_t CHUNK_BYTES = 32u << 20;

// Rows for windows [w0, w0 + count) of one query: rows[w * n_refs + j].
class chunk_counts {
public:
    chunk_counts(const lmer_index<lmer_counts>& ix, const window_geometry& g, int w0, int count, int n_refs, int d)
        : entries_(ix.entries.data()), n_refs_(n_refs), d1_(d + 1), stride_((size_t)n_refs * (d + 1)),
          p0_(g.eff_start[w0]), diff_((size_t)(count + 1) * stride_)
    {
        const int last = w0 + count - 1;
        const int n = g.eff_start[last] + g.eff_len[last] - g.L + 1 - p0_;
        first_.resize((size_t)n);
        last_.resize((size_t)n);
        for (int i = 0; i < n; i++) {
            first_[i] = std::max(g.first_holding(p0_ + i), w0) - w0;
            last_[i] = std::min(g.last_holding(p0_ + i), last) - w0;
        }
    }

    int first_lmer() const { return p0_; }
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
                const size_t cell = (size_t)e->id * c.d1_ + (size_t)dm;
                opened[cell] += e->value;
                closed[cell] -= e->value;
            }
        }
        void retag(uint32_t tm)
        {
            const uint32_t p = hit_tag(tm);
            opened = &c.diff_[c.first_[p] * c.stride_ + hit_mismatches(tm)];
            closed = &c.diff_[(c.last_[p] + 1) * c.stride_ + hit_mismatches(tm)];
        }
    };

    lmer_hits at(uint32_t tm)
    {
        lmer_hits hits{*this, nullptr, nullptr};
        hits.retag(tm);
        return hits;
    }

    // Turns the differences into each window's counts.
    const int32_t* counts()
    {
        for (size_t w = 1; w + 1 < diff_.size() / stride_; w++)
            for (size_t c = 0; c < stride_; c++) diff_[w * stride_ + c] += diff_[(w - 1) * stride_ + c];
        return diff_.data();
    }

private:
    const lmer_entry* entries_;
    int n_refs_;
    int d1_;
    size_t stride_;
    int p0_;
    std::vector<int32_t> diff_;
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
        const int count = (int)std::min<size_t>((size_t)(g.count() - cur_w), std::max<size_t>(1, CHUNK_BYTES / per_window));
        return fail_safely([&] {
            rows.resize((size_t)count * n_refs);
            const int parts = team_size(base, (size_t)count);
            int failed = 0;
#pragma omp parallel for num_threads(parts) schedule(static, 1) reduction(| : failed)
            for (int part = 0; part < parts; part++) {
                const int a = (int)((int64_t)count * part / parts), b = (int)((int64_t)count * (part + 1) / parts);
                try {
                    if (b > a) sliding_rows(kernel, seq, g, cur_w + a, b - a, ref_norms, rows.data() + (size_t)a * n_refs);
                } catch (const std::bad_alloc&) {
                    failed = 1;
                }
            }
            if (failed) return -1;
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
        return nullptr;
    try {
        std::unique_ptr<gkm_window_iter_t> it(new gkm_window_iter_t());
        it->kernel = kernel;
        it->seq = seq;
        make_window_geometry(it->g, seq->seqlen, window, shift, pad_left, pad_right, kernel->base.param.L);
        const gkm_kernel_base_t* base = &kernel->base;
        for (int j = 0; j < base->n_seqs; j++) it->ref_norms.push_back(base->seqs[j]->sqnorm);
        return it.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

extern "C" void gkm_window_iter_destroy(gkm_window_iter_t* it) { delete it; }

extern "C" int gkm_window_iter_count(const gkm_window_iter_t* it) { return it ? it->g.count() : 0; }

extern "C" void gkm_window_iter_reset(gkm_window_iter_t* it)
{
    if (it) it->cur_w = 0;
}

extern "C" int gkm_window_iter_next(gkm_window_iter_t* it, double* res)
{
    if (!it || !it->kernel->index || it->cur_w >= it->g.count()) return 0;
    const size_t n_refs = it->ref_norms.size();
    if (!res && n_refs > 0) return 0;
    if (it->cur_w < it->chunk_first || it->cur_w >= it->chunk_first + it->chunk_count) {
        if (it->fill_chunk() != 0) return 0;
    }
    const double* row = it->rows.data() + (size_t)(it->cur_w - it->chunk_first) * n_refs;
    std::copy(row, row + n_refs, res);
    it->cur_w++;
    return 1;
}
