#pragma once
// Doubts about a finished run that do not stop it: the user gets the curve and
// a sentence saying what looks wrong, why, and what to change.
#include <string>
#include <vector>

#include "app/core/input_reader.hpp"
#include "app/core/run.hpp"

namespace tdcyl {

// Warnings about the parameters `params` of a run and its curve `result`:
// an off-axis source the series ignores (MMAX = 0), negative samples, and a
// tail that wraps around the transform period onto early times. `wraparound`
// = false: the curve comes from the fast engine, which has no period. The
// remedies name the parameter file's values and the programs' options.
std::vector<std::string> CurveWarnings(const RunState& params, const RunResult& result, bool wraparound = true);

// Smallest mua (1/mm, rounded up to one significant digit) at which the tail
// of a single layer of refractive index n, wrapped around the longest
// transform period (M = 1), stays below 1 % of every kept sample.
Extended SmallestSafeMua(Extended n);

// The warning for values found after the last parameter (none when count = 0).
std::vector<std::string> ExtraValueWarnings(int count, int first_line);

// For a run that failed in a stage (message `what` of a RunError): which
// input values, with their lines, that stage depends on, as " (...)" to append,
// or empty when the stage is not one of the computation's.
std::string FailureInputs(const std::string& what, const InputFile& input);

}  // namespace tdcyl
