#pragma once
#include "model/run_state.hpp"

namespace tdcyl {

// Single homogeneous cylinder (N == 1): depth factor from the image-source
// series, lateral factor = free-space Gaussian minus a boundary correction
// computed in the frequency domain from I_m, K_m of complex argument.

// Boundary correction S_k at angular frequency omega (rad/s).
Cx SingleLayerCorrection(const RunState& s, Extended omega);

// Stores the azimuthal weights (2 - delta_m0) cos(m phi) of the 51 orders of
// the correction once per run in s.order_weight (otherwise computed per
// frequency; the same bits either way).
void PrepareSingleLayerFactors(RunState& s);

// After the inverse transform of the packed corrections: replaces fft[g*M]
// by R(t_g) in mm^-2 ns^-1 for g = 1 .. 1024/(2M).
void SingleLayerTimeDomain(const RunState& s, double* fft);

// Whole single-layer computation, sequential: all 513 corrections, packing,
// realft(fft, 512, -1), time-domain step.
void SingleLayerReflectance(const RunState& s, double* fft);

}  // namespace tdcyl
