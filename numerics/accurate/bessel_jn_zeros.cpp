// Positive zeros of J_m, double precision.
//
// Method: the first two zeros come from Boost.Math's cyl_bessel_j_zero (an
// asymptotic first guess refined in long double). From the third on, each zero
// starts from the linear extrapolation of its two predecessors -- the gaps
// tend smoothly to pi, so the start lies within a small fraction of a gap -- and
// is refined by Halley steps on J_m with J_m and J_{m+1} from BesselJnPair:
//   f = J_m, f' = (m/x) J_m - J_{m+1}, f'' = -f'/x - (1 - m^2/x^2) f.
// A refined zero that does not sit one gap (2.9 ... gap + 0.1) above its
// predecessor is recomputed by Boost.Math, so a zero can be neither skipped nor
// repeated.
//
// Range: 0 <= m <= 500, zeros up to about 1e5 (q up to about 30000); checked
// against 30-digit values for orders 0 ... 120.
#include "numerics/accurate/bessel_jn_zeros.hpp"

#include <boost/math/special_functions/bessel.hpp>
#include <cmath>
#include <stdexcept>
#include <string>

#include "numerics/accurate/bessel_jn_pair.hpp"

namespace tdcyl {
namespace {

// Halley steps from x until a step falls below 1e-10 x; a start that does
// not get there in 20 steps (a NaN, or a start between two zeros that the
// iteration leaves) is reported rather than passed on as a zero.
double HalleyRefine(int m, int q, double x) {
    const double mm = m;
    for (int it = 0; it < 20; ++it) {
        const BesselPair p = BesselJnPair(m, x);
        const double f = p.jm;
        const double f1 = mm / x * p.jm - p.jm1;
        const double f2 = -f1 / x - (1 - mm * mm / (x * x)) * f;
        const double step = 2 * f * f1 / (2 * f1 * f1 - f * f2);
        x -= step;
        // Cubic convergence: after a step of 1e-10 x the error is ~1e-30 x.
        if (std::fabs(step) <= 1e-10 * x) return x;
    }
    throw std::runtime_error("BesselJnZerosAccurate: the zero j_{" + std::to_string(m) + "," + std::to_string(q) +
                             "} did not converge in 20 Halley steps");
}

}  // namespace

std::vector<double> BesselJnZerosAccurate(int m, int count) {
    std::vector<double> z;
    z.reserve(static_cast<std::size_t>(count));
    const double order = m;
    for (int q = 1; q <= count; ++q) {
        if (q <= 2) {
            z.push_back(boost::math::cyl_bessel_j_zero(order, q));
            continue;
        }
        const double prev = z[z.size() - 1];
        const double gap = prev - z[z.size() - 2];
        double x = HalleyRefine(m, q, prev + gap);
        const double d = x - prev;
        if (!(d > 2.9 && d < gap + 0.1)) x = boost::math::cyl_bessel_j_zero(order, q);
        z.push_back(x);
    }
    return z;
}

}  // namespace tdcyl
