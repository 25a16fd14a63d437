#pragma once
// The vectorised inner sum of the fast engine: for one frequency and one
// angular order, sum over the zero index q of weight_q * S(s_q), where S is the
// depth factor of the N-layer term for the radial wavenumber s_q. Plain double
// arrays in (structure of arrays over q); the SIMD width is chosen at run time.
#include <string>

namespace tdcyl::fast {

// Padding of every q-array: counts are multiples of this, so every SIMD width
// (2, 4 or 8 doubles) sums exactly the same terms.
inline constexpr int kSeriesPadding = 8;

// The layers at one frequency. Layer 0 is the top; per layer i:
//   alpha_i^2 = s^2 + static_part[i] + i kappa[i]
//   coupling[i] = (n_i / n_{i-1})^2 D_i (i >= 1), D[i] = D_i, l[i] its thickness.
// With N = 1 the single layer reaches from the top face to the bottom one.
struct LayerStack {
    int N = 0;
    const double* static_part = nullptr;
    const double* kappa = nullptr;
    const double* D = nullptr;
    const double* coupling = nullptr;
    const double* l = nullptr;
    double z0 = 0, zb = 0, zb_bot = 0;
};

// Instruction-set choice: the widest the processor has, or the portable
// (128-bit emulated, plain x86-64) code.
enum class SimdPath { widest, portable };

// sum_re[w] + i sum_im[w] = sum_{q < count} weights[w][q] S(sr2[q]) for
// w < nweights. count is a multiple of kSeriesPadding; padded weights are 0.
using SeriesSumFunction = void (*)(const LayerStack& stack, const double* sr2, int count, const double* const* weights,
                                   int nweights, double* sum_re, double* sum_im);

// The sum compiled for the instruction set of `path` (resolve once per run:
// the processor query is slow).
SeriesSumFunction SelectSeriesSum(SimdPath path);

// The same sums, and sum_sq[w] = sum_q |weights[w][q] S_q|^2, whose root is
// the scale of their rounding error.
using SeriesSumMagnitudeFunction = void (*)(const LayerStack& stack, const double* sr2, int count,
                                            const double* const* weights, int nweights, double* sum_re,
                                            double* sum_im, double* sum_sq);
SeriesSumMagnitudeFunction SelectSeriesSumMagnitude(SimdPath path);

// Forward-mode derivatives: kTangents directions at once. Per direction k
// the derivative of every input of the stack (layer arrays at [i*kTangents+k]):
//   d alpha_i^2 = d_s2[k] s^2 + d_fixed[.] + i d_kappa[.]  (d_s2: relative, the
//   radial wavenumber s = j/a' moves with the extrapolated radius a'),
//   d D_i, d coupling_i, d l_i, and d z0, d zb, d zb_bot.
inline constexpr int kTangents = 4;
struct StackTangents {
    const double* d_fixed = nullptr;
    const double* d_kappa = nullptr;
    const double* d_D = nullptr;
    const double* d_coupling = nullptr;
    const double* d_l = nullptr;
    double d_s2[kTangents] = {}, d_z0[kTangents] = {}, d_zb[kTangents] = {}, d_zb_bot[kTangents] = {};
};

// The sums and rounding scales of SeriesSumMagnitude (bit for bit), and
//   d_re/d_im[w*kTangents + k] = sum_q weights[w][q] dS_q/d(direction k),
//   dw_re/dw_im[w]             = sum_q dweights[w][q] S_q
// (the weights' own derivative enters through the second sum, scaled by each
// direction's motion of a' outside).
using SeriesTangentsFunction = void (*)(const LayerStack& stack, const StackTangents& tangents, const double* sr2,
                                        int count, const double* const* weights, const double* const* dweights,
                                        int nweights, double* sum_re, double* sum_im, double* sum_sq, double* d_re,
                                        double* d_im, double* dw_re, double* dw_im);
SeriesTangentsFunction SelectSeriesTangents(SimdPath path);

// Name of the instruction set a path runs on this processor ("AVX2", "EMU128"...).
std::string SimdPathName(SimdPath path);

}  // namespace tdcyl::fast
