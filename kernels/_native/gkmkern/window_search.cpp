// Window matrices filled from one search per run of windows: a pair of
// matched L-mers counts in every window that holds both, and those windows
// are consecutive, so the regular kernel adds each pair to a difference array
// over the run's windows; the weighted kernel adds it, weighted, to each of
// them.
#include "gkm_internal.h"

#include <cstring>

namespace {

// The searched L-mers are tagged with position_tag: the query within its
// block, and the L-mer's start within the run's span (spans are at most one
// sequence long).

size_t cells_per_window(const window_job& job, int block) { return (size_t)block * job.refs.n * (job.base->param.d + 1); }

// The windows of a run: about as many as a window spans shifts, so that the
// pairs farther apart than a window, which no window counts, stay a minority
// of those searched; fewer when their values would not fit RUN_VALUES_BYTES.
int run_length(const window_job& job)
{
    const window_geometry& g = *job.g;
    const size_t per_window = cells_per_window(job, 1) * sizeof(double);
    const size_t span = (size_t)g.window / (size_t)g.shift + 1;
    return (int)items_within(RUN_VALUES_BYTES, per_window, span);
}

// Queries per search of a run: as many as fit RUN_VALUES_BYTES, at most MAX_BLOCK_QUERIES.
int run_block(const window_job& job, const window_run& run)
{
    const size_t per_query = (size_t)(run.count + 1) * cells_per_window(job, 1) * sizeof(double);
    return (int)items_within(RUN_VALUES_BYTES, per_query, MAX_BLOCK_QUERIES);
}

// What the searches of one run share: the windows holding each span position,
// as offsets within the run, and (weighted) each window's L-mer weights.
struct run_frame {
    const window_run& run;
    const lmer_entry* entries;
    size_t stride;  // cells per window
    int n_classes;  // mismatch classes 0..d
    int n_ref;
    std::vector<int> hold_first, hold_last;  // per span position
    std::vector<std::vector<double>> weights;  // per run window, from its first L-mer
    std::vector<int> window_offset;            // per run window: its first L-mer within the span

    run_frame(const window_job& job, const window_run& r, int block)
        : run(r), entries(r.refs.entries.data()), stride(cells_per_window(job, block)), n_classes(job.base->param.d + 1),
          n_ref(job.refs.n)
    {
        const window_geometry& g = *job.g;
        hold_first.resize((size_t)r.span_lmers);
        hold_last.resize((size_t)r.span_lmers);
        for (int i = 0; i < r.span_lmers; i++) {
            const int p = r.span_start + i;
            hold_first[i] = std::max(g.first_holding(p), r.first) - r.first;
            hold_last[i] = std::min(g.last_holding(p), r.first + r.count - 1) - r.first;
        }
        if (!job.positional) return;
        weights.resize((size_t)r.count);
        window_offset.resize((size_t)r.count);
        for (int w = 0; w < r.count; w++) {
            weights[w].resize((size_t)(g.eff_len[r.first + w] - g.L + 1));
            window_pos_weights(job.positional, g, r.first + w, weights[w].data());
            window_offset[w] = g.eff_start[r.first + w] - r.span_start;
        }
    }

