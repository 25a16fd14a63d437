#include "model/zero_finder.hpp"

#include <cmath>
#include <vector>

#include "numerics/specified/bessel.hpp"

namespace tdcyl {

// Halley iteration on J_m from starts spaced by pi (the asymptotic spacing of
// the zeros), three starts per requested zero; converged values are sorted and
// values closer than 1e-8 to their predecessor dropped as repeats.
int BesselJnZeros(int m, int count, ZeroRow& row) {
    const int starts = 3 * count;
    std::vector<Extended> X(static_cast<std::size_t>(starts) + 1), G(static_cast<std::size_t>(starts) + 1);
    const Extended shift = m == 0 ? 0 : m + std::exp(0.4L * std::log(static_cast<Extended>(m)));
    const Extended mm = m;
    for (int i = 1; i <= starts; ++i) {
        Extended x = std::sqrt(2.0L) + 1 + (i - 1) * kPi + shift;
        Extended delta = 1.0L;
        int counter = 0;
        X[static_cast<std::size_t>(i)] = x;
        while (std::fabs(delta) > 1e-12L && counter < 100) {
            const double xd = static_cast<double>(x);
            Extended J, P;
            if (m == 0) {
                J = BesselJ0(xd);
                P = BesselJ1(xd);
            } else {
                J = BesselJn(m, xd);
                P = BesselJn(m + 1, xd);
            }
            delta = 2 * J * x * (mm * J - x * P) /
                    ((x * x + mm * (mm + 1)) * J * J + 2 * x * x * P * P - (4 * mm + 1) * x * J * P);
            X[static_cast<std::size_t>(i)] = x - delta;
            x = X[static_cast<std::size_t>(i)];
            ++counter;
        }
    }
    // Stable bubble sort.
    for (int e = starts - 1; e >= 0; --e)
        for (int j = 2; j <= e + 1; ++j)
            if (X[static_cast<std::size_t>(j)] < X[static_cast<std::size_t>(j - 1)])
                std::swap(X[static_cast<std::size_t>(j)], X[static_cast<std::size_t>(j - 1)]);
    G[1] = 1.0L;
    for (int i = 2; i <= starts; ++i)
        G[static_cast<std::size_t>(i)] = std::fabs(X[static_cast<std::size_t>(i)] - X[static_cast<std::size_t>(i - 1)]);
    int stored = 0;
    for (int i = 1; i <= starts && stored < kZeroRowWidth; ++i)
        if (G[static_cast<std::size_t>(i)] > 1e-8L) row[static_cast<std::size_t>(stored++)] = X[static_cast<std::size_t>(i)];
    return stored;
}

}  // namespace tdcyl
