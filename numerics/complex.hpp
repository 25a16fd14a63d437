#pragma once
// Complex arithmetic on Extended pairs with fixed branch conventions.
// Deliberately not std::complex: its branch cuts, its scaling in division and
// its overflow behaviour differ from the plain formulas the model relies on.
// Every function evaluates its textbook formula literally: no scaling, no
// operand checks; faults surface as floating-point exception flags.
#include "numerics/extended.hpp"

namespace tdcyl {

struct Cx {
    Extended re;
    Extended im;
};

// Three-valued sign: 1, 0 or -1 (Sign(-0.0) == 0).
inline int Sign(Extended x) { return x > 0 ? 1 : (x < 0 ? -1 : 0); }

Cx CMul(Cx a, Cx b);
Cx CDiv(Cx a, Cx b);   // textbook quotient, divisor not scaled
Cx CSqr(Cx z);
Cx CSqrt(Cx z);        // imaginary part carries Sign(im): CSqrt(-4,0) == 0
Cx CExp(Cx z);
Cx CLn(Cx z);          // 0.5*ln(x^2+y^2) + i*CArg
Cx CSinh(Cx z);
Cx CCosh(Cx z);
Cx CPowReal(Cx z, Extended p);  // |z|^p * exp(i p arg z), arg in (-pi, pi]
Extended CArg(Extended x, Extended y);  // (-pi, pi], CArg(0,0) == 0
Extended GammaInt(int n);    // (n-1)! for n >= 1, 1 for n <= 2
Extended DigammaInt(int n);  // -gamma + H(n-1), -gamma for n <= 1

// a*cosh u + b*sinh u
Cx CoshSinhSum(Cx a, Cx u, Cx b);
// a*sinh u*cosh v + b*cosh u*sinh v, evaluated in sum/difference form
Cx SinhCoshMix(Cx a, Cx u, Cx v, Cx b);
// a*cosh u*cosh v + b*sinh u*sinh v, evaluated in sum/difference form
Cx CoshCoshMix(Cx a, Cx u, Cx v, Cx b);

}  // namespace tdcyl