    // The cell of one hit, its first and last window in the run (empty when
    // first > last) and the two L-mers' span positions.
    struct located {
        size_t cell;
        int first, last, p, p_ref;
    };
    located locate(uint32_t tagged, const lmer_entry& e) const
    {
        const uint32_t tag = hit_tag(tagged);
        located at;
        at.p = tag_start(tag);
        at.p_ref = e.value - run.span_start;
        at.first = std::max(hold_first[at.p], hold_first[at.p_ref]);
        at.last = std::min(hold_last[at.p], hold_last[at.p_ref]);
        at.cell = ((size_t)tag_query(tag) * n_ref + e.id) * n_classes + hit_mismatches(tagged);
        return at;
    }
};

// Regular kernel: each pair counts once in every window holding both L-mers.
void count_run_hits(const run_frame& f, const std::vector<query_lmer>& lmers, search_workspace& ws, int d,
                    window_counter& counter)
{
    search_lmer_entries(f.run.refs, f.entries, d, lmers.data(), lmers.size(), ws, [&](uint32_t tagged, const lmer_entry& e) {
        const run_frame::located at = f.locate(tagged, e);
        if (at.first > at.last) return;
        counter.add(at.first, at.last, at.cell, 1);
    });
}

// Weighted kernel: each window holding the pair adds the product of the two
// L-mers' weights in that window.
void weigh_run_hits(const run_frame& f, const std::vector<query_lmer>& lmers, search_workspace& ws, int d,
                    std::vector<double>& values)
{
    double* const out = values.data();
    search_lmer_entries(f.run.refs, f.entries, d, lmers.data(), lmers.size(), ws, [&](uint32_t tagged, const lmer_entry& e) {
        const run_frame::located at = f.locate(tagged, e);
        for (int w = at.first; w <= at.last; w++) {
            const double* wt = f.weights[w].data();
            const int off = f.window_offset[w];
            out[w * f.stride + at.cell] += wt[at.p - off] * wt[at.p_ref - off];
        }
    });
}

// Forward L-mers of queries [first, first + n) that start in the run's span.
void run_lmers(const window_job& job, const window_run& run, int first, int n, std::vector<query_lmer>& out,
               lmer_span& span)
{
    out.clear();
    for (int q = 0; q < n; q++) {
        span.load(job.queries.seqs[first + q], job.base->param.L, run.span_start, run.span_lmers, false);
        for (int i = 0; i < run.span_lmers; i++)
            if (span.fwd[i] != GKM_NO_LMER) out.push_back({span.fwd[i], position_tag(q, i)});
    }
}

// Writes the run's values for queries [first, first + n) from cells holding,
// per run window, the mismatch profile of every (query, reference) pair.
template <class Cell>
void write_run_values(const window_job& job, const window_run& run, const run_frame& f, const Cell* cells, int first,
                      int n, const double* q_norms, const double* r_norms, double* out)
{
    const int n_q = job.queries.n, n_ref = job.refs.n, d = job.base->param.d;
    const bool self = job.queries.seqs == job.refs.seqs && n_q == n_ref;
    for (int w = 0; w < run.count; w++) {
        const int gw = run.first + w;
        double* block = out + (size_t)gw * n_q * n_ref;
        for (int q = 0; q < n; q++) {
            const int i = first + q;
            const double qn = q_norms[(size_t)gw * n_q + i];
            for (int j = first_column(i, self); j < n_ref; j++) {
                const Cell* c = cells + w * f.stride + ((size_t)q * n_ref + j) * f.n_classes;
                const double v = normalise(reduce_profile(job.base->weights, d, [&](int m) { return (double)c[m]; }),
                                           qn, r_norms[(size_t)gw * n_ref + j]);
                write_pair(block, (size_t)n_ref, (size_t)i, (size_t)j, v, self);
            }
        }
    }
}

}  // namespace

std::vector<window_run> plan_window_runs(const window_job& job)
{
    const window_geometry& g = *job.g;
    const int length = run_length(job);
    std::vector<window_run> runs;
    for (int first = 0; first < g.count(); first += length) {
        window_run run;
        run.first = first;
        run.count = std::min(length, g.count() - first);
        const int last = first + run.count - 1;
        run.span_start = g.eff_start[first];
        run.span_lmers = g.eff_start[last] + g.eff_len[last] - g.L + 1 - run.span_start;
        runs.push_back(std::move(run));
    }
    return runs;
}

void index_window_run(const window_job& job, window_run& run)
{
    const gkm_kernel_base_t* base = job.base;
    std::vector<lmer_record> records;
    for (int j = 0; j < job.refs.n; j++)
        append_lmer_records(records, job.refs.seqs[j], j, base->param.L, base->param.use_rc, true, run.span_start,
                            run.span_lmers);
    build_lmer_index(run.refs, records, base->param.L);
}

void window_norms(const window_job& job, const window_side& side, double* norms)
{
    const window_geometry& g = *job.g;
    const gkm_kernel_base_t* base = job.base;
    const int L = base->param.L;
    const bool rc = base->param.use_rc != 0;
    std::vector<lmer_span> spans((size_t)side.n);
    for (int i = 0; i < side.n; i++) spans[i].load(side.seqs[i], L, 0, g.eff_start.back() + g.eff_len.back() - L + 1, rc);
    const auto make = [] { return std::vector<double>(); };
    parallel_with_scratch(team_size(base, (size_t)g.count()), make, [&](std::vector<double>& wt, region_failure& failure) {
#pragma omp for schedule(dynamic, 16)
        for (int w = 0; w < g.count(); w++) {
            failure.guard([&] {
                const int n = g.eff_len[w] - L + 1;
                if (job.positional) {
                    wt.resize((size_t)n);
                    window_pos_weights(job.positional, g, w, wt.data());
                }
                for (int i = 0; i < side.n; i++) {
                    const lmer_span& s = spans[i];
                    norms[(size_t)w * side.n + i] = lmers_self_norm(base, s.fwd.data() + g.eff_start[w],
                                                                    rc ? s.rc.data() + g.eff_start[w] : nullptr, n,
                                                                    job.positional ? wt.data() : nullptr);
                }
            });
        }
    });
}

