// The regular kernel: a base plus the counting index of every reference
// L-mer, and the evaluation of queries against all references, a block of
// queries per search, spread over the kernel's threads.
#include "gkm_internal.h"

#include <cmath>
#include <cstdlib>

namespace {

// Integer pair counts of a block of queries against columns [col0, col0 +
// ncols): counts[(row * (d + 1) + m) * ncols + id - col0]. Counts are exact,
// so the values reduced from them are the same bits whatever order the pairs
// arrive in. Equal L-mers of one query are searched once, tagged with how
// many times the query holds them: a run of one base, or a tandem repeat,
// then costs what one of its L-mers costs.
class block_counts {
    // An increment: entry << 32 | start of its row within counts.
    using increment = uint64_t;

public:
    block_counts(const lmer_index<lmer_counts>& ix, int d, int col0, int ncols, int max_rows)
        : entries_(ix.entries.data()), d_(d), col0_(col0), ncols_((size_t)ncols), ncols32_((uint32_t)ncols),
          counts_((size_t)max_rows * (d + 1) * ncols_), row_start_of_key_(ROW_KEY_MASK + 1)
    {
        for (int row = 0; row < max_rows; row++)
            for (int m = 0; m <= d; m++)
                row_start_of_key_[tag_with_mismatches((uint32_t)row, m)] = (uint32_t)((row * (d + 1) + m) * ncols_);
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
                // A query holds at most 2,046 L-mers: the tag fits.
                out.push_back({span_.fwd[i], (uint32_t)(j - i) << ROW_BITS | (uint32_t)r});
                i = j;
            }
        }
    }

    // The block's counts: its L-mers searched, every hit counted.
    void search(const lmer_index_nodes& ix, const std::vector<query_lmer>& lmers, search_workspace& ws)
    {
        search_lmer_index(ix, d_, lmers.data(), lmers.size(), ws, *this);
        drain();
    }

    // The hits of one query L-mer. Hits of L-mers held once are spread into
    // one increment per entry, four slots a hit whatever its size (most
    // groups hold one or two entries), so that the increments, which land at
    // random in the counts, run later without a branch and overlap their
    // cache misses. The end of the batch is kept here, in a register, while
    // the L-mer's hits arrive, and handed back when they are done: one
    // lmer_hits lives at a time.
    class lmer_hits {
    public:
        lmer_hits(block_counts& c, uint32_t tagged) : c_(c), end_(c.increments_ + c.n_increments_) { retag(tagged); }
        lmer_hits(const lmer_hits&) = delete;
        lmer_hits& operator=(const lmer_hits&) = delete;
        ~lmer_hits() { c_.n_increments_ = (uint32_t)(end_ - c_.increments_); }

        void retag(uint32_t tagged)
        {
            cell_ = c_.row_start_of_key_[tagged & ROW_KEY_MASK];
            times_ = (int32_t)(tagged >> TIMES_SHIFT);
        }

        void hit(int dm, uint32_t first, uint32_t size)
        {
            const uint32_t cell = cell_ + (uint32_t)dm * c_.ncols32_;
            if (__builtin_expect(times_ > 1 || size > 4, 0)) {
                c_.add_repeated(c_.counts_.data() - c_.col0_ + cell, first, size, times_);
                return;
            }
            // One word an increment, the entry above the cell: the next
            // entry's increment is one addition away.
            const uint64_t word = (uint64_t)first << 32 | cell, next = uint64_t(1) << 32;
            end_[0] = word;
            end_[1] = word + next;
            end_[2] = word + 2 * next;
            end_[3] = word + 3 * next;
            end_ += size;
            if (end_ > c_.increments_ + INCREMENT_BATCH) {
                c_.n_increments_ = (uint32_t)(end_ - c_.increments_);
                c_.drain();
                end_ = c_.increments_;
            }
        }

    private:
        block_counts& c_;
        uint32_t cell_;
        int32_t times_;
        increment* end_;
    };

    lmer_hits at(uint32_t tagged) { return lmer_hits(*this, tagged); }

    // Normalised value of block row `row` against column j.
    double value(const double* weights, int row, int j, double norm_q, double norm_r) const
    {
        const int32_t* c = counts_.data() + (size_t)row * (d_ + 1) * ncols_ + (j - col0_);
        const double v = reduce_profile(weights, d_, [&](int m) { return (double)c[(size_t)m * ncols_]; });
        return normalise(v, norm_q, norm_r);
    }

