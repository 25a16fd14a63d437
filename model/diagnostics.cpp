#include "model/diagnostics.hpp"

#include <algorithm>
#include <cmath>

namespace tdcyl {

Extended SourceDepth(Extended musp, Extended mua) { return 1 / (musp + mua); }

Extended DarkUntil(const RunState& s) {
    Extended dv = 0;  // mm^2/ps
    for (std::size_t i = 0; i < static_cast<std::size_t>(s.N); ++i)
        dv = std::max(dv, kSpeedOfLight * 1e-12L / (3 * s.musp[i] * s.n[i]));
    const Extended z0 = SourceDepth(s.musp[0], s.mua[0]);
    return z0 * z0 / (4 * dv * 1e4L);
}

Extended TransformPeriodNs(int M) { return 10.24L / static_cast<Extended>(M); }

namespace {
// Light travels v T mm in one period; c is in mm/s, T in ns.
Extended PathPerPeriod(Extended n, int M) { return kSpeedOfLight / n * TransformPeriodNs(M) * 1e-9L; }
}  // namespace

WrapAround WrapAroundEstimate(const RunState& s) {
    WrapAround w;
    for (int i = 0; i < s.N; ++i) {
        const auto u = static_cast<std::size_t>(i);
        const Extended f = std::exp(-s.mua[u] * PathPerPeriod(s.n[u], s.M));
        if (i == 0 || f > w.factor) {
            w.factor = f;
            w.layer = i;
        }
    }
    return w;
}

Extended MuaForWrapFactor(Extended n, int M, Extended factor) { return -std::log(factor) / PathPerPeriod(n, M); }

}  // namespace tdcyl
