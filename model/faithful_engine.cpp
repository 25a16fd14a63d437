#include "model/faithful_engine.hpp"

#include "model/layered_term.hpp"
#include "model/single_layer.hpp"
#include "model/zero_table.hpp"

namespace tdcyl {
namespace {

class FaithfulEngine final : public SpectralEngine {
public:
    FaithfulEngine(const RunState& s, const FaithfulEngineOptions& options, const ParallelRunner& run)
        : s_(s), options_(options) {
        if (s_.N == 1) {
            if (!options_.plain) PrepareSingleLayerFactors(s_);
            return;
        }
        // With the source off the axis and higher orders, the series runs over
        // the zeros of J_m, found once per run; MMAX = 0 uses the J0 table.
        if (s_.rho0 > 0 && s_.MMAX > 0) FillZeroTable(s_, run, options_.cancel);
        if (!options_.plain) PrepareTermFactors(s_);
        scale_ = (200 * static_cast<Extended>(s_.M)) / ((s_.a + s_.zb) * (s_.a + s_.zb) * kPi * 1024);
    }

    Cx Spectrum(int k) override {
        if (s_.N == 1) return SingleLayerCorrection(s_, FrequencyOmega(s_.M, k));
        TermWork w;
        w.Resize(s_.N);
        if (options_.plain)
            w.omega = FrequencyOmega(s_.M, k);
        else
            SetTermFrequency(s_, w, FrequencyOmega(s_.M, k));
        const auto term = options_.plain && options_.plain_term ? options_.plain_term : LayeredSpectralTerm;
        for (int m = 0; m <= s_.MMAX; ++m) {
            if (options_.cancel && options_.cancel->load()) return {0, 0};
            for (int q = 1; q <= s_.NZ; ++q) term(s_, w, m, q);
        }
        return Cx{scale_ * w.SumRe, scale_ * w.SumIm};
    }

    void FinishTimeCurve(double* fft) override {
        if (s_.N == 1) SingleLayerTimeDomain(s_, fft);
    }

    std::string FrequencyStage() const override {
        return s_.N == 1 ? "the single-layer boundary correction" : "the layered series";
    }
    std::string FinishStage() const override { return "the single-layer time-domain step"; }

    double TermsSummed() const override {
        return s_.N == 1 ? 0 : static_cast<double>(kFrequencyCount) * (s_.MMAX + 1) * s_.NZ;
    }

private:
    RunState s_;
    FaithfulEngineOptions options_;
    Extended scale_ = 0;
};

}  // namespace

std::unique_ptr<SpectralEngine> MakeFaithfulEngine(const RunState& s, const FaithfulEngineOptions& options,
                                                   const ParallelRunner& run) {
    return std::make_unique<FaithfulEngine>(s, options, run);
}

}  // namespace tdcyl
