#pragma once
// J_m(x) and J_{m+1}(x) to double accuracy for integer orders 0 <= m <= 500 and
// 0 <= x <= 2e4: the pair a Newton step on J_m and the normalisation
// J_{m+1}(j_{m,q})^2 of a Fourier-Bessel series need together.

namespace tdcyl {

struct BesselPair {
    double jm;   // J_m(x)
    double jm1;  // J_{m+1}(x)
};

BesselPair BesselJnPair(int m, double x);

// J_m(x) alone (the first member of the pair).
inline double BesselJnAccurate(int m, double x) { return BesselJnPair(m, x).jm; }

}  // namespace tdcyl
