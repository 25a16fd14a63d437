#include "model/fast/fast_engine.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "numerics/accurate/bessel_jn_pair.hpp"
#include "numerics/accurate/bessel_jn_zeros.hpp"
#include "numerics/real_fft.hpp"

namespace tdcyl::fast {
namespace {

constexpr double kPiD = 3.141592653589793238462643383279502884;
constexpr double kLight = 299792458000.0;  // mm/s

// Orders of the off-axis series of a single layer (as its closed-form path).
constexpr int kSingleLayerOrders = 51;

int Padded(int n) { return (n + kSeriesPadding - 1) / kSeriesPadding * kSeriesPadding; }

// Period of the transform in seconds: 1024 samples of 10/M ps.
double Period(int M) { return 1024 * 1e-11 / M; }

}  // namespace

LayeredEngine::LayeredEngine(const RunState& s, const std::vector<double>& rhos, const FastEngineOptions& options,
                             const ParallelRunner& run)
    : s_(s), rhos_(rhos), options_(options), series_sum_(SelectSeriesSum(options.simd)) {
    const int N = s_.N;
    if (options_.tolerance <= 0) options_.tolerance = kDefaultTolerance;
    s_.NZ = static_cast<int>(std::nearbyint(20 * s_.a));
    if (N == 1) s_.zb_bot = s_.zb;
    const double ap = static_cast<double>(s_.a + s_.zb);
    const double rho0 = static_cast<double>(s_.rho0), phi = static_cast<double>(s_.phi);
    // The orders of the user's model: MMAX for layers (0 on the axis, and 0 means
    // the on-axis form as in the faithful engine); a single layer sums 51 orders
    // whenever the source is off the axis.
    const bool off_axis = N == 1 ? rho0 > 0 : (rho0 > 0 && s_.MMAX > 0);
    orders_ = off_axis ? (N == 1 ? kSingleLayerOrders : s_.MMAX + 1) : 1;

    // The damped contour omega - i sigma shifts every layer's absorption by
    // sigma n/c. sigma T = 24 damps the first image of the curve by e^-24 while
    // the factor e^(sigma t) <= e^12 over the output window keeps rounding
    // errors far below the tolerance.
    const double T = Period(s_.M);
    if (!options_.wraparound) sigma_ = std::min(24.0, std::log(1 / options_.tolerance)) / T;

    for (int i = 0; i < N; ++i) {
        const auto u = static_cast<std::size_t>(i);
        const double D = static_cast<double>(s_.D[u]), n = static_cast<double>(s_.n[u]);
        kappa_factor_.push_back(n / (kLight * D));
        static_part_.push_back(static_cast<double>(s_.mua[u]) / D + sigma_ * n / (kLight * D));
        D_.push_back(D);
        const double ratio = i > 0 ? n / static_cast<double>(s_.n[u - 1]) : 1.0;
        coupling_.push_back(ratio * ratio * D);
        l_.push_back(static_cast<double>(s_.l[u]));
    }
    scale_ = 200.0 * s_.M / (ap * ap * kPiD * 1024);

    // Zeros and radial weights, one order per job:
    //   on the axis  w_q = J0(rho s) / J1(j)^2,
    //   off the axis w_q = (2 - delta_m0) cos(m phi) J_m(rho s) J_m(rho0 s) / J_{m+1}(j)^2,
    // with s = j / a' and J_{m+1}(j) = -J_m'(j) evaluated at the zero itself.
    const int NZ = s_.NZ;
    const int padded = Padded(NZ);
    order_.assign(static_cast<std::size_t>(orders_), Order{});
    run(orders_, [&](int m) {
        Order& o = order_[static_cast<std::size_t>(m)];
        o.m = m;
        const std::vector<double> zeros = BesselJnZerosAccurate(m, NZ);
        o.sr2.assign(static_cast<std::size_t>(padded), 0.0);
        o.weight.assign(rhos_.size(), std::vector<double>(static_cast<std::size_t>(padded), 0.0));
        const double azimuthal = off_axis ? (m == 0 ? 1.0 : 2.0 * std::cos(m * phi)) : 1.0;
        for (int q = 0; q < NZ; ++q) {
            const auto uq = static_cast<std::size_t>(q);
            const double j = zeros[uq];
            const double sr = j / ap;
            o.sr2[uq] = sr * sr;
            const double norm = BesselJnPair(m, j).jm1;
            const double source = off_axis ? BesselJnAccurate(m, rho0 * sr) : 1.0;
            for (std::size_t r = 0; r < rhos_.size(); ++r)
                o.weight[r][uq] = azimuthal * BesselJnAccurate(m, rhos_[r] * sr) * source / (norm * norm);
        }
        for (int q = NZ; q < padded; ++q) o.sr2[static_cast<std::size_t>(q)] = o.sr2[static_cast<std::size_t>(NZ - 1)];
        o.count.assign(rhos_.size(), padded);
        o.max_count = padded;
    });
    Truncate(run);
    last_.assign(rhos_.size(), std::vector<Cx>(static_cast<std::size_t>(kFrequencyCount), Cx{0, 0}));
    warnings_.assign(rhos_.size(), {});
}

// Where to cut the series over the zeros. For every zero Re alpha_i >= s (the
// real part of alpha_i^2 is at least s^2), so the source factor a = exp(-alpha_1 z0)
// is at most e^(-s z0) at every frequency, |b| <= 1, and for the tail (s large,
// every alpha_i nearly real, |g| <= 1) the reflected part is at most
//   |g c (1 - a^2 b)/(1 + g c a^2 b)| <= 2 e^(-2 s (l_1 - z0)) / (1 - e^(-2 s (l_1 + zb))).
// Hence |w_q S_q| <= |w_q| e^(-s_q z0) Gamma(s_q) with Gamma decreasing in s, and
// the tail beyond Q is at most Gamma(s_{Q+1}) sum_{q > Q} |w_q| e^(-s_q z0), the
// same bound for all 513 frequencies. A spectrum error d at every frequency
// moves a sample of the transform by at most 1024 d (times e^(sigma t) on the
// damped contour, at most e^(sigma T/2)), while the peak is at least the mean
// of the curve over the period, the frequency-0 value X0. Each order may thus
// leave tol X0 / (1024 e^(sigma T/2) orders) behind.
void LayeredEngine::Truncate(const ParallelRunner& run) {
    const double z0 = static_cast<double>(s_.z0), zb = static_cast<double>(s_.zb), l1 = l_[0];
    std::vector<std::complex<double>> total, last;
    SeriesSums(0.0, total, last, true);
    const double amplification = std::exp(sigma_ * Period(s_.M) / 2);
    run(static_cast<int>(rhos_.size()), [&](int r) {
        const double budget = options_.tolerance * std::abs(total[static_cast<std::size_t>(r)]) /
                              (1024 * amplification * orders_);
        for (Order& o : order_) {
            const int NZ = s_.NZ;
            int cut = NZ;
            if (l1 > z0 && budget > 0) {
                // Walk down from the end while the bound of the tail stays within budget.
                double tail = 0;
                for (int q = NZ - 1; q >= 1; --q) {
                    const double s = std::sqrt(o.sr2[static_cast<std::size_t>(q)]);
                    tail += std::fabs(o.weight[static_cast<std::size_t>(r)][static_cast<std::size_t>(q)]) * std::exp(-s * z0);
                    const double gamma = 1 + 2 * std::exp(-2 * s * (l1 - z0)) / (1 - std::exp(-2 * s * (l1 + zb)));
                    if (gamma * tail > budget) break;
                    cut = q;  // terms q .. NZ-1 (0-based) may be left out
                }
            }
            const int count = Padded(cut);
            std::vector<double>& w = o.weight[static_cast<std::size_t>(r)];
            std::fill(w.begin() + std::min<std::ptrdiff_t>(count, static_cast<std::ptrdiff_t>(w.size())), w.end(), 0.0);
            o.count[static_cast<std::size_t>(r)] = count;
        }
    });
    for (Order& o : order_) o.max_count = *std::max_element(o.count.begin(), o.count.end());
}

void LayeredEngine::SeriesSums(double omega, std::vector<std::complex<double>>& total,
                               std::vector<std::complex<double>>& last_order, bool full) const {
    const int N = s_.N;
    std::vector<double> kappa(static_cast<std::size_t>(N));
    for (int i = 0; i < N; ++i) kappa[static_cast<std::size_t>(i)] = omega * kappa_factor_[static_cast<std::size_t>(i)];
    LayerStack stack;
    stack.N = N;
    stack.static_part = static_part_.data();
    stack.kappa = kappa.data();
    stack.D = D_.data();
    stack.coupling = coupling_.data();
    stack.l = l_.data();
    stack.z0 = static_cast<double>(s_.z0);
    stack.zb = static_cast<double>(s_.zb);
    stack.zb_bot = static_cast<double>(s_.zb_bot);

    const std::size_t R = rhos_.size();
    total.assign(R, {0, 0});
    last_order.assign(R, {0, 0});
    std::vector<const double*> w(R);
    std::vector<double> re(R), im(R);
    for (const Order& o : order_) {
        for (std::size_t r = 0; r < R; ++r) w[r] = o.weight[r].data();
        const int count = full ? static_cast<int>(o.sr2.size()) : o.max_count;
        series_sum_(stack, o.sr2.data(), count, w.data(), static_cast<int>(R), re.data(), im.data());
        for (std::size_t r = 0; r < R; ++r) {
            total[r] += std::complex<double>(re[r], im[r]);
            if (o.m == orders_ - 1) last_order[r] = {re[r], im[r]};
        }
    }
}

void LayeredEngine::SpectraAt(int k, Cx* out) {
    std::vector<std::complex<double>> total, last;
    SeriesSums(static_cast<double>(FrequencyOmega(s_.M, k)), total, last, false);
    for (std::size_t r = 0; r < rhos_.size(); ++r) {
        out[r] = Cx{scale_ * total[r].real(), scale_ * total[r].imag()};
        last_[r][static_cast<std::size_t>(k)] = Cx{scale_ * last[r].real(), scale_ * last[r].imag()};
    }
}

Cx LayeredEngine::SpectrumFor(int r, int k) {
    std::vector<Cx> all(rhos_.size());
    SpectraAt(k, all.data());
    return all[static_cast<std::size_t>(r)];
}

std::complex<double> LayeredEngine::FrequencyDomain(int r, double omega) const {
    std::vector<std::complex<double>> total, last;
    SeriesSums(omega, total, last, false);
    const double ap = static_cast<double>(s_.a + s_.zb);
    return total[static_cast<std::size_t>(r)] / (kPiD * ap * ap);
}

void LayeredEngine::FinishTimeCurveFor(int r, double* fft) {
    const std::size_t ur = static_cast<std::size_t>(r);
    // The highest order's own curve, through the same transform.
    std::vector<double> last(kFftLength, 0.0);
    for (int k = 0; k < kFrequencyCount; ++k) PackSpectrum(last.data(), k, last_[ur][static_cast<std::size_t>(k)]);
    realft(last.data(), 512, -1);
    if (sigma_ > 0) {
        const double dt = 1e-11 / s_.M;
        for (int j = 0; j < kFftLength; ++j) {
            const double f = std::exp(sigma_ * dt * j);
            fft[j] *= f;
            last[static_cast<std::size_t>(j)] *= f;
        }
    }
    warnings_[ur].clear();
    if (orders_ > 1) {
        const int K = kFftLength / (2 * s_.M);
        // Over the samples the output keeps (within six decades of the peak).
        double peak = 0, contribution = 0;
        for (int i = 1; i <= K; ++i) peak = std::max(peak, std::fabs(fft[i * s_.M]));
        for (int i = 1; i <= K; ++i)
            if (std::fabs(fft[i * s_.M]) >= 1e-6 * peak)
                contribution = std::max(contribution, std::fabs(last[static_cast<std::size_t>(i * s_.M)]));
        const double relative = peak > 0 ? contribution / peak : 0;
        if (relative > options_.tolerance) {
            char text[320];
            std::snprintf(text, sizeof text,
                          "the highest angular order (MMAX = %d) still changes the curve by up to %.2g of its peak, "
                          "more than the tolerance %.2g: the series over the orders is not converged, a larger MMAX "
                          "gives a more accurate curve.",
                          orders_ - 1, relative, options_.tolerance);
            warnings_[ur].push_back(text);
        }
    }
}

std::vector<std::string> LayeredEngine::WarningsFor(int r) const { return warnings_[static_cast<std::size_t>(r)]; }

double LayeredEngine::TermsSummedFor(int r) const {
    double terms = 0;
    for (const Order& o : order_) terms += o.count[static_cast<std::size_t>(r)];
    return terms * kFrequencyCount;
}

}  // namespace tdcyl::fast
