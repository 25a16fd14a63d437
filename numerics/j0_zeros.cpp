// Constant table of the first zeros of J0. The values are the nearest doubles
// to the exact zeros, computed at 50 digits (scripts/gen_j0_zeros.py); as a
// constexpr literal table it needs no start-up work and no synchronisation.
#include "numerics/j0_zeros.hpp"

namespace tdcyl {
namespace {

constexpr double kJ0Zeros[kJ0ZeroCount] = {
#include "numerics/j0_zeros_table.inc"
};

}  // namespace

double J0Zeros(int s) { return kJ0Zeros[s - 1]; }

}  // namespace tdcyl
