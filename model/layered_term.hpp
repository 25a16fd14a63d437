#pragma once
#include "model/run_state.hpp"

namespace tdcyl {

// Adds the term (order m, zero index q, 1-based) of the N-layer series at the
// frequency w.omega to w.SumRe, w.SumIm. Needs N >= 2, w.Resize(N) done.
// With s.MMAX == 0 the zero is the q-th zero of J0 (on-axis form); otherwise
// s.JnZeroTable[m][q-1].
// The hyperbolic functions grow like e^(Re alpha l) through the stack; for
// thick layers the literal recursion would leave the Extended range although
// the term is finite. Such terms are evaluated in a scaled form (bounded
// e^{-Re u} cosh u, e^{-Re u} sinh u and a renormalised pair), algebraically
// the same term; all other terms take the literal form.
void LayeredSpectralTerm(const RunState& s, TermWork& w, int m, int q);

// Computes everything of a term that does not depend on the frequency once
// per run, exactly as a term would: per (m, q) the zero, s, s^2 and the Bessel
// factors of detector, source and normalisation; per layer mua/D, D c/n and
// the interface factor; per order the azimuthal weight. Terms then read them.
void PrepareTermFactors(RunState& s);

// Sets the frequency of a work area and its per-layer omega n / (c D).
void SetTermFrequency(const RunState& s, TermWork& w, Extended omega);

// The scaled form for every term (checked against the literal form).
void LayeredSpectralTermScaled(const RunState& s, TermWork& w, int m, int q);

}  // namespace tdcyl
