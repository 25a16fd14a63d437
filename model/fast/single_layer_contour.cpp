#include "model/fast/single_layer_contour.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "numerics/bessel_ik_ratios.hpp"

namespace tdcyl::fast {
namespace {

using C = std::complex<double>;
constexpr double kPi = 3.141592653589793238462643383279502884;
constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kLight = 299792458000.0;  // mm/s
// As the layered series: windows of a factor 4 in time, the rule held to a
// thousandth of the tolerance.
constexpr double kRatio = 4, kShare = 1e-3;
// Orders beyond this are never needed: the terms fall at least as
// (rho rho0 / a'^2)^m, and rho, rho0 <= a.
constexpr int kMostOrders = 16384;

}  // namespace

SingleLayerContour::SingleLayerContour(const RunState& s, const std::vector<double>& rhos, double tolerance)
    : rhos_(rhos), tolerance_(tolerance), terms_(rhos.size(), 0.0) {
    if (s.N != 1) throw std::invalid_argument("SingleLayerContour: one layer");
    mua_ = static_cast<double>(s.mua[0]);
    musp_ = static_cast<double>(s.musp[0]);
    D_ = static_cast<double>(s.D[0]);
    v_ = kLight / static_cast<double>(s.n[0]);
    l_ = static_cast<double>(s.l[0]);
    z0_ = static_cast<double>(s.z0);
    zb_ = static_cast<double>(s.zb);
    ap_ = static_cast<double>(s.a + s.zb);
    rho0_ = static_cast<double>(s.rho0);
    const double phi = static_cast<double>(s.phi);
    double rho_max = 0;
    for (double rho : rhos_) {
        r2_.push_back(rho * rho + rho0_ * rho0_ - 2 * rho * rho0_ * std::cos(phi));
        rho_max = std::max(rho_max, rho);
    }
    const double q = rho_max * rho0_ / (ap_ * ap_);
    geometric_orders_ = q > 0 ? std::min(kMostOrders, static_cast<int>(std::log(1e-17) / std::log(q)) + 1) : 1;
    phi_ = phi;
    for (int m = 0; m <= 4 * (geometric_orders_ + 16); ++m) azimuthal_.push_back(m == 0 ? 1.0 : 2 * std::cos(m * phi));
}

// Image sources of the slab at the extrapolated faces z = -zb and l + zb,
// summed until they no longer move the sum, over 2 t sqrt(4 pi D v t); with
// the derivatives of each image term z e^(-z^2/c), c = 4 D v t.
SingleLayerContour::Depth SingleLayerContour::DepthFactor(double t) const {
    const double c = 4 * D_ * v_ * t;
    Depth d;
    double dc = 0;
    auto add = [&](int j) {
        const double zp = 2 * j * l_ + 4 * j * zb_ + z0_, zm = 2 * j * l_ + (4 * j - 2) * zb_ - z0_;
        const double ep = std::exp(-zp * zp / c), em = std::exp(-zm * zm / c);
        const double sp = ep * (1 - 2 * zp * zp / c), sm = em * (1 - 2 * zm * zm / c);  // d/dz
        d.z0 += sp + sm;
        d.zb += 4 * j * sp - (4 * j - 2) * sm;
        d.l += 2 * j * (sp - sm);
        dc += (zp * zp * zp * ep - zm * zm * zm * em) / (c * c);
        const double term = zp * ep - zm * em;
        d.value += term;
        return term;
    };
    add(0);
    for (int j = 1; j < 1000000; ++j) {
        const double added = add(j) + add(-j);
        const double nearest = 2 * j * (l_ + 2 * zb_) - 2 * zb_ - z0_;
        if (nearest > 0 && nearest * nearest >= 40 * c && std::fabs(added) <= 1e-18 * std::fabs(d.value)) break;
    }
    const double over = 1 / (2 * t * std::sqrt(kPi * c));
    d.value *= over;
    d.z0 *= over;
    d.zb *= over;
    d.l *= over;
    d.D = dc * over * c / D_ - d.value / (2 * D_);
    return d;
}

// The lateral Green's function of the plane with absorption, at squared distance r2.
double SingleLayerContour::FreeLateral(double t, double r2) const {
    const double four_dvt = 4 * D_ * v_ * t;
    return std::exp(-mua_ * v_ * t - r2 / four_dvt) / (kPi * four_dvt);
}

// The correction is the free kernel's share that the rim absorbs: a solution
// of the diffusion equation in the disk with the free kernel as its boundary
// values, so by the maximum principle (and reciprocity) at most the largest
// free kernel at the distance d from the rim of source or detector, whichever
// is farther, over the times up to t.
double SingleLayerContour::CorrectionBound(double t, double rho) const {
    const double d = ap_ - std::min(rho, rho0_);
    const double tau = std::min(t, d * d / (4 * D_ * v_));
    const double four_dvtau = 4 * D_ * v_ * tau;
    return std::exp(-mua_ * v_ * t - d * d / four_dvtau) / (kPi * four_dvtau);
}

// sum_m (2 - delta_m0) cos(m phi) I_m(x) I_m(y) K_m(w) / I_m(w) / (2 pi v D),
// x = alpha rho, y = alpha rho0, w = alpha a', from ratios only:
//   I_m(x) I_m(y) / I_m(w)^2 = e^(x + y - 2w) [scaled I_0's] prod_(j <= m) r_j(x) r_j(y) / r_j(w)^2,
//   I_m(w) K_m(w) = 1 / (w (K_(m+1)(w)/K_m(w) + r_(m+1)(w)))   (the Wronskian),
// the ratio of the K's by its forward recurrence, which is stable. By the
// Wronskian too, d/da' [K_m(w) / I_m(w)] = -1 / (a' I_m(w)^2): the derivative
// by a' drops the factor I_m K_m.
int SingleLayerContour::Correction(C p, C* value, double* noise, C* rim) const {
    const C alpha = std::sqrt(C(mua_ / D_, 0) + p / (v_ * D_));
    const C w = alpha * ap_, y = alpha * rho0_;
    const double scale = 1 / (2 * kPi * v_ * D_);
    int orders = 0;
    std::vector<C> rw, ry, rx;
    for (int n = geometric_orders_ + 16;; n = std::min(2 * n, kMostOrders)) {
        const C iw = ScaledBesselI0AndRatios(w, n + 1, rw), iy = ScaledBesselI0AndRatios(y, n, ry);
        const C k_ratio0 = BesselK1OverK0(w);
        bool converged = true;
        for (std::size_t r = 0; r < rhos_.size(); ++r) {
            const C x = alpha * rhos_[r], exponent = x + y - 2.0 * w;
            value[r] = 0;
            noise[r] = 0;
            if (rim != nullptr) rim[r] = 0;
            if (exponent.real() < -700) continue;  // below anything a double holds
            const C ix = ScaledBesselI0AndRatios(x, n, rx);
            const C lead = std::exp(exponent) * ix * iy / (iw * iw);
            C k_ratio = k_ratio0, product = 1, sum = 0, rim_sum = 0;
            double size = 0, rounding = 0, last = 0;
            int quiet = 0, m = 0;
            for (; m <= n && quiet < 3; ++m) {
                const auto um = static_cast<std::size_t>(m);
                if (m > 0) {
                    product *= rx[um] * ry[um] / (rw[um] * rw[um]);
                    k_ratio = 1.0 / k_ratio + 2.0 * m / w;
                }
                const C term = product / (w * (k_ratio + rw[um + 1]));
                const double weight = um < azimuthal_.size() ? azimuthal_[um] : 2 * std::cos(m * phi_);
                sum += weight * term;
                rim_sum += weight * product;
                last = std::abs(term);
                size += 2 * last;
                rounding += (8 + 4 * m) * 2 * last;
                quiet = m > 0 && last <= 1e-17 * size ? quiet + 1 : 0;
            }
            orders = std::max(orders, m);
            if (quiet < 3 && n < kMostOrders) {
                converged = false;
                break;
            }
            value[r] = scale * lead * sum;
            if (rim != nullptr) rim[r] = -scale * lead * rim_sum / ap_;
            // The ratios' and the products' roundings, the exponent's (eps |exponent|
            // relative), and what orders beyond the last might add.
            noise[r] = scale * std::abs(lead) *
                       (kEps * (rounding + std::abs(exponent) * std::abs(sum)) + (quiet < 3 ? last * n : 0.0));
        }
        if (converged || n >= kMostOrders) return orders;
    }
}

void SingleLayerContour::Rule(const ContourWindow& w, const std::vector<double>& t_s,
                              const std::vector<std::size_t>& times, const std::vector<char>& detectors, bool slopes,
                              const ParallelRunner& run, Laterals& lateral) {
    const std::size_t R = rhos_.size(), nk = w.z.size();
    std::vector<C> F(nk * R), rim(slopes ? nk * R : 0);
    std::vector<double> noise(nk * R);
    std::vector<int> orders(nk);
    run(static_cast<int>(nk), [&](int k) {
        const auto uk = static_cast<std::size_t>(k);
        orders[uk] = Correction(w.z[uk], F.data() + uk * R, noise.data() + uk * R, slopes ? rim.data() + uk * R : nullptr);
    });
    ContourStepper stepper(w);
    std::vector<C> Fr(nk);
    std::vector<double> nr(nk);
    for (std::size_t r = 0; r < R; ++r)
        if (detectors[r])
            for (std::size_t k = 0; k < nk; ++k) terms_[r] += orders[k];
    for (std::size_t i : times) {
        const std::vector<C>& factors = stepper.At(t_s[i]);
        for (std::size_t r = 0; r < R; ++r) {
            if (!detectors[r]) continue;
            for (std::size_t k = 0; k < nk; ++k) {
                Fr[k] = F[k * R + r];
                nr[k] = noise[k * R + r];
            }
            Lateral& out = lateral[r][i];
            out.c = InvertWith(factors, Fr.data(), nr.data());
            // The rule's own error is measured against the second rule (Evaluate):
            // the one-rule estimate, an upper bound many times too large, is dropped.
            out.c.error -= out.c.rule;
            out.c.rule = 0;
            double dt = 0, da = 0;
            for (std::size_t k = 0; k < nk && slopes; ++k) {
                dt += std::real(factors[k] * w.z[k] * Fr[k]);  // d/dt: the transform times p
                da += std::real(factors[k] * rim[k * R + r]);
            }
            out.dt = dt;
            out.da = da;
        }
    }
}

// The rule's own error can exceed its target where the correction grows off
// the contour (as e^(-d Re alpha), d the path of the light by the rim, while
// the contour turns into the left half plane): a second rule with a hundredth
// of the target gives the values, and the two rules' difference their error.
// Where no finer target exists (below 1e-16), the second rule is the quiet
// contour of another shape, and the first rule's values are kept.
void SingleLayerContour::Evaluate(const ContourWindow& w, double epsilon, const std::vector<double>& t_s,
                                  const std::vector<std::size_t>& times, const std::vector<char>& detectors,
                                  bool slopes, const ParallelRunner& run, Laterals& lateral) {
    constexpr double kFinest = 1e-18;  // the contour's smallest target
    const bool finer = 1e-2 * epsilon >= kFinest;
    Laterals other = lateral;
    Rule(ParabolicContourWindows(w.t_min, w.t_max, epsilon, 0, kRatio).front(), t_s, times, detectors,
         slopes && !finer, run, finer ? other : lateral);
    Rule(finer ? ParabolicContourWindows(w.t_min, w.t_max, 1e-2 * epsilon, 0, kRatio).front()
               : QuietContourWindow(w.t_min, epsilon, kRatio),
         t_s, times, detectors, slopes && finer, run, finer ? lateral : other);
    for (std::size_t r = 0; r < lateral.size(); ++r)
        for (std::size_t i : times)
            if (detectors[r]) lateral[r][i].c.error += std::fabs(lateral[r][i].c.value - other[r][i].c.value);
}

// R = depth (free - correction); the lateral kernels depend on D and t only
// through D t (and on mu_a through e^(-mu_a v t)), so d/dD of the correction
// is t/D times its time derivative without absorption.
ContourValue SingleLayerContour::Combine(double t, const Depth& depth, double free, const Lateral& c, std::size_t r,
                                         const std::vector<LayerParameter>& derivatives, double* jacobian) const {
    const double L = free - c.c.value;
    for (std::size_t k = 0; k < derivatives.size(); ++k) {
        double d = 0;
        switch (derivatives[k].kind) {
            case LayerParameter::Kind::mua:  // z0 = 1/(mua + musp)
                d = -z0_ * z0_ * depth.z0 * L - v_ * t * depth.value * L;
                break;
            case LayerParameter::Kind::musp: {  // D = 1/(3 musp), zb and a' - a proportional to D
                const double dD = -D_ / musp_, dzb = -zb_ / musp_;
                const double free_D = free * (r2_[r] / (4 * D_ * v_ * t) - 1) / D_;
                const double corr_D = t / D_ * (mua_ * v_ * c.c.value + c.dt);
                d = (-z0_ * z0_ * depth.z0 + dzb * depth.zb + dD * depth.D) * L +
                    depth.value * ((free_D - corr_D) * dD - c.da * dzb);
                break;
            }
            case LayerParameter::Kind::l:
                d = depth.l * L;
                break;
        }
        jacobian[k] = d;
    }
    return {depth.value * L, depth.value * (c.c.error + 8 * kEps * (free + std::fabs(c.c.value)))};
}

std::vector<std::vector<ContourValue>> SingleLayerContour::CurvesAt(const std::vector<double>& t_s,
                                                                    const ParallelRunner& run,
                                                                    const std::vector<LayerParameter>& derivatives,
                                                                    std::vector<std::vector<double>>* jacobian) {
    const std::size_t R = rhos_.size(), T = t_s.size(), P = jacobian != nullptr ? derivatives.size() : 0;
    std::vector<std::vector<ContourValue>> out(R, std::vector<ContourValue>(T));
    if (jacobian != nullptr) jacobian->assign(R, std::vector<double>(T * P, 0.0));
    if (T == 0) return out;
    Laterals lateral(R, std::vector<Lateral>(T));
    std::vector<Depth> depth(T);
    std::vector<std::vector<double>> free(R, std::vector<double>(T));
    std::vector<double> floor(R, 0.0);  // the least the peak can be
    for (std::size_t i = 0; i < T; ++i) {
        depth[i] = DepthFactor(t_s[i]);
        for (std::size_t r = 0; r < R; ++r) {
            free[r][i] = FreeLateral(t_s[i], r2_[r]);
            floor[r] = std::max(floor[r], depth[i].value * (free[r][i] - CorrectionBound(t_s[i], rhos_[r])));
        }
    }
    const auto [lo, hi] = std::minmax_element(t_s.begin(), t_s.end());
    const double epsilon = kShare * tolerance_;
    const std::vector<ContourWindow> windows = ParabolicContourWindows(*lo, *hi, epsilon, 0, kRatio);
    std::vector<std::vector<std::size_t>> in(windows.size());
    for (std::size_t i = 0; i < T; ++i) {
        std::size_t k = 0;
        while (k + 1 < windows.size() && t_s[i] >= windows[k].t_max) ++k;
        in[k].push_back(i);
    }
    // A window's correction is left out for a detector where its bound stays
    // below a thousandth of the tolerance of the peak (early times, the rim far).
    for (std::size_t k = 0; k < windows.size(); ++k) {
        std::vector<char> needed(R, 0);
        for (std::size_t r = 0; r < R; ++r)
            for (std::size_t i : in[k])
                needed[r] = needed[r] || depth[i].value * CorrectionBound(t_s[i], rhos_[r]) > kShare * tolerance_ * floor[r];
        if (std::find(needed.begin(), needed.end(), 1) != needed.end())
            Evaluate(windows[k], epsilon, t_s, in[k], needed, P > 0, run, lateral);
    }
    const std::vector<LayerParameter> none, &wanted = P > 0 ? derivatives : none;
    auto combine = [&](std::size_t r, std::size_t i) {
        out[r][i] = Combine(t_s[i], depth[i], free[r][i], lateral[r][i], r, wanted,
                            P > 0 ? (*jacobian)[r].data() + i * P : nullptr);
    };
    for (std::size_t r = 0; r < R; ++r)
        for (std::size_t i = 0; i < T; ++i) combine(r, i);
    // Where the correction nearly cancels the free kernel (the detector near
    // the rim), a window whose error exceeds a quarter of the tolerance is
    // computed again with a tighter rule.
    for (std::size_t k = 0; k < windows.size(); ++k) {
        std::vector<char> again(R, 0);
        double worst = 0;
        for (std::size_t r = 0; r < R; ++r) {
            double peak = 0, err = 0;
            for (const ContourValue& v : out[r]) peak = std::max(peak, std::fabs(v.value));
            for (std::size_t i : in[k]) err = std::max(err, out[r][i].error);
            again[r] = err > 0.25 * tolerance_ * peak;
            if (again[r]) worst = std::max(worst, err / (tolerance_ * peak));
        }
        if (std::find(again.begin(), again.end(), 1) == again.end()) continue;
        const double tighter = std::max(1e-16, epsilon * std::clamp(0.02 / worst, 1e-4, 0.1));
        Laterals second = lateral;
        Evaluate(windows[k], tighter, t_s, in[k], again, P > 0, run, second);
        for (std::size_t r = 0; r < R; ++r)
            for (std::size_t i : in[k])
                if (again[r] && second[r][i].c.error < lateral[r][i].c.error) {
                    lateral[r][i] = second[r][i];
                    combine(r, i);
                }
    }
    return out;
}

}  // namespace tdcyl::fast
