#include "numerics/laplace_contour.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tdcyl {
namespace {

constexpr double kPi = 3.141592653589793238462643383279502884;
constexpr double kEps = std::numeric_limits<double>::epsilon();

struct Parameters {
    int N = 0;
    double m0 = 0, U = 0;  // mu t0 and the half-length of the u interval
};

// The smallest N over a grid of (mu t0, c_d) that meets every bound at every
// t of [t0, ratio t0]; the strip toward the cut is taken at c = 0.95. The
// noise of the values caps mu t: noise e^(ratio m0) <= 100 epsilon, but
// mu t0 >= floor whatever the target (below it the truncation needs ever
// longer contours, and the bounds' constants matter more).
Parameters Choose(double epsilon, double noise, double ratio, double floor) {
    const double L = std::log(1 / epsilon);
    const double cap = std::max(floor, std::log(100 * epsilon / noise) / ratio);
    Parameters best;
    for (int i = 1; i <= 400; ++i) {
        const double m0 = 0.05 * i;
        if (m0 > cap) break;
        const double U = std::sqrt(1 + L / m0);
        const double cu = 0.95;
        const double n_up = (L + ratio * m0 * (1 - cu) * (1 - cu)) * U / (2 * kPi * cu);
        // n_down is convex in c_d, least at c_d = sqrt(1 + L/(ratio m0)): on the
        // grid c_d = 0.05 j, j = 1 ... 80, the least is at a neighbour of it.
        const int j_best = static_cast<int>(std::sqrt(1 + L / (ratio * m0)) / 0.05);
        for (int j = std::clamp(j_best, 1, 80); j <= std::clamp(j_best + 1, 1, 80); ++j) {
            const double cd = 0.05 * j;
            const double n_down = (L + ratio * m0 * (1 + cd) * (1 + cd)) * U / (2 * kPi * cd);
            const int N = static_cast<int>(std::ceil(std::max(n_up, n_down)));
            if (best.N == 0 || N < best.N) best = {N, m0, U};
        }
    }
    return best;
}

}  // namespace

namespace {

// The nodes u_k = k h, k = 0 ... N, of z = mu (1 + iu)^2 and their weights:
// dz = 2 i mu (1 + iu) du; 1/(2 pi i); the node and its mirror -u.
ContourWindow Nodes(double t_min, double t_max, double mu, double h, int N) {
    ContourWindow w;
    w.t_min = t_min;
    w.t_max = t_max;
    w.mu = mu;
    w.h = h;
    for (int k = 0; k <= N; ++k) {
        const std::complex<double> one_iu(1, k * h);
        w.z.push_back(mu * one_iu * one_iu);
        w.weight.push_back((k == 0 ? 1.0 : 2.0) * mu * h / kPi * one_iu);
    }
    return w;
}

ContourWindow Window(double t0, double ratio, const Parameters& p) {
    return Nodes(t0, t0 * ratio, p.m0 / t0, p.U / p.N, p.N);
}

}  // namespace

std::vector<ContourWindow> ParabolicContourWindows(double t_min, double t_max, double epsilon, double noise,
                                                   double ratio) {
    epsilon = std::clamp(epsilon, 1e-18, 1e-2);
    ratio = std::max(ratio, 2.0);
    const Parameters p = Choose(epsilon, std::max(noise, kEps), ratio, 1.0);
    std::vector<ContourWindow> windows;
    // Windows end exactly at the multiples, so a time on a border gets the
    // same window whichever way it was computed.
    for (double t0 = t_min;; t0 *= ratio) {
        windows.push_back(Window(t0, ratio, p));
        if (t0 * ratio >= t_max) break;
    }
    return windows;
}

ContourWindow QuietContourWindow(double t0, double epsilon, double ratio) {
    epsilon = std::clamp(epsilon, 1e-18, 1e-2);
    ratio = std::max(ratio, 2.0);
    return Window(t0, ratio, Choose(epsilon, 1.0, ratio, 0.3));
}

void ContourFactors(const ContourWindow& w, double t, std::vector<std::complex<double>>& factors) {
    const std::size_t n = w.z.size();
    factors.resize(n);
    const double a = w.mu * t * w.h * w.h;
    const std::complex<double> b = std::exp(std::complex<double>(-a, 2 * w.mu * t * w.h));  // e^(z_1 t - mu t)
    const double a2 = std::exp(-2 * a);
    std::complex<double> g = std::exp(w.mu * t), c = b;
    for (std::size_t k = 0; k < n; ++k) {
        factors[k] = w.weight[k] * g;
        g *= c;  // e^(z_(k+1) t) = e^(z_k t) e^(-mu t h^2 (2k + 1)) e^(2 i mu t h)
        c *= a2;
    }
}

ContourValue InvertWith(const std::vector<std::complex<double>>& factors, const std::complex<double>* values,
                        const double* noise, double common) {
    double sum = 0, even = 0, size = 0, carried = 0, independent = 0, rounding = 0;
    const std::size_t n = factors.size();
    for (std::size_t k = 0; k < n; ++k) {
        const double term = std::real(factors[k] * values[k]);
        sum += term;
        if (k % 2 == 0) even += term;
        size += std::fabs(term);
        // The common share of the values' errors adds up node by node, the
        // rest as squares.
        const double spread = std::abs(factors[k]) * noise[k];
        carried += common * spread;
        independent += spread * spread;
        // The factors' recurrence leaves k roundings at node k, the sum a few
        // more: independent, so they add as squares.
        const double slips = static_cast<double>(k) + 4;
        rounding += slips * slips * term * term;
    }
    // The rule's error from the rule of step 2h on the even nodes (weights
    // twice as large): E(h) ~ E(2h)^2 / A, A the integrand's scale on the
    // strip's edge, which the terms' moduli on the contour understate where
    // the transform grows toward the cut (an upper estimate there).
    const double e2 = std::fabs(sum - 2 * even);
    const double rule = size > 0 ? e2 * e2 / size : 0.0;
    // The terms beyond the last node fall faster than geometrically, by the
    // ratio of the last factors' moduli or less.
    double beyond = 0;
    if (n >= 2) {
        const double q = std::min(0.5, std::abs(factors[n - 1]) / std::max(std::abs(factors[n - 2]), 1e-300));
        beyond = std::abs(factors[n - 1] * values[n - 1]) * q / (1 - q);
    }
    return {sum, 2 * kEps * std::sqrt(rounding) + carried + std::sqrt(independent) + rule + beyond, rule};
}

ContourWindow RefinedWindow(const ContourWindow& w) {
    return Nodes(w.t_min, w.t_max, w.mu, w.h / 2, 2 * static_cast<int>(w.z.size() - 1));
}

const std::vector<std::complex<double>>& ContourStepper::At(double t) {
    const double dt = t - t_;
    const bool repeat = started_ && dt > 0 && std::fabs(dt - dt_) <= 1e-12 * t;
    if (repeat && run_ < 16) {
        for (std::size_t k = 0; k < factor_.size(); ++k) factor_[k] *= step_[k];
        ++run_;
    } else {
        ContourFactors(w_, t, factor_);
        if (started_ && dt > 0 && !repeat) {
            for (std::size_t k = 0; k < step_.size(); ++k) step_[k] = std::exp(w_.z[k] * dt);
            dt_ = dt;
        }
        run_ = 0;
        started_ = true;
    }
    t_ = t;
    return factor_;
}

ContourValue InvertAt(const ContourWindow& w, const std::complex<double>* values, const double* noise, double t,
                      double common) {
    ContourStepper stepper(w);
    return InvertWith(stepper.At(t), values, noise, common);
}

}  // namespace tdcyl
