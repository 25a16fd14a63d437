// Whole runs of the bundled examples, at 1 thread and at all hardware threads,
// and the plain per-term baseline of each at 1 thread.
#include <benchmark/benchmark.h>

#include <string>
#include <thread>

#include "app/core/input_reader.hpp"
#include "app/core/run.hpp"
#include "bench/baseline/plain_term.hpp"

namespace {

const char* const kExamples[] = {"single_layer_on_axis", "single_layer_off_axis", "two_layers", "three_layers",
                                 "two_layers_off_axis"};

tdcyl::RunState LoadExample(const std::string& name) {
    tdcyl::InputFile in = tdcyl::ReadInputFile(std::string(TDCYL_SOURCE_DIR) + "/examples/" + name + ".dat");
    tdcyl::ValidateInput(in);
    return in.params;
}

// Layered terms a run evaluates: 513 * (MMAX + 1) * NZ (0 for one layer).
double TermCount(tdcyl::RunState s) {
    if (s.N < 2) return 0;
    tdcyl::DeriveQuantities(s);
    return 513.0 * (s.MMAX + 1) * s.NZ;
}

void BM_Run(benchmark::State& state, const std::string& name, bool all_threads, bool plain) {
    tdcyl::RunState s = LoadExample(name);
    tdcyl::RunOptions o;
    o.threads = all_threads ? 0 : 1;
    o.plain = plain;
    o.plain_term = tdcyl::baseline::PlainLayeredSpectralTerm;
    for (auto _ : state) benchmark::DoNotOptimize(tdcyl::ComputeRun(s, o));
    const double terms = TermCount(s);
    state.counters["terms"] = terms;
    // Every run reports the same counters (the CSV format needs them); 0 for
    // the single-layer path, which has no layered terms.
    state.counters["ns_per_term"] =
        terms > 0 ? benchmark::Counter(terms * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert)
                  : benchmark::Counter(0);
    state.counters["threads"] = all_threads ? static_cast<double>(std::thread::hardware_concurrency()) : 1.0;
}

[[maybe_unused]] const bool kRegistered = [] {
    for (const char* name : kExamples) {
        for (const bool plain : {false, true})
            for (const bool all : {false, true}) {
                if (plain && all) continue;  // the baseline is compared at one thread
                const std::string id = std::string(plain ? "PlainRun/" : "Run/") + name + (all ? "/threads:all" : "/threads:1");
                benchmark::RegisterBenchmark(id.c_str(), BM_Run, std::string(name), all, plain)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime()
                    ->MinTime(0.5);
            }
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
