#pragma once
// Modified Bessel functions I_n(z), K_n(z) of integer order and complex
// argument, Extended precision. Branch selection uses |z|^2 (1600 for I,
// 155 for K) and the order (recurrence up to 220, uniform expansion above).
#include "numerics/complex.hpp"

namespace tdcyl {

Cx CBesselIDirect(int n, Cx z);   // 46-term power series, or large-|z| form
Cx CBesselIAsympt(int n, Cx z);   // large-argument expansion, both exponentials
// I_n(z) for any n >= 0; for n < 0 nothing is computed and `out` is left as is.
void CBesselI(int n, Cx z, Cx& out);
Cx CBesselIUniform(int n, Cx z);  // uniform large-order expansion
Cx CBesselK(int n, Cx z);         // log/digamma series, or large-|z| form
Cx CBesselKAsympt(int n, Cx z);   // large-argument expansion

}  // namespace tdcyl
