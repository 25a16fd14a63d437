#pragma once
// Which samples of the fast engine's curve hold the tolerance, what becomes
// of those that do not, and what the user is told about them.
#include <string>
#include <vector>

#include "app/core/run.hpp"
#include "numerics/laplace_contour.hpp"

namespace tdcyl {

// Which contour values hold the tolerance: bad[i] when the estimated error of
// sample i exceeds half the tolerance of the peak. Without all_samples a bad
// sample that lies surely below six decades of the peak is left out anyway
// and not counted as bad.
struct Verdict {
    double peak = 0;
    std::vector<bool> bad, drop;
    double worst = 0;  // largest estimated error relative to the peak
};
Verdict Judge(const std::vector<ContourValue>& curve, double tolerance, bool all_samples, double peak = 0);

// What becomes of a sample that cannot be held: left out (the grid, a result
// file), returned as computed (all_samples), or NaN in its place (one value
// per requested time).
enum class Unheld { left_out, returned, nan };

// The verdict on the lit times spread over all times (those before the light
// arrives hold: they are exact).
Verdict Spread(const Verdict& v, const std::vector<bool>& lit);

// The failure of a curve none of whose samples holds the tolerance, naming
// the tolerance that would hold.
std::string NoSampleHeld(Extended rho, double tolerance, const Verdict& v);

// The warning about samples that cannot be held ("" when there are none).
std::string UnreliableSamples(const std::vector<double>& t_ps, const Verdict& v, double tolerance, Extended rho,
                              Unheld fate);

// The times t_ps[i] with which[i], compactly: runs of neighbouring entries as
// "a ... b", at most three runs and a count of the rest ("10 ... 30, 5120 ps").
std::string TimeList(const std::vector<double>& t_ps, const std::vector<bool>& which);

// The curve at the requested times `t_ps`: exactly 0, derivatives too, where
// lit[i] is false (before the light can arrive); elsewhere the k-th lit time's
// contour value values[k] (mm^-2 ns^-1) with its P derivatives jacobian[k P ...],
// a bad one treated as `fate` says.
RunResult CurveAtTimes(const std::vector<double>& t_ps, const std::vector<bool>& lit,
                       const std::vector<ContourValue>& values, const std::vector<double>& jacobian, std::size_t P,
                       const Verdict& verdict, Unheld fate);

}  // namespace tdcyl
