#pragma once
#include <atomic>
#include <stdexcept>

#include "model/spectral_engine.hpp"

namespace tdcyl {

// A zero table that could not be completed, or a floating-point fault in the
// search; the message is ready for the user.
class ZeroTableError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The search was stopped through its cancel flag.
class ZeroTableCancelled : public std::runtime_error {
public:
    ZeroTableCancelled() : std::runtime_error("the Bessel zero search was cancelled") {}
};

// Fills s.JnZeroTable rows 0..MMAX with the first NZ (or more) zeros of J_m,
// one row per job of `run`. Rows of the Halley search that come up short,
// repeat or skip a zero (found by checking ascent and the interlacing of
// neighbouring orders) are replaced by a bracketing search; sound rows are kept
// as found. Throws ZeroTableError when a row cannot be repaired, and
// ZeroTableCancelled when `cancel` is set before a repair (one may take seconds).
void FillZeroTable(RunState& s, const ParallelRunner& run, const std::atomic<bool>* cancel = nullptr);

}  // namespace tdcyl
