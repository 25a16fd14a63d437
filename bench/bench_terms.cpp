// Cost of one layered term, with the per-run radial factors (as a run uses
// it) and with the plain evaluation that recomputes the Bessel factors per
// term (the baseline), and of the complex functions the layer recursion
// cannot avoid.
#include <benchmark/benchmark.h>

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

// The unavoidable part of a term: per layer one complex square root, and the
// exponentials and hyperbolic functions of the recursion.
void BM_ComplexKernel(benchmark::State& state) {
    tdcyl::Cx z{3.1L, 0.7L};
    for (auto _ : state) {
        tdcyl::Cx a = tdcyl::CSqrt(z);
        tdcyl::Cx e = tdcyl::CExp(tdcyl::Cx{-a.re, -a.im});
        tdcyl::Cx h = tdcyl::CoshSinhSum(a, e, z);
        benchmark::DoNotOptimize(h);
        z.re += 1e-9L;
    }
}
BENCHMARK(BM_ComplexKernel);

}  // namespace