private:
    // A hit's tag and mismatch count: times << TIMES_SHIFT | row << 4 | m;
    // the low bits, the row key, index row_start_of_key, the start of the
    // counts of (row, m).
    static constexpr int ROW_BITS = 6;
    static_assert(MAX_BLOCK_ROWS <= 1 << ROW_BITS, "a block's rows fit the tag");
    static constexpr int TIMES_SHIFT = ROW_BITS + HIT_TAG_SHIFT;
    static constexpr uint32_t ROW_KEY_MASK = (1u << TIMES_SHIFT) - 1;

    void add_repeated(int32_t* row, uint32_t first, uint32_t n, int32_t times)
    {
        const lmer_entry* e = entries_ + first;
        for (uint32_t k = 0; k < n; k++) row[e[k].id] += e[k].value * times;
    }

    void drain()
    {
        int32_t* const counts = counts_.data() - col0_;
        // A local bound: the counts' stores could alias the member.
        const uint32_t n = n_increments_;
        for (uint32_t i = 0; i < n; i++) {
            const lmer_entry e = entries_[increments_[i] >> 32];
            counts[(uint32_t)increments_[i] + e.id] += e.value;
        }
        n_increments_ = 0;
    }

    const lmer_entry* entries_;
    int d_;
    int col0_;
    size_t ncols_;
    uint32_t ncols32_;
    std::vector<int32_t> counts_;
    std::vector<uint32_t> row_start_of_key_;
    increment increments_[INCREMENT_BATCH + 4];
    uint32_t n_increments_ = 0;  // not 64 bits: the increments' stores cannot alias it
    lmer_span span_;
};

