#pragma once
// The first 5000 positive zeros of J0, as doubles (nearest double to the exact
// zero). Read-only constant table.

namespace tdcyl {

inline constexpr int kJ0ZeroCount = 5000;

// j_{0,s} for 1 <= s <= 5000 (index not checked).
double J0Zeros(int s);

}  // namespace tdcyl
