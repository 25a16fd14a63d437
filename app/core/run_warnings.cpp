#include "app/core/run_warnings.hpp"

#include <cmath>

#include "app/core/messages.hpp"
#include "model/diagnostics.hpp"

namespace tdcyl {
namespace {

std::string Value(Extended v, int digits = 3) {
    // Few digits: these are estimates.
    const Extended scale = std::pow(10.0L, digits - 1 - std::floor(std::log10(std::fabs(v))));
    return FormatValue(std::round(v * scale) / scale);
}

// Estimated size of the wrapped tail at early times (mm^-2 ps^-1).
// Layered path: the whole curve is transformed, so R(t + T) adds onto R(t);
// R(T) <= R(T/2) sqrt(factor), R(T/2) being the last sample of the window (or
// below the kept range). Single-layer path: only the lateral boundary
// correction is transformed, and its wrapped part was measured at about
// 2 factor times the peak (at t = 10 ps, mua = 0.001 ... 0.005 /mm).
double WrappedLevel(const RunState& p, const RunResult& r, double peak, Extended factor) {
    if (p.N == 1) return 2 * static_cast<double>(factor) * peak;
    const double last_time = 10.0 * (1024 / (2 * p.M));
    const double last = r.time_ps.back() == last_time ? std::fabs(r.reflectance.back()) : peak * 1e-6;
    return static_cast<double>(std::sqrt(factor)) * last;
}

// Remedies in the words of the parameter file and the programs that read it;
// the Python package rewords them for its own arguments.
constexpr const char* kSetMmax = "set MMAX, the parameter file's last value,";
constexpr const char* kRaiseMmax = "raise MMAX, the parameter file's last value";
constexpr const char* kFastEngine = "(--engine fast, or the engine box of the window)";

// A sample is unreliable when the wrapped tail may exceed 1 % of it.
constexpr double kReliableRatio = 100;

}  // namespace

Extended SmallestSafeMua(Extended n) {
    // Single layer, M = 1: 2 factor peak <= 1e-6 peak / kReliableRatio, so that
    // every kept sample is reliable.
    const Extended mua = MuaForWrapFactor(n, 1, 1e-6L / kReliableRatio / 2);
    const Extended unit = std::pow(10.0L, std::floor(std::log10(mua)));
    return std::ceil(mua / unit) * unit;
}

std::vector<std::string> CurveWarnings(const RunState& p, const RunResult& r, bool wraparound) {
    std::vector<std::string> warnings;
    const bool off_axis_series = p.N >= 2 && p.rho0 > 0;
    if (off_axis_series && p.MMAX == 0)
        warnings.push_back("the source is off the axis (rho0 = " + FormatValue(p.rho0) +
                           " mm) but MMAX = 0 sums only the order 0, which ignores rho0 and phi: the curve is that "
                           "of a source on the axis; " + kSetMmax + " above 0 and raise it until the curve stops "
                           "changing");
    if (r.reflectance.empty()) return warnings;

    double peak = 0;
    for (double v : r.reflectance) peak = std::max(peak, std::fabs(v));
    int negative = 0;
    std::size_t worst = 0;
    for (std::size_t j = 0; j < r.reflectance.size(); ++j) {
        if (r.reflectance[j] >= 0) continue;
        if (negative++ == 0 || r.reflectance[j] < r.reflectance[worst]) worst = j;
    }
    const std::string negatives = std::to_string(negative) + " of " + std::to_string(r.reflectance.size()) +
                                  " samples are negative (down to " + Value(r.reflectance[worst]) +
                                  " mm^-2 ps^-1 at t = " + FormatValue(r.time_ps[worst]) + " ps)";

    // The damped transform (no wrap-around) folds nothing back.
    const WrapAround wrap = wraparound ? WrapAroundEstimate(p) : WrapAround{};
    const double level = wraparound ? WrappedLevel(p, r, peak, wrap.factor) : 0.0;
    // The wrapped part is largest at the earliest times, where the curve has
    // not yet risen: the rising edge is unreliable up to the first sample well
    // above it. Later samples are off by at most about the factor itself.
    std::size_t first = 0;
    while (first < r.reflectance.size() && !(std::fabs(r.reflectance[first]) > kReliableRatio * level)) ++first;
    const bool tail_off = wrap.factor > 1 / kReliableRatio;
    if (first > 0 || tail_off) {
        const auto i = static_cast<std::size_t>(wrap.layer);
        std::string w = "the least absorbing layer (layer " + std::to_string(wrap.layer + 1) + ", mua = " +
                        FormatValue(p.mua[i]) + " /mm) lets the curve decay only by a factor of about " +
                        Value(wrap.factor, 2) + " over the transform period of " + FormatValue(TransformPeriodNs(p.M)) +
                        " ns, so its tail wraps around onto the early samples";
        if (negative > 0) w += " (" + negatives + ")";
        if (first == r.reflectance.size())
            w += "; the whole curve is unreliable";
        else if (first > 0)
            w += "; samples before t = " + FormatValue(r.time_ps[first]) + " ps are unreliable";
        if (tail_off && first < r.reflectance.size())
            w += (first > 0 ? ", later ones" : "; the samples") + std::string(" may be too high by up to about ") +
                 Value(100 * wrap.factor, 2) + " %";
        if (p.M > 1) w += "; M = 1 gives the longest period (10.24 ns)";
        w += "; the fast engine " + std::string(kFastEngine) + " has no period";
        warnings.push_back(w);
    } else if (negative > 0 && -r.reflectance[worst] >= 1e-4 * peak) {
        // Tiny negative samples at the very first times, where the true
        // curve is practically zero, are the truncated series' ripple.
        std::string w = negatives + ", which a reflectance cannot be";
        if (off_axis_series && p.MMAX > 0)
            w += ": the series over the angular orders is probably not converged; " + std::string(kRaiseMmax) +
                 " (now " + std::to_string(p.MMAX) + ", at most 500) until the curve stops changing";
        else if (!wraparound)
            w += ": the series has not converged within the tolerance; use a smaller tolerance";
        else
            w += ": the series has probably not converged for these parameters";
        // The faithful engine's zeros per order are fixed (20 per mm of
        // radius) and its transform is band-limited at the 10-ps sampling: a
        // detector close to the source needs more of both.
        if (wraparound && p.N >= 2)
            w += "; if the early samples stay negative, the detector is too close to the source for the " +
                 std::to_string(static_cast<long>(std::nearbyint(20 * p.a))) +
                 " zeros per order and the band limit of the faithful engine: the fast engine " +
                 std::string(kFastEngine) + " holds every sample within its tolerance";
        warnings.push_back(w);
    }
    return warnings;
}

std::vector<std::string> ExtraValueWarnings(int count, int first_line) {
    if (count == 0) return {};
    return {"the input file holds " + std::to_string(count) + " more value" + (count == 1 ? "" : "s") +
            " after MMAX (from line " + std::to_string(first_line) +
            "), which " + (count == 1 ? "is" : "are") + " not read; check that N on line 1 matches the layers given"};
}

std::string FailureInputs(const std::string& what, const InputFile& input) {
    const int N = input.params.N;
    auto line = [&](int index) { return input.lines[static_cast<std::size_t>(index)]; };
    // A value missing at the end of the file has line 0; the range then ends
    // with the last line that was read.
    auto lines = [&](int from, int to) {
        if (to == 0) to = from;
        return from == to ? "line " + std::to_string(from)
                          : "lines " + std::to_string(from) + " ... " + std::to_string(to);
    };
    const int base = 4 * N;
    const std::string top = "musp, mua, n of layer 1 (" + lines(line(1), line(3)) + ")";
    const std::string layers = "musp, mua, n, l of the layers (" + lines(line(1), line(base)) + ")";
    const std::string geometry = "a, rho, rho0 (" + lines(line(base + 1), line(base + 3)) + ")";
    std::string inputs;
    if (what.find("boundary and diffusion") != std::string::npos)
        inputs = N == 1 ? top : top + " and of layer " + std::to_string(N);
    else if (what.find("single-layer") != std::string::npos || what.find("layered series") != std::string::npos)
        inputs = layers + " and " + geometry;
    else if (what.find("Bessel") != std::string::npos)
        inputs = "a and MMAX (" + lines(line(base + 1), line(base + 6)) + ")";
    else if (what.find("computed curve") != std::string::npos)
        inputs = layers + ", " + geometry + " and M (" + lines(line(base + 5), line(base + 5)) + ")";
    if (inputs.empty()) return "";
    return "; this depends on " + inputs + ": check them for extreme values";
}

}  // namespace tdcyl
