#pragma once
// Truncated Taylor arithmetic for the moments: Dual<K> carries a value and its
// first derivatives along K parameters, Taylor2<T> a polynomial
// c0 + c1 p + c2 p^2 in the Laplace variable whose coefficients are T. Only
// what the depth factor of a layered term needs: + - * /, exp and sqrt.
#include <array>
#include <cmath>

namespace tdcyl::fast {

template <int K>
struct Dual {
    double v = 0;
    std::array<double, K> d{};
};

template <int K>
Dual<K> operator+(const Dual<K>& a, const Dual<K>& b) {
    Dual<K> r{a.v + b.v, {}};
    for (int k = 0; k < K; ++k) r.d[k] = a.d[k] + b.d[k];
    return r;
}
template <int K>
Dual<K> operator-(const Dual<K>& a, const Dual<K>& b) {
    Dual<K> r{a.v - b.v, {}};
    for (int k = 0; k < K; ++k) r.d[k] = a.d[k] - b.d[k];
    return r;
}
template <int K>
Dual<K> operator*(const Dual<K>& a, const Dual<K>& b) {
    Dual<K> r{a.v * b.v, {}};
    for (int k = 0; k < K; ++k) r.d[k] = a.d[k] * b.v + a.v * b.d[k];
    return r;
}
template <int K>
Dual<K> operator*(const Dual<K>& a, double x) {
    Dual<K> r{a.v * x, {}};
    for (int k = 0; k < K; ++k) r.d[k] = a.d[k] * x;
    return r;
}
template <int K>
Dual<K> operator/(const Dual<K>& a, const Dual<K>& b) {
    const double inv = 1 / b.v, q = a.v * inv;
    Dual<K> r{q, {}};
    for (int k = 0; k < K; ++k) r.d[k] = (a.d[k] - q * b.d[k]) * inv;
    return r;
}
template <int K>
Dual<K> exp(const Dual<K>& a) {
    return Dual<K>{std::exp(a.v), {}} * Dual<K>{1.0, a.d};
}
template <int K>
Dual<K> sqrt(const Dual<K>& a) {
    const double r = std::sqrt(a.v);
    Dual<K> out{r, {}};
    for (int k = 0; k < K; ++k) out.d[k] = a.d[k] / (2 * r);
    return out;
}

template <class T>
struct Taylor2 {
    T c0{}, c1{}, c2{};
};

template <class T>
Taylor2<T> operator+(const Taylor2<T>& a, const Taylor2<T>& b) {
    return {a.c0 + b.c0, a.c1 + b.c1, a.c2 + b.c2};
}
template <class T>
Taylor2<T> operator-(const Taylor2<T>& a, const Taylor2<T>& b) {
    return {a.c0 - b.c0, a.c1 - b.c1, a.c2 - b.c2};
}
template <class T>
Taylor2<T> operator*(const Taylor2<T>& a, const Taylor2<T>& b) {
    return {a.c0 * b.c0, a.c0 * b.c1 + a.c1 * b.c0, a.c0 * b.c2 + a.c1 * b.c1 + a.c2 * b.c0};
}
// A factor constant in p.
template <class T>
Taylor2<T> operator*(const Taylor2<T>& a, const T& b) {
    return {a.c0 * b, a.c1 * b, a.c2 * b};
}
template <class T>
Taylor2<T> operator*(const Taylor2<T>& a, double x) {
    return {a.c0 * x, a.c1 * x, a.c2 * x};
}
template <class T>
Taylor2<T> operator/(const Taylor2<T>& a, const Taylor2<T>& b) {
    const T y0 = a.c0 / b.c0, y1 = (a.c1 - y0 * b.c1) / b.c0;
    return {y0, y1, (a.c2 - y0 * b.c2 - y1 * b.c1) / b.c0};
}
// x + a with x constant (in p and in the parameters).
template <class T>
Taylor2<T> Plus(double x, const Taylor2<T>& a) {
    Taylor2<T> r = a;
    r.c0.v += x;
    return r;
}
// x - a
template <class T>
Taylor2<T> Minus(double x, const Taylor2<T>& a) {
    Taylor2<T> r = a * -1.0;
    r.c0.v += x;
    return r;
}
template <class T>
Taylor2<T> exp(const Taylor2<T>& a) {
    const T e = exp(a.c0);
    return {e, e * a.c1, e * (a.c2 + a.c1 * a.c1 * 0.5)};
}
// y^2 = a: y0^2 = a0, 2 y0 y1 = a1, 2 y0 y2 + y1^2 = a2.
template <class T>
Taylor2<T> sqrt(const Taylor2<T>& a) {
    const T y0 = sqrt(a.c0), twice = y0 * 2.0;
    const T y1 = a.c1 / twice;
    return {y0, y1, (a.c2 - y1 * y1) / twice};
}

}  // namespace tdcyl::fast
