#include "model/fast/moments.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "model/fast/moment_jets.hpp"
#include "numerics/accurate/bessel_jn_pair.hpp"
#include "numerics/accurate/bessel_jn_zeros.hpp"

namespace tdcyl::fast {
namespace {

constexpr double kPiD = 3.141592653589793238462643383279502884;
constexpr double kLightPs = 0.299792458;  // mm/ps: p in 1/ps, so <t> comes in ps
constexpr double kLargestZero = 9.9e4;     // the Bessel routines' range
constexpr int kMostOrders = 501;
constexpr int kDirections = 4;  // parameters per pass

template <int K>
using Jet = Taylor2<Dual<K>>;

// A jet constant in p with value v and derivative dv[k] along direction k.
template <int K>
Jet<K> Constant(double v, const std::array<double, K>& dv = {}) {
    Jet<K> j;
    j.c0 = Dual<K>{v, dv};
    return j;
}

// The layers as jets: alpha_i^2 - s^2 = (mua_i + p n_i / c)/D_i, and the
// lengths and couplings that move with the parameters of one pass.
template <int K>
struct StackJets {
    int N = 0;
    std::vector<Jet<K>> fixed, D, coupling, l;
    Jet<K> z0, zb, zb_bot;
    Dual<K> ap;  // extrapolated radius a + zb
};

template <int K>
StackJets<K> MakeStack(const RunState& s, const LayerParameter* params, int count) {
    const auto N = static_cast<std::size_t>(s.N);
    const double z0 = static_cast<double>(s.z0), zb = static_cast<double>(s.zb);
    const double zb_bot = s.N == 1 ? zb : static_cast<double>(s.zb_bot);
    std::vector<std::array<double, K>> dfixed(N), dkappa(N), dD(N), dcoupling(N), dl(N);
    std::array<double, K> dz0{}, dzb{}, dzb_bot{};
    for (int k = 0; k < count; ++k) {
        const auto i = static_cast<std::size_t>(params[k].layer);
        const double D = static_cast<double>(s.D[i]), mu = static_cast<double>(s.musp[i]);
        switch (params[k].kind) {
            case LayerParameter::Kind::mua:
                dfixed[i][k] = 1 / D;
                if (i == 0) dz0[k] = -z0 * z0;
                break;
            case LayerParameter::Kind::musp:  // D = 1/(3 musp); zb = 2A/(3 musp)
                dfixed[i][k] = static_cast<double>(s.mua[i]) / D / mu;
                dkappa[i][k] = static_cast<double>(s.n[i]) / (kLightPs * D) / mu;
                dD[i][k] = -D / mu;
                dcoupling[i][k] = -D / mu;  // scaled by the index ratio below
                if (i == 0) {
                    dz0[k] = -z0 * z0;
                    dzb[k] = -zb / mu;
                }
                if (i + 1 == N) dzb_bot[k] = -zb_bot / mu;
                break;
            case LayerParameter::Kind::l:
                dl[i][k] = 1;
                break;
        }
    }
    StackJets<K> st;
    st.N = s.N;
    for (std::size_t i = 0; i < N; ++i) {
        const double D = static_cast<double>(s.D[i]), n = static_cast<double>(s.n[i]);
        const double ratio = i > 0 ? n / static_cast<double>(s.n[i - 1]) : 1.0;
        Jet<K> fixed = Constant<K>(static_cast<double>(s.mua[i]) / D, dfixed[i]);
        fixed.c1 = Dual<K>{n / (kLightPs * D), dkappa[i]};
        st.fixed.push_back(fixed);
        st.D.push_back(Constant<K>(D, dD[i]));
        std::array<double, K> dc = dcoupling[i];
        for (double& v : dc) v *= ratio * ratio;
        st.coupling.push_back(Constant<K>(ratio * ratio * D, dc));
        st.l.push_back(Constant<K>(static_cast<double>(s.l[i]), dl[i]));
    }
    st.z0 = Constant<K>(z0, dz0);
    st.zb = Constant<K>(zb, dzb);
    st.zb_bot = Constant<K>(zb_bot, dzb_bot);
    st.ap = Dual<K>{static_cast<double>(s.a) + zb, dzb};
    return st;
}

// The depth factor of the layered term for the radial wavenumber s (s2 = s^2):
//   S = a (1 + b)/2 [1 + g c (1 - a^2 b) / (1 + g c a^2 b)],
// a = e^(-alpha_1 z0), b = e^(-2 alpha_1 zb), c = e^(-2 alpha_1 (l_1 - z0)),
// g = (1 - r)/(1 + r) with r from the bottom-up recursion of the ratio
// t = coth(...) (the fast engine's kernel, here in real arithmetic: at p = 0
// every alpha is real and every exponential decays).
template <int K>
Jet<K> DepthFactor(const StackJets<K>& st, const Jet<K>& s2) {
    const int N = st.N;
    auto alpha_of = [&](int i) { return sqrt(s2 + st.fixed[static_cast<std::size_t>(i)]); };
    const Jet<K> alpha0 = alpha_of(0);
    const Jet<K> a = exp(alpha0 * st.z0 * -1.0), b = exp(alpha0 * st.zb * -2.0);
    const Jet<K> H = a * Plus(1.0, b) * 0.5;
    // Light returned from below the source carries c: beyond e^-45 it is
    // below the rounding of H.
    const Jet<K> c_arg = alpha0 * (st.l[0] - st.z0) * 2.0;
    if (c_arg.c0.v > 45) return H;
    Jet<K> alpha_below = N == 1 ? alpha0 : alpha_of(N - 1);
    const Jet<K> bottom = N == 1 ? st.zb_bot : st.l[static_cast<std::size_t>(N - 1)] + st.zb_bot;
    Jet<K> e = exp(alpha_below * bottom * -2.0);
    Jet<K> tn = Plus(1.0, e), td = Minus(1.0, e);
    for (int p = N - 2; p >= 1; --p) {
        const auto up = static_cast<std::size_t>(p);
        const Jet<K> alpha_p = alpha_of(p);
        const Jet<K> un = alpha_below * st.coupling[up + 1] * tn, ud = alpha_p * st.D[up] * td;
        e = exp(alpha_p * st.l[up] * -2.0);
        const Jet<K> pe = Plus(1.0, e), me = Minus(1.0, e);
        tn = un * pe + ud * me;
        td = ud * pe + un * me;
        // Keep the fraction's scale near 1; the ratio is unchanged.
        const double norm = 1 / (std::fabs(tn.c0.v) + std::fabs(td.c0.v));
        tn = tn * norm;
        td = td * norm;
        alpha_below = alpha_p;
    }
    Jet<K> rn = tn, rd = td;
    if (N >= 2) {
        rn = alpha_below * st.coupling[1] * tn;
        rd = alpha0 * st.D[0] * td;
    }
    const Jet<K> gn = rd - rn, gd = rd + rn;
    const Jet<K> c = exp(c_arg * -1.0);
    const Jet<K> ab = a * a * b, gc = gn * c;
    return H * Plus(1.0, gc * Minus(1.0, ab) / (gd + gc * ab));
}

// Radial weight of zero j of order m at the detector rho, and its derivative
// by the extrapolated radius a' (s = j/a' moves by -s/a'):
//   w = (2 - delta_m0) cos(m phi) J_m(rho s) J_m(rho0 s) / J_{m+1}(j)^2
// (J0(rho s)/J1(j)^2 on the axis).
std::pair<double, double> RadialWeight(int m, double j, double ap, double rho, double rho0, double azimuthal,
                                       bool off_axis, double norm) {
    const double s = j / ap;
    auto jm_and_slope = [m](double x) {
        const BesselPair b = BesselJnPair(m, x);
        const double slope = x > 0 ? m / x * b.jm - b.jm1 : (m == 1 ? 0.5 : 0.0);
        return std::pair<double, double>{b.jm, slope};
    };
    const auto [src, src_slope] = off_axis ? jm_and_slope(rho0 * s) : std::pair<double, double>{1.0, 0.0};
    const auto [det, det_slope] = jm_and_slope(rho * s);
    const double scale = azimuthal / (norm * norm);
    return {scale * det * src, scale * (rho * det_slope * src + det * rho0 * src_slope) * (-s / ap)};
}

// A bound on what the zeros beyond x = s a' may add to the unscaled sum of
// order m: |w_q| <= 2 * 2 (pi j_q/2 + 2 m^(4/3)), the depth factor at most
// 3 e^(-s z0), zeros pi apart (beta = z0/a').
double TailBound(double x, double beta, int m) {
    const double m43 = std::pow(static_cast<double>(m), 4.0 / 3.0);
    return 6 * ((x / beta + 1 / (beta * beta)) + 4 * m43 / (kPiD * beta)) * std::exp(-beta * x);
}

// One order's sums over its zeros for every detector and every pass of
// parameters: out[pass][r] (unscaled: without 1/(pi a'^2)).
struct OrderSums {
    std::vector<std::vector<Jet<0>>> plain;             // [0][r], no parameters
    std::vector<std::vector<Jet<kDirections>>> tangent;  // [pass][r]
    double rounding = 0;                                 // largest sqrt(sum |w S|^2) over r
};

template <int K>
void SumOrder(const StackJets<K>& st, const std::vector<double>& zeros, const std::vector<double>& weight,
              const std::vector<double>& dweight, std::size_t R, std::vector<Jet<K>>& out, double* rounding) {
    out.assign(R, Jet<K>{});
    std::vector<double> sq(R, 0.0);
    const std::size_t Q = zeros.size();
    for (std::size_t q = 0; q < Q; ++q) {
        const double j = zeros[q];
        Dual<K> s2{j * j / (st.ap.v * st.ap.v), {}};
        for (int k = 0; k < K; ++k) s2.d[k] = -2 * s2.v / st.ap.v * st.ap.d[k];
        Jet<K> s2j;
        s2j.c0 = s2;
        const Jet<K> S = DepthFactor(st, s2j);
        for (std::size_t r = 0; r < R; ++r) {
            Dual<K> w{weight[r * Q + q], {}};
            for (int k = 0; k < K; ++k) w.d[k] = dweight[r * Q + q] * st.ap.d[k];
            out[r] = out[r] + S * w;
            sq[r] += (w.v * S.c0.v) * (w.v * S.c0.v);
        }
    }
    if (rounding != nullptr)
        for (double v : sq) *rounding = std::max(*rounding, std::sqrt(v));
}

template <int K>
Moments Extract(const Jet<K>& total, const Dual<K>& ap, int count) {
    Dual<K> area = ap * ap * kPiD;
    const Dual<K> n = total.c0 / area, c1 = total.c1 / area, c2 = total.c2 / area;
    Dual<K> mean = c1 / n * -1.0;
    Dual<K> var = c2 / n * 2.0 - mean * mean;
    Moments m;
    m.N = n.v;
    m.mean_ps = mean.v;
    m.variance_ps2 = var.v;
    for (int k = 0; k < count; ++k) m.derivatives.push_back({n.d[k], mean.d[k], var.d[k]});
    return m;
}

// Zeros and radial weights (with their a'-derivatives) of order m for every
// detector: weight[r * Q + q].
struct OrderTerms {
    std::vector<double> zeros, weight, dweight;
};

OrderTerms MakeOrder(int m, int count, double ap, const std::vector<double>& rhos, double rho0, double phi,
                     bool off_axis) {
    OrderTerms o;
    o.zeros = BesselJnZerosAccurate(m, count);
    const std::size_t R = rhos.size(), Q = o.zeros.size();
    const double azimuthal = off_axis ? (m == 0 ? 1.0 : 2.0 * std::cos(m * phi)) : 1.0;
    o.weight.assign(R * Q, 0.0);
    o.dweight.assign(R * Q, 0.0);
    for (std::size_t q = 0; q < Q; ++q) {
        const double norm = BesselJnPair(m, o.zeros[q]).jm1;
        for (std::size_t r = 0; r < R; ++r) {
            const auto [w, dw] = RadialWeight(m, o.zeros[q], ap, rhos[r], rho0, azimuthal, off_axis, norm);
            o.weight[r * Q + q] = w;
            o.dweight[r * Q + q] = dw;
        }
    }
    return o;
}

// Zeros of order m the tolerance asks for, from the bound of the tail against
// the size x0 of the unscaled sum (x0 = 0: every term above e^-30 of the first,
// to measure x0). `beyond` is set when they would pass the Bessel routines' range.
int ZerosFor(int m, double beta, double tol, double x0, bool& beyond) {
    double x = 30 / beta;
    if (x0 > 0) {
        x = 10;
        while (x < kLargestZero && TailBound(x, beta, m) > 0.1 * tol * x0) x *= 1.05;
    }
    beyond = beyond || x >= kLargestZero;
    return std::max(1, static_cast<int>(std::min(x, kLargestZero) / kPiD) + 1);
}

// The moments of detector r from its sums, with the run's doubts.
Moments Report(const Jet<0>& total, const std::vector<Jet<kDirections>>& dtotal,
               const std::vector<StackJets<kDirections>>& stacks, std::size_t P, const Dual<0>& ap, double tol,
               bool orders_short, bool zeros_short, double rounding) {
    Moments mo = Extract<0>(total, ap, 0);
    for (std::size_t p = 0; p < dtotal.size(); ++p) {
        const int count = static_cast<int>(std::min<std::size_t>(kDirections, P - p * kDirections));
        const Moments d = Extract<kDirections>(dtotal[p], stacks[p].ap, count);
        mo.derivatives.insert(mo.derivatives.end(), d.derivatives.begin(), d.derivatives.end());
    }
    char text[300];
    if (orders_short) {
        std::snprintf(text, sizeof text,
                      "the angular orders had not settled after %d (source close to the rim?): the moments may be "
                      "off by more than the tolerance %.2g.",
                      kMostOrders, tol);
        mo.warnings.push_back(text);
    }
    const double noise = 8 * std::numeric_limits<double>::epsilon() * rounding;
    if (zeros_short || noise > tol * std::fabs(total.c0.v)) {
        std::snprintf(text, sizeof text,
                      "the series cannot hold the tolerance %.2g here (%s); the moments hold about %.2g.", tol, zeros_short ? "zeros beyond the Bessel routines' range" : "its terms cancel",
                      std::max(tol, noise / std::fabs(total.c0.v)));
        mo.warnings.push_back(text);
    }
    return mo;
}

}  // namespace

std::vector<Moments> LayeredMoments(const RunState& s, const std::vector<double>& rhos,
                                    const std::vector<LayerParameter>& derivatives, const MomentOptions& options) {
    const std::size_t R = rhos.size(), P = derivatives.size();
    const std::size_t passes = (P + kDirections - 1) / kDirections;
    const double tol = std::clamp(options.tolerance, 1e-15, 1e-2);
    const double rho0 = static_cast<double>(s.rho0), phi = static_cast<double>(s.phi);
    const bool off_axis = rho0 > 0 && options.mmax != 0;
    const int last_order = !off_axis ? 0 : options.mmax > 0 ? std::min(options.mmax, kMostOrders - 1) : kMostOrders - 1;

    const StackJets<0> plain = MakeStack<0>(s, nullptr, 0);
    std::vector<StackJets<kDirections>> stacks;
    for (std::size_t p = 0; p < passes; ++p) {
        const auto in_pass = static_cast<int>(std::min<std::size_t>(kDirections, P - p * kDirections));
        stacks.push_back(MakeStack<kDirections>(s, derivatives.data() + p * kDirections, in_pass));
    }
    const double ap = plain.ap.v, beta = static_cast<double>(s.z0) / ap;

    std::vector<Jet<0>> total(R);
    std::vector<std::vector<Jet<kDirections>>> dtotal(passes, std::vector<Jet<kDirections>>(R));
    double rounding = 0, x0 = 0;
    int most_zeros = 0, orders = 0, quiet = 0;
    bool zeros_short = false;
    std::vector<Jet<0>> part;
    std::vector<Jet<kDirections>> dpart;
    for (int m = 0; m <= last_order; ++m) {
        // Order 0 first with every term above e^-30 of the first, which gives
        // the size X0 of the sum; then every order (0 again) with as many
        // zeros as the bound of the tail asks for at the tolerance.
        const int count = ZerosFor(m, beta, tol, x0, zeros_short);
        const OrderTerms o = MakeOrder(m, count, ap, rhos, rho0, phi, off_axis);
        most_zeros = std::max(most_zeros, count);
        SumOrder(plain, o.zeros, o.weight, o.dweight, R, part, &rounding);
        if (x0 == 0) {
            x0 = std::numeric_limits<double>::infinity();
            for (const Jet<0>& v : part) x0 = std::min(x0, std::fabs(v.c0.v));
            if (!(x0 > 0)) x0 = std::numeric_limits<double>::min();
            --m;
            continue;
        }
        for (std::size_t p = 0; p < passes; ++p) {
            SumOrder(stacks[p], o.zeros, o.weight, o.dweight, R, dpart, nullptr);
            for (std::size_t r = 0; r < R; ++r) dtotal[p][r] = dtotal[p][r] + dpart[r];
        }
        // An order is quiet where it moves none of the three coefficients by
        // a tenth of the tolerance.
        bool order_quiet = m > 0;
        for (std::size_t r = 0; r < R; ++r) {
            total[r] = total[r] + part[r];
            const Jet<0>& t = total[r];
            const Jet<0>& d = part[r];
            order_quiet = order_quiet && std::fabs(d.c0.v) <= 0.1 * tol * std::fabs(t.c0.v) &&
                          std::fabs(d.c1.v) <= 0.1 * tol * std::fabs(t.c1.v) &&
                          std::fabs(d.c2.v) <= 0.1 * tol * std::fabs(t.c2.v);
        }
        orders = m + 1;
        quiet = order_quiet ? quiet + 1 : 0;
        if (options.mmax < 0 && quiet >= 3) break;
    }

    std::vector<Moments> out;
    const bool orders_short = options.mmax < 0 && off_axis && quiet < 3;
    for (std::size_t r = 0; r < R; ++r) {
        std::vector<Jet<kDirections>> d;
        for (std::size_t p = 0; p < passes; ++p) d.push_back(dtotal[p][r]);
        out.push_back(Report(total[r], d, stacks, P, plain.ap, tol, orders_short, zeros_short, rounding));
        out.back().orders = orders;
        out.back().zeros = most_zeros;
    }
    return out;
}

}  // namespace tdcyl::fast
