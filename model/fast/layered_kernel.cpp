// Vectorised depth factor of the N-layer term, one SIMD lane per zero index.
//
// For radial wavenumber s, layer i decays in depth with
//   alpha_i = sqrt(s^2 + (mua_i + p n_i/c)/D_i)   (Re alpha_i > 0)
// at the Laplace variable p: i omega on the frequency axis, the nodes of the
// inversion's contours elsewhere (where Re alpha_i^2 may be negative).
// The bottom-up recursion of hyperbolic functions is carried as the ratio
// t = V/U of its pair, which turns every cosh/sinh into tanh/coth of a
// decaying exponential e = exp(-2 alpha l), |e| < 1:
//   bottom:   t = coth(alpha_N (l_N + zb_bot)) = (1 + e)/(1 - e)
//   layer p:  tau = (n_{p+1}/n_p)^2 D_{p+1} alpha_{p+1} / (D_p alpha_p) t,
//             t  <- (tau (1 + e) + (1 - e)) / ((1 + e) + tau (1 - e))
//   rho = (n_2/n_1)^2 D_2 alpha_2 / (D_1 alpha_1) t,   g = (1 - rho)/(1 + rho).
// With a = exp(-alpha_1 z0), b = exp(-2 alpha_1 zb), c = exp(-2 alpha_1 (l_1 - z0))
// the source term and the reflected part of the top layer combine to
//   S = a (1 + b)/2 [1 + g c (1 - a^2 b) / (1 + g c a^2 b)],
// algebraically the literal term, with every exponential decaying: no layer
// thickness can overflow the double range.
//
// The ratios are carried as fractions, so a term costs one complex division
// besides the square roots. Elementary functions: Highway's vector exp (1 ulp)
// and a sin/cos pair sharing one argument reduction (below). The file is
// compiled once per instruction set (foreach_target) and dispatched at run time.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "model/fast/layered_kernel.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>
#include <hwy/contrib/math/math-inl.h>

#include "model/fast/layered_kernel.hpp"

