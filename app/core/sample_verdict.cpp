#include "app/core/sample_verdict.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "app/core/messages.hpp"

namespace tdcyl {

Verdict Judge(const std::vector<ContourValue>& curve, double tolerance, bool all_samples, double peak) {
    Verdict v;
    v.peak = peak;
    for (const ContourValue& c : curve) v.peak = std::max(v.peak, std::fabs(c.value));
    for (const ContourValue& c : curve) {
        const bool bad = !(c.error <= 0.5 * tolerance * v.peak);
        const bool negligible = !all_samples && std::fabs(c.value) + c.error < 1e-6 * v.peak;
        v.bad.push_back(bad && !negligible);
        v.drop.push_back(bad && !all_samples);
        if (bad && !negligible) v.worst = std::max(v.worst, c.error / v.peak);
    }
    return v;
}

Verdict Spread(const Verdict& v, const std::vector<bool>& lit) {
    Verdict out = v;
    out.bad.clear();
    std::size_t k = 0;
    for (bool on : lit) out.bad.push_back(on && v.bad[k++]);
    return out;
}

namespace {

std::string CancellationCause(const Verdict& v) {
    return "the terms of the series cancel, and their rounding leaves up to " +
           FormatValue(std::pow(10.0L, std::ceil(std::log10(static_cast<Extended>(v.worst))))) +
           " of the peak (a tolerance of that size holds for every sample)";
}

}  // namespace

std::string NoSampleHeld(Extended rho, double tolerance, const Verdict& v) {
    return "no sample at rho = " + FormatValue(rho) + " mm can be held within the tolerance " +
           FormatValue(tolerance) + " of the peak: " + CancellationCause(v);
}

std::string TimeList(const std::vector<double>& t_ps, const std::vector<bool>& which) {
    std::string out;
    int runs = 0, rest = 0;
    for (std::size_t i = 0; i < which.size(); ++i) {
        if (!which[i] || (i > 0 && which[i - 1])) continue;
        std::size_t j = i;
        while (j + 1 < which.size() && which[j + 1]) ++j;
        if (runs++ == 3) {
            rest = static_cast<int>(std::count(which.begin() + static_cast<std::ptrdiff_t>(i), which.end(), true));
            break;
        }
        if (!out.empty()) out += ", ";
        out += FormatValue(t_ps[i]);
        if (j > i) out += (j == i + 1 ? ", " : " ... ") + FormatValue(t_ps[j]);
    }
    out += " ps";
    if (rest > 0) out += " and " + std::to_string(rest) + " more";
    return out;
}

std::string UnreliableSamples(const std::vector<double>& t_ps, const Verdict& v, double tolerance, Extended rho,
                              Unheld fate) {
    const auto count = std::count(v.bad.begin(), v.bad.end(), true);
    if (count == 0) return "";
    static const char* const kFate[] = {"left out.", "returned but unreliable.", "NaN in the curve."};
    return std::to_string(count) + " of " + std::to_string(v.bad.size()) + " samples at rho = " + FormatValue(rho) +
           " mm (t = " + TimeList(t_ps, v.bad) + ") cannot be held within the tolerance " + FormatValue(tolerance) +
           " of the peak: " + CancellationCause(v) + "; they are " + kFate[static_cast<int>(fate)];
}

RunResult CurveAtTimes(const std::vector<double>& t_ps, const std::vector<bool>& lit,
                       const std::vector<ContourValue>& values, const std::vector<double>& jacobian, std::size_t P,
                       const Verdict& verdict, Unheld fate) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    RunResult result;
    auto push = [&](double t, double value, const double* derivatives) {
        result.time_ps.push_back(t);
        result.reflectance.push_back(value);
        result.log10_abs.push_back(value == 0 ? -std::numeric_limits<double>::infinity()
                                              : std::log10(std::fabs(value)));
        for (std::size_t p = 0; p < P; ++p) result.jacobian.push_back(derivatives ? 1e-3 * derivatives[p] : value);
    };
    std::size_t k = 0;
    for (std::size_t i = 0; i < t_ps.size(); ++i) {
        if (!lit[i]) {
            push(t_ps[i], 0.0, nullptr);
            continue;
        }
        const bool bad = verdict.bad[k] && fate != Unheld::returned;
        if (!bad)
            push(t_ps[i], 1e-3 * values[k].value, P > 0 ? &jacobian[k * P] : nullptr);
        else if (fate == Unheld::nan)
            push(t_ps[i], kNaN, nullptr);
        ++k;
    }
    result.unheld_error = verdict.worst;
    return result;
}

}  // namespace tdcyl