// Queries per search. Their counts are written at random, so as many as keep
// the counts within a few hundred kilobytes; but several while the counts
// stay within some megabytes: the queries of one search read each node's
// entries together, where searches of one query each against a large index
// would fetch them from memory again and again. Sixteen against an index
// whose entries outgrow a few megabytes: each search streams them through
// the last-level cache, which other processes' searches use too; against a
// smaller index, the counts of eight stay closer to the core.
int block_rows(int d, size_t ncols, size_t index_entries)
{
    const size_t per_query = (size_t)(d + 1) * std::max<size_t>(ncols, 1) * sizeof(int32_t);
    const size_t shared = index_entries * sizeof(lmer_entry) > LARGE_INDEX_BYTES ? SHARED_ROWS_LARGE_INDEX
                                                                                : SHARED_ROWS_SMALL_INDEX;
    return (int)std::max(items_within(CACHED_COUNTS_BYTES, per_query, MAX_BLOCK_ROWS),
                         items_within(SHARED_COUNTS_BYTES, per_query, shared));
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

// Sequences (rows) searched against a counting index whose ids are the
// columns [col0, col0 + ncols).
struct count_job {
    const gkm_kernel_base_t* base;
    const lmer_index<lmer_counts>* ix;
    int col0, ncols;
    const gkm_sequence_t* const* rows;
    int n_rows;
};

// Searches the rows in blocks on the kernel's threads; write(counts, first,
// n) takes each block's values, rows [first, first + n). Throws
// std::bad_alloc when memory ran out (some blocks then wrote nothing).
template <class Write>
void search_rows(const count_job& job, Write write)
{
    const gkm_kernel_base_t* base = job.base;
    const int rows = block_rows(base->param.d, (size_t)job.ncols, job.ix->entries.size());
    const int n_blocks = (job.n_rows + rows - 1) / rows;
    const auto make = [&] { return std::make_unique<block_scratch>(*job.ix, base->param.d, job.col0, job.ncols, rows); };
    parallel_with_scratch(team_size(base, (size_t)n_blocks), make, [&](auto& s, region_failure& failure) {
#pragma omp for schedule(dynamic, 1)
        for (int b = 0; b < n_blocks; b++) {
            failure.guard([&] {
                const int first = b * rows, n = std::min(rows, job.n_rows - first);
                s->counts.load(base->param.L, job.rows, first, n, s->lmers);
                s->counts.search(*job.ix, s->lmers, s->ws);
                write(s->counts, first, n);
            });
        }
    });
}

size_t total_lmers(const gkm_sequence_t* const* seqs, int n)
{
    size_t total = 0;
    for (int i = 0; i < n; i++) total += (size_t)seqs[i]->nkmers;
    return total;
}

lmer_index<lmer_counts> count_index(const gkm_kernel_base_t* base, const gkm_sequence_t* const* seqs, int first,
                                    int n)
{
    lmer_index<lmer_counts> ix;
    std::vector<lmer_record> records;
    records.reserve(total_lmers(seqs + first, n) * (base->param.use_rc ? 2 : 1));
    for (int j = 0; j < n; j++)
        append_lmer_records(records, seqs[first + j], first + j, base->param.L, base->param.use_rc, false);
    build_lmer_index(ix, records, base->param.L);
    return ix;
}

// A pair of sequences has the same counts whichever of the two is searched
// (the reverse complement of a query L-mer meets the reverse complement of a
// reference L-mer as often as the two themselves meet), so the side with
// fewer L-mers is searched and the other indexed: then the searches, which
// cost by the L-mers searched, are fewest.
bool search_references(const gkm_kernel_base_t* base, const gkm_sequence_t* const* queries, int n_q)
{
    const size_t per_row = (size_t)(base->param.d + 1) * (size_t)n_q * sizeof(int32_t);
    return per_row <= SEARCH_REFERENCES_ROW_BYTES && total_lmers(queries, n_q) > total_lmers(base->seqs, base->n_seqs) * 5 / 4;
}

// Queries evaluated in blocks on the kernel's threads. A query that does not
// fit the base makes the whole result zeros and -1, as exhausted memory does:
// a failed call leaves no row of a result behind.
int eval_rows(const gkm_kernel_t* kernel, const gkm_sequence_t* const* queries, int n_q, double* res)
{
    const gkm_kernel_base_t* base = &kernel->base;
    const int n_ref = base->n_seqs;
    for (int i = 0; i < n_q; i++) {
        if (!sequence_fits_base(base, queries[i])) {
            zero_fill(res, (size_t)n_q * n_ref);
            return fail(GKM_EINVAL);
        }
    }
    const double* weights = base->weights;
    return fail_zeroing(res, (size_t)n_q * n_ref, [&] {
        if (!search_references(base, queries, n_q)) {
            const count_job job{base, kernel->index, 0, n_ref, queries, n_q};
            search_rows(job, [&](const block_counts& c, int first, int n) {
                for (int r = 0; r < n; r++) {
                    double* row = res + (size_t)(first + r) * n_ref;
                    const double qn = queries[first + r]->sqnorm;
                    for (int j = 0; j < n_ref; j++) row[j] = c.value(weights, r, j, qn, base->seqs[j]->sqnorm);
                }
            });
            return 0;
        }
        const lmer_index<lmer_counts> ix = count_index(base, queries, 0, n_q);
        const count_job job{base, &ix, 0, n_q, base->seqs, n_ref};
        search_rows(job, [&](const block_counts& c, int first, int n) {
            for (int q = 0; q < n_q; q++) {
                double* row = res + (size_t)q * n_ref;
                const double qn = queries[q]->sqnorm;
                for (int r = 0; r < n; r++) row[first + r] = c.value(weights, r, q, qn, base->seqs[first + r]->sqnorm);
            }
        });
        return 0;
    });
}

// The first h rows of the Gram in stages of rows: stage [x, y) searches an
// index of the references from x on only, so that each unordered pair is
// (nearly) found once, and writes each value to both of its cells where
// both lie among those rows. More stages find fewer pairs twice (the lower
// half of each stage's own rows) but build more indexes; this many balance
// the two for the sizes of regulatory DNA sets.
int gram_stages(int h, int n)
{
    const double mean_index = n - h / 2.0;
    const int stages = (int)std::lround(h * std::sqrt(0.064 / mean_index));
    return std::max(1, std::min(stages, h / 64));
}

// Stage [x, y) of the stripe of rows [top, h) against ix, the index of the
// references from x on; cell (i, j) of the stripe is out[(i - top) * width + j - top].
// Throws std::bad_alloc.
void gram_stage(const gkm_kernel_t* kernel, const lmer_index<lmer_counts>& ix, int top, int x, int y, int h,
               double* out)
{
    const gkm_kernel_base_t* base = &kernel->base;
    const int n = base->n_seqs;
    const size_t width = (size_t)(n - top);
    const count_job job{base, &ix, x, n - x, base->seqs + x, y - x};
    search_rows(job, [&](const block_counts& c, int first, int nb) {
        for (int r = 0; r < nb; r++) {
            const int i = x + first + r;
            const double ni = base->seqs[i]->sqnorm;
            for (int j = first_column(i, true); j < n; j++) {
                const double v = c.value(base->weights, r, j, ni, base->seqs[j]->sqnorm);
                write_pair(out, width, (size_t)(i - top), (size_t)(j - top), v, j < h);
            }
        }
    });
}

// Rows [top, h) of the Gram against the references from top on. Each
// stage's index is the previous one without the references the previous
// stage searched; the first is the kernel's own, less the rows above top.
int gram_rows(const gkm_kernel_t* kernel, int top, int h, double* out)
{
    const int n = kernel->base.n_seqs;
    // Stages done before a failure leave no partial matrix behind.
    return fail_zeroing(out, (size_t)(h - top) * (n - top), [&] {
        const int stages = gram_stages(h - top, n - top);
        lmer_index<lmer_counts> later[2];
        const lmer_index<lmer_counts>* ix = kernel->index;
        for (int s = 0; s < stages; s++) {
            const int x = top + (int)((int64_t)(h - top) * s / stages);
            const int y = top + (int)((int64_t)(h - top) * (s + 1) / stages);
            if (x > 0) {
                filter_lmer_index(*ix, x, later[s & 1]);
                ix = &later[s & 1];
            }
            gram_stage(kernel, *ix, top, x, y, h, out);
        }
        return 0;
    });
}

}  // namespace

