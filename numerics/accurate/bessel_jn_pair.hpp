#pragma once
// The fast engine's accurate Bessel kernels (numerics/accurate/, built on
// Boost.Math); the faithful engine's specified kernels live apart, in
// numerics/specified/.
//
// J_m(x) and J_{m+1}(x) for integer orders 0 <= m <= 500 and 0 <= x <= 1e5:
// the pair a Newton step on J_m and the normalisation J_{m+1}(j_{m,q})^2 of a
// Fourier-Bessel series need together.
//
// Accuracy is RELATIVE, to a few ulp (1.5e-15), where the value is not small
// against its envelope sqrt(2/(pi x)); near a zero of J_m above the turning
// point (x > m + 1) the upward recurrence adds an absolute error of about
// (m + 4) ulp of that envelope. Checked against 30-digit values over orders
// 0 ... 120 and arguments up to 1e5.

namespace tdcyl {

struct BesselPair {
    double jm;   // J_m(x)
    double jm1;  // J_{m+1}(x)
};

BesselPair BesselJnPair(int m, double x);

// J_m(x) alone (the first member of the pair).
inline double BesselJnAccurate(int m, double x) { return BesselJnPair(m, x).jm; }

// The pair in extended precision (the same method in long double, about
// 1e-18 relative away from zeros): for sums whose terms cancel to far below
// their size, where rounding a zero or an argument x to double would already
// move J_m(x) by x ulp.
struct BesselPairExtended {
    long double jm, jm1;
};
BesselPairExtended BesselJnPairExtended(int m, long double x);

// The zero of J_m nearest to `j` (a double zero, within an ulp or so), to
// extended precision, and J_{m+1} there.
struct BesselZeroExtended {
    long double j, jm1;
};
BesselZeroExtended BesselJnZeroExtended(int m, double j);

}  // namespace tdcyl
