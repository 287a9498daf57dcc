// The kernel base shared by both kernel kinds: parameters, weights and the
// reference store.
#include "gkm_internal.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <omp.h>
#include <pthread.h>

namespace {

// GNU OpenMP keeps its worker threads in a pool that a forked child inherits
// without the threads, so the child's first team of two or more waits for
// them forever. A team of one never touches the pool: a process forked after
// a team of several ran therefore evaluates on one thread, which gives the
// same values.
std::atomic<bool> teams_started{false};
std::atomic<bool> single_threaded{false};

void after_fork_in_child()
{
    if (teams_started.load()) single_threaded.store(true);
}

[[maybe_unused]] const int fork_handler_registered = pthread_atfork(nullptr, nullptr, after_fork_in_child);

const gkm_kernel_base_t* as_base(const void* p) { return static_cast<const gkm_kernel_base_t*>(p); }
gkm_kernel_base_t* as_base(void* p) { return static_cast<gkm_kernel_base_t*>(p); }

}  // namespace

bool gkm_kernel_base_init(gkm_kernel_base_t* base, const gkm_parameter_t* param)
{
    base->param = *param;
    try {
        if (param->weight_scheme == GKM_WEIGHT_TRUNCATED)
            calc_estimated_weights(base, 1);
        else if (param->weight_scheme == GKM_WEIGHT_ESTIMATED_FULL)
            calc_estimated_weights(base, 0);
        else
            calc_full_weights(base);
    } catch (const std::bad_alloc&) {
        return false;
    }
    base->seqs = nullptr;
    base->n_seqs = 0;
    base->cap_seqs = 0;
    base->finalized = 0;
    return true;
}

void gkm_kernel_base_destroy(gkm_kernel_base_t* base)
{
    for (int i = 0; i < base->n_seqs; i++) gkm_sequence_free(base->seqs[i]);
    free(base->seqs);
    base->seqs = nullptr;
    base->n_seqs = base->cap_seqs = 0;
}

extern "C" void gkm_kernel_base_get_params(const void* kernel_base, int* L, int* k, int* d)
{
    const gkm_parameter_t& p = as_base(kernel_base)->param;
    if (L) *L = p.L;
    if (k) *k = p.k;
    if (d) *d = p.d;
}

extern "C" int gkm_kernel_base_get_L(const void* kernel_base) { return as_base(kernel_base)->param.L; }

extern "C" int gkm_kernel_base_get_weight_scheme(const void* kernel_base)
{
    return as_base(kernel_base)->param.weight_scheme;
}

extern "C" int gkm_kernel_base_get_use_rc(const void* kernel_base) { return as_base(kernel_base)->param.use_rc; }

extern "C" int gkm_kernel_base_add_sequence(void* kernel_base, gkm_sequence_t* seq)
{
    gkm_kernel_base_t* base = as_base(kernel_base);
    if (base->finalized || !seq || !sequence_fits_base(base, seq)) return fail(GKM_EINVAL);
    if (base->n_seqs == base->cap_seqs) {
        if (base->cap_seqs > INT_MAX / 2) return fail(GKM_ENOMEM);
        const int cap = base->cap_seqs == 0 ? 16 : 2 * base->n_seqs;
        void* grown = realloc(base->seqs, sizeof(gkm_sequence_t*) * (size_t)cap);
        if (!grown) return fail(GKM_ENOMEM);
        base->seqs = static_cast<gkm_sequence_t**>(grown);
        base->cap_seqs = cap;
    }
    const int id = base->n_seqs;
    base->seqs[id] = seq;
    base->n_seqs++;
    return id;
}

extern "C" void gkm_kernel_base_finalize(void* kernel_base) { as_base(kernel_base)->finalized = 1; }

extern "C" int gkm_kernel_base_is_finalized(const void* kernel_base) { return as_base(kernel_base)->finalized; }

extern "C" int gkm_kernel_base_num_sequences(const void* kernel_base) { return as_base(kernel_base)->n_seqs; }

extern "C" const gkm_sequence_t* gkm_kernel_base_get_sequence(const void* kernel_base, int seqid)
{
    const gkm_kernel_base_t* base = as_base(kernel_base);
    return (seqid >= 0 && seqid < base->n_seqs) ? base->seqs[seqid] : nullptr;
}

int team_size(const gkm_kernel_base_t* base, size_t items)
{
    // More threads than pieces of work or processors cannot help; results do
    // not depend on the team size, so capping it is safe.
    int n = std::max(1, base->param.nthreads);
    n = std::min(n, std::max(1, omp_get_num_procs()));
    n = (int)std::min<size_t>((size_t)n, std::max<size_t>(1, items));
    if (single_threaded.load(std::memory_order_relaxed)) return 1;
    if (n > 1) teams_started.store(true, std::memory_order_relaxed);
    return n;
}
