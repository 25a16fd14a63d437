#pragma once
// Moments of the time-resolved reflectance without any time inversion: the
// Laplace transform R^(p) = int R(t) e^(-p t) dt and its first two
// p-derivatives at p = 0 give
//   N = R^(0),  <t> = -R^'(0)/N,  V = R^''(0)/N - <t>^2.
// At p = 0 every decay constant alpha_i = sqrt(s^2 + mua_i/D_i) is real, so
// the layered series is summed in real arithmetic, each term carried as a
// truncated Taylor polynomial in p (to p^2) whose coefficients are dual
// numbers in the layer parameters: the moments and their exact derivatives
// come from one pass over the series.
#include <array>
#include <string>
#include <vector>

#include "model/run_state.hpp"

namespace tdcyl::fast {

struct MomentOptions {
    // Relative accuracy of N, <t> and V (the series is cut where what it
    // leaves out is below this share of N).
    double tolerance = 1e-11;
    // Angular orders summed off the axis: -1 adds orders until the last three
    // change nothing at the tolerance; 0 is the on-axis form (ignores rho0 and
    // phi, as MMAX = 0 does for the curves); k > 0 sums orders 0 ... k.
    int mmax = -1;
};

struct Moments {
    double N = 0;             // mm^-2
    double mean_ps = 0;       // ps
    double variance_ps2 = 0;  // ps^2
    // Per requested parameter: d N, d <t>, d V per unit of the parameter.
    std::vector<std::array<double, 3>> derivatives;
    int orders = 0;  // angular orders summed
    int zeros = 0;   // zeros per order (the most)
    std::vector<std::string> warnings;
};

// Moments at each detector distance of `rhos` (mm). `s` holds the derived
// quantities (D, z0, zb, and zb_bot for N >= 2) with the fast engine's Reff.
std::vector<Moments> LayeredMoments(const RunState& s, const std::vector<double>& rhos,
                                    const std::vector<LayerParameter>& derivatives, const MomentOptions& options);

}  // namespace tdcyl::fast