void eval_window_run(const window_job& job, const window_run& run, const double* q_norms, const double* r_norms,
                     double* out)
{
    const int block = run_block(job, run);
    const run_frame frame(job, run, block);
    search_workspace ws;
    std::vector<query_lmer> lmers;
    lmer_span span;
    window_counter counter;
    if (!job.positional) counter.reset(run.count, frame.stride);
    std::vector<double> values(job.positional ? (size_t)run.count * frame.stride : 0);
    for (int first = 0; first < job.queries.n; first += block) {
        const int n = std::min(block, job.queries.n - first);
        run_lmers(job, run, first, n, lmers, span);
        if (job.positional) {
            std::fill(values.begin(), values.end(), 0.0);
            weigh_run_hits(frame, lmers, ws, job.base->param.d, values);
            write_run_values(job, run, frame, values.data(), first, n, q_norms, r_norms, out);
        } else {
            counter.clear();
            count_run_hits(frame, lmers, ws, job.base->param.d, counter);
            write_run_values(job, run, frame, counter.counts(), first, n, q_norms, r_norms, out);
        }
    }
}

int eval_windows(const window_job& job, double* out)
{
    // Runs that finished before one failed leave no partial matrices behind.
    return fail_zeroing(out, (size_t)job.g->count() * job.queries.n * job.refs.n, [&] {
        const window_geometry& g = *job.g;
        const bool one_set = job.queries.seqs == job.refs.seqs && job.queries.n == job.refs.n;
        size_t n_q_norms, n_r_norms;
        if (!doubles_fit(g.count(), job.queries.n, 1, &n_q_norms) || !doubles_fit(g.count(), job.refs.n, 1, &n_r_norms))
            return fail(GKM_ENOMEM);
        std::vector<double> q_norms(n_q_norms), r_norms(one_set ? 0 : n_r_norms);
        window_norms(job, job.queries, q_norms.data());
        if (!one_set) window_norms(job, job.refs, r_norms.data());
        std::vector<window_run> runs = plan_window_runs(job);
        parallel_with_scratch(team_size(job.base, runs.size()), make_no_scratch, [&](no_scratch&, region_failure& failure) {
#pragma omp for schedule(dynamic, 1)
            for (size_t r = 0; r < runs.size(); r++) {
                failure.guard([&] {
                    index_window_run(job, runs[r]);
                    eval_window_run(job, runs[r], q_norms.data(), one_set ? q_norms.data() : r_norms.data(), out);
                });
                runs[r].refs = lmer_index<lmer_positions>();
            }
        });
        return 0;
    });
}

extern "C" int gkm_kernel_window_kernel(const gkm_kernel_t* kernel, const gkm_sequence_t* const* seqs, int n,
                                        int window, int shift, int pad_left, int pad_right, double* out)
{
    return gkm_kernel_cross_window_kernel(kernel, seqs, n, seqs, n, window, shift, pad_left, pad_right, out);
}

extern "C" int gkm_kernel_cross_window_kernel(const gkm_kernel_t* kernel, const gkm_sequence_t* const* queries,
                                              int n_q, const gkm_sequence_t* const* refs, int n_ref, int window,
                                              int shift, int pad_left, int pad_right, double* out)
{
    if (!kernel || !queries || !refs || !out || n_q < 1 || n_ref < 1) return fail(GKM_EINVAL);
    const gkm_kernel_base_t* base = &kernel->base;
    const int L = base->param.L;
    if (!window_geometry_ok(window, shift, pad_left, pad_right, L) || !queries[0]) return fail(GKM_EINVAL);
    const int seqlen = queries[0]->seqlen;
    if (!all_have_length(queries, n_q, seqlen) || !all_have_length(refs, n_ref, seqlen) ||
        !all_fit_base(base, queries, n_q) || !all_fit_base(base, refs, n_ref))
        return fail(GKM_EINVAL);
    size_t n_out;
    const int n_valid = gkm_compute_n_windows(seqlen, window, shift, pad_left, pad_right, L);
    if (n_valid <= 0) return fail(GKM_EINVAL);
    if (!doubles_fit(n_valid, n_q, n_ref, &n_out)) return fail(GKM_ENOMEM);
    return fail_safely([&] {
        window_geometry g;
        make_window_geometry(g, seqlen, window, shift, pad_left, pad_right, L);
        const window_job job{base, nullptr, &g, {queries, n_q}, {refs, n_ref}};
        return eval_windows(job, out);
    });
}
