// The regular kernel: a base plus the counting index of every reference
// L-mer, and the evaluation of queries against all references, a block of
// queries per search, spread over the kernel's threads.
#include "gkm_internal.h"

#include <cstdlib>
#include <cstring>

namespace {

// Integer pair counts of a block of queries against columns [col0, col0 +
// ncols): counts[(row * (d + 1) + m) * ncols + id - col0]. Counts are exact,
// so the values reduced from them are the same bits whatever order the pairs
// arrive in. Equal L-mers of one query are searched once, tagged with how
// many times the query holds them: a run of one base, or a tandem repeat,
// then costs what one of its L-mers costs.
class block_counts final : public hit_sink {
public:
    static constexpr int MAX_ROWS = 64;

    block_counts(const lmer_index<lmer_counts>& ix, int d, int col0, int ncols, int max_rows)
        : entries_(ix.entries.data()), d_(d), col0_(col0), ncols_((size_t)ncols),
          counts_((size_t)max_rows * (d + 1) * ncols_)
    {
    }

    // The search input of queries [first, first + n), row r of the block
    // being query first + r.
    void load(int L, const gkm_sequence_t* const* queries, int first, int n, std::vector<query_lmer>& out)
    {
        std::fill(counts_.begin(), counts_.begin() + (size_t)n * (d_ + 1) * ncols_, 0);
        out.clear();
        for (int r = 0; r < n; r++) {
            const gkm_sequence_t* q = queries[first + r];
            span_.load(q, L, 0, q->nkmers, false);
            std::sort(span_.fwd.begin(), span_.fwd.end());
            for (size_t i = 0; i < span_.fwd.size() && span_.fwd[i] != GKM_NO_LMER;) {
                size_t j = i + 1;
                while (j < span_.fwd.size() && span_.fwd[j] == span_.fwd[i]) j++;
                out.push_back({span_.fwd[i], (uint32_t)(j - i) << ROW_BITS | (uint32_t)r});
                i = j;
            }
        }
    }

    // Hits of L-mers held once are spread into one increment per entry, four
    // slots a hit whatever its size (most groups hold one or two entries), so
    // that the increments, which land at random in the counts, run without a
    // branch and overlap their cache misses.
    void take(const lmer_hit* hits, size_t n) override
    {
        if (increments_.size() < 4 * n + 4) increments_.resize(4 * n + 4);
        increment* inc = increments_.data();
        int32_t* counts = counts_.data() - col0_;
        size_t k = 0;
        for (size_t i = 0; i < n; i++) {
            const uint32_t tag = hits[i].tag();
            const uint32_t cell = (uint32_t)(((tag & ROW_MASK) * (d_ + 1) + hits[i].mismatches()) * ncols_);
            const uint32_t times = tag >> ROW_BITS;
            if (__builtin_expect(times > 1 || hits[i].n > 4, 0)) {
                add_repeated(counts + cell, hits[i], (int32_t)times);
                continue;
            }
            const uint32_t e = hits[i].first;
            inc[k] = {cell, e};
            inc[k + 1] = {cell, e + 1};
            inc[k + 2] = {cell, e + 2};
            inc[k + 3] = {cell, e + 3};
            k += hits[i].n;
        }
        for (size_t i = 0; i < k; i++) {
            const lmer_entry& e = entries_[inc[i].entry];
            counts[inc[i].cell + e.id] += e.value;
        }
    }

    // Normalised value of block row `row` against column j.
    double value(const double* weights, int row, int j, double norm_q, double norm_r) const
    {
        const int32_t* c = counts_.data() + (size_t)row * (d_ + 1) * ncols_ + (j - col0_);
        const double v = reduce_profile(weights, d_, [&](int m) { return (double)c[(size_t)m * ncols_]; });
        return normalise(v, norm_q, norm_r);
    }

private:
    static constexpr int ROW_BITS = 6;
    static constexpr uint32_t ROW_MASK = (1u << ROW_BITS) - 1;
    struct increment {
        uint32_t cell;  // start of the row within counts
        uint32_t entry;
    };

    void add_repeated(int32_t* row, const lmer_hit& h, int32_t times)
    {
        const lmer_entry* e = entries_ + h.first;
        for (uint32_t k = 0; k < h.n; k++) row[e[k].id] += e[k].value * times;
    }

