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
