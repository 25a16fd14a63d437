#pragma once
// The fast engine: the same layered model as the faithful engine in double
// precision, with accurate Bessel functions, zeros and Reff, series lengths
// chosen from the tolerance, and the inner sum vectorised. It delivers the
// frequency-domain reflectance at any real frequency and the time curve at
// any times by the inverse Laplace transform on parabolic contours, which
// has neither the period nor the band limit of a discrete transform.
#include <atomic>
#include <complex>
#include <functional>
#include <memory>
#include <vector>

#include "model/fast/curve_engine.hpp"
#include "model/fast/layered_kernel.hpp"
#include "model/spectral_engine.hpp"  // ParallelRunner
#include "numerics/laplace_contour.hpp"

namespace tdcyl::fast {

// Default: no returned sample is off the model's curve by more than 1e-11 of
// the curve's peak.
inline constexpr double kDefaultTolerance = 1e-11;
inline constexpr double kSmallestTolerance = 1e-15, kLargestTolerance = 1e-2;
// Orders the engine sums for a single layer off the axis at most (it adds
// orders until the last ones no longer change the curve).
inline constexpr int kMostOrders = 501;
// Orders a stack off the axis measures, when its MMAX falls short, for the
// MMAX it advises.
inline constexpr int kAdviceOrders = 128;

struct FastEngineOptions {
    double tolerance = kDefaultTolerance;  // absolute error of every sample, relative to the peak
    SimdPath simd = SimdPath::widest;
    // Latest time (s) at which a curve is wanted (0: the 1024-sample window's
    // half, 5.12/M ns); the series is cut so that the inversion's
    // amplification up to it stays within the tolerance.
    double t_last = 0;
};

// One geometry, one or more detector distances: the zeros, the decay
// constants and the layer recursion are shared; only the radial weights
// differ per detector. Needs the derived quantities (zb, z0, D, and for
// N >= 2 A_bot, zb_bot) with Reff from ReffAdaptive; works for any N >= 1 (for
// N = 1 the slab is one layer from the top face to the bottom face).
class LayeredEngine final : public CurveEngine {
public:
    LayeredEngine(const RunState& s, const std::vector<double>& rhos, const FastEngineOptions& options,
                  const ParallelRunner& run);

    // Layered terms summed for detector r so far (all frequencies and nodes).
    double TermsSummedFor(int r) const override;

    // The frequency-domain reflectance of detector r, R~(omega) = int R(t)
    // e^(-i omega t) dt in mm^-2, at a real angular frequency (rad/s).
    std::complex<double> FrequencyDomain(int r, double omega) const;

    // R(t) of every detector at the times t_s (s, > 0) by the contour
    // inversion, in mm^-2 s^-1, with an estimate of each value's error:
    // out[r][i]. The nodes are spread over `run`.
    // With `derivatives`, also dR(t_s)/d theta for each named parameter, by
    // forward differentiation through the series and the same inversion (the
    // derivative of the series as truncated for the value), in mm^-2 s^-1 per
    // unit of the parameter: (*jacobian)[r][i * P + k], P parameters.
    std::vector<std::vector<ContourValue>> CurvesAt(const std::vector<double>& t_s, const ParallelRunner& run,
                                                    const std::vector<LayerParameter>& derivatives = {},
                                                    std::vector<std::vector<double>>* jacobian = nullptr) override;

