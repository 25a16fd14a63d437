// One term of the layered series: invariance under splitting a layer, the
// homogeneous limit, the overflow-free form, and the per-run factor tables.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>

#include "app/core/run.hpp"
#include "bench/baseline/plain_term.hpp"
#include "model/layered_term.hpp"
#include "numerics/specified/bessel.hpp"
#include "numerics/j0_zeros.hpp"
#include "run_test_support.hpp"

namespace tdcyl {
namespace {

using namespace testing_support;

RunState Derived(RunState s) {
    DeriveQuantities(s);
    return s;
}

Cx Term(const RunState& s, long double omega, int q) {
    TermWork w;
    w.Resize(s.N);
    w.omega = omega;
    LayeredSpectralTerm(s, w, 0, q);
    return {w.SumRe, w.SumIm};
}

const Layer kA{1.0L, 0.01L, 1.4L, 6.0L}, kB{1.3L, 0.02L, 1.33L, 20.0L}, kC{0.9L, 0.005L, 1.45L, 9.0L};

Layer Part(Layer L, long double l) {
    L.l = l;
    return L;
}

// The recursion changes P and Q by a common factor when a layer is split in two.
TEST(Term, SplittingALayerLeavesTheTermUnchanged) {
    const std::pair<std::vector<Layer>, std::vector<Layer>> cases[] = {
        {{kA, kB}, {Part(kA, 2), Part(kA, 4), kB}},              // the source layer
        {{kA, kC, kB}, {kA, Part(kC, 4), Part(kC, 5), kB}},      // a middle layer
        {{kA, kC, kB}, {kA, kC, Part(kB, 15), Part(kB, 5)}},     // the bottom layer
    };
    for (const auto& [whole, split] : cases) {
        const RunState a = Derived(MakeState(whole, 15, 7, 0, 0)), b = Derived(MakeState(split, 15, 7, 0, 0));
        for (int k : {0, 37, 512}) {
            for (int q : {1, 10, 300}) {
                const Cx x = Term(a, FrequencyOmega(1, k), q), y = Term(b, FrequencyOmega(1, k), q);
                EXPECT_LT(std::hypot(x.re - y.re, x.im - y.im), 1e-13L * std::hypot(x.re, x.im))
                    << "N " << b.N << " k " << k << " q " << q;
            }
        }
    }
}

TEST(Term, HomogeneousDeepCylinderReducesToTheSourceTerm) {
    // Identical layers with the bottom far away: the reflected part vanishes
    // and the depth factor is the source plus its image at the extrapolated
    // boundary, (e^{-alpha z0} + e^{-alpha (z0 + 2 zb)})/2, weighted by
    // J0(rho s)/J1(z)^2. Independent evaluation with std::complex.
    RunState s = Derived(MakeState({kA, Part(kA, 100)}, 15, 7, 0, 0));
    for (int k : {0, 50, 400}) {
        for (int q : {1, 5, 20}) {
            const long double omega = FrequencyOmega(1, k);
            Cx t = Term(s, omega, q);
            const long double z = J0Zeros(q);
            const long double sr = z / (s.a + s.zb);
            const std::complex<long double> alpha =
                std::sqrt(std::complex<long double>(sr * sr + kA.mua / s.D[0], omega * kA.n / (299792458000.0L * s.D[0])));
            const std::complex<long double> depth =
                0.5L * (std::exp(-alpha * s.z0) + std::exp(-alpha * (s.z0 + 2 * s.zb)));
            const long double j0 = BesselJ0(static_cast<double>(s.rho * sr));
            const long double j1 = BesselJ1(static_cast<double>(z));
            const std::complex<long double> expected = depth * j0 / (j1 * j1);
            EXPECT_LT(std::abs(std::complex<long double>(t.re, t.im) - expected), 1e-12L * std::abs(expected))
                << "k " << k << " q " << q;
        }
    }
}

// The overflow-free form against the literal one where both are finite:
// random stacks of 2, 3 and 5 layers, orders 0..50, frequencies across the grid.
TEST(Term, ScaledFormAgreesWithLiteralForm) {
    for (int N : {2, 3, 5}) {
        std::mt19937 rng(1234 + N);
        std::uniform_real_distribution<double> u(0, 1);
        long double worst = 0;
        for (int trial = 0; trial < 40; ++trial) {
            std::vector<Layer> layers;
            for (int i = 0; i < N; ++i)
                layers.push_back({0.5L + 1.5L * u(rng), 0.001L + 0.05L * u(rng), 1.3L + 0.2L * u(rng), 1 + 15 * u(rng)});
            RunState s = Derived(MakeState(layers, 10 + 20 * u(rng), 5, 3, 0.4L, 1, 50));
            s.JnZeroTable.assign(51, ZeroRow{});
            const int m = static_cast<int>(50 * u(rng));
            // Any positive radial wavenumbers will do for the identity.
            ZeroRow& row = s.JnZeroTable[static_cast<std::size_t>(m)];
            for (int q = 0; q < 5; ++q) row[static_cast<std::size_t>(q)] = m + 3 + 3.3L * q;
            for (int k : {0, 1, 100, 333, 512}) {
                for (int q = 1; q <= 5; ++q) {
                    TermWork a, b;
                    a.Resize(N);
                    b.Resize(N);
                    a.omega = b.omega = FrequencyOmega(1, k);
                    LayeredSpectralTerm(s, a, m, q);
                    LayeredSpectralTermScaled(s, b, m, q);
                    const long double mag = std::hypot(a.SumRe, a.SumIm);
                    const long double d = std::hypot(a.SumRe - b.SumRe, a.SumIm - b.SumIm) / mag;
                    if (mag > 0 && !(d <= worst)) worst = d;  // a NaN sticks
                }
            }
        }
        EXPECT_LT(worst, 1e-15L) << "N = " << N;  // a few ulps of the 64-bit significand
    }
}

// The per-run and per-frequency tables give the very bits of the literal
// evaluation that computes every factor inside the term, and of a term that
// computes its factors itself, on and off the axis, for N = 2 and 3 (no
// recursion pass) and 5 (two passes).
TEST(Term, TablesGiveTheBitsOfThePlainTerm) {
    const Layer kD{1.3L, 0.015L, 1.45L, 4}, kE{0.9L, 0.02L, 1.37L, 5};
    const std::vector<Layer> all{kA, kC, kD, kE, kB};
    for (const auto& [N, MMAX] : {std::pair{2, 0}, std::pair{3, 1}, std::pair{5, 5}}) {
        const std::vector<Layer> layers(all.end() - N, all.end());
        RunState s = Derived(MakeState(layers, 6, 4, MMAX > 0 ? 2 : 0, 0.8L, 1, MMAX));
        s.JnZeroTable.assign(static_cast<std::size_t>(MMAX + 1), ZeroRow{});
        for (int m = 0; m <= MMAX; ++m)
            for (int q = 0; q < s.NZ; ++q)
                s.JnZeroTable[static_cast<std::size_t>(m)][static_cast<std::size_t>(q)] = m + 2.4L + 3.14L * q;
        RunState h = s;
        PrepareTermFactors(h);
        for (int k : {0, 7, 512}) {
            TermWork plain, lazy, tables;
            for (TermWork* w : {&plain, &lazy, &tables}) w->Resize(N);
            plain.omega = lazy.omega = FrequencyOmega(1, k);
            SetTermFrequency(h, tables, FrequencyOmega(1, k));
            for (int m = 0; m <= MMAX; ++m)
                for (int q = 1; q <= s.NZ; ++q) {
                    baseline::PlainLayeredSpectralTerm(s, plain, m, q);
                    LayeredSpectralTerm(s, lazy, m, q);
                    LayeredSpectralTerm(h, tables, m, q);
                }
            EXPECT_NE(plain.SumRe, 0) << k;
            EXPECT_EQ(plain.SumRe, tables.SumRe) << "N " << N << " k " << k;
            EXPECT_EQ(plain.SumIm, tables.SumIm) << "N " << N << " k " << k;
            EXPECT_EQ(lazy.SumRe, tables.SumRe) << "N " << N << " k " << k;
            EXPECT_EQ(lazy.SumIm, tables.SumIm) << "N " << N << " k " << k;
        }
    }
}

}  // namespace
}  // namespace tdcyl
