#include "model/fast/fast_engine.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "numerics/accurate/bessel_jn_pair.hpp"
#include "numerics/accurate/bessel_jn_zeros.hpp"
#include "model/fast/contour_shares.hpp"

namespace tdcyl::fast {
namespace {

using namespace detail;  // kPi and the contour windows, as the two halves of the engine share them
constexpr double kLight = 299792458000.0;  // mm/s
// The Bessel routines hold their accuracy for arguments up to 1e5: the
// largest zero the series may use.
constexpr double kLargestZero = 9.9e4;

int Padded(int n) { return (n + kSeriesPadding - 1) / kSeriesPadding * kSeriesPadding; }

// A bound on what the layers below the source add to a term of radial
// wavenumber s: for s large every alpha_i is nearly real, |g| <= 1, and
//   |g c (1 - a^2 b)/(1 + g c a^2 b)| <= 2 e^(-2 s (l_1 - z0)) / (1 - e^(-2 s (l_1 + zb))).
double Reflected(double s, double l1, double z0, double zb) {
    return 1 + 2 * std::exp(-2 * s * (l1 - z0)) / (1 - std::exp(-2 * s * (l1 + zb)));
}

// Orders needed when the measured ones have not reached `small`: the upper
// envelope of the shares (the largest over each half of the higher orders;
// single orders dip where cos(m phi) or J_m passes through zero) falls
// geometrically between the halves' largest, extrapolated to `small`.
int OrdersBeyond(const std::vector<double>& share, double small) {
    const int n = static_cast<int>(share.size());
    const int from = std::max(1, n / 3), mid = (from + n) / 2;
    const auto a = std::max_element(share.begin() + from, share.begin() + mid);
    const auto b = std::max_element(share.begin() + mid, share.end());
    const double ma = static_cast<double>(a - share.begin()), mb = static_cast<double>(b - share.begin());
    if (!(*b < *a) || !(*b > 0) || mb <= ma) return 2 * n;
    const double rate = std::log(*b / *a) / (mb - ma);
    return std::max(n + 1, static_cast<int>(std::ceil(mb + std::log(small / *b) / rate)) + 3);
}

}  // namespace

LayeredEngine::LayeredEngine(const RunState& s, const std::vector<double>& rhos, const FastEngineOptions& options,
                             const ParallelRunner& run)
    : s_(s),
      rhos_(rhos),
      options_(options),
      series_sum_(SelectSeriesSum(options.simd)),
      series_sum_magnitude_(SelectSeriesSumMagnitude(options.simd)) {
    const int N = s_.N;
    options_.tolerance = std::clamp(options_.tolerance > 0 ? options_.tolerance : kDefaultTolerance,
                                    kSmallestTolerance, kLargestTolerance);
    if (N == 1) s_.zb_bot = s_.zb;
    ap_ = static_cast<double>(s_.a + s_.zb);
    const double rho0 = static_cast<double>(s_.rho0);
    // The user's orders for layers (MMAX = 0 means the on-axis form, as in the
    // faithful engine); a single layer off the axis takes what the tolerance needs.
    off_axis_ = rho0 > 0 && (N == 1 || s_.MMAX > 0);

    const double T = Period(s_.M);
    if (!(options_.t_last > 0)) options_.t_last = T / 2;
    SetLayers();
    SizeSeries(ContourAmplification(T));
    MeasureOrders(run);
    if (!lazy_) Truncate(run);
}

// The layers' constants of the series in double precision.
void LayeredEngine::SetLayers() {
    for (int i = 0; i < s_.N; ++i) {
        const auto u = static_cast<std::size_t>(i);
        const double D = static_cast<double>(s_.D[u]), n = static_cast<double>(s_.n[u]);
        kappa_factor_.push_back(n / (kLight * D));
        static_part_.push_back(static_cast<double>(s_.mua[u]) / D);
        D_.push_back(D);
        const double ratio = i > 0 ? n / static_cast<double>(s_.n[u - 1]) : 1.0;
        coupling_.push_back(ratio * ratio * D);
        l_.push_back(static_cast<double>(s_.l[u]));
    }
}

// How much a change of the Laplace transform (unscaled series sum) by d
// moves a sample, relative to the peak, per unit of d / X0, X0 the value
// at 0 (the time integral): the contour inversion moves R(t) by the sum of
// its weights |w_k e^(z_k t)| times d/(pi a'^2), and the peak is taken as
// at least the mean X0/(pi a'^2 T) over the 1024-sample window T.
double LayeredEngine::ContourAmplification(double T) const {
    double contour = 0;
    for (const ContourWindow& w :
         ParabolicContourWindows(1e-11 / s_.M, options_.t_last, kContourShare * options_.tolerance, 0, kContourRatio)) {
        double sum = 0;
        for (std::size_t k = 0; k < w.z.size(); ++k) sum += std::abs(w.weight[k]) * std::exp(w.z[k].real() * w.t_max);
        contour = std::max(contour, sum * T);
    }
    return contour;
}

// The size of each detector's curve, X0, from order 0 with every zero
// below e^-30 of the first; its series may leave a share of it out. Every
// length below is chosen per detector, so that a detector's curve does not
// depend on the others computed with it.
void LayeredEngine::SizeSeries(double amplification) {
    const double z0 = static_cast<double>(s_.z0);
    const double beta = z0 / ap_;
    auto zeros_below = [&](double x) { return std::max(1, static_cast<int>(std::min(x, kLargestZero) / kPi)); };
    order_.emplace_back();
    Materialize(order_[0], zeros_below(30 / beta));
    std::vector<std::complex<double>> x0, unused;
    orders_ = 1;
    SeriesSums(0.0, x0, unused, true);
    const std::size_t R = rhos_.size();
    for (const std::complex<double>& v : x0) x0_.push_back(std::abs(v));
    curve_terms_.assign(R, 0.0);
    budget_.assign(R, 0.0);
    zeros_short_.assign(R, false);
    nz_.assign(R, 1);
    orders_needed_.assign(R, 1);
    for (std::size_t r = 0; r < R; ++r) {
        const double budget = options_.tolerance * std::abs(x0[r]) / amplification;
        // Zeros: |w_q| <= 2 (pi j_q / 2 + 2 m^(4/3)) for every order (the norm
        // 1/J_{m+1}(j)^2 grows as pi j/2, and as about m^(4/3) at the first
        // zeros), and the tail of sum |w_q| e^(-s_q z0) beyond x = s a' is at
        // most 3 pi (x/beta + 1/beta^2) e^(-beta x) (gap pi between zeros) with
        // the reflection factor at most 3.
        double x = 10;
        while (x < kLargestZero && 3 * kPi * (x / beta + 1 / (beta * beta)) * std::exp(-beta * x) > 0.1 * budget)
            x *= 1.05;
        zeros_short_[r] = x >= kLargestZero;
        nz_[r] = zeros_below(x + kPi);
        budget_[r] = budget;
    }
    s_.NZ = *std::max_element(nz_.begin(), nz_.end());
}

// Orders, measured: the Laplace transform of each order's part of the
// curve at the real points mu of the contour windows (the time scales of
// the output), relative to the largest z F(z). A single layer has
// converged where its last three orders each change every one of these
// by less than a tenth of the tolerance, and adds orders (to at most
// kMostOrders) until it has. A stack sums the file's MMAX; when its last
// order still matters, the orders up to kAdviceOrders are measured for
// the advice alone (the same orders whatever MMAX was given, so the
// advice does not move with it), and beyond them the decay of their
// envelope is extrapolated.
void LayeredEngine::MeasureOrders(const ParallelRunner& run) {
    const int N = s_.N;
    const std::size_t R = rhos_.size();
    std::vector<std::complex<double>> probes;
    for (const ContourWindow& w :
         ParabolicContourWindows(1e-11 / s_.M, options_.t_last, kContourShare * options_.tolerance, 0, kContourRatio))
        probes.push_back(w.z.front());
    const int given = off_axis_ ? (N == 1 ? kMostOrders : s_.MMAX + 1) : 1;
    const int limit = N == 1 ? given : std::max(given, off_axis_ ? kAdviceOrders : 1);
    extended_orders_ = N == 1 ? 1 : given;
    int built = N == 1 ? std::min(limit, 32) : given;
    for (;;) {
        const int had = static_cast<int>(order_.size());
        order_.resize(static_cast<std::size_t>(built));
        orders_ = built;
        // On the axis, with zeros the Bessel routines cover, the terms are
        // made as the contour windows ask for them (late times need few);
        // each detector's cap is its count from the bound of the tail.
        lazy_ = built == 1 && std::find(zeros_short_.begin(), zeros_short_.end(), true) == zeros_short_.end();
        if (lazy_) {
            Order& o = order_[0];
            for (std::size_t r = 0; r < R; ++r) o.count[r] = Padded(nz_[r]);
            o.max_count = *std::max_element(o.count.begin(), o.count.end());
            for (std::size_t r = 0; r < R; ++r)
                std::fill(o.weight[r].begin() + std::min<std::ptrdiff_t>(o.count[r], o.ready), o.weight[r].end(), 0.0);
            break;
        }
        // Order 0 was first made with fewer zeros, for X0.
        run(built - had + 1, [&](int k) {
            const int m = k == 0 ? 0 : had - 1 + k;
            order_[static_cast<std::size_t>(m)].m = m;
            Materialize(order_[static_cast<std::size_t>(m)], s_.NZ);
        });
        if (built == 1) break;
        if (OrdersSettled(OrderShares(probes), built, given) || built >= limit) break;
        built = N == 1 ? std::min(limit, 2 * built) : limit;
    }
    // A single layer keeps the orders its detectors need, a stack the file's
    // (the later ones were only built to see the series settle).
    if (N == 1 && off_axis_)
        built = std::min(built, *std::max_element(orders_needed_.begin(), orders_needed_.end()));
    if (N > 1) built = std::min(built, given);
    order_.resize(static_cast<std::size_t>(built));
    orders_ = built;
    for (std::size_t r = 0; r < R; ++r) budget_[r] /= orders_;
}

// Per detector, the orders its curve needs (orders_needed_), judged on each
// order's share at the probes; whether every detector's series has settled.
bool LayeredEngine::OrdersSettled(const std::vector<std::vector<double>>& share, int built, int given) {
    const int N = s_.N;
    const std::size_t R = rhos_.size();
    bool converged = true;
    const double small = 0.1 * options_.tolerance;
    for (std::size_t r = 0; r < R; ++r) {
        // The advice is only for the detectors whose MMAX fell short (the
        // others' warnings must not depend on them).
        if (built > given && orders_needed_[r] <= given) continue;
        const auto& sh = share[r];
        int needed = built;
        while (needed > 1 && sh[static_cast<std::size_t>(needed - 1)] <= small) --needed;
        // A single layer, and a stack measuring for the advice, ask for
        // three quiet orders; a stack's own MMAX is judged by its highest order.
        const bool tail_quiet = N == 1 || built > given ? needed <= built - 3
                                                        : sh[static_cast<std::size_t>(built - 1)] <= small;
        if (tail_quiet) {
            orders_needed_[r] = needed;
            continue;
        }
        converged = false;
        orders_needed_[r] = OrdersBeyond(sh, small);
    }
    return converged;
}

// The largest |z F_m(z)| over the probes per detector and order m, relative
// to the largest |z F(z)| (z F(z) is about the curve at t ~ 1/z: the peak's scale).
std::vector<std::vector<double>> LayeredEngine::OrderShares(const std::vector<std::complex<double>>& probes) const {
    const std::size_t R = rhos_.size(), M = static_cast<std::size_t>(orders_);
    std::vector<std::vector<double>> share(R, std::vector<double>(M, 0.0));
    std::vector<double> scale(R, 0.0);
    for (const std::complex<double>& z : probes) {
        std::vector<std::vector<std::complex<double>>> parts;
        std::vector<std::complex<double>> total, last;
        SeriesSums(z, total, last, true, nullptr, &parts);
        for (std::size_t r = 0; r < R; ++r) {
            scale[r] = std::max(scale[r], std::abs(z * total[r]));
            for (std::size_t m = 0; m < M; ++m) share[r][m] = std::max(share[r][m], std::abs(z * parts[r][m]));
        }
    }
    for (std::size_t r = 0; r < R; ++r)
        for (double& v : share[r]) v /= scale[r];
    return share;
}

// Zeros and radial weights of order o.m up to the first `count` zeros (the
// count padded), extending what is made:
//   on the axis  w_q = J0(rho s) / J1(j)^2,
//   off the axis w_q = (2 - delta_m0) cos(m phi) J_m(rho s) J_m(rho0 s) / J_{m+1}(j)^2,
// with s = j / a' and J_{m+1}(j) = -J_m'(j) evaluated at the zero itself;
// a detector's weights beyond its count are 0. With radial derivatives, their
// d w_q / d a' too.
void LayeredEngine::Materialize(Order& o, int count) {
    const int padded = Padded(count);
    const std::size_t R = rhos_.size();
    if (o.weight.empty()) {
        o.weight.assign(R, {});
        o.count.assign(R, 0);
    }
    if (!lazy_) {  // made in full: every detector's count is the order's (Truncate cuts it)
        for (int& c : o.count) c = std::max(c, padded);
        o.max_count = std::max(o.max_count, padded);
    }
    if (count <= o.ready) return;
    const int m = o.m, from = o.ready;
    const double rho0 = static_cast<double>(s_.rho0), phi = static_cast<double>(s_.phi);
    const std::vector<double> zeros = BesselJnZerosAccurate(m, count);
    o.sr2.resize(static_cast<std::size_t>(padded), 0.0);
    for (auto& w : o.weight) w.resize(static_cast<std::size_t>(padded), 0.0);
    if (!o.dweight.empty())
        for (auto& w : o.dweight) w.resize(static_cast<std::size_t>(padded), 0.0);
    const double azimuthal = off_axis_ ? (m == 0 ? 1.0 : 2.0 * std::cos(m * phi)) : 1.0;
    // The orders a curve sums take their zeros and weights in extended
    // precision: far from the source (near the rim, at early times) the terms
    // cancel to far below their size, and a zero or an argument rho s rounded
    // to double moves J_m(rho s) by rho s ulp (hundreds), more than the
    // curve's tolerance. The orders measured only for the MMAX advice need not.
    const bool extended = m < extended_orders_;
    for (int q = from; q < count; ++q) {
        const auto uq = static_cast<std::size_t>(q);
        const BesselZeroExtended zero = extended ? BesselJnZeroExtended(m, zeros[uq])
                                                 : BesselZeroExtended{zeros[uq], BesselJnPair(m, zeros[uq]).jm1};
        const long double j = zero.j, norm = zero.jm1;
        const long double srl = j / static_cast<long double>(ap_);
        const double sr = static_cast<double>(srl);
        o.sr2[uq] = static_cast<double>(srl * srl);
        auto jn = [&](long double x) {
            return extended ? BesselJnPairExtended(m, x).jm : BesselJnAccurate(m, static_cast<double>(x));
        };
        const long double source = off_axis_ ? jn(rho0 * srl) : 1.0L;
        for (std::size_t r = 0; r < R; ++r) {
            if (q >= o.count[r]) continue;
            o.weight[r][uq] = static_cast<double>(azimuthal * jn(rhos_[r] * srl) * source / (norm * norm));
            if (!o.dweight.empty()) o.dweight[r][uq] = RadialSlope(m, sr, rhos_[r], static_cast<double>(norm));
        }
    }
    for (int q = count; q < padded; ++q) o.sr2[static_cast<std::size_t>(q)] = o.sr2[static_cast<std::size_t>(count - 1)];
    o.ready = count;
}

void LayeredEngine::PrepareFullSeries(const ParallelRunner& run) {
    if (!lazy_) return;
    Materialize(order_[0], order_[0].max_count);
    Truncate(run);
    lazy_ = false;
}

// Where to cut the series over the zeros. For every zero Re alpha_i >= s on the
// real frequency axis and the damped line (the real part of alpha_i^2 is at
// least s^2), so the source factor a = exp(-alpha_1 z0) is at most e^(-s z0),
// and with Reflected() |w_q S_q| <= |w_q| e^(-s_q z0) Gamma(s_q), Gamma
// decreasing in s. The tail beyond Q is at most Gamma(s_{Q+1}) sum_{q > Q}
// |w_q| e^(-s_q z0), the same bound for all frequencies; each order may leave
// its share of the budget behind.
void LayeredEngine::Truncate(const ParallelRunner& run) {
    const double z0 = static_cast<double>(s_.z0), zb = static_cast<double>(s_.zb), l1 = l_[0];
    run(static_cast<int>(rhos_.size()), [&](int r) {
        const auto ur = static_cast<std::size_t>(r);
        bool short_tail = false;
        for (Order& o : order_) {
            const int NZ = nz_[ur];
            int cut = o.m < orders_needed_[ur] || s_.N > 1 ? NZ : 0;
            if (l1 > z0 && cut > 0) {
                // Walk down from the end while the bound of the tail stays within budget.
                double tail = 0;
                for (int q = NZ - 1; q >= 1; --q) {
                    const double s = std::sqrt(o.sr2[static_cast<std::size_t>(q)]);
                    tail += std::fabs(o.weight[ur][static_cast<std::size_t>(q)]) * std::exp(-s * z0);
                    if (Reflected(s, l1, z0, zb) * tail > budget_[ur]) break;
                    cut = q;  // terms q .. NZ-1 (0-based) may be left out
                }
            }
            // Zeros stopped at the largest the Bessel routines reach: the tail
            // beyond, from the weights' own size near the end (|w_q| grows at
            // most like j_q), may still be within the share.
            if (zeros_short_[ur] && o.m < orders_needed_[ur]) {
                double w_big = 0;
                for (int q = NZ * 9 / 10; q < NZ; ++q) w_big = std::max(w_big, std::fabs(o.weight[ur][static_cast<std::size_t>(q)]));
                const double s_last = std::sqrt(o.sr2[static_cast<std::size_t>(NZ - 1)]), j_last = s_last * ap_;
                const double beta = z0 / ap_;
                const double beyond = w_big * Reflected(s_last, l1, z0, zb) / (kPi * j_last) * std::exp(-beta * j_last) *
                                      (j_last / beta + 1 / (beta * beta));
                if (beyond > budget_[ur]) short_tail = true;
            }
            const int count = Padded(cut);
            std::vector<double>& w = o.weight[ur];
            std::fill(w.begin() + std::min<std::ptrdiff_t>(count, static_cast<std::ptrdiff_t>(w.size())), w.end(), 0.0);
            o.count[ur] = count;
        }
        zeros_short_[ur] = short_tail;
    });
    for (Order& o : order_) o.max_count = *std::max_element(o.count.begin(), o.count.end());
}

// The layers at the Laplace variable p: alpha_i^2 = s^2 + (mua_i + p n_i/c)/D_i,
// its real and imaginary parts kept in `fixed` and `kappa`.
LayerStack LayeredEngine::StackAt(std::complex<double> p, std::vector<double>& fixed, std::vector<double>& kappa) const {
    const auto N = static_cast<std::size_t>(s_.N);
    fixed.resize(N);
    kappa.resize(N);
    for (std::size_t i = 0; i < N; ++i) {
        fixed[i] = static_part_[i] + p.real() * kappa_factor_[i];
        kappa[i] = p.imag() * kappa_factor_[i];
    }
    LayerStack stack;
    stack.N = s_.N;
    stack.static_part = fixed.data();
    stack.kappa = kappa.data();
    stack.D = D_.data();
    stack.coupling = coupling_.data();
    stack.l = l_.data();
    stack.z0 = static_cast<double>(s_.z0);
    stack.zb = static_cast<double>(s_.zb);
    stack.zb_bot = static_cast<double>(s_.zb_bot);
    return stack;
}

void LayeredEngine::SeriesSums(std::complex<double> p, std::vector<std::complex<double>>& total,
                               std::vector<std::complex<double>>& last_order, bool full, std::vector<double>* magnitude,
                               std::vector<std::vector<std::complex<double>>>* parts) const {
    std::vector<double> fixed, kappa;
    const LayerStack stack = StackAt(p, fixed, kappa);

    const std::size_t R = rhos_.size();
    evaluations_.fetch_add(1, std::memory_order_relaxed);
    total.assign(R, {0, 0});
    last_order.assign(R, {0, 0});
    std::vector<const double*> w(R);
    std::vector<double> re(R), im(R), ab(R);
    if (magnitude != nullptr) magnitude->assign(R, 0.0);
    if (parts != nullptr) parts->assign(R, std::vector<std::complex<double>>(static_cast<std::size_t>(orders_)));
    for (int m = 0; m < orders_; ++m) {
        const Order& o = order_[static_cast<std::size_t>(m)];
        for (std::size_t r = 0; r < R; ++r) w[r] = o.weight[r].data();
        const int count = full ? static_cast<int>(o.sr2.size()) : o.max_count;
        if (magnitude != nullptr)
            series_sum_magnitude_(stack, o.sr2.data(), count, w.data(), static_cast<int>(R), re.data(), im.data(),
                                  ab.data());
        else
            series_sum_(stack, o.sr2.data(), count, w.data(), static_cast<int>(R), re.data(), im.data());
        for (std::size_t r = 0; r < R; ++r) {
            if (magnitude != nullptr) (*magnitude)[r] += ab[r];  // squares; the root below
            total[r] += std::complex<double>(re[r], im[r]);
            if (parts != nullptr) (*parts)[r][static_cast<std::size_t>(m)] = {re[r], im[r]};
            if (o.m == orders_ - 1) last_order[r] = {re[r], im[r]};
        }
    }
    if (magnitude != nullptr)
        for (double& v : *magnitude) v = std::sqrt(v);
}

// d w_q / d a' of a radial weight (see Materialize): s = j/a' moves by
// -s/a', and J_m'(x) = (m/x) J_m(x) - J_{m+1}(x) (J_1'(0) = 1/2, J_m'(0) = 0 otherwise).
double LayeredEngine::RadialSlope(int m, double sr, double rho, double norm) const {
    const double rho0 = static_cast<double>(s_.rho0), phi = static_cast<double>(s_.phi);
    auto jm_and_slope = [m](double x) {
        const BesselPair b = BesselJnPair(m, x);
        const double slope = x > 0 ? m / x * b.jm - b.jm1 : (m == 1 ? 0.5 : 0.0);
        return std::pair<double, double>{b.jm, slope};
    };
    const double azimuthal = off_axis_ ? (m == 0 ? 1.0 : 2.0 * std::cos(m * phi)) : 1.0;
    const auto [src, src_slope] = off_axis_ ? jm_and_slope(rho0 * sr) : std::pair<double, double>{1.0, 0.0};
    const auto [det, det_slope] = jm_and_slope(rho * sr);
    return azimuthal * (rho * det_slope * src + det * rho0 * src_slope) * (-sr / ap_) / (norm * norm);
}

// The weights' derivatives for the zeros made so far (Materialize makes those
// of later zeros with them).
void LayeredEngine::MakeRadialDerivatives() {
    if (!order_.empty() && !order_.front().dweight.empty()) return;
    for (Order& o : order_) {
        o.dweight.assign(rhos_.size(), std::vector<double>(o.sr2.size(), 0.0));
        for (int q = 0; q < o.ready; ++q) {
            const double sr = std::sqrt(o.sr2[static_cast<std::size_t>(q)]);
            const double norm = BesselJnPair(o.m, sr * ap_).jm1;
            for (std::size_t r = 0; r < rhos_.size(); ++r)
                if (q < o.count[r]) o.dweight[r][static_cast<std::size_t>(q)] = RadialSlope(o.m, sr, rhos_[r], norm);
        }
    }
}

void LayeredEngine::Blocks(std::complex<double> p, int m, int b0, int b1, const std::vector<LayerParameter>& derivatives,
                           std::complex<double>* value, double* mag2, std::complex<double>* dvalue) const {
    constexpr int K = kTangents, B = kSeriesPadding;
    std::vector<double> fixed, kappa;
    const LayerStack stack = StackAt(p, fixed, kappa);
    const Order& o = order_[static_cast<std::size_t>(m)];
    const std::size_t R = rhos_.size(), P = dvalue != nullptr ? derivatives.size() : 0;
    const double area = kPi * ap_ * ap_;
    std::vector<double> re(R), im(R), ab(R);
    std::vector<const double*> w(R), dw(R);
    auto at = [&](int b) {
        for (std::size_t r = 0; r < R; ++r) {
            w[r] = o.weight[r].data() + b * B;
            dw[r] = (o.dweight.empty() ? o.weight[r].data() : o.dweight[r].data()) + b * B;
        }
        return o.sr2.data() + b * B;
    };
    auto keep = [&](int b) {
        for (std::size_t r = 0; r < R; ++r) {
            const std::size_t j = static_cast<std::size_t>(b - b0) * R + r;
            value[j] = std::complex<double>(re[r], im[r]) / area;
            mag2[j] = ab[r] / (area * area);
        }
    };
    if (P == 0) {
        for (int b = b0; b < b1; ++b) {
            series_sum_magnitude_(stack, at(b), B, w.data(), static_cast<int>(R), re.data(), im.data(), ab.data());
            keep(b);
        }
        return;
    }
    std::vector<double> dre(R * K), dim(R * K), wre(R), wim(R);
    InputTangents in;
    for (std::size_t k0 = 0; k0 < P; k0 += K) {
        const StackTangents tg = TangentsOf(derivatives, k0, P, stack, fixed, kappa, in);
        const std::vector<double>& d_ap = in.ap;
        for (int b = b0; b < b1; ++b) {
            const double* sr2 = at(b);
            series_tangents_(stack, tg, sr2, B, w.data(), dw.data(), static_cast<int>(R), re.data(), im.data(),
                             ab.data(), dre.data(), dim.data(), wre.data(), wim.data());
            if (k0 == 0) keep(b);
            // The weights move with a', and R~ = sum / (pi a'^2): the area too.
            for (std::size_t r = 0; r < R; ++r) {
                const std::complex<double> sum(re[r], im[r]);
                for (std::size_t k = 0; k < K && k0 + k < P; ++k)
                    dvalue[(static_cast<std::size_t>(b - b0) * R + r) * P + k0 + k] =
                        (std::complex<double>(dre[r * K + k], dim[r * K + k]) +
                         d_ap[k] * std::complex<double>(wre[r], wim[r]) - 2 * d_ap[k] / ap_ * sum) /
                        area;
            }
        }
    }
}

// The tangents of the stack's inputs along the directions k0 ... k0+K-1 (of
// the P derivatives): per layer in `in` (the returned tangents point there),
// and in.ap those of a'.
StackTangents LayeredEngine::TangentsOf(const std::vector<LayerParameter>& derivatives, std::size_t k0, std::size_t P,
                                        const LayerStack& stack, const std::vector<double>& fixed,
                                        const std::vector<double>& kappa, InputTangents& in) const {
    constexpr int K = kTangents;
    const auto uN = static_cast<std::size_t>(s_.N);
    const double z0 = stack.z0, zb = stack.zb, zb_bot = stack.zb_bot;
    StackTangents tg;
    for (std::vector<double>* v : {&in.fixed, &in.kappa, &in.D, &in.coupling, &in.l}) v->assign(uN * K, 0.0);
    in.ap.assign(K, 0.0);
    for (std::size_t k = 0; k < K && k0 + k < P; ++k) {
        const LayerParameter& t = derivatives[k0 + k];
        const auto i = static_cast<std::size_t>(t.layer);
        const std::size_t idx = i * K + k;
        switch (t.kind) {
            case LayerParameter::Kind::mua:  // alpha^2 - s^2 = mua/D + p n/(c D)
                in.fixed[idx] = 1 / D_[i];
                if (i == 0) tg.d_z0[k] = -z0 * z0;
                break;
            case LayerParameter::Kind::musp: {  // D = 1/(3 musp): alpha^2 - s^2 grows as musp
                const double mu = static_cast<double>(s_.musp[i]);
                in.fixed[idx] = fixed[i] / mu;
                in.kappa[idx] = kappa[i] / mu;
                in.D[idx] = -D_[i] / mu;
                in.coupling[idx] = -coupling_[i] / mu;
                if (i == 0) {  // z0 = 1/(mua + musp), zb = 2A/(3 musp), a' = a + zb
                    tg.d_z0[k] = -z0 * z0;
                    tg.d_zb[k] = -zb / mu;
                    in.ap[k] = -zb / mu;
                    tg.d_s2[k] = -2 * in.ap[k] / ap_;
                }
                if (i + 1 == uN) tg.d_zb_bot[k] = -zb_bot / mu;
                break;
            }
            case LayerParameter::Kind::l:
                in.l[idx] = 1;
                break;
        }
    }
    tg.d_fixed = in.fixed.data();
    tg.d_kappa = in.kappa.data();
    tg.d_D = in.D.data();
    tg.d_coupling = in.coupling.data();
    tg.d_l = in.l.data();
    return tg;
}

std::complex<double> LayeredEngine::FrequencyDomain(int r, double omega) const {
    std::vector<std::complex<double>> total, last;
    SeriesSums({0.0, omega}, total, last, false);
    return total[static_cast<std::size_t>(r)] / (kPi * ap_ * ap_);
}


std::vector<std::string> LayeredEngine::SeriesWarnings(int r) const {
    std::vector<std::string> out;
    char text[400];
    const int orders_needed = orders_needed_[static_cast<std::size_t>(r)];
    if (orders_ < orders_needed) {
        if (s_.N == 1)
            std::snprintf(text, sizeof text,
                          "the source so close to the rim needs about %d angular orders for the tolerance %.2g; "
                          "the engine sums at most %d, so the curve may be off by more than the tolerance.",
                          orders_needed, options_.tolerance, orders_);
        else if (orders_needed - 1 > kMaxOrder)
            std::snprintf(text, sizeof text,
                          "MMAX = %d sums fewer angular orders than the tolerance %.2g needs (about MMAX = %d, beyond "
                          "the largest MMAX of %d): the curve may be off by more than the tolerance.",
                          orders_ - 1, options_.tolerance, orders_needed - 1, kMaxOrder);
        else
            std::snprintf(text, sizeof text,
                          "MMAX = %d sums fewer angular orders than the tolerance %.2g needs (about MMAX = %d): "
                          "the curve may be off by more than the tolerance; raise MMAX.",
                          orders_ - 1, options_.tolerance, orders_needed - 1);
        out.push_back(text);
    }
    if (zeros_short_[static_cast<std::size_t>(r)]) {
        std::snprintf(text, sizeof text,
                      "the tolerance %.2g needs Bessel zeros beyond %.3g (radius %.4g mm, source depth %.3g mm), "
                      "more than the engine computes: the curve may be off by more than the tolerance.",
                      options_.tolerance, kLargestZero, static_cast<double>(s_.a), static_cast<double>(s_.z0));
        out.push_back(text);
    }
    return out;
}

double LayeredEngine::TermsSummedFor(int r) const {
    double terms = 0;
    for (const Order& o : order_) terms += o.count[static_cast<std::size_t>(r)];
    return terms * static_cast<double>(evaluations_.load()) + curve_terms_[static_cast<std::size_t>(r)];
}

}  // namespace tdcyl::fast
