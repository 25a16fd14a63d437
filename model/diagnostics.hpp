#pragma once
// Physical plausibility estimates of a run: where the source sits and how much
// of the late tail the periodic transform folds back onto early times.
#include "model/run_state.hpp"

namespace tdcyl {

// Depth of the isotropic point source that replaces the incident beam: one
// transport mean free path, z0 = 1/(mua + musp) of the top layer (mm).
Extended SourceDepth(Extended musp, Extended mua);

// The time (ps) before which the curve is 0 to every digit of a double. Light
// from the source at depth z0 reaches the top face through the diffusion
// kernel, at most exp(-z0^2 / (4 D v t)) with the largest D v = c / (3 musp n)
// of any layer (the quickest way through the stack; the lateral distance, the
// boundaries and absorption only lower it). This time makes that exponent
// 10^4: e^-10000 leaves room for any prefactor (t^-5/2 and the like add a few
// hundred to the exponent at most) and for a kernel bound of a layered stack
// looser than the homogeneous one, far below the smallest double (e^-745).
Extended DarkUntil(const RunState& s);

// Period of the discrete transform in ns: 1024 samples of 10/M ps.
Extended TransformPeriodNs(int M);

// The time curve is computed modulo the transform period T, so R(t + kT) adds
// onto R(t). Late photons live longest in the least absorbing layer, and no
// part of the tail decays slower than exp(-mua_i v_i t) with v_i = c/n_i; the
// largest exp(-mua_i v_i T) over the layers therefore bounds the size of the
// wrapped tail relative to the tail itself (an upper bound: escape through
// the faces and the side wall only makes the tail decay faster).
struct WrapAround {
    Extended factor = 0;  // max_i exp(-mua_i v_i T)
    int layer = 0;        // 0-based index of the layer that sets it
};
WrapAround WrapAroundEstimate(const RunState& s);

// The absorption coefficient (1/mm) at which exp(-mua v T) falls to `factor`
// for refractive index n and time-sampling factor M.
Extended MuaForWrapFactor(Extended n, int M, Extended factor);

}  // namespace tdcyl
