#pragma once
// Parameters and derived quantities of one run, shared read-only by the model
// routines, plus the per-frequency work area each frequency owns privately.
#include <array>
#include <cmath>
#include <vector>

#include "numerics/complex.hpp"

namespace tdcyl {

inline constexpr Extended kSpeedOfLight = 299792458000.0L;  // mm/s
inline constexpr int kFrequencyCount = 513;                  // k = 0 .. 512
inline constexpr int kFftLength = 1024;
inline constexpr int kZeroRowWidth = 5000;
inline constexpr int kMaxOrder = 500;

// Angular modulation frequency of sample k: 2*M*pi*k*1e8/1.024 rad/s
// (frequency step M * 97 656 250 Hz).
inline Extended FrequencyOmega(int M, int k) {
    return static_cast<Extended>(2 * M) * kPi * static_cast<Extended>(k) * 1e8L / 1.024L;
}

// Stores the spectrum value of frequency k (0..512) in the packed half
// spectrum the inverse real FFT expects, as its complex conjugate (the model's
// time convention is the opposite of the transform's). fft is 0-based: k < 512
// goes to fft[2k], fft[2k+1]; k = 512 (Nyquist, real part only) to fft[1],
// overwriting the imaginary slot of k = 0, which carries no information.
inline void PackSpectrum(double* fft, int k, Cx value) {
    if (k < kFrequencyCount - 1) {
        fft[2 * k] = static_cast<double>(value.re);
        fft[2 * k + 1] = static_cast<double>(-value.im);
    } else {
        fft[1] = static_cast<double>(value.re);
    }
}

using ZeroRow = std::array<Extended, kZeroRowWidth>;

// A parameter of the layers a curve can be differentiated by: mua, musp or
// thickness of layer `layer` (0-based, 0 the top).
struct LayerParameter {
    enum class Kind { mua, musp, l } kind = Kind::mua;
    int layer = 0;
};

struct RunState {
    // Parameters (layer arrays hold layers 1..N at indices 0..N-1).
    int N = 0;
    std::vector<Extended> musp, mua, n, l;
    Extended a = 0, rho = 0, rho0 = 0, phi = 0;
    int M = 0;
    int MMAX = 0;

    // Derived quantities.
    std::vector<Extended> D;  // 1/(3 musp)
    Extended z0 = 0;          // source depth 1/(mua_1 + musp_1)
    Extended A_top = 0, zb = 0;
    Extended A_bot = 0, zb_bot = 0;
    int NZ = 0;  // Bessel zeros per angular order (layered path)

    // Zeros of J_m, row m for m = 0..MMAX, entry q-1 holds the q-th zero.
    // Filled only for an off-axis source with MMAX > 0.
    std::vector<ZeroRow> JnZeroTable;

    // Frequency-independent factors, filled once per run by PrepareTermFactors;
    // while they are empty every term computes them itself (the plain
    // evaluation, same bits, kept as the benchmarks' baseline).
    // Per term (m, q), index m*NZ + q-1:
    struct RadialFactors {
        Extended sr2;    // s^2, s = z / (a + zb) the radial wavenumber of zero z
        Extended jr;     // J_m(rho s) (J0 on the axis)
        Extended j0;     // J_m(rho0 s) (unused on the axis)
        Extended norm;   // J_{m+1}(z)^2 (J1(z)^2 on the axis)
    };
    std::vector<RadialFactors> radial;
    // Per layer i (0-based):
    struct LayerFactors {
        Extended mua_D;    // mua_i / D_i, the static part of alpha_i^2 - s^2
        Extended speed_D;  // D_i c / n_i: omega / speed_D is the dynamic part
        Extended ratio2;   // (n_i / n_{i-1})^2, interface factor (unused for i = 0)
    };
    std::vector<LayerFactors> layers;
    // Per angular order m: (2 - delta_m0) cos(m phi).
    std::vector<Extended> order_weight;
};

// Azimuthal weight (2 - delta_m0) cos(m phi) of order m in a series over the
// angular orders: the stored value when the run has stored it, computed
// otherwise (the same bits either way).
inline Extended AzimuthalWeight(const RunState& s, int m) {
    const auto u = static_cast<std::size_t>(m);
    return u < s.order_weight.size() ? s.order_weight[u] : (Sign(m) + 1) * std::cos(m * s.phi);
}

// Stores the weights of orders 0 .. count-1 in s.order_weight.
inline void StoreAzimuthalWeights(RunState& s, int count) {
    s.order_weight.clear();
    for (int m = 0; m < count; ++m) s.order_weight.push_back(AzimuthalWeight(s, m));
}

// Work area of one frequency: everything a term overwrites. Each thread owns one.
struct TermWork {
    Extended omega = 0;
    // omega / (D_i c / n_i) per layer, filled by SetTermFrequency; empty means
    // each term computes it.
    std::vector<Extended> kappa;
    Extended SumRe = 0, SumIm = 0;
    std::vector<Cx> alpha;       // decay constant per layer
    std::vector<Cx> RecU, RecV;  // bottom-up recursion, N-2 entries
    void Resize(int N) {
        alpha.assign(static_cast<std::size_t>(N), Cx{0, 0});
        std::size_t r = N >= 3 ? static_cast<std::size_t>(N - 2) : 0;
        RecU.assign(r, Cx{0, 0});
        RecV.assign(r, Cx{0, 0});
    }
};

}  // namespace tdcyl
