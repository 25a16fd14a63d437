#pragma once
// The seam between the run driver and the model: an engine prepares one run
// (zeros, factor tables) when it is made, then delivers the packed-scale
// spectrum of any one of the 513 frequencies, from any thread. The driver owns
// everything else: derived quantities, the frequency loop, packing, the inverse
// transform, the sample selection and the output.
#include <functional>
#include <string>
#include <vector>

#include "model/run_state.hpp"

namespace tdcyl {

// Runs job(i) for i = 0 .. count-1, possibly on several threads; every job
// writes only its own slots. Provided by the driver.
using ParallelRunner = std::function<void(int count, const std::function<void(int)>& job)>;

class SpectralEngine {
public:
    virtual ~SpectralEngine() = default;

    // Spectrum of frequency k (0 .. 512) in the units and scale of the packed
    // transform input (before conjugation). Safe to call for different k at
    // once; each call touches only its own slots.
    virtual Cx Spectrum(int k) = 0;

    // Turns fft[j] (the inverse transform, 1024 values) into the time curve:
    // R(t_j) in mm^-2 ns^-1 at t_j = j * 10/M ps.
    virtual void FinishTimeCurve(double* /*fft*/) {}

    // What the frequency work and the final step are called in messages.
    virtual std::string FrequencyStage() const = 0;
    virtual std::string FinishStage() const { return "the time-domain step"; }

    // Sentences for the user about the run's reliability (never change numbers),
    // available after FinishTimeCurve.
    virtual std::vector<std::string> Warnings() const { return {}; }

    // Layered terms summed over all frequencies (0 for the closed-form path).
    virtual double TermsSummed() const { return 0; }
};

}  // namespace tdcyl