HWY_BEFORE_NAMESPACE();
namespace tdcyl::fast {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D = hn::ScalableTag<double>;
using V = hn::Vec<D>;

struct VC {
    V re, im;
};

HWY_INLINE VC Mul(const VC& a, const VC& b) {
    return {hn::NegMulAdd(a.im, b.im, hn::Mul(a.re, b.re)), hn::MulAdd(a.re, b.im, hn::Mul(a.im, b.re))};
}
HWY_INLINE VC Div(const VC& a, const VC& b) {
    const V inv = hn::Div(hn::Set(D(), 1.0), hn::MulAdd(b.re, b.re, hn::Mul(b.im, b.im)));
    return {hn::Mul(hn::MulAdd(a.re, b.re, hn::Mul(a.im, b.im)), inv),
            hn::Mul(hn::NegMulAdd(a.re, b.im, hn::Mul(a.im, b.re)), inv)};
}
HWY_INLINE VC Scale(const VC& a, V r) { return {hn::Mul(a.re, r), hn::Mul(a.im, r)}; }
HWY_INLINE VC AddReal(const VC& a, V r) { return {hn::Add(a.re, r), a.im}; }
HWY_INLINE VC OneMinus(const VC& a) { return {hn::Sub(hn::Set(D(), 1.0), a.re), hn::Neg(a.im)}; }

// Principal root of x + iy (y != 0 where x <= 0). The larger of the two
// parts comes from (r + |x|)/2, free of cancellation, the other from y/2 over
// it: on the real frequency axis x > 0, on a contour of the Laplace inversion
// x may be negative.
HWY_INLINE VC Sqrt(V x, V y) {
    const D d;
    const V r = hn::Sqrt(hn::MulAdd(x, x, hn::Mul(y, y)));
    const V big = hn::Sqrt(hn::Mul(hn::Add(r, hn::Abs(x)), hn::Set(d, 0.5)));
    const V small = hn::Div(hn::Abs(y), hn::Add(big, big));
    const auto right = hn::Ge(x, hn::Zero(d));
    const V re = hn::IfThenElse(right, big, small);
    const V im_abs = hn::IfThenElse(right, small, big);
    return {re, hn::CopySign(im_abs, y)};
}

// sin and cos of the same argument with one argument reduction (the vector
// library computes each with its own). Cody-Waite reduction by pi/2 in three
// parts of 33 bits, exact for |x| < 2^20 with or without fused multiply-add;
// the polynomials are the classic minimax kernels on [-pi/4, pi/4] (fdlibm's
// __kernel_sin and __kernel_cos coefficients), below 1 ulp there.
struct SinCosV {
    V s, c;
};
HWY_INLINE SinCosV SinCos(V x) {
    const D d;
    const V q = hn::Round(hn::Mul(x, hn::Set(d, 6.36619772367581382433e-01)));
    V r = hn::NegMulAdd(q, hn::Set(d, 1.57079632673412561417e+00), x);
    r = hn::NegMulAdd(q, hn::Set(d, 6.07710050630396597660e-11), r);
    r = hn::NegMulAdd(q, hn::Set(d, 2.02226624871116645580e-21), r);
    const V r2 = hn::Mul(r, r);
    V ps = hn::Set(d, 1.58969099521155010221e-10);
    ps = hn::MulAdd(ps, r2, hn::Set(d, -2.50507602534068634195e-08));
    ps = hn::MulAdd(ps, r2, hn::Set(d, 2.75573137070700676789e-06));
    ps = hn::MulAdd(ps, r2, hn::Set(d, -1.98412698298579493134e-04));
    ps = hn::MulAdd(ps, r2, hn::Set(d, 8.33333333332248946124e-03));
    ps = hn::MulAdd(ps, r2, hn::Set(d, -1.66666666666666324348e-01));
    const V sin_r = hn::MulAdd(hn::Mul(ps, r2), r, r);
    V pc = hn::Set(d, -1.13596475577881948265e-11);
    pc = hn::MulAdd(pc, r2, hn::Set(d, 2.08757232129817482790e-09));
    pc = hn::MulAdd(pc, r2, hn::Set(d, -2.75573143513906633035e-07));
    pc = hn::MulAdd(pc, r2, hn::Set(d, 2.48015872894767294178e-05));
    pc = hn::MulAdd(pc, r2, hn::Set(d, -1.38888888888741095749e-03));
    pc = hn::MulAdd(pc, r2, hn::Set(d, 4.16666666666666019037e-02));
    const V cos_r = hn::MulAdd(pc, hn::Mul(r2, r2), hn::NegMulAdd(hn::Set(d, 0.5), r2, hn::Set(d, 1.0)));
    // Quadrant n = q mod 4: (sin, cos) = (s, c), (c, -s), (-s, -c), (-c, s).
    const V n = hn::Sub(q, hn::Mul(hn::Set(d, 4.0), hn::Floor(hn::Mul(q, hn::Set(d, 0.25)))));
    const auto odd = hn::Eq(hn::Sub(n, hn::Mul(hn::Set(d, 2.0), hn::Floor(hn::Mul(n, hn::Set(d, 0.5))))), hn::Set(d, 1.0));
    const V sn = hn::IfThenElse(odd, cos_r, sin_r);
    const V cs = hn::IfThenElse(odd, sin_r, cos_r);
    const auto sin_neg = hn::Ge(n, hn::Set(d, 2.0));
    const auto cos_neg = hn::And(hn::Ge(n, hn::Set(d, 1.0)), hn::Le(n, hn::Set(d, 2.0)));
    return {hn::IfThenElse(sin_neg, hn::Neg(sn), sn), hn::IfThenElse(cos_neg, hn::Neg(cs), cs)};
}

// exp(-z) for Re z >= 0 (mostly). Below e^-700 the value is taken as 0. The
// phase Im z stays far below the 2^20 of the exact argument reduction for any
// layer thinner than metres.
HWY_INLINE VC ExpNeg(const VC& z) {
    const D d;
    const V x = hn::Neg(z.re);
    const auto live = hn::Ge(x, hn::Set(d, -700.0));
    const V mag = hn::IfThenElseZero(live, hn::Exp(d, hn::Max(x, hn::Set(d, -700.0))));
    const SinCosV sc = SinCos(hn::IfThenElseZero(live, hn::Neg(z.im)));
    return {hn::Mul(mag, sc.c), hn::Mul(mag, sc.s)};
}

// e^-45 = 2.9e-20: a factor that small changes no double sum it enters.
constexpr double kNegligibleDecay = 45.0;

// exp(-z), or exactly 0 when Re z > 45 in every lane (it then enters only as
// 1 + e or as a product with such a factor).
HWY_INLINE VC ExpNegUnlessNegligible(const VC& z) {
    const D d;
    if (hn::AllTrue(d, hn::Gt(z.re, hn::Set(d, kNegligibleDecay)))) return {hn::Zero(d), hn::Zero(d)};
    return ExpNeg(z);
}

// alpha_i of layer i at the lanes' s^2.
HWY_INLINE VC AlphaAt(const LayerStack& st, V s2, int i) {
    const D d;
    return Sqrt(hn::Add(s2, hn::Set(d, st.static_part[i])), hn::Set(d, st.kappa[i]));
}

// The bottom-up recursion at the lanes' s^2, from the bottom face to the top
// layer: g = (1 - rho)/(1 + rho) as the fraction gn / gd.
HWY_INLINE void Recursion(const LayerStack& st, V s2, const VC& alpha0, VC& gn, VC& gd) {
    const D d;
    const V one = hn::Set(d, 1.0);
    const int N = st.N;
    // The ratio t = tn / td, carried as a fraction so that the whole
    // recursion needs no division. Bottom: t = coth(alpha_N (l_N + zb_bot)).
    const double bottom = N == 1 ? st.zb_bot : st.l[N - 1] + st.zb_bot;
    VC alpha_below = N == 1 ? alpha0 : AlphaAt(st, s2, N - 1);
    VC e = ExpNegUnlessNegligible(Scale(alpha_below, hn::Set(d, 2 * bottom)));
    VC tn = AddReal(e, one), td = OneMinus(e);
    for (int p = N - 2; p >= 1; --p) {
        // tau = un / ud with un = coupling_{p+1} alpha_{p+1} tn, ud = D_p alpha_p td.
        const VC alpha_p = AlphaAt(st, s2, p);
        const VC un = Mul(Scale(alpha_below, hn::Set(d, st.coupling[p + 1])), tn);
        const VC ud = Mul(Scale(alpha_p, hn::Set(d, st.D[p])), td);
        e = ExpNegUnlessNegligible(Scale(alpha_p, hn::Set(d, 2 * st.l[p])));
        const VC pe = AddReal(e, one), me = OneMinus(e);
        const VC un_pe = Mul(un, pe), un_me = Mul(un, me), ud_pe = Mul(ud, pe), ud_me = Mul(ud, me);
        tn = {hn::Add(un_pe.re, ud_me.re), hn::Add(un_pe.im, ud_me.im)};
        td = {hn::Add(ud_pe.re, un_me.re), hn::Add(ud_pe.im, un_me.im)};
        // Keep the fraction's scale near 1 (each layer multiplies it by
        // up to |D alpha| (1 + |e|)); the ratio is unchanged.
        const V norm = hn::Div(one, hn::Add(hn::Add(hn::Abs(td.re), hn::Abs(td.im)),
                                            hn::Add(hn::Abs(tn.re), hn::Abs(tn.im))));
        tn = Scale(tn, norm);
        td = Scale(td, norm);
        alpha_below = alpha_p;
    }
    // rho = coupling_2 alpha_2 / (D_1 alpha_1) t (N = 1: rho = t), and
    // g = (1 - rho)/(1 + rho) = gn / gd = (rd - rn)/(rd + rn).
    VC rn = tn, rd = td;
    if (N >= 2) {
        rn = Mul(Scale(alpha_below, hn::Set(d, st.coupling[1])), tn);
        rd = Mul(Scale(alpha0, hn::Set(d, st.D[0])), td);
    }
    gn = {hn::Sub(rd.re, rn.re), hn::Sub(rd.im, rn.im)};
    gd = {hn::Add(rd.re, rn.re), hn::Add(rd.im, rn.im)};
}

// The term S at the lanes' s^2 (see the file's head).
HWY_INLINE VC TermAt(const LayerStack& st, V s2) {
    const D d;
    const V one = hn::Set(d, 1.0), half = hn::Set(d, 0.5);
    const VC alpha0 = AlphaAt(st, s2, 0);

    // Source and its image at the extrapolated top boundary.
    const VC a = ExpNeg(Scale(alpha0, hn::Set(d, st.z0)));
    const VC b = ExpNegUnlessNegligible(Scale(alpha0, hn::Set(d, 2 * st.zb)));
    const VC H = Scale(Mul(a, AddReal(b, one)), half);

    // What comes back from below the source carries c = exp(-2 alpha_1 (l_1 - z0));
    // once |c| < e^-45 for every lane it is below the rounding of H
    // (|g| <= 1), and the layers below need not be evaluated at all.
    const V c_decay = hn::Mul(alpha0.re, hn::Set(d, 2 * (st.l[0] - st.z0)));
    if (hn::AllTrue(d, hn::Gt(c_decay, hn::Set(d, kNegligibleDecay)))) return H;
    VC gn, gd;
    Recursion(st, s2, alpha0, gn, gd);

    // g c (1 - a^2 b) / (1 + g c a^2 b) with g = gn / gd: one division.
    const VC c = ExpNeg(Scale(alpha0, hn::Set(d, 2 * (st.l[0] - st.z0))));
    const VC ab = Mul(Mul(a, a), b);
    const VC gc = Mul(gn, c);
    const VC gcab = Mul(gc, ab);
    const VC reflected = Div(Mul(gc, OneMinus(ab)), {hn::Add(gd.re, gcab.re), hn::Add(gd.im, gcab.im)});
    return Mul(H, AddReal(reflected, one));
}

// With kMagnitude, sum_sq[w] also receives sum_q |weight_q S_q|^2: the
// rounding errors of the terms are independent, so the error of a sum whose
// terms cancel scales with its square root.
template <bool kMagnitude>
HWY_INLINE void SeriesSumImpl(const LayerStack& st, const double* HWY_RESTRICT sr2, int count,
                              const double* const* weights, int nweights, double* sum_re, double* sum_im,
                              double* sum_sq) {
    const D d;
    const int L = static_cast<int>(hn::Lanes(d));

    // Per-lane accumulators in memory: nweights x L each.
    HWY_ALIGN double acc_re_buf[8 * 16], acc_im_buf[8 * 16], acc_abs_buf[8 * 16];
    for (int w0 = 0; w0 < nweights; w0 += 16) {
        const int nw = nweights - w0 < 16 ? nweights - w0 : 16;
        for (int i = 0; i < nw * L; ++i) acc_re_buf[i] = acc_im_buf[i] = acc_abs_buf[i] = 0;
        for (int q = 0; q < count; q += L) {
            const VC S = TermAt(st, hn::LoadU(d, sr2 + q));
            for (int w = 0; w < nw; ++w) {
                const V wt = hn::LoadU(d, weights[w0 + w] + q);
                double* pr = acc_re_buf + w * L;
                double* pi = acc_im_buf + w * L;
                hn::Store(hn::MulAdd(wt, S.re, hn::Load(d, pr)), d, pr);
                hn::Store(hn::MulAdd(wt, S.im, hn::Load(d, pi)), d, pi);
                if constexpr (kMagnitude) {
                    double* pa = acc_abs_buf + w * L;
                    hn::Store(hn::MulAdd(hn::Mul(wt, wt), hn::MulAdd(S.re, S.re, hn::Mul(S.im, S.im)), hn::Load(d, pa)),
                              d, pa);
                }
            }
        }
        // Lanes reduced in a fixed order.
        for (int w = 0; w < nw; ++w) {
            double re = 0, im = 0, ab = 0;
            for (int j = 0; j < L; ++j) {
                re += acc_re_buf[w * L + j];
                im += acc_im_buf[w * L + j];
                ab += acc_abs_buf[w * L + j];
            }
            sum_re[w0 + w] = re;
            sum_im[w0 + w] = im;
            if constexpr (kMagnitude) sum_sq[w0 + w] = ab;
        }
    }
}

void SeriesSum(const LayerStack& st, const double* HWY_RESTRICT sr2, int count, const double* const* weights,
               int nweights, double* sum_re, double* sum_im) {
    SeriesSumImpl<false>(st, sr2, count, weights, nweights, sum_re, sum_im, nullptr);
}

void SeriesSumMagnitude(const LayerStack& st, const double* HWY_RESTRICT sr2, int count,
                        const double* const* weights, int nweights, double* sum_re, double* sum_im,
                        double* sum_sq) {
    SeriesSumImpl<true>(st, sr2, count, weights, nweights, sum_re, sum_im, sum_sq);
}

// --- Forward-mode derivatives ------------------------------------------------
// A complex lane value with its derivative along kTangents directions. Every
// value below is computed by the same operations as in TermAt (the
// values agree bit for bit); each tangent follows the chain rule.
struct DC {
    VC v;
    VC d[kTangents];
};

HWY_INLINE VC Add(const VC& a, const VC& b) { return {hn::Add(a.re, b.re), hn::Add(a.im, b.im)}; }
HWY_INLINE VC Sub(const VC& a, const VC& b) { return {hn::Sub(a.re, b.re), hn::Sub(a.im, b.im)}; }
HWY_INLINE VC NegC(const VC& a) { return {hn::Neg(a.re), hn::Neg(a.im)}; }
// a b + c d
HWY_INLINE VC MulMul(const VC& a, const VC& b, const VC& c, const VC& d) { return Add(Mul(a, b), Mul(c, d)); }
// 1/z as conj(z)/|z|^2.
HWY_INLINE VC Reciprocal(const VC& z) {
    const V inv = hn::Div(hn::Set(D(), 1.0), hn::MulAdd(z.re, z.re, hn::Mul(z.im, z.im)));
    return {hn::Mul(z.re, inv), hn::Neg(hn::Mul(z.im, inv))};
}

// a r with r a constant whose derivative along direction k is dr[k * stride].
HWY_INLINE DC ScaleD(const DC& a, double r, const double* dr, int stride = 1, double factor = 1.0) {
    const D d;
    DC out;
    const V rv = hn::Set(d, r);
    out.v = Scale(a.v, rv);
    for (int k = 0; k < kTangents; ++k) {
        const V drk = hn::Set(d, factor * dr[k * stride]);
        out.d[k] = {hn::MulAdd(a.v.re, drk, hn::Mul(a.d[k].re, rv)), hn::MulAdd(a.v.im, drk, hn::Mul(a.d[k].im, rv))};
    }
    return out;
}

HWY_INLINE DC MulD(const DC& a, const DC& b) {
    DC out;
    out.v = Mul(a.v, b.v);
    for (int k = 0; k < kTangents; ++k) out.d[k] = MulMul(a.d[k], b.v, a.v, b.d[k]);
    return out;
}

// exp(-z) and its derivative -exp(-z) dz; `negligible` as ExpNegUnlessNegligible.
template <bool kUnlessNegligible>
HWY_INLINE DC ExpNegD(const DC& z) {
    const D d;
    DC out;
    if (kUnlessNegligible && hn::AllTrue(d, hn::Gt(z.v.re, hn::Set(d, kNegligibleDecay)))) {
        out.v = {hn::Zero(d), hn::Zero(d)};
        for (int k = 0; k < kTangents; ++k) out.d[k] = out.v;
        return out;
    }
    out.v = ExpNeg(z.v);
    const VC m = NegC(out.v);
    for (int k = 0; k < kTangents; ++k) out.d[k] = Mul(m, z.d[k]);
    return out;
}

// alpha_i of layer i at the lanes' s^2, with its tangents: d alpha = d alpha^2 / (2 alpha).
HWY_INLINE DC AlphaD(const LayerStack& st, const StackTangents& tg, V s2, int i) {
    constexpr int K = kTangents;
    const D d;
    DC r;
    r.v = Sqrt(hn::Add(s2, hn::Set(d, st.static_part[i])), hn::Set(d, st.kappa[i]));
    const VC inv2 = Scale(Reciprocal(r.v), hn::Set(d, 0.5));
    for (int k = 0; k < K; ++k) {
        const VC da2 = {hn::MulAdd(hn::Set(d, tg.d_s2[k]), s2, hn::Set(d, tg.d_fixed[i * K + k])),
                        hn::Set(d, tg.d_kappa[i * K + k])};
        r.d[k] = Mul(da2, inv2);
    }
    return r;
}

// The bottom-up recursion with its tangents, from the bottom face to the top
// layer: the numerator and denominator of g = (1 - rho)/(1 + rho).
HWY_INLINE void RecursionD(const LayerStack& st, const StackTangents& tg, V s2, const DC& alpha0,
                           const double* d2bottom, DC& gn, DC& gd) {
    constexpr int K = kTangents;
    const D d;
    const V one = hn::Set(d, 1.0);
    const int N = st.N;
    const double bottom = N == 1 ? st.zb_bot : st.l[N - 1] + st.zb_bot;
    DC alpha_below = N == 1 ? alpha0 : AlphaD(st, tg, s2, N - 1);
    DC e = ExpNegD<true>(ScaleD(alpha_below, 2 * bottom, d2bottom));
    DC tn, td;
    tn.v = AddReal(e.v, one);
    td.v = OneMinus(e.v);
    for (int k = 0; k < K; ++k) {
        tn.d[k] = e.d[k];
        td.d[k] = NegC(e.d[k]);
    }
    for (int p = N - 2; p >= 1; --p) {
        const DC alpha_p = AlphaD(st, tg, s2, p);
        const DC un = MulD(ScaleD(alpha_below, st.coupling[p + 1], tg.d_coupling + (p + 1) * K), tn);
        const DC ud = MulD(ScaleD(alpha_p, st.D[p], tg.d_D + p * K), td);
        e = ExpNegD<true>(ScaleD(alpha_p, 2 * st.l[p], tg.d_l + p * K, 1, 2.0));
        const VC pe = AddReal(e.v, one), me = OneMinus(e.v);
        const VC un_pe = Mul(un.v, pe), un_me = Mul(un.v, me), ud_pe = Mul(ud.v, pe), ud_me = Mul(ud.v, me);
        tn.v = {hn::Add(un_pe.re, ud_me.re), hn::Add(un_pe.im, ud_me.im)};
        td.v = {hn::Add(ud_pe.re, un_me.re), hn::Add(ud_pe.im, un_me.im)};
        // d tn = dun pe + dud me + (un - ud) de, d td = dud pe + dun me - (un - ud) de.
        const VC diff = Sub(un.v, ud.v);
        for (int k = 0; k < K; ++k) {
            const VC de = Mul(diff, e.d[k]);
            tn.d[k] = Add(MulMul(un.d[k], pe, ud.d[k], me), de);
            td.d[k] = Sub(MulMul(ud.d[k], pe, un.d[k], me), de);
        }
        // The common scale of the fraction drops out of every ratio
        // below: its tangents take the same constant factor.
        const V norm = hn::Div(one, hn::Add(hn::Add(hn::Abs(td.v.re), hn::Abs(td.v.im)),
                                            hn::Add(hn::Abs(tn.v.re), hn::Abs(tn.v.im))));
        tn.v = Scale(tn.v, norm);
        td.v = Scale(td.v, norm);
        for (int k = 0; k < K; ++k) {
            tn.d[k] = Scale(tn.d[k], norm);
            td.d[k] = Scale(td.d[k], norm);
        }
        alpha_below = alpha_p;
    }
    DC rn = tn, rd = td;
    if (N >= 2) {
        rn = MulD(ScaleD(alpha_below, st.coupling[1], tg.d_coupling + K), tn);
        rd = MulD(ScaleD(alpha0, st.D[0], tg.d_D), td);
    }
    gn.v = {hn::Sub(rd.v.re, rn.v.re), hn::Sub(rd.v.im, rn.v.im)};
    gd.v = {hn::Add(rd.v.re, rn.v.re), hn::Add(rd.v.im, rn.v.im)};
    for (int k = 0; k < K; ++k) {
        gn.d[k] = Sub(rd.d[k], rn.d[k]);
        gd.d[k] = Add(rd.d[k], rn.d[k]);
    }
}

// The term S with its tangents at the lanes' s^2 (see the file's head).
// 2 d_x per direction, for the arguments 2 alpha x: d2zb, d2bottom, d2c.
HWY_INLINE DC TermD(const LayerStack& st, const StackTangents& tg, V s2, const double* d2zb, const double* d2bottom,
                    const double* d2c) {
    constexpr int K = kTangents;
    const D d;
    const V one = hn::Set(d, 1.0), half = hn::Set(d, 0.5);
    const DC alpha0 = AlphaD(st, tg, s2, 0);
    const DC a = ExpNegD<false>(ScaleD(alpha0, st.z0, tg.d_z0));
    const DC b = ExpNegD<true>(ScaleD(alpha0, 2 * st.zb, d2zb));
    DC H;
    const VC pb = AddReal(b.v, one);
    H.v = Scale(Mul(a.v, pb), half);
    for (int k = 0; k < K; ++k) H.d[k] = Scale(MulMul(a.d[k], pb, a.v, b.d[k]), half);
    const V c_decay = hn::Mul(alpha0.v.re, hn::Set(d, 2 * (st.l[0] - st.z0)));
    if (hn::AllTrue(d, hn::Gt(c_decay, hn::Set(d, kNegligibleDecay)))) return H;
    DC gn, gd;
    RecursionD(st, tg, s2, alpha0, d2bottom, gn, gd);
    const DC c = ExpNegD<false>(ScaleD(alpha0, 2 * (st.l[0] - st.z0), d2c));
    const VC aa = Mul(a.v, a.v);
    const VC ab = Mul(aa, b.v);
    const VC gc = Mul(gn.v, c.v);
    const VC gcab = Mul(gc, ab);
    const VC mab = OneMinus(ab);
    const VC num = Mul(gc, mab);
    const VC den = {hn::Add(gd.v.re, gcab.re), hn::Add(gd.v.im, gcab.im)};
    const VC reflected = Div(num, den);
    const VC inv_den = Reciprocal(den);
    const VC pr = AddReal(reflected, one);
    DC S;
    S.v = Mul(H.v, pr);
    const VC a2 = Scale(a.v, hn::Set(d, 2.0));
    for (int k = 0; k < K; ++k) {
        const VC dab = MulMul(Mul(a2, a.d[k]), b.v, aa, b.d[k]);
        const VC dgc = MulMul(gn.d[k], c.v, gn.v, c.d[k]);
        const VC dnum = Sub(Mul(dgc, mab), Mul(gc, dab));
        const VC dden = Add(gd.d[k], MulMul(dgc, ab, gc, dab));
        const VC drefl = Mul(Sub(dnum, Mul(reflected, dden)), inv_den);
        S.d[k] = MulMul(H.d[k], pr, H.v, drefl);
    }
    return S;
}

// Per-lane sums of one chunk of weight sets (at most 8 of them, L lanes each).
struct TangentSums {
    static constexpr int kChunk = 8;  // weight sets per pass
    HWY_ALIGN double re[kChunk * 8], im[kChunk * 8], abs[kChunk * 8];
    HWY_ALIGN double dre[kChunk * kTangents * 8], dim[kChunk * kTangents * 8], wre[kChunk * 8], wim[kChunk * 8];
};

// Adds w_q S_q (value, squared modulus, tangents) and dw_q S_q of the lanes at
// q for the nw weight sets from w0 on.
HWY_INLINE void AddTerm(const DC& S, int q, const double* const* weights, const double* const* dweights, int w0,
                        int nw, TangentSums& acc) {
    constexpr int K = kTangents;
    const D d;
    const int L = static_cast<int>(hn::Lanes(d));
    for (int w = 0; w < nw; ++w) {
        const V wt = hn::LoadU(d, weights[w0 + w] + q);
        double* pr = acc.re + w * L;
        double* pi = acc.im + w * L;
        hn::Store(hn::MulAdd(wt, S.v.re, hn::Load(d, pr)), d, pr);
        hn::Store(hn::MulAdd(wt, S.v.im, hn::Load(d, pi)), d, pi);
        double* pa = acc.abs + w * L;
        hn::Store(hn::MulAdd(hn::Mul(wt, wt), hn::MulAdd(S.v.re, S.v.re, hn::Mul(S.v.im, S.v.im)), hn::Load(d, pa)),
                  d, pa);
        for (int k = 0; k < K; ++k) {
            double* qr = acc.dre + (w * K + k) * L;
            double* qi = acc.dim + (w * K + k) * L;
            hn::Store(hn::MulAdd(wt, S.d[k].re, hn::Load(d, qr)), d, qr);
            hn::Store(hn::MulAdd(wt, S.d[k].im, hn::Load(d, qi)), d, qi);
        }
        const V dwt = hn::LoadU(d, dweights[w0 + w] + q);
        double* xr = acc.wre + w * L;
        double* xi = acc.wim + w * L;
        hn::Store(hn::MulAdd(dwt, S.v.re, hn::Load(d, xr)), d, xr);
        hn::Store(hn::MulAdd(dwt, S.v.im, hn::Load(d, xi)), d, xi);
    }
}

void SeriesTangents(const LayerStack& st, const StackTangents& tg, const double* HWY_RESTRICT sr2,
                               int count, const double* const* weights, const double* const* dweights, int nweights,
                               double* sum_re, double* sum_im, double* sum_sq, double* d_re, double* d_im,
                               double* dw_re, double* dw_im) {
    constexpr int K = kTangents, kChunk = TangentSums::kChunk;
    const D d;
    const int L = static_cast<int>(hn::Lanes(d));
    const int N = st.N;
    TangentSums acc;
    // 2 d_x per direction, for the arguments 2 alpha x.
    double d2zb[K], d2bottom[K], d2c[K];
    for (int k = 0; k < K; ++k) {
        d2zb[k] = 2 * tg.d_zb[k];
        d2bottom[k] = 2 * (N == 1 ? tg.d_zb_bot[k] : tg.d_l[(N - 1) * K + k] + tg.d_zb_bot[k]);
        d2c[k] = 2 * (tg.d_l[k] - tg.d_z0[k]);
    }
    for (int w0 = 0; w0 < nweights; w0 += kChunk) {
        const int nw = nweights - w0 < kChunk ? nweights - w0 : kChunk;
        for (int i = 0; i < nw * L; ++i) acc.re[i] = acc.im[i] = acc.abs[i] = acc.wre[i] = acc.wim[i] = 0;
        for (int i = 0; i < nw * K * L; ++i) acc.dre[i] = acc.dim[i] = 0;
        for (int q = 0; q < count; q += L)
            AddTerm(TermD(st, tg, hn::LoadU(d, sr2 + q), d2zb, d2bottom, d2c), q, weights, dweights, w0, nw, acc);
        for (int w = 0; w < nw; ++w) {
            double re = 0, im = 0, ab = 0, wre = 0, wim = 0;
            for (int j = 0; j < L; ++j) {
                re += acc.re[w * L + j];
                im += acc.im[w * L + j];
                ab += acc.abs[w * L + j];
                wre += acc.wre[w * L + j];
                wim += acc.wim[w * L + j];
            }
            sum_re[w0 + w] = re;
            sum_im[w0 + w] = im;
            sum_sq[w0 + w] = ab;
            dw_re[w0 + w] = wre;
            dw_im[w0 + w] = wim;
            for (int k = 0; k < K; ++k) {
                double x = 0, y = 0;
                for (int j = 0; j < L; ++j) {
                    x += acc.dre[(w * K + k) * L + j];
                    y += acc.dim[(w * K + k) * L + j];
                }
                d_re[(w0 + w) * K + k] = x;
                d_im[(w0 + w) * K + k] = y;
            }
        }
    }
}

const char* TargetName() { return hwy::TargetName(HWY_TARGET); }

}  // namespace HWY_NAMESPACE
}  // namespace tdcyl::fast
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tdcyl::fast {

HWY_EXPORT(SeriesSum);
HWY_EXPORT(SeriesSumMagnitude);
HWY_EXPORT(SeriesTangents);
HWY_EXPORT(TargetName);

namespace {
// Index into the dispatch tables: the last entry is the portable fallback.
// The processor is asked once per process (CPUID is slow, above all in a
// virtual machine, and an engine is made for every curve of a fit).
std::size_t TableIndex(SimdPath path) {
    if (path == SimdPath::portable) return HWY_MAX_DYNAMIC_TARGETS + 1;
    static const std::size_t widest = [] {
        hwy::GetChosenTarget().Update(hwy::SupportedTargets());
        return hwy::GetChosenTarget().GetIndex();
    }();
    return widest;
}
}  // namespace

SeriesSumFunction SelectSeriesSum(SimdPath path) { return HWY_DISPATCH_TABLE(SeriesSum)[TableIndex(path)]; }

SeriesSumMagnitudeFunction SelectSeriesSumMagnitude(SimdPath path) {
    return HWY_DISPATCH_TABLE(SeriesSumMagnitude)[TableIndex(path)];
}

SeriesTangentsFunction SelectSeriesTangents(SimdPath path) {
    return HWY_DISPATCH_TABLE(SeriesTangents)[TableIndex(path)];
}

std::string SimdPathName(SimdPath path) { return HWY_DISPATCH_TABLE(TargetName)[TableIndex(path)](); }

}  // namespace tdcyl::fast
#endif
