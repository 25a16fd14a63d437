// Cost of one layered term: with the per-run and per-frequency tables (as a
// run uses it), computing its factors itself, and as the literal plain
// evaluation (the baseline); and of the complex functions the layer
// recursion cannot avoid.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "bench/baseline/plain_term.hpp"
#include "model/layered_term.hpp"
#include "numerics/complex.hpp"

namespace {

tdcyl::RunState Stack(int N, int MMAX) {
    tdcyl::RunState s;
    s.N = N;
    for (int i = 0; i < N; ++i) {
        s.musp.push_back(1.0L + 0.1L * i);
        s.mua.push_back(0.01L + 0.002L * i);
        s.n.push_back(1.4L);
        s.l.push_back(5.0L + i);
        s.D.push_back(1 / (3 * s.musp.back()));
    }
    s.a = 25;
    s.rho = 10;
    s.rho0 = MMAX > 0 ? 10 : 0;
    s.phi = 1;
    s.M = 1;
    s.MMAX = MMAX;
    s.z0 = 1 / (s.musp[0] + s.mua[0]);
    s.zb = s.zb_bot = 2 * 2.948L / 3;
    s.NZ = 500;
    s.JnZeroTable.assign(static_cast<std::size_t>(MMAX + 1), tdcyl::ZeroRow{});
    for (int m = 0; m <= MMAX; ++m)
        for (int q = 0; q < s.NZ; ++q) s.JnZeroTable[static_cast<std::size_t>(m)][static_cast<std::size_t>(q)] = m + 2.4L + 3.14L * q;
    return s;
}

// Variant 2: the run's evaluation with per-run and per-frequency tables;
// 1: the same term computing its factors itself (each once);
// 0: the literal plain baseline.
void BM_Term(benchmark::State& state) {
    const int N = static_cast<int>(state.range(0));
    const int MMAX = static_cast<int>(state.range(1));
    const int variant = static_cast<int>(state.range(2));
    tdcyl::RunState s = Stack(N, MMAX);
    tdcyl::TermWork w;
    w.Resize(N);
    const tdcyl::Extended omega = tdcyl::FrequencyOmega(1, 200);
    if (variant == 2) {
        tdcyl::PrepareTermFactors(s);
        tdcyl::SetTermFrequency(s, w, omega);
    } else {
        w.omega = omega;
    }
    const auto term = variant == 0 ? tdcyl::baseline::PlainLayeredSpectralTerm : tdcyl::LayeredSpectralTerm;
    for (auto _ : state) {
        for (int q = 1; q <= s.NZ; ++q) term(s, w, MMAX, q);
        benchmark::DoNotOptimize(w.SumRe);
    }
    state.counters["ns_per_term"] = benchmark::Counter(static_cast<double>(s.NZ) * 1e-9,
                                                       benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
// Arguments: layers, order, variant.
BENCHMARK(BM_Term)->ArgsProduct({{2, 3, 5}, {0, 20}, {0, 1, 2}});

// The unavoidable part of the same terms: the complex square roots,
// exponentials and hyperbolic functions of the layer recursion alone, on the
// very arguments the terms use (the alpha^2 of every term are formed outside
// the timed loop), without the products, quotients, Bessel factors and sums
// around them. Kernel time / term time is how close a term is to its limit.
void BM_TermKernel(benchmark::State& state) {
    const int N = static_cast<int>(state.range(0));
    const int MMAX = static_cast<int>(state.range(1));
    tdcyl::RunState s = Stack(N, MMAX);
    tdcyl::PrepareTermFactors(s);
    tdcyl::TermWork w;
    tdcyl::SetTermFrequency(s, w, tdcyl::FrequencyOmega(1, 200));
    std::vector<tdcyl::Cx> alpha2;
    for (int q = 1; q <= s.NZ; ++q) {
        const auto& f = s.radial[static_cast<std::size_t>(MMAX) * static_cast<std::size_t>(s.NZ) + static_cast<std::size_t>(q - 1)];
        for (int i = 0; i < N; ++i)
            alpha2.push_back({f.sr2 + s.layers[static_cast<std::size_t>(i)].mua_D, w.kappa[static_cast<std::size_t>(i)]});
    }
    auto times = [](tdcyl::Cx z, tdcyl::Extended c) { return tdcyl::Cx{z.re * c, z.im * c}; };
    std::vector<tdcyl::Cx> a(static_cast<std::size_t>(N));
    for (auto _ : state) {
        tdcyl::Extended sink = 0;
        for (std::size_t t = 0; t < alpha2.size(); t += static_cast<std::size_t>(N)) {
            for (int i = 0; i < N; ++i) a[static_cast<std::size_t>(i)] = tdcyl::CSqrt(alpha2[t + static_cast<std::size_t>(i)]);
            const auto lay = [&](int i) { return a[static_cast<std::size_t>(i - 1)]; };
            const auto len = [&](int i) { return s.l[static_cast<std::size_t>(i - 1)]; };
            sink += tdcyl::CExp(times(lay(1), -s.z0)).re + tdcyl::CExp(times(lay(1), -(s.z0 + 2 * s.zb))).im;
            const tdcyl::Cx Z = times(lay(N), len(N) + s.zb_bot);
            if (N == 2) {
                const tdcyl::HyperbolicParts p = tdcyl::PartsOf(Z);
                sink += p.ch + p.sh + p.c + p.s;
            } else {
                const tdcyl::Cx Y = times(lay(N - 1), len(N - 1));
                const tdcyl::HyperbolicMixes m = tdcyl::MixesOf(Z, Y, Z, Y);
                sink += m.sinh_cosh.re + m.cosh_cosh.im;
                for (int p = N - 2; p >= 2; --p) {
                    const tdcyl::HyperbolicParts h = tdcyl::PartsOf(times(lay(p), len(p)));
                    sink += h.ch + h.sh + h.c + h.s;
                }
            }
            const tdcyl::Cx Y1 = times(lay(1), len(1) + s.zb);
            const tdcyl::HyperbolicParts y1 = tdcyl::PartsOf(Y1);
            sink += y1.ch + y1.sh + y1.c + y1.s + std::exp(-Y1.re);
            sink += tdcyl::CSinh(times(lay(1), s.z0 + s.zb)).re + tdcyl::CCosh(times(lay(1), s.zb)).im;
        }
        benchmark::DoNotOptimize(sink);
    }
    state.counters["ns_per_term"] = benchmark::Counter(static_cast<double>(s.NZ) * 1e-9,
                                                       benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_TermKernel)->ArgsProduct({{2, 3, 5}, {0, 20}});

}  // namespace
