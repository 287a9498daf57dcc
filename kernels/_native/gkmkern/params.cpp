// Parameter validation and the L-mer weight tables of the three schemes.
#include "gkm_internal.h"

#include <cmath>

extern "C" const char* gkm_parameter_check(const gkm_parameter_t* param)
{
    if (param->L <= 1) return "L < 2";
    if (param->L > GKM_MAX_L) return "L > 12";
    if (param->L < param->k) return "k > L";
    if (param->k <= 0) return "k < 1";
    if (param->d > param->L - param->k) return "d > L - k";
    if (param->d < 0) return "d < 0";
    return nullptr;
}

// Exact for the small arguments that occur (n, r <= 12): every partial
// product below is an integer far under 2^53.
double dCombinations(int n, int r)
{
    if (r < 0) return 0.0;
    if (n < 0) return ((r % 2) ? -1.0 : 1.0) * dCombinations(r - n - 1, r);
    if (r > n) return 0.0;
    double c = 1.0;
    for (int i = 1; i <= r; i++) c = c * (n - r + i) / i;
    return c;
}

void calc_full_weights(gkm_kernel_base_t* base)
{
    const int L = base->param.L;
    for (int m = 0; m <= L; m++) base->weights[m] = dCombinations(L - m, base->param.k);
}

namespace {

// Column 0 of row n of the final table counts the L-mers within n mismatches;
// the other columns carry the signed terms of the full-filter estimate.
std::vector<double> level_recursion_row(int L, int K)
{
    std::vector<std::vector<double>> tab[2] = {
        std::vector<std::vector<double>>(K + 1, std::vector<double>(K + 1, 1.0)),
        std::vector<std::vector<double>>(K + 1, std::vector<double>(K + 1, 1.0)),
    };
    int cur = 1;
    for (int iL = 1; iL <= L; iL++) {
        cur = 1 - cur;
        auto& P = tab[1 - cur];
        auto& C = tab[cur];
        for (int iK = 1; iK <= K; iK++) {
            C[iK][0] = P[iK - 1][0] * 3 + P[iK][0];
            for (int jM = 1; jM <= iK; jM++) C[iK][jM] = (C[iK - 1][jM - 1] * (iK - iL)) / iK;
        }
    }
    return tab[cur][K];
}

}  // namespace

void calc_estimated_weights(gkm_kernel_base_t* base, int truncated)
{
    const int L = base->param.L;
    const int K = base->param.k;
    const std::vector<double> row = level_recursion_row(L, K);
    const double nnorm = dCombinations(L, K) * pow(4.0, L);

    std::vector<double> wm(K + 1), kernel(L + 1), kernelTr(L + 1);
    for (int j = 0; j <= K; j++) wm[j] = row[j] / nnorm;
    for (int m = 0; m <= L; m++) {
        double s = 0.0;
        for (int j = 0; j <= std::min(m, K); j++) s += wm[j] * dCombinations(L - m, K - j) * dCombinations(m, j);
        kernel[m] = s;
    }
    bool keep = true;
    for (int m = 0; m <= L; m++) {
        if (keep && kernel[m] < 1e-50) keep = false;
        kernelTr[m] = (keep || truncated != 1) ? kernel[m] : 0.0;
    }
    // Convolve the filter with itself: the summand counts the L-mers z at m1
    // mismatches from one L-mer and m2 from another that differ at o positions.
    for (int o = L; o >= 0; o--) {
        const int g = L - o;
        double w = 0.0;
        for (int m1 = 0; m1 <= L; m1++)
            for (int m2 = 0; m2 <= L; m2++)
                for (int t = m1; t >= m1 - L; t--) {
                    const int p = 2 * t - m1 + m2 - o;
                    if (m1 - t <= g && t <= o && p <= t && p >= 0)
                        w += pow(3.0, m1 - t) * (dCombinations(g, m1 - t) * dCombinations(o, t) * dCombinations(t, p)) *
                             pow(2.0, p) * kernelTr[m1] * kernelTr[m2];
                }
        base->weights[o] = w;
    }
}

extern "C" double gkm_kernel_base_weight(const void* kernel_base, int m)
{
    const auto* base = static_cast<const gkm_kernel_base_t*>(kernel_base);
    return (m >= 0 && m <= base->param.d) ? base->weights[m] : 0.0;
}
