#pragma once
#include "model/run_state.hpp"

namespace tdcyl {

// The faithful engine's zeros of J_m: a specified kernel on the specified
// J_n of numerics/specified/bessel.hpp (the fast engine's accurate zeros are
// numerics/accurate/bessel_jn_zeros.hpp). Accuracy: that of a root of a J_n
// whose error is ABSOLUTE (the zero moves by that error over the slope);
// where checked against 30-digit zeros (m = 0, 1, 10, 50; q <= 100) within
// 3e-15 times the zero. Each start gets at most 100 Halley steps and keeps
// its last iterate, as the engine's numbers are defined.
//
// Zeros of J_m by Halley iteration from 3*count starting points, sorted,
// duplicates (gap <= 1e-8) removed. Writes the distinct zeros to row[0..]
// in ascending order and returns how many were written (<= 3*count).
// Preconditions: 0 <= m <= 500, 1 <= count, 3*count <= 5000.
int BesselJnZeros(int m, int count, ZeroRow& row);

}  // namespace tdcyl
