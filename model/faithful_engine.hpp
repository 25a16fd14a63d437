#pragma once
// The reference engine: Extended precision, every term of the series, in the
// order and with the arithmetic the result files have always had.
#include <atomic>
#include <memory>

#include "model/spectral_engine.hpp"

namespace tdcyl {

struct FaithfulEngineOptions {
    // Benchmark baseline: no per-run factor tables; every term computes all its
    // factors itself, through `plain_term` when given. Same bits, slower.
    bool plain = false;
    void (*plain_term)(const RunState&, TermWork&, int m, int q) = nullptr;
    const std::atomic<bool>* cancel = nullptr;  // stops the sum between orders
};

// `s` holds the derived quantities (DeriveQuantities); the engine keeps a copy
// and completes it (zero table, factor tables). May throw ZeroTableError.
std::unique_ptr<SpectralEngine> MakeFaithfulEngine(const RunState& s, const FaithfulEngineOptions& options,
                                                   const ParallelRunner& run);

}  // namespace tdcyl
