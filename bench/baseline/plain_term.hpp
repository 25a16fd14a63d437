#pragma once
// The plain evaluation of one layered term: every factor computed inside the
// term, in the literal order of the algorithm (each Bessel value separately
// for the real and the imaginary part, the azimuthal cosine, the quotients of
// the layer constants, every hyperbolic function on its own). The benchmarks
// measure the run's per-run tables against it; the tests check that both give
// the same bits. Literal form only: no guard for very thick layers.
#include "model/run_state.hpp"

namespace tdcyl::baseline {

void PlainLayeredSpectralTerm(const RunState& s, TermWork& w, int m, int q);

}  // namespace tdcyl::baseline
