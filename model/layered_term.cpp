#include "model/layered_term.hpp"

#include <cmath>

#include "numerics/specified/bessel.hpp"
#include "numerics/j0_zeros.hpp"

namespace tdcyl {
namespace {

Cx Times(Cx z, Extended c) { return {z.re * c, z.im * c}; }
Extended ZeroOf(const RunState& s, int m, int q) {
    return (s.MMAX == 0) ? static_cast<Extended>(J0Zeros(q))
                         : s.JnZeroTable[static_cast<std::size_t>(m)][static_cast<std::size_t>(q - 1)];
}

Cx Add(Cx a, Cx b) { return {a.re + b.re, a.im + b.im}; }

// e^{-Re u} cosh u and e^{-Re u} sinh u for Re u >= 0: bounded by 1, so a
// recursion built from them cannot overflow however thick the layers are.
struct ScaledHyperbolic {
    Cx ch, sh;
};
ScaledHyperbolic ScaledOf(Cx u) {
    const Extended e = std::exp(-2 * u.re);
    const Extended c = std::cos(u.im), s = std::sin(u.im);
    return {{(1 + e) * c / 2, (1 - e) * s / 2}, {(1 - e) * c / 2, (1 + e) * s / 2}};
}

// Divides a pair by a common positive factor; F depends only on the ratio.
void Normalise(Cx& u, Cx& v) {
    const Extended m = std::fabs(u.re) + std::fabs(u.im) + std::fabs(v.re) + std::fabs(v.im);
    if (m > 0) {
        u = {u.re / m, u.im / m};
        v = {v.re / m, v.im / m};
    }
}

// Largest sum of Re(alpha l) for which the literal hyperbolic recursion is
// evaluated: |W|^2 must stay below the Extended range (about e^11356) with room
// for the coefficients D alpha the recursion multiplies in per layer.
Extended LiteralGrowthLimit(int N) { return 5000 - 8 * static_cast<Extended>(N); }

// The frequency-independent factors of term (m, q), as PrepareTermFactors
// stores them.
RunState::RadialFactors RadialFactorsOf(const RunState& s, int m, int q) {
    RunState::RadialFactors f{};
    const Extended z = ZeroOf(s, m, q);
    const Extended sr = z / (s.a + s.zb);
    f.sr2 = sr * sr;
    const double x = static_cast<double>(s.rho * sr);
    const double zd = static_cast<double>(z);
    if (s.MMAX == 0) {
        f.jr = BesselJ0(x);
        f.norm = static_cast<Extended>(BesselJ1(zd)) * BesselJ1(zd);
    } else {
        f.jr = BesselJn(m, x);
        f.j0 = BesselJn(m, static_cast<double>(s.rho0 * sr));
        const Extended j = BesselJn(m + 1, zd);
        f.norm = j * j;
    }
    return f;
}

RunState::LayerFactors LayerFactorsOf(const RunState& s, int i) {
    const auto u = static_cast<std::size_t>(i);
    const Extended ratio = i > 0 ? s.n[u] / s.n[u - 1] : 1;
    return {s.mua[u] / s.D[u], s.D[u] * (kSpeedOfLight / s.n[u]), ratio * ratio};
}

// The layers of one term, numbered from 1 as in the recursion: alpha_i, l_i,
// B_i = D_i alpha_i and C_i = (n_i/n_{i-1})^2 B_i of the layer above.
struct Stack {
    const RunState& s;
    const TermWork& w;
    bool prepared;  // a run reads the factors prepared once; the plain evaluation computes them
    RunState::LayerFactors Layer(int i) const {
        return prepared ? s.layers[static_cast<std::size_t>(i)] : LayerFactorsOf(s, i);
    }
    Cx alpha(int i) const { return w.alpha[static_cast<std::size_t>(i - 1)]; }
    Extended len(int i) const { return s.l[static_cast<std::size_t>(i - 1)]; }
    Cx B(int i) const { return Times(w.alpha[static_cast<std::size_t>(i - 1)], s.D[static_cast<std::size_t>(i - 1)]); }
    Cx C(int i) const { return Times(B(i), Layer(i - 1).ratio2); }
};

// P and Q at the first interface by the recursion with every cosh/sinh pair
// scaled by e^{-Re u} and the pair renormalised per step: common factors that
// cancel in F.
void ScaledRecursion(const Stack& k, Cx& P, Cx& Q) {
    const int N = k.s.N;
    if (N == 2) {
        const ScaledHyperbolic Z = ScaledOf(Times(k.alpha(2), k.len(2) + k.s.zb_bot));
        P = CMul(k.B(1), Z.sh);
        Q = CMul(k.C(2), Z.ch);
    } else {
        const ScaledHyperbolic Z = ScaledOf(Times(k.alpha(N), k.len(N) + k.s.zb_bot));
        const ScaledHyperbolic Y = ScaledOf(Times(k.alpha(N - 1), k.len(N - 1)));
        Cx U = Add(CMul(k.B(N - 1), CMul(Z.sh, Y.ch)), CMul(k.C(N), CMul(Z.ch, Y.sh)));
        Cx V = Add(CMul(k.C(N), CMul(Z.ch, Y.ch)), CMul(k.B(N - 1), CMul(Z.sh, Y.sh)));
        Normalise(U, V);
        for (int p = N - 2; p >= 2; --p) {
            const ScaledHyperbolic Yp = ScaledOf(Times(k.alpha(p), k.len(p)));
            const Cx T1 = CMul(k.B(p), U);
            const Cx T2 = CMul(k.C(p + 1), V);
            U = Add(CMul(T1, Yp.ch), CMul(T2, Yp.sh));
            V = Add(CMul(T2, Yp.ch), CMul(T1, Yp.sh));
            Normalise(U, V);
        }
        P = CMul(k.B(1), U);
        Q = CMul(k.C(2), V);
    }
    Normalise(P, Q);
}

// P and Q at the first interface by the literal recursion, its pairs kept in
// w.RecU, w.RecV.
void LiteralRecursion(const Stack& k, TermWork& w, Cx& P, Cx& Q) {
    const int N = k.s.N;
    if (N == 2) {
        const HyperbolicParts Z = PartsOf(Times(k.alpha(2), k.len(2) + k.s.zb_bot));
        P = CMul(k.B(1), CSinh(Z));
        Q = CMul(k.C(2), CCosh(Z));
        return;
    }
    const Cx Z = Times(k.alpha(N), k.len(N) + k.s.zb_bot);
    const Cx Y = Times(k.alpha(N - 1), k.len(N - 1));
    const auto top = static_cast<std::size_t>(N - 3);  // RecU[N-2], 1-based
    const HyperbolicMixes mix = MixesOf(k.B(N - 1), k.C(N), Z, Y);
    w.RecU[top] = mix.sinh_cosh;
    w.RecV[top] = mix.cosh_cosh;
    for (int p = N - 2; p >= 2; --p) {
        const HyperbolicParts Yp = PartsOf(Times(k.alpha(p), k.len(p)));
        const auto ip = static_cast<std::size_t>(p - 1);
        const Cx T1 = CMul(k.B(p), w.RecU[ip]);
        const Cx T2 = CMul(k.C(p + 1), w.RecV[ip]);
        w.RecU[ip - 1] = CoshSinhSum(T1, Yp, T2);
        w.RecV[ip - 1] = CoshSinhSum(T2, Yp, T1);
    }
    P = CMul(k.B(1), w.RecU[0]);
    Q = CMul(k.C(2), w.RecV[0]);
}

// The top layer's reflected part G of the term, from P and Q at its lower interface.
Cx Reflected(const RunState& s, Cx a1, Cx P, Cx Q, bool scaled) {
    const Cx Y1 = Times(a1, s.l[0] + s.zb);
    const Cx sc = CMul(CSinh(Times(a1, s.z0 + s.zb)), CCosh(Times(a1, s.zb)));
    if (scaled) {
        // W = e^{Re Y1} (P ch + Q sh) with scaled ch, sh; the factor e^{-Re Y1}
        // joins the decaying exponential e^{-Y1}.
        const ScaledHyperbolic y1 = ScaledOf(Y1);
        const Cx W = Add(CMul(P, y1.ch), CMul(Q, y1.sh));
        const Cx F = CDiv(Cx{P.re - Q.re, P.im - Q.im}, W);
        return CMul(F, CMul(sc, CExp(Cx{-2 * Y1.re, -Y1.im})));
    }
    const HyperbolicParts y1 = PartsOf(Y1);
    const Cx W = CoshSinhSum(P, y1, Q);
    const Cx F = CDiv(Cx{P.re - Q.re, P.im - Q.im}, W);
    // e^{-Y1}: cos and sin are even and odd to the last bit, so the
    // phase factors of Y1 serve it.
    const Extended e = std::exp(-Y1.re);
    return CMul(F, CMul(sc, Cx{e * y1.c, -(e * y1.s)}));
}

// One radial eigenfunction J_m(s r) of the disk of extrapolated radius a + zb:
// each layer decays in depth with alpha_i^2 = s^2 + (mua_i + i omega n_i/c)/D_i;
// the bottom-up recursion of hyperbolic functions carries the extrapolated
// bottom boundary and the (n_{i+1}/n_i)^2 interface factors to the first
// interface, where P and Q meet the source term of the top layer.
void Term(const RunState& s, TermWork& w, int m, int q, bool force_scaled) {
    const int N = s.N;
    const bool prepared = !s.radial.empty();
    const RunState::RadialFactors f =
        prepared ? s.radial[static_cast<std::size_t>(m) * static_cast<std::size_t>(s.NZ) + static_cast<std::size_t>(q - 1)]
                 : RadialFactorsOf(s, m, q);
    const Stack k{s, w, prepared};
    for (int i = 0; i < N; ++i) {
        const auto u = static_cast<std::size_t>(i);
        const RunState::LayerFactors lf = k.Layer(i);
        const Extended kappa = w.kappa.empty() ? w.omega / lf.speed_D : w.kappa[u];
        w.alpha[u] = CSqrt(Cx{f.sr2 + lf.mua_D, kappa});
    }
    const Cx a1 = w.alpha[0];

    // Source and its image at the extrapolated top boundary.
    const Cx E1 = CExp(Times(a1, -s.z0));
    const Cx E2 = CExp(Times(a1, -(s.z0 + 2 * s.zb)));
    const Cx H{(E1.re + E2.re) / 2, (E1.im + E2.im) / 2};

    // Growth of the hyperbolic functions through the stack: the literal form
    // reaches e^(2 x growth) in the division for W.
    Extended growth = w.alpha[0].re * (k.len(1) + s.zb) + w.alpha[static_cast<std::size_t>(N - 1)].re * s.zb_bot;
    for (int i = 2; i <= N; ++i) growth += k.alpha(i).re * k.len(i);
    const bool scaled = force_scaled || growth > LiteralGrowthLimit(N);
    Cx P, Q;
    if (scaled)
        ScaledRecursion(k, P, Q);
    else
        LiteralRecursion(k, w, P, Q);
    const Cx G = Reflected(s, a1, P, Q, scaled);
    const Cx S{H.re + G.re, H.im + G.im};

    if (s.MMAX == 0) {
        w.SumRe += f.jr * S.re / f.norm;
        w.SumIm += f.jr * S.im / f.norm;
    } else {
        const Extended wt = AzimuthalWeight(s, m);
        w.SumRe += wt * S.re * f.jr * f.j0 / f.norm;
        w.SumIm += wt * S.im * f.jr * f.j0 / f.norm;
    }
}

}  // namespace

void LayeredSpectralTerm(const RunState& s, TermWork& w, int m, int q) { Term(s, w, m, q, false); }

void LayeredSpectralTermScaled(const RunState& s, TermWork& w, int m, int q) { Term(s, w, m, q, true); }

void PrepareTermFactors(RunState& s) {
    s.radial.clear();
    s.radial.reserve(static_cast<std::size_t>(s.MMAX + 1) * static_cast<std::size_t>(s.NZ));
    for (int m = 0; m <= s.MMAX; ++m)
        for (int q = 1; q <= s.NZ; ++q) s.radial.push_back(RadialFactorsOf(s, m, q));
    s.layers.clear();
    for (int i = 0; i < s.N; ++i) s.layers.push_back(LayerFactorsOf(s, i));
    StoreAzimuthalWeights(s, s.MMAX + 1);
}

void SetTermFrequency(const RunState& s, TermWork& w, Extended omega) {
    w.omega = omega;
    w.kappa.clear();
    for (int i = 0; i < s.N; ++i)
        w.kappa.push_back(omega / (s.layers.empty() ? LayerFactorsOf(s, i) : s.layers[static_cast<std::size_t>(i)]).speed_D);
}

}  // namespace tdcyl
