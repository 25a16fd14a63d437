#pragma once
#include "model/run_state.hpp"

namespace tdcyl {

// Adds the term (order m, zero index q, 1-based) of the N-layer series at the
// frequency w.omega to w.SumRe, w.SumIm. Needs N >= 2, w.Resize(N) done.
// With s.MMAX == 0 the zero is the q-th zero of J0 (on-axis form); otherwise
// s.JnZeroTable[m][q-1].
void LayeredSpectralTerm(const RunState& s, TermWork& w, int m, int q);

}  // namespace tdcyl
