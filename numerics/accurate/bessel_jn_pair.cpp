// J_m and J_{m+1} of real argument x >= 0, double precision.
//
// Method: for x > m + 1 the three-term recurrence J_{k+1} = (2k/x) J_k - J_{k-1}
// runs upwards from J0 and J1 (Boost.Math's rational and Hankel-asymptotic
// approximations in double, accurate to a few ulp). Upward recurrence is stable while
// k < x: every step multiplies the propagated rounding error by at most about
// one, so after m + 1 steps the absolute error stays near (m + 2) ulp of the
// envelope sqrt(2/(pi x)). At or below the turning point (x <= m + 1), where
// J_k decays with k and the upward recurrence would amplify errors, the pair
// comes from Boost.Math's cyl_bessel_j (continued fraction and backward
// recurrence, evaluated in long double).
//
// Range: 0 <= m <= 500, 0 <= x <= 1e5; checked against 30-digit values over
// orders 0 ... 120 and arguments up to 1e5, the transition x ~ m included.
#include "numerics/accurate/bessel_jn_pair.hpp"

#include <boost/math/special_functions/bessel.hpp>
#include <boost/version.hpp>

// boost::math::detail::bessel_j0/j1 are internals, not public API, and may
// change without notice; their use here (double in, double out, accuracy of a
// few ulp) is checked with Boost 1.74 (Debian 12) only.
#if BOOST_VERSION / 100 != 1074
#error "boost::math::detail::bessel_j0/j1 are checked with Boost 1.74 only: run test_fast_bessel, then widen"
#endif

namespace tdcyl {

BesselPair BesselJnPair(int m, double x) {
    if (x > m + 1) {
        // Boost.Math's J0 and J1 kernels themselves, in double arithmetic: the
        // public entry points promote to long double and route large arguments
        // through a long double phase computation, many times slower.
        double a = boost::math::detail::bessel_j0(x);
        double b = boost::math::detail::bessel_j1(x);
        const double two_over_x = 2 / x;
        for (int k = 1; k <= m; ++k) {
            const double c = k * two_over_x * b - a;
            a = b;
            b = c;
        }
        return {a, b};
    }
    return {boost::math::cyl_bessel_j(m, x), boost::math::cyl_bessel_j(m + 1, x)};
}

// The same method in long double: Boost.Math's J0 and J1 kernels are
// written for the 64-bit significand too, and the upward recurrence keeps
// its (m + 2) ulp.
BesselPairExtended BesselJnPairExtended(int m, long double x) {
    if (x > m + 1) {
        long double a = boost::math::detail::bessel_j0(x);
        long double b = boost::math::detail::bessel_j1(x);
        const long double two_over_x = 2 / x;
        for (int k = 1; k <= m; ++k) {
            const long double c = k * two_over_x * b - a;
            a = b;
            b = c;
        }
        return {a, b};
    }
    return {boost::math::cyl_bessel_j(m, x), boost::math::cyl_bessel_j(m + 1, x)};
}

BesselZeroExtended BesselJnZeroExtended(int m, double j) {
    // One Newton step from within an ulp or so of double, with
    // J_m'(x) = (m/x) J_m(x) - J_{m+1}(x), leaves the extended rounding;
    // J_{m+1} moves along by J_{m+1}'(x) = J_m(x) - (m+1)/x J_{m+1}(x).
    const long double x = j;
    const BesselPairExtended p = BesselJnPairExtended(m, x);
    const long double step = -p.jm / (m / x * p.jm - p.jm1);
    return {x + step, p.jm1 + (p.jm - (m + 1) / x * p.jm1) * step};
}

}  // namespace tdcyl
