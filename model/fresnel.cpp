#include "model/fresnel.hpp"

#include <array>
#include <cmath>
#include <cstdint>

#include <boost/math/quadrature/gauss_kronrod.hpp>

namespace tdcyl {
namespace {

constexpr int kPairs = 240;  // positive nodes of the 480-point rule

struct GaussTable {
    std::array<Extended, kPairs> x, w;  // ascending in x
};

// Nodes and weights of the 480-point Gauss-Legendre rule on [-1, 1], by Newton
// iteration on P_480 in Extended precision; built once.
const GaussTable& Gauss480() {
    static const GaussTable table = [] {
        GaussTable t{};
        constexpr int n = 2 * kPairs;
        const Extended pi = 3.141592653589793238462643383279502884L;
        for (int i = 1; i <= kPairs; ++i) {
            Extended x = std::cos(pi * (i - 0.25L) / (n + 0.5L));
            Extended dp = 0;
            for (int it = 0; it < 100; ++it) {
                Extended p0 = 1, p1 = x;
                for (int k = 2; k <= n; ++k) {
                    const Extended p2 = ((2 * k - 1) * x * p1 - (k - 1) * p0) / k;
                    p0 = p1;
                    p1 = p2;
                }
                dp = n * (x * p1 - p0) / (x * x - 1);
                const Extended dx = p1 / dp;
                x -= dx;
                if (std::fabs(dx) < 1e-19L) break;
            }
            // i = 1 is the largest node; store ascending.
            t.x[static_cast<std::size_t>(kPairs - i)] = x;
            t.w[static_cast<std::size_t>(kPairs - i)] = 2 / ((1 - x * x) * dp * dp);
        }
        return t;
    }();
    return table;
}

// Unpolarised Fresnel reflectance for internal incidence theta (below the
// critical angle), outer index 1.
Extended FresnelR(Extended theta, Extended n) {
    const Extended tt = std::asin(n * std::sin(theta) / 1);
    const Extended ct = std::cos(theta), ctt = std::cos(tt);
    const Extended rp_num = n * ctt - 1 * ct, rp_den = 1 * ct + n * ctt;
    const Extended rs_num = n * ct - 1 * ctt, rs_den = 1 * ctt + n * ct;
    const Extended Rp = (rp_num * rp_num) / (rp_den * rp_den);
    const Extended Rs = (rs_num * rs_num) / (rs_den * rs_den);
    return Rp / 2 + Rs / 2;
}

Extended RphiIntegrand(Extended theta, Extended n) {
    return std::cos(theta) * (std::sin(theta) * 2) * FresnelR(theta, n);
}

Extended RjIntegrand(Extended theta, Extended n) {
    const Extended c = std::cos(theta);
    return c * c * (std::sin(theta) * 3) * FresnelR(theta, n);
}

// Symmetric Gauss-Legendre sum over node pairs.
template <class F>
void GaussLegendre480(F f, Extended a, Extended b, Extended& result) {
    const GaussTable& g = Gauss480();
    const Extended xm = (b + a) * 0.5L, xr = (b - a) * 0.5L;
    Extended s = 0;
    for (int j = 0; j < kPairs; ++j) {
        const Extended dx = xr * g.x[static_cast<std::size_t>(j)];
        const Extended fp = f(xm + dx);
        const Extended fm = f(xm - dx);
        s = s + g.w[static_cast<std::size_t>(j)] * (fp + fm);
    }
    result = s * xr;
}

}  // namespace

Extended Reff(Extended n) {
    const Extended half_pi = 1.57079632679489662L;
    const Extended ThetaCrit = n < 1 ? half_pi : std::asin(1 / n);
    const Extended sc = std::sin(ThetaCrit), cc = std::cos(ThetaCrit);
    Extended Rphi = 0, Rj = 0;
    // Moments of R_F over the directions below the critical angle; beyond it
    // R_F = 1 and the integrals of 2 sin cos and 3 sin cos^2 are closed form.
    GaussLegendre480([n](Extended t) { return RphiIntegrand(t, n); }, 0, ThetaCrit, Rphi);
    Rphi = (Rphi + 1) - sc * sc;
    GaussLegendre480([n](Extended t) { return RjIntegrand(t, n); }, 0, ThetaCrit, Rj);
    Rj = cc * cc * cc + Rj;
    return (Rphi + Rj) / (2 - Rphi + Rj);
}

Extended Reff14() {
    return std::ldexp(static_cast<Extended>(0xFCA917F8CD3B0125ULL), 0x3FFD - 16383 - 63);
}

double ReffAdaptive(double n_double) {
    using boost::math::quadrature::gauss_kronrod;
    const Extended n = n_double;
    // In the cosine w of the refraction angle as variable (mu = cos theta,
    // n^2 (1 - mu^2) = 1 - w^2, so mu dmu = w dw / n^2) both moments have
    // smooth integrands: the square-root edge at the critical angle is gone.
    auto fresnel = [n](Extended w, Extended mu) {
        const Extended rp = (n * w - mu) / (mu + n * w), rs = (n * mu - w) / (w + n * mu);
        return (rp * rp + rs * rs) / 2;
    };
    auto cosine = [n](Extended w) { return std::sqrt(1 - (1 - w * w) / (n * n)); };
    const Extended w0 = n < 1 ? std::sqrt(1 - n * n) : 0;
    constexpr Extended kTolerance = 1e-18L;
    constexpr unsigned kDepth = 12;
    const Extended phi = gauss_kronrod<Extended, 61>::integrate(
        [&](Extended w) { return 2 * fresnel(w, cosine(w)) * w / (n * n); }, w0, 1, kDepth, kTolerance);
    const Extended j = gauss_kronrod<Extended, 61>::integrate(
        [&](Extended w) {
            const Extended mu = cosine(w);
            return 3 * mu * fresnel(w, mu) * w / (n * n);
        },
        w0, 1, kDepth, kTolerance);
    // Beyond the critical angle R = 1: 2 sin cos and 3 sin cos^2 integrate to
    // cos^2 and cos^3 of the critical angle.
    const Extended mc2 = n > 1 ? 1 - 1 / (n * n) : 0;
    const Extended Rphi = phi + mc2;
    const Extended Rj = j + mc2 * std::sqrt(mc2);
    return static_cast<double>((Rphi + Rj) / (2 - Rphi + Rj));
}

}  // namespace tdcyl
