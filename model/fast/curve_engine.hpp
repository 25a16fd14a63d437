#pragma once
// What a run asks of a fast engine: the curve of each detector at any times
// by the contour inversion, with an error estimate per value, and the
// doubts about its series.
#include <string>
#include <vector>

#include "model/run_state.hpp"        // LayerParameter
#include "model/spectral_engine.hpp"      // ParallelRunner
#include "numerics/laplace_contour.hpp"   // ContourValue

namespace tdcyl::fast {

class CurveEngine {
public:
    virtual ~CurveEngine() = default;
    // R(t) of every detector at the times t_s (s, > 0), mm^-2 s^-1: out[r][i];
    // with `jacobian`, dR/d theta of the named parameters ([r][i * P + k]).
    virtual std::vector<std::vector<ContourValue>> CurvesAt(const std::vector<double>& t_s, const ParallelRunner& run,
                                                            const std::vector<LayerParameter>& derivatives,
                                                            std::vector<std::vector<double>>* jacobian) = 0;
    virtual double Tolerance() const = 0;
    virtual std::vector<std::string> SeriesWarnings(int r) const = 0;
    // Terms summed for detector r (series terms, or orders at contour nodes).
    virtual double TermsSummedFor(int r) const = 0;
};

}  // namespace tdcyl::fast
