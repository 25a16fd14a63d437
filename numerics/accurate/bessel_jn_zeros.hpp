#pragma once
#include <vector>

namespace tdcyl {

// The first `count` positive zeros j_{m,1} < j_{m,2} < ... of J_m, for
// 0 <= m <= 500 and zeros up to about 1e5 -- an accurate kernel (see
// numerics/accurate/bessel_jn_pair.hpp); the faithful engine's zeros come from
// model/zero_finder.hpp on the specified kernels.
//
// Accuracy is RELATIVE: within 6e-16 of the zero (checked against 30-digit
// values for orders 0 ... 120, q up to 6000). Throws std::runtime_error
// naming m and q if the refinement of a zero does not converge.
std::vector<double> BesselJnZerosAccurate(int m, int count);

}  // namespace tdcyl
