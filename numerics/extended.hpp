#pragma once
// Extended precision: the 80-bit x87 format (64-bit significand, exponent range
// about 1e+-4932). The range matters as much as the precision: the Bessel
// recurrences and factorials of the lateral solution pass far beyond 1e308.
#include <limits>

namespace tdcyl {

using Extended = long double;
static_assert(std::numeric_limits<long double>::digits == 64,
              "tdcyl needs the 80-bit x87 long double (64-bit significand)");

inline constexpr Extended kPi = 3.14159265358979324L;

}  // namespace tdcyl
