#pragma once
// The fast engine: the same layered model as the faithful engine -- the same
// frequencies, packing, transform and selection -- in double precision, with
// accurate Bessel functions, zeros and Reff, the sum over the zeros cut where a
// derived bound shows the rest cannot matter, and the inner sum vectorised.
#include <complex>
#include <memory>
#include <vector>

#include "model/fast/layered_kernel.hpp"
#include "model/spectral_engine.hpp"

namespace tdcyl::fast {

// Default: the truncation of the series over the zeros changes no sample by
// more than 1e-11 of the peak, so samples within 3 decades of it by at most 1e-8.
inline constexpr double kDefaultTolerance = 1e-11;

struct FastEngineOptions {
    double tolerance = kDefaultTolerance;  // bound on the truncation error relative to the peak
    bool wraparound = true;                // false: damped contour omega - i sigma, curve times e^(sigma t)
    SimdPath simd = SimdPath::widest;
};

// The engine for one geometry and one or more detector distances: the zeros,
// the decay constants and the layer recursion are shared; only the radial
// weights differ per detector. Needs the derived quantities (zb, z0, D, and for
// N >= 2 A_bot, zb_bot) with Reff from ReffAdaptive; works for any N >= 1 (for
// N = 1 the slab is one layer from the top face to the bottom face).
class LayeredEngine final : public SpectralEngine {
public:
    LayeredEngine(const RunState& s, const std::vector<double>& rhos, const FastEngineOptions& options,
                  const ParallelRunner& run);

    // Detector 0.
    Cx Spectrum(int k) override { return SpectrumFor(0, k); }
    void FinishTimeCurve(double* fft) override { FinishTimeCurveFor(0, fft); }
    std::vector<std::string> Warnings() const override { return WarningsFor(0); }
    double TermsSummed() const override { return TermsSummedFor(0); }
    std::string FrequencyStage() const override { return "the fast layered series"; }
    std::string FinishStage() const override { return "the damped-contour correction"; }

    // Every detector at frequency k: out[r] for r < detector count; the
    // spectrum of detector r equals that of an engine made for it alone, bit
    // for bit. Slots of frequency k only.
    void SpectraAt(int k, Cx* out);
    Cx SpectrumFor(int r, int k);
    void FinishTimeCurveFor(int r, double* fft);
    std::vector<std::string> WarningsFor(int r) const;
    double TermsSummedFor(int r) const;

    // The frequency-domain reflectance of detector r, R~(omega) = int R(t)
    // e^(-i omega t) dt in mm^-2, at a real angular frequency (rad/s).
    std::complex<double> FrequencyDomain(int r, double omega) const;

    int Detectors() const { return static_cast<int>(rhos_.size()); }
    double Sigma() const { return sigma_; }

private:
    struct Order {
        int m = 0;
        std::vector<double> sr2;                   // s^2 per zero, padded
        std::vector<std::vector<double>> weight;   // per detector, zero beyond its cut
        std::vector<int> count;                    // per detector, multiple of kSeriesPadding
        int max_count = 0;
    };
    // Unscaled series sum at angular frequency omega on the damped line.
    void SeriesSums(double omega, std::vector<std::complex<double>>& total,
                    std::vector<std::complex<double>>& last_order, bool full) const;
    void Truncate(const ParallelRunner& run);

    RunState s_;
    std::vector<double> rhos_;
    FastEngineOptions options_;
    SeriesSumFunction series_sum_ = nullptr;
    int orders_ = 1;       // MMAX + 1 (1: the on-axis form)
    double sigma_ = 0;     // damping of the contour, 1/s
    double scale_ = 0;     // packing scale
    std::vector<double> static_part_, kappa_factor_, D_, coupling_, l_;
    std::vector<Order> order_;
    std::vector<std::vector<Cx>> last_;  // [detector][k]: spectrum of the highest order
    std::vector<std::vector<std::string>> warnings_;
};

}  // namespace tdcyl::fast
