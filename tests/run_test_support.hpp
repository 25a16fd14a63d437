#pragma once
// Shared helpers of the run-level tests: parameter sets, the closed-form
// semi-infinite solution, curve comparisons and scratch files.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "app/core/run.hpp"

namespace tdcyl::testing_support {

struct Layer {
    long double musp, mua, n, l;
};

inline RunState MakeState(const std::vector<Layer>& layers, long double a, long double rho, long double rho0,
                          long double phi, int M = 1, int MMAX = 0) {
    RunState s;
    s.N = static_cast<int>(layers.size());
    for (const Layer& L : layers) {
        s.musp.push_back(L.musp);
        s.mua.push_back(L.mua);
        s.n.push_back(L.n);
        s.l.push_back(L.l);
    }
    s.a = a;
    s.rho = rho;
    s.rho0 = rho0;
    s.phi = phi;
    s.M = M;
    s.MMAX = MMAX;
    return s;
}

// Reff of a face between the index 1.4 and 1 (the 480-point rule's value).
inline constexpr long double kReff14 = 0.493477582093524L;

// Reflectance of a semi-infinite medium (extrapolated boundary zb = 2 (1 + reff)
// / (1 - reff) D, flux D dphi/dz through the top face) on the output grid
// t = 10, 20, ... 5120 ps, in mm^-2 ps^-1:
// R = (4 pi D v)^-3/2 t^-5/2 exp(-mua v t - r^2/(4Dvt))
//     * [z0 exp(-z0^2/(4Dvt)) + (z0+2zb) exp(-(z0+2zb)^2/(4Dvt))] / 2.
inline RunResult SemiInfiniteCurve(long double musp, long double mua, long double n, long double reff, long double r) {
    const long double pi = 3.141592653589793238462643383279502884L;
    const long double v = 299792458000.0L / n;  // mm/s
    const long double D = 1 / (3 * musp), z0 = 1 / (musp + mua);
    const long double zp = z0 + 4 * (1 + reff) / (1 - reff) * D;
    RunResult c;
    for (int i = 1; i <= 512; ++i) {
        const long double t = 10e-12L * i, four_dvt = 4 * D * v * t;
        const long double depth = (z0 * std::exp(-z0 * z0 / four_dvt) + zp * std::exp(-zp * zp / four_dvt)) / 2;
        const long double R =
            std::pow(4 * pi * D * v, -1.5L) * std::pow(t, -2.5L) * std::exp(-mua * v * t - r * r / four_dvt) * depth;
        c.time_ps.push_back(10.0 * i);
        c.reflectance.push_back(static_cast<double>(R * 1e-12L));  // per s -> per ps
    }
    return c;
}

// Largest |a - b| over the samples of b within `decades` of b's peak, relative
// to each sample of b or, with `to_peak`, to the peak (NaN if any is); a must
// hold the times of those samples.
inline double MaxRelativeDifference(const RunResult& a, const RunResult& b, double decades, bool to_peak = false) {
    double peak = 0;
    for (double v : b.reflectance) peak = std::max(peak, std::fabs(v));
    double worst = 0;
    for (std::size_t j = 0; j < b.time_ps.size(); ++j) {
        if (std::fabs(b.reflectance[j]) < peak * std::pow(10.0, -decades)) continue;
        auto it = std::find(a.time_ps.begin(), a.time_ps.end(), b.time_ps[j]);
        if (it == a.time_ps.end()) return INFINITY;
        const double va = a.reflectance[static_cast<std::size_t>(it - a.time_ps.begin())];
        const double d = std::fabs(va - b.reflectance[j]) / (to_peak ? peak : std::fabs(b.reflectance[j]));
        if (!(d <= worst)) worst = d;  // a NaN sticks
    }
    return worst;
}

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The message of the exception `f` throws, or "(no error)".
inline std::string Message(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

inline std::string ReadFileBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void WriteFileBytes(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary);
    out << bytes;
}

// A fresh empty directory under the system temporary directory.
inline std::filesystem::path FreshDirectory(const std::string& name) {
    auto dir = std::filesystem::temp_directory_path() / ("tdcyl-test-" + name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

}  // namespace tdcyl::testing_support