    const lmer_entry* entries_;
    int d_;
    int col0_;
    size_t ncols_;
    std::vector<int32_t> counts_;
    std::vector<increment> increments_;
    lmer_span span_;
};

// Queries per search: as many as keep their counts within a few hundred
// kilobytes (the counts are written at random).
int block_rows(int d, size_t ncols)
{
    const size_t per_query = (size_t)(d + 1) * std::max<size_t>(ncols, 1) * sizeof(int32_t);
    return (int)std::max<size_t>(1, std::min<size_t>(block_counts::MAX_ROWS, (256u << 10) / per_query));
}

// Per-thread working storage of block searches.
struct block_scratch {
    block_counts counts;
    search_workspace ws;
    std::vector<query_lmer> lmers;
    block_scratch(const lmer_index<lmer_counts>& ix, int d, int col0, int ncols, int rows)
        : counts(ix, d, col0, ncols, rows)
    {
    }
};

void search_block(const lmer_index<lmer_counts>& ix, const gkm_kernel_base_t* base,
                  const gkm_sequence_t* const* queries, int first, int n, block_scratch& s)
{
    s.counts.load(base->param.L, queries, first, n, s.lmers);
    search_lmer_index(ix, base->param.d, s.lmers.data(), s.lmers.size(), s.ws, s.counts);
}

void zero_fill(double* res, size_t n)
{
    if (n) memset(res, 0, sizeof(double) * n);
}

// Queries that fit the base, evaluated in blocks on the kernel's threads;
// rows of queries that do not fit, or whose block ran out of memory, are
// zeros, and the result is then -1.
int eval_rows(const gkm_kernel_t* kernel, const gkm_sequence_t* const* queries, int n_q, double* res)
{
    const gkm_kernel_base_t* base = &kernel->base;
    const int n_ref = base->n_seqs;
    const lmer_index<lmer_counts>& ix = *kernel->index;
    std::vector<const gkm_sequence_t*> fitting;
    std::vector<int> row_of;
    int failed = 0;
    try {
        for (int i = 0; i < n_q; i++) {
            if (sequence_fits_base(base, queries[i])) {
                fitting.push_back(queries[i]);
                row_of.push_back(i);
            } else {
                zero_fill(res + (size_t)i * n_ref, (size_t)n_ref);
                failed = 1;
            }
        }
    } catch (const std::bad_alloc&) {
        zero_fill(res, (size_t)n_q * n_ref);
        return -1;
    }
    const int rows = block_rows(base->param.d, (size_t)n_ref);
    const int n_blocks = ((int)fitting.size() + rows - 1) / rows;
#pragma omp parallel num_threads(team_size(base, (size_t)n_blocks)) reduction(| : failed)
    {
        std::unique_ptr<block_scratch> s;
        try {
            s.reset(new block_scratch(ix, base->param.d, 0, n_ref, rows));
        } catch (const std::bad_alloc&) {
        }
#pragma omp for schedule(dynamic, 1)
        for (int b = 0; b < n_blocks; b++) {
            const int first = b * rows;
            const int n = std::min(rows, (int)fitting.size() - first);
            bool ok = s != nullptr;
            if (ok) {
                try {
                    search_block(ix, base, fitting.data(), first, n, *s);
                } catch (const std::bad_alloc&) {
                    ok = false;
                }
            }
            for (int r = 0; r < n; r++) {
                double* row = res + (size_t)row_of[first + r] * n_ref;
                const double qnorm = fitting[first + r]->sqnorm;
                for (int j = 0; j < n_ref; j++)
                    row[j] = ok ? s->counts.value(base->weights, r, j, qnorm, base->seqs[j]->sqnorm) : 0.0;
            }
            failed |= !ok;
        }
    }
    return failed ? -1 : 0;
}

// The Gram in stages of rows: stage [x, y) searches an index of the
// references from x on only, so that each unordered pair is (nearly) found
// once, and writes each value to both of its cells.
constexpr int GRAM_STAGES = 8;

int gram_stage(const gkm_kernel_t* kernel, int x, int y, double* out)
{
    const gkm_kernel_base_t* base = &kernel->base;
    const int n = base->n_seqs;
    const int L = base->param.L;
    lmer_index<lmer_counts> ix;
    {
        std::vector<lmer_record> records;
        for (int j = x; j < n; j++) append_lmer_records(records, base->seqs[j], j, L, base->param.use_rc, false);
        build_lmer_index(ix, records, L);
    }
    const int ncols = n - x;
    const int rows = block_rows(base->param.d, (size_t)ncols);
    const int n_blocks = (y - x + rows - 1) / rows;
    int failed = 0;
#pragma omp parallel num_threads(team_size(base, (size_t)n_blocks)) reduction(| : failed)
    {
        std::unique_ptr<block_scratch> s;
        try {
            s.reset(new block_scratch(ix, base->param.d, x, ncols, rows));
        } catch (const std::bad_alloc&) {
            failed = 1;
        }
#pragma omp for schedule(dynamic, 1)
        for (int b = 0; b < n_blocks; b++) {
            if (!s) continue;
            const int first = x + b * rows;
            const int nb = std::min(rows, y - first);
            try {
                search_block(ix, base, base->seqs, first, nb, *s);
            } catch (const std::bad_alloc&) {
                failed = 1;
                continue;
            }
            for (int r = 0; r < nb; r++) {
                const int i = first + r;
                const double ni = base->seqs[i]->sqnorm;
                for (int j = i; j < n; j++) {
                    const double v = s->counts.value(base->weights, r, j, ni, base->seqs[j]->sqnorm);
                    out[(size_t)i * n + j] = v;
                    out[(size_t)j * n + i] = v;
                }
            }
        }
    }
    return failed ? -1 : 0;
}

}  // namespace

