#pragma once
// One homogeneous layer with the source off the axis, in closed form: the
// curve factors into the depth factor of the slab (image sources at the
// extrapolated faces) and the lateral Green's function of the disk of radius
// a' = a + zb, the free-space kernel minus a boundary correction. The
// correction's Laplace transform is a series over angular orders of modified
// Bessel functions, I_m(alpha rho) I_m(alpha rho0) K_m(alpha a') / I_m(alpha a'),
// which converges within a few dozen orders; it alone is inverted on the
// parabolic contours. No sum over the zeros of J_m, no series of ~100 orders.
#include <complex>
#include <vector>

#include "model/fast/curve_engine.hpp"

namespace tdcyl::fast {

class SingleLayerContour final : public CurveEngine {
public:
    // `s` with its derived quantities (Reff from ReffAdaptive); N = 1.
    SingleLayerContour(const RunState& s, const std::vector<double>& rhos, double tolerance);

    // With derivatives (mu_a, mu_s' or thickness of the layer) also dR/d theta,
    // in closed form but for the correction's, which is inverted with it.
    std::vector<std::vector<ContourValue>> CurvesAt(const std::vector<double>& t_s, const ParallelRunner& run,
                                                    const std::vector<LayerParameter>& derivatives,
                                                    std::vector<std::vector<double>>* jacobian) override;
    double Tolerance() const override { return tolerance_; }
    std::vector<std::string> SeriesWarnings(int) const override { return {}; }
    double TermsSummedFor(int r) const override { return terms_[static_cast<std::size_t>(r)]; }

    // The boundary correction's transform at the Laplace variable p for every
    // detector (mm^-2 s), with an estimate of its rounding, and with `rim` its
    // derivative by a'; returns the orders summed.
    int Correction(std::complex<double> p, std::complex<double>* value, double* noise,
                   std::complex<double>* rim = nullptr) const;

private:
    // The depth factor (1/s) and its derivatives by z0, zb, l and D.
    struct Depth {
        double value = 0, z0 = 0, zb = 0, l = 0, D = 0;
    };
    // The correction at one time: its value, its time derivative and its derivative by a'.
    struct Lateral {
        ContourValue c;
        double dt = 0, da = 0;
    };
    using Laterals = std::vector<std::vector<Lateral>>;
    Depth DepthFactor(double t) const;
    double FreeLateral(double t, double r2) const;  // mm^-2
    double CorrectionBound(double t, double rho) const;
    // The correction at `times` of window w for `detectors` by one rule, and
    // by two rules with the error of the rule measured.
    void Rule(const ContourWindow& w, const std::vector<double>& t_s, const std::vector<std::size_t>& times,
              const std::vector<char>& detectors, bool slopes, const ParallelRunner& run, Laterals& lateral);
    void Evaluate(const ContourWindow& w, double epsilon, const std::vector<double>& t_s,
                  const std::vector<std::size_t>& times, const std::vector<char>& detectors, bool slopes,
                  const ParallelRunner& run, Laterals& lateral);
    // R and its error from the parts at time t_s[i], and the derivatives.
    ContourValue Combine(double t, const Depth& depth, double free, const Lateral& c, std::size_t r,
                         const std::vector<LayerParameter>& derivatives, double* jacobian) const;

    std::vector<double> rhos_, r2_;  // detectors: distance from the axis, squared distance from the source
    double tolerance_ = 0;
    double mua_ = 0, musp_ = 0, D_ = 0, v_ = 0, l_ = 0, z0_ = 0, zb_ = 0, ap_ = 0, rho0_ = 0;
    int geometric_orders_ = 0;        // orders for the slowest decay, (rho rho0 / a'^2)^m
    double phi_ = 0;
    std::vector<double> azimuthal_;   // (2 - delta_m0) cos(m phi), for the orders most nodes need
    std::vector<double> terms_;
};

}  // namespace tdcyl::fast
