#pragma once
// What the constructor (series lengths) and the curves (contour windows) of
// the fast engine must agree on.
namespace tdcyl::fast::detail {

inline constexpr double kPi = 3.141592653589793238462643383279502884;

// The contour inversion: windows of a factor 4 in time, each held to this
// share of the tolerance (the rest is left to the series).
inline constexpr double kContourRatio = 4, kContourShare = 1e-3;

// The window of 1024 samples of 10/M ps, in seconds.
inline double Period(int M) { return 1024 * 1e-11 / M; }

}  // namespace tdcyl::fast::detail