    double Tolerance() const override { return options_.tolerance; }
    // Makes every term the series may sum (the curves make theirs as they go):
    // before FrequencyDomain.
    void PrepareFullSeries(const ParallelRunner& run);
    // Doubts about the series lengths of detector r, known once the engine is
    // made: too few angular orders, or more zeros needed than the Bessel
    // routines cover.
    std::vector<std::string> SeriesWarnings(int r) const override;

private:
    struct Order {
        int m = 0;
        std::vector<double> sr2;                   // s^2 per zero, padded
        std::vector<std::vector<double>> weight;   // per detector, zero beyond its cut
        std::vector<int> count;                    // per detector, multiple of kSeriesPadding
        std::vector<std::vector<double>> dweight;  // d weight / d a', made when a derivative needs it
        int max_count = 0;
        int ready = 0;  // zeros made (Materialize)
    };
    void Materialize(Order& o, int count);
    std::vector<std::vector<double>> OrderShares(const std::vector<std::complex<double>>& probes) const;
    double RadialSlope(int m, double sr, double rho, double norm) const;
    // Unscaled series sum at the Laplace variable p (p = i omega on the real
    // frequency axis, sigma + i omega on the damped line).
    // With `magnitude`, also sqrt(sum_q |w_q S_q|^2) per detector; with
    // `parts`, each order's sum per detector.
    void SeriesSums(std::complex<double> p, std::vector<std::complex<double>>& total,
                    std::vector<std::complex<double>>& last_order, bool full,
                    std::vector<double>* magnitude = nullptr,
                    std::vector<std::vector<std::complex<double>>>* parts = nullptr) const;
    // Blocks b0 ... b1-1 of kSeriesPadding terms of order m at p, each summed
    // on its own and scaled by 1/(pi a'^2) (the transform of R(t)): per block
    // j = b - b0 and detector r, value[j R + r], the sum of its terms' squared
    // moduli mag2[j R + r] (the scale of its rounding), and with `dvalue`
    // the derivatives dvalue[(j R + r) P + k] for the P `derivatives`.
    void Blocks(std::complex<double> p, int m, int b0, int b1, const std::vector<LayerParameter>& derivatives,
                std::complex<double>* value, double* mag2, std::complex<double>* dvalue) const;
    void MakeRadialDerivatives();
    // The tangents of the stack's inputs per layer and direction (layer i,
    // direction k at i K + k), and of a' per direction.
    struct InputTangents {
        std::vector<double> fixed, kappa, D, coupling, l, ap;
    };
    StackTangents TangentsOf(const std::vector<LayerParameter>& derivatives, std::size_t k0, std::size_t P,
                             const LayerStack& stack, const std::vector<double>& fixed,
                             const std::vector<double>& kappa, InputTangents& in) const;
    // The constructor's steps: the layers' constants, the contour's
    // amplification of an error of the transform, the zeros per detector, the
    // orders (and whether they have settled).
    void SetLayers();
    double ContourAmplification(double T) const;
    void SizeSeries(double amplification);
    void MeasureOrders(const ParallelRunner& run);
    bool OrdersSettled(const std::vector<std::vector<double>>& share, int built, int given);
    LayerStack StackAt(std::complex<double> p, std::vector<double>& fixed, std::vector<double>& kappa) const;
    void Truncate(const ParallelRunner& run);
    // The values at times `which` from windows `ws` (see CurvesAt).
    using WindowEvaluation =
        std::function<void(const std::vector<ContourWindow>& ws, const std::vector<std::size_t>& which,
                           std::vector<std::vector<ContourValue>>& into, std::vector<std::vector<double>>* jacobian)>;
    void RefineWindows(std::vector<ContourWindow> ws, const std::vector<double>& t_s, std::size_t P,
                       const WindowEvaluation& eval, std::vector<std::vector<ContourValue>>& into,
                       std::vector<std::vector<double>>* jac_into) const;
    // What the windows of one CurvesAt share: the times, the threads, the P
    // derivatives, the least v D of the layers (mm^2/s) and, per detector, the
    // size the tolerance refers to (the largest value seen so far).
    struct CurveRun {
        const std::vector<double>& t_s;
        const ParallelRunner& run;
        const std::vector<LayerParameter>& derivatives;
        std::size_t P;
        double slowest;
        std::vector<double> seen;
    };
    // The transforms at the nodes of a set of windows, node after node per
    // detector (dF: per parameter, `nodes` after `nodes`), and their rounding.
    struct NodeTransforms {
        std::size_t nodes;
        std::vector<std::vector<std::complex<double>>> F, dF;
        std::vector<std::vector<double>> noise;
    };
    void EvaluateWindows(CurveRun& curves, const std::vector<ContourWindow>& ws, const std::vector<std::size_t>& which,
                         std::vector<std::vector<ContourValue>>& into, std::vector<std::vector<double>>* jac_into);
    void SumWindow(CurveRun& curves, const ContourWindow& w, std::size_t base, NodeTransforms& n);
    void SumOrder(CurveRun& curves, const ContourWindow& w, int m,
                  const std::vector<std::vector<std::complex<double>>>& probe, std::size_t base, NodeTransforms& n,
                  std::vector<std::vector<double>>& mag2);
    void QuieterWindows(CurveRun& curves, const std::vector<ContourWindow>& windows, double early,
                        const std::vector<double>& peak, std::vector<std::vector<ContourValue>>& out,
                        std::vector<std::vector<double>>* jacobian);

    RunState s_;
    std::vector<double> rhos_;
    FastEngineOptions options_;
    SeriesSumFunction series_sum_ = nullptr;
    SeriesSumMagnitudeFunction series_sum_magnitude_ = nullptr;
    SeriesTangentsFunction series_tangents_ = nullptr;
    int orders_ = 1;         // orders summed (1: the on-axis form)
    int extended_orders_ = 1;  // orders whose zeros and weights are made in extended precision
    std::vector<int> orders_needed_;  // per detector: orders the tolerance asks for
    std::vector<int> nz_;             // per detector: zeros per order the tolerance asks for
    std::vector<double> budget_;      // per detector: what each order may leave out of the unscaled sum
    bool off_axis_ = false;
    bool lazy_ = false;  // terms made as the curves need them
    std::vector<char> zeros_short_;  // per detector: the tolerance asks for zeros beyond kLargestZero
    double ap_ = 0;          // extrapolated radius a + zb
    std::vector<double> static_part_, kappa_factor_, D_, coupling_, l_;
    std::vector<Order> order_;
    mutable std::atomic<long> evaluations_{0};  // full series sums evaluated (set-up and frequencies)
    std::vector<double> curve_terms_;            // per detector: terms summed at contour nodes
    std::vector<double> x0_;                     // per detector: |unscaled sum at p = 0|, the curve's integral
};

}  // namespace tdcyl::fast
