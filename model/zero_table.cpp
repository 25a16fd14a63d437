#include "model/zero_table.hpp"

#include <algorithm>
#include <cfenv>
#include <string>
#include <vector>

#include "model/zero_finder.hpp"
#include "numerics/specified/bessel.hpp"

namespace tdcyl {
namespace {

constexpr int kFaultFlags = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;

void CheckFaults(const std::string& stage) {
    const int flags = std::fetestexcept(kFaultFlags);
    if (flags == 0) return;
    const char* name = (flags & FE_OVERFLOW) ? "overflow" : (flags & FE_DIVBYZERO) ? "division by zero" : "invalid operation";
    throw ZeroTableError(std::string("floating-point ") + name + " in " + stage);
}

// A row is sound when it holds at least NZ strictly ascending positive zeros.
bool RowAscending(const ZeroRow& row, int stored, int NZ) {
    if (stored < NZ) return false;
    if (!(row[0] > 0)) return false;
    for (int s = 1; s < NZ; ++s)
        if (!(row[s] > row[s - 1])) return false;
    return true;
}

// Zeros of J_m and J_{m+1} interlace: j(m,s) < j(m+1,s) < j(m,s+1). A skipped
// zero in either row breaks this within the first NZ entries.
bool RowsInterlace(const ZeroRow& lower, int lower_stored, const ZeroRow& upper, int NZ) {
    for (int s = 0; s < NZ; ++s) {
        if (!(lower[s] < upper[s])) return false;
        if (s + 1 < lower_stored && !(upper[s] < lower[s + 1])) return false;
    }
    return true;
}

// Fallback for a faulty row: brackets every sign change of J_m on a grid finer
// than the smallest gap between zeros (gaps exceed 3.1 for every order) and
// bisects each bracket to the resolution of double. Slow, but only used when
// the Halley starts missed or repeated a zero.
int BracketZeros(int m, int wanted, ZeroRow& row) {
    constexpr double kStep = 0.5;
    double x0 = std::max(0.5, static_cast<double>(m));
    double f0 = BesselJn(m, x0);
    int stored = 0;
    while (stored < wanted && stored < kZeroRowWidth) {
        double x1 = x0 + kStep;
        double f1 = BesselJn(m, x1);
        if (f1 == 0.0) {
            row[static_cast<std::size_t>(stored++)] = x1;
            x1 += 1e-9 * x1;
            f1 = BesselJn(m, x1);
        } else if ((f0 < 0) != (f1 < 0)) {
            double lo = x0, hi = x1, flo = f0;
            for (int it = 0; it < 200; ++it) {
                double mid = 0.5 * (lo + hi);
                if (mid <= lo || mid >= hi) break;
                double fm = BesselJn(m, mid);
                if (fm == 0.0) {
                    lo = hi = mid;
                    break;
                }
                if ((fm < 0) == (flo < 0)) {
                    lo = mid;
                    flo = fm;
                } else {
                    hi = mid;
                }
            }
            row[static_cast<std::size_t>(stored++)] = 0.5L * (static_cast<Extended>(lo) + hi);
        }
        x0 = x1;
        f0 = f1;
    }
    return stored;
}

}  // namespace

void FillZeroTable(RunState& s, const ParallelRunner& run, const std::atomic<bool>* cancel) {
    const int rows = s.MMAX + 1;
    const int count = s.NZ / 3 + 5;
    s.JnZeroTable.assign(static_cast<std::size_t>(rows), ZeroRow{});
    std::vector<int> stored(static_cast<std::size_t>(rows), 0);
    std::vector<char> faulted(static_cast<std::size_t>(rows), 0);

    run(rows, [&](int m) {
        std::feclearexcept(FE_ALL_EXCEPT);
        stored[static_cast<std::size_t>(m)] = BesselJnZeros(m, count, s.JnZeroTable[static_cast<std::size_t>(m)]);
        faulted[static_cast<std::size_t>(m)] = std::fetestexcept(kFaultFlags) != 0;
    });

    // A faulty row is searched again by bracketing, at most once.
    std::vector<char> repaired(static_cast<std::size_t>(rows), 0);
    auto repair = [&](int m) {
        const auto i = static_cast<std::size_t>(m);
        if (repaired[i]) return;
        if (cancel != nullptr && cancel->load()) throw ZeroTableCancelled();
        std::feclearexcept(FE_ALL_EXCEPT);
        ZeroRow& row = s.JnZeroTable[i];
        row.fill(0);
        stored[i] = BracketZeros(m, s.NZ + 1, row);
        CheckFaults("the Bessel zero search of order " + std::to_string(m));
        if (!RowAscending(row, stored[i], s.NZ))
            throw ZeroTableError("could not find " + std::to_string(s.NZ) + " zeros of the Bessel function J_" +
                                 std::to_string(m));
        repaired[i] = 1;
    };
    auto interlaced = [&](int m) {
        const auto i = static_cast<std::size_t>(m);
        return RowsInterlace(s.JnZeroTable[i], stored[i], s.JnZeroTable[i + 1], s.NZ);
    };
    auto require_interlaced = [&](int m) {
        if (!interlaced(m))
            throw ZeroTableError("the zeros of the Bessel functions J_" + std::to_string(m) + " and J_" +
                                 std::to_string(m + 1) + " do not interlace");
    };
    for (int m = 0; m < rows; ++m) {
        const auto i = static_cast<std::size_t>(m);
        if (faulted[i] || !RowAscending(s.JnZeroTable[i], stored[i], s.NZ)) repair(m);
    }
    // Interlacing with the neighbouring order exposes a skipped zero that
    // leaves the row ascending. Repair both rows of a failing pair (the check
    // cannot tell which one skipped), then the pair must interlace, and a
    // repaired row must also agree with the order below it.
    for (int m = 0; m + 1 < rows; ++m) {
        if (interlaced(m)) continue;
        repair(m);
        repair(m + 1);
        require_interlaced(m);
        if (m > 0) require_interlaced(m - 1);
    }
}

}  // namespace tdcyl
