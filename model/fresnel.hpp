#pragma once
#include "numerics/extended.hpp"

namespace tdcyl {

// Effective reflection coefficient of a boundary between a medium of index n
// and an outer medium of index 1: Reff = (Rphi + Rj) / (2 - Rphi + Rj) with the
// fluence and flux moments of the unpolarised Fresnel reflectance (480-point
// Gauss-Legendre rule up to the critical angle, closed-form tail beyond it).
Extended Reff(Extended n);

// Reff for n = 1.4 as held in Extended (biased exponent 3FFD, significand
// FCA917F8CD3B0125), used instead of the quadrature when n == 1.4L exactly.
Extended Reff14();

}  // namespace tdcyl

namespace tdcyl {

// Reff from the Fresnel moments integrated by adaptive Gauss-Kronrod
// quadrature in Extended precision, to about 1e-16 relative for 1 < n <= 3
// (the 480-point rule of Reff is about 6e-9 off). Used by the fast engine for
// every index, 1.4 included.
double ReffAdaptive(double n);

}  // namespace tdcyl
