#pragma once
#include <vector>

namespace tdcyl {

// The first `count` positive zeros j_{m,1} < j_{m,2} < ... of J_m to double
// accuracy, for 0 <= m <= 500 and zeros up to about 2e4.
std::vector<double> BesselJnZerosAccurate(int m, int count);

}  // namespace tdcyl
