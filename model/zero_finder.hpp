#pragma once
#include "model/run_state.hpp"

namespace tdcyl {

// Zeros of J_m by Halley iteration from 3*count starting points, sorted,
// duplicates (gap <= 1e-8) removed. Writes the distinct zeros to row[0..]
// in ascending order and returns how many were written (<= 3*count).
// Preconditions: 0 <= m <= 500, 1 <= count, 3*count <= 5000.
int BesselJnZeros(int m, int count, ZeroRow& row);

}  // namespace tdcyl