extern "C" gkm_kernel_t* gkm_kernel_create(const gkm_parameter_t* param)
{
    if (!param || gkm_parameter_check(param)) return nullptr;
    auto* kernel = static_cast<gkm_kernel_t*>(calloc(1, sizeof(gkm_kernel_t)));
    if (!kernel) return nullptr;
    if (!gkm_kernel_base_init(&kernel->base, param)) {
        gkm_kernel_base_destroy(&kernel->base);
        free(kernel);
        return nullptr;
    }
    kernel->index = nullptr;
    return kernel;
}

extern "C" void gkm_kernel_destroy(gkm_kernel_t* kernel)
{
    if (!kernel) return;
    delete kernel->index;
    gkm_kernel_base_destroy(&kernel->base);
    free(kernel);
}

extern "C" void* gkm_kernel_base(gkm_kernel_t* kernel) { return &kernel->base; }

extern "C" const void* gkm_kernel_base_const(const gkm_kernel_t* kernel) { return &kernel->base; }

extern "C" int gkm_kernel_finalize(gkm_kernel_t* kernel)
{
    gkm_kernel_base_t* base = &kernel->base;
    if (base->finalized) return 0;
    const int rc = fail_safely([&] {
        std::unique_ptr<lmer_index<lmer_counts>> ix(new lmer_index<lmer_counts>());
        std::vector<lmer_record> records;
        for (int i = 0; i < base->n_seqs; i++)
            append_lmer_records(records, base->seqs[i], i, base->param.L, base->param.use_rc, false);
        build_lmer_index(*ix, records, base->param.L);
        kernel->index = ix.release();
        return 0;
    });
    if (rc == 0) base->finalized = 1;
    return rc;
}

extern "C" int gkm_kernel_eval_all(const gkm_kernel_t* kernel, const gkm_sequence_t* a, double* res)
{
    return gkm_kernel_eval_batch(kernel, &a, 1, res);
}

extern "C" int gkm_kernel_eval_batch(const gkm_kernel_t* kernel, const gkm_sequence_t* const* queries, int n_q,
                                     double* res)
{
    const int n_ref = kernel->base.n_seqs;
    if (n_q <= 0) return 0;
    if (!kernel->index) {
        zero_fill(res, (size_t)n_q * (size_t)n_ref);
        return 0;
    }
    return eval_rows(kernel, queries, n_q, res);
}

extern "C" int gkm_kernel_eval_gram(const gkm_kernel_t* kernel, double* out)
{
    if (!kernel || !out || !kernel->index) return -1;
    const int n = kernel->base.n_seqs;
    return fail_safely([&] {
        const int stages = std::max(1, std::min(GRAM_STAGES, n / 64));
        for (int s = 0; s < stages; s++) {
            const int x = (int)((int64_t)n * s / stages), y = (int)((int64_t)n * (s + 1) / stages);
            if (gram_stage(kernel, x, y, out) != 0) return -1;
        }
        return 0;
    });
}
