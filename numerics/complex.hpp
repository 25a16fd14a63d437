#pragma once
// Complex arithmetic on Extended pairs with fixed branch conventions.
// Deliberately not std::complex: its branch cuts, its scaling in division and
// its overflow behaviour differ from the plain formulas the model relies on.
// Every function evaluates its textbook formula literally: no scaling, no
// operand checks; faults surface as floating-point exception flags.
#include <cmath>

#include "numerics/extended.hpp"

namespace tdcyl {

struct Cx {
    Extended re;
    Extended im;
};

// Three-valued sign: 1, 0 or -1 (Sign(-0.0) == 0).
inline int Sign(Extended x) { return x > 0 ? 1 : (x < 0 ? -1 : 0); }

inline constexpr Extended kHalfPi = 1.57079632679489662L;

inline Cx CMul(Cx a, Cx b) { return {a.re * b.re - a.im * b.im, a.re * b.im + b.re * a.im}; }

// Textbook quotient, divisor not scaled.
inline Cx CDiv(Cx a, Cx b) {
    const Extended d = b.re * b.re + b.im * b.im;
    return {(a.re * b.re + a.im * b.im) / d, (a.im * b.re - a.re * b.im) / d};
}

inline Cx CSqr(Cx z) { return {z.re * z.re - z.im * z.im, 2 * z.re * z.im}; }

// Argument in (-pi, pi]; the origin gives 0, the negative real axis +pi.
inline Extended CArg(Extended x, Extended y) {
    if (x > 0) return std::atan(y / x);
    if (x == 0) return Sign(y) * kHalfPi;
    if (y == 0) return kPi;
    return Sign(y) * (kPi - std::atan(std::fabs(y / x)));
}

// Principal root off the real axis; the three-valued sign makes the root of a
// negative real number 0 + 0i imaginary part (CSqrt(-4, 0) has imaginary part 0).
inline Cx CSqrt(Cx z) {
    const Extended r = std::sqrt(z.re * z.re + z.im * z.im);
    return {std::sqrt((r + z.re) / 2), Sign(z.im) * std::sqrt((r - z.re) / 2)};
}

inline Cx CExp(Cx z) {
    const Extended e = std::exp(z.re);
    return {e * std::cos(z.im), e * std::sin(z.im)};
}

// Logarithm from the squared modulus; the modulus itself is never formed.
inline Cx CLn(Cx z) { return {0.5L * std::log(z.re * z.re + z.im * z.im), CArg(z.re, z.im)}; }

// The four real functions every complex hyperbolic expression of u = p + iq
// is built from: cosh p, sinh p, cos q, sin q. Evaluated once where several
// expressions share u (each is a library call of several hundred cycles).
struct HyperbolicParts {
    Extended ch, sh, c, s;
};
inline HyperbolicParts PartsOf(Cx u) { return {std::cosh(u.re), std::sinh(u.re), std::cos(u.im), std::sin(u.im)}; }

inline Cx CSinh(const HyperbolicParts& p) { return {p.sh * p.c, p.ch * p.s}; }
inline Cx CCosh(const HyperbolicParts& p) { return {p.ch * p.c, p.sh * p.s}; }
inline Cx CSinh(Cx z) { return CSinh(PartsOf(z)); }
inline Cx CCosh(Cx z) { return CCosh(PartsOf(z)); }

// z^p for real p on the branch of CArg.
inline Cx CPowReal(Cx z, Extended p) {
    if (z.re == 0 && z.im == 0) {
        if (p == 0) return {1, 0};
        if (p > 0) return {0, 0};
    }
    const Extended theta = CArg(z.re, z.im);
    const Extended m = std::exp(std::log(z.re * z.re + z.im * z.im) * p * 0.5L);
    return {m * std::cos(p * theta), m * std::sin(p * theta)};
}

// Gamma(n) = (n-1)! for n >= 1, 1 for n <= 2; the running product 2*3*...*(n-1).
inline Extended GammaInt(int n) {
    Extended g = 1.0L;
    for (int k = 2; k <= n - 1; ++k) g *= k;
    return g;
}

inline constexpr Extended kEulerGamma = 0.577215664901532860606512090082402431L;

// psi(n) = -gamma + sum_{k=1}^{n-1} 1/k for n >= 1, -gamma for n <= 1.
inline Extended DigammaInt(int n) {
    Extended s = -kEulerGamma;
    for (int k = 1; k <= n - 1; ++k) s += 1.0L / k;
    return s;
}

// a*cosh u + b*sinh u, u = p + iq.
inline Cx CoshSinhSum(Cx a, const HyperbolicParts& p, Cx b) {
    return {p.c * (a.re * p.ch + b.re * p.sh) - p.s * (b.im * p.ch + a.im * p.sh),
            p.s * (a.re * p.sh + b.re * p.ch) + p.c * (a.im * p.ch + b.im * p.sh)};
}
inline Cx CoshSinhSum(Cx a, Cx u, Cx b) { return CoshSinhSum(a, PartsOf(u), b); }

// Both mixed products of two layers' hyperbolic functions from one set of
// real functions of u + v and u - v:
//   sinh_cosh = a*sinh u*cosh v + b*cosh u*sinh v = h*sinh(u+v) + d*sinh(u-v),
//   cosh_cosh = b*cosh u*cosh v + a*sinh u*sinh v = h*cosh(u+v) + d'*cosh(u-v),
// h = (a+b)/2, d = (a-b)/2, d' = (b-a)/2.
struct HyperbolicMixes {
    Cx sinh_cosh, cosh_cosh;
};
inline HyperbolicMixes MixesOf(Cx a, Cx b, Cx u, Cx v) {
    const Extended hRe = (a.re + b.re) * 0.5L, hIm = (a.im + b.im) * 0.5L;
    const Extended dRe = (a.re - b.re) * 0.5L, dIm = (a.im - b.im) * 0.5L;
    const Extended eRe = (b.re - a.re) * 0.5L, eIm = (b.im - a.im) * 0.5L;
    const HyperbolicParts S = PartsOf({u.re + v.re, u.im + v.im}), T = PartsOf({u.re - v.re, u.im - v.im});
    return {{hRe * S.sh * S.c + dRe * T.sh * T.c - hIm * S.ch * S.s - dIm * T.ch * T.s,
             hRe * S.ch * S.s + dRe * T.ch * T.s + hIm * S.sh * S.c + dIm * T.sh * T.c},
            {hRe * S.ch * S.c + eRe * T.ch * T.c - hIm * S.sh * S.s - eIm * T.sh * T.s,
             hRe * S.sh * S.s + eRe * T.sh * T.s + hIm * S.ch * S.c + eIm * T.ch * T.c}};
}

// a*sinh u*cosh v + b*cosh u*sinh v.
inline Cx SinhCoshMix(Cx a, Cx u, Cx v, Cx b) { return MixesOf(a, b, u, v).sinh_cosh; }

// a*cosh u*cosh v + b*sinh u*sinh v.
inline Cx CoshCoshMix(Cx a, Cx u, Cx v, Cx b) { return MixesOf(b, a, u, v).cosh_cosh; }

}  // namespace tdcyl