extern "C" gkm_kernel_t* gkm_kernel_create(const gkm_parameter_t* param)
{
    if (!param || gkm_parameter_check(param)) return fail_null<gkm_kernel_t>(GKM_EINVAL);
    auto* kernel = static_cast<gkm_kernel_t*>(calloc(1, sizeof(gkm_kernel_t)));
    if (!kernel) return fail_null<gkm_kernel_t>(GKM_ENOMEM);
    if (!gkm_kernel_base_init(&kernel->base, param)) {
        gkm_kernel_base_destroy(&kernel->base);
        free(kernel);
        return fail_null<gkm_kernel_t>(GKM_ENOMEM);
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
        kernel->index = new lmer_index<lmer_counts>(count_index(base, base->seqs, 0, base->n_seqs));
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
    if (!kernel || !out || !kernel->index) return fail(GKM_EINVAL);
    return gram_rows(kernel, 0, kernel->base.n_seqs, out);
}

extern "C" int gkm_kernel_eval_gram_rows(const gkm_kernel_t* kernel, int first, int n_rows, double* out)
{
    if (!kernel || !out || !kernel->index || first < 0 || n_rows < 0 || first > kernel->base.n_seqs - n_rows)
        return fail(GKM_EINVAL);
    return gram_rows(kernel, first, first + n_rows, out);
}
