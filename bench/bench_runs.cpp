// Whole runs of the bundled examples and a three-layer off-axis case, per
// engine, at 1 thread and at all hardware threads; the plain per-term baseline
// of each at 1 thread.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <thread>

#include "app/core/input_reader.hpp"
#include "app/core/run.hpp"
#include "bench/baseline/plain_term.hpp"

namespace {

const char* const kCases[] = {"single_layer_on_axis", "single_layer_off_axis", "two_layers", "three_layers",
                              "two_layers_off_axis", "three_layers_r20", "three_layers_off_axis"};

// The bundled examples, and the three-layer example in a cylinder of radius
// 20 mm with the detector at 15 mm: on the axis (three_layers_r20) and with the
// source at rho0 = 5, phi = 0.5, orders 0 ... 8 (three_layers_off_axis).
tdcyl::RunState LoadCase(const std::string& name) {
    const bool r20 = name.rfind("three_layers_", 0) == 0;
    tdcyl::InputFile in =
        tdcyl::ReadInputFile(std::string(TDCYL_SOURCE_DIR) + "/examples/" + (r20 ? "three_layers" : name) + ".dat");
    tdcyl::ValidateInput(in);
    if (r20) {
        in.params.a = 20;
        in.params.rho = 15;
    }
    if (name == "three_layers_off_axis") {
        in.params.rho0 = 5;
        in.params.phi = 0.5L;
        in.params.MMAX = 8;
    }
    return in.params;
}

// Largest relative difference of two curves over the samples of `ref` within
// 3 decades of its peak.
double MaxRelativeDifference3(const tdcyl::RunResult& a, const tdcyl::RunResult& ref) {
    double peak = 0, worst = 0;
    for (double v : ref.reflectance) peak = std::max(peak, std::fabs(v));
    for (std::size_t j = 0; j < ref.time_ps.size(); ++j) {
        if (std::fabs(ref.reflectance[j]) < 1e-3 * peak) continue;
        auto it = std::find(a.time_ps.begin(), a.time_ps.end(), ref.time_ps[j]);
        if (it == a.time_ps.end()) return INFINITY;
        const double v = a.reflectance[static_cast<std::size_t>(it - a.time_ps.begin())];
        worst = std::max(worst, std::fabs(v - ref.reflectance[j]) / std::fabs(ref.reflectance[j]));
    }
    return worst;
}

void BM_Run(benchmark::State& state, const std::string& name, tdcyl::Engine engine, bool all_threads, bool plain) {
    tdcyl::RunState s = LoadCase(name);
    tdcyl::RunOptions o;
    o.engine = engine;
    o.threads = all_threads ? 0 : 1;
    o.plain = plain;
    o.plain_term = tdcyl::baseline::PlainLayeredSpectralTerm;
    tdcyl::RunResult result;
    for (auto _ : state) benchmark::DoNotOptimize(result = tdcyl::ComputeRun(s, o));
    // Terms actually summed (the fast engine stops each order at its bound;
    // 0 for the closed-form single-layer path).
    const double terms = result.terms;
    state.counters["terms"] = terms;
    state.counters["ns_per_term"] =
        terms > 0 ? benchmark::Counter(terms * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert)
                  : benchmark::Counter(0);
    state.counters["threads"] = all_threads ? static_cast<double>(std::thread::hardware_concurrency()) : 1.0;
    // Accuracy against the faithful engine, once per case (fast, 1 thread).
    double diff = 0;
    if (engine == tdcyl::Engine::fast && !all_threads) {
        tdcyl::RunOptions f;
        f.threads = 0;
        diff = MaxRelativeDifference3(result, tdcyl::ComputeRun(s, f));
    }
    state.counters["max_rel_diff_3dec"] = diff;
}

[[maybe_unused]] const bool kRegistered = [] {
    for (const char* name : kCases) {
        for (const tdcyl::Engine engine : {tdcyl::Engine::faithful, tdcyl::Engine::fast})
            for (const bool all : {false, true}) {
                const std::string id = std::string("Run/") + name + (engine == tdcyl::Engine::fast ? "/fast" : "/faithful") +
                                       (all ? "/threads:all" : "/threads:1");
                benchmark::RegisterBenchmark(id.c_str(), BM_Run, std::string(name), engine, all, false)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime()
                    ->MinTime(0.5);
            }
        // The baseline is compared at one thread.
        const std::string id = std::string("PlainRun/") + name + "/faithful/threads:1";
        benchmark::RegisterBenchmark(id.c_str(), BM_Run, std::string(name), tdcyl::Engine::faithful, false, true)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->MinTime(0.5);
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
