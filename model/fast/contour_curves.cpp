// The fast engine's curves at given times: the series summed at the nodes of
// parabolic contour windows, cut per window where its blocks stop mattering,
// and inverted; windows whose rule or rounding cannot hold the tolerance are
// computed again (more nodes; quieter contours).
#include <algorithm>
#include <cmath>
#include <limits>

#include "model/fast/contour_shares.hpp"
#include "model/fast/fast_engine.hpp"

namespace tdcyl::fast {
namespace {

using namespace detail;  // kPi and the contour windows, as the two halves of the engine share them

// The share of a node's noise estimate (8 ulp of the root-sum-square of its
// terms) that the radial weights' rounding (half an ulp) stands for.
constexpr double kCommonNoise = 1.0 / 16;

// A window is refined where the estimate of its rule's error (an upper one:
// the coarser rules it compares with are off more than their asymptotics
// say) exceeds this share of the tolerance.
constexpr double kRefineShare = 0.05;

// The largest |part of the curve| that node values v (every stride-th) give at
// the probe times of a window (the factors e^(z t) of each).
double Largest(const std::vector<std::vector<std::complex<double>>>& probe, const std::complex<double>* v,
               std::size_t stride) {
    double big = 0;
    for (const auto& f : probe) {
        double sum = 0;
        for (std::size_t j = 0; j < f.size(); ++j) sum += std::real(f[j] * v[j * stride]);
        big = std::max(big, std::fabs(sum));
    }
    return big;
}

constexpr int kQuietBlocks = 3, kBlocksPerPass = 4;

}  // namespace

// The rule's own error: where the rule of the even nodes tells that a
// window's rule may leave more than kRefineShare of the tolerance (the
// transform grows toward the cut, far from the source), the window's
// times are computed again with twice the nodes (at most twice over). A
// detector takes the finer values only where its own estimate asked for
// them: its curve must not depend on the others'.
void LayeredEngine::RefineWindows(std::vector<ContourWindow> ws, const std::vector<double>& t_s, std::size_t P,
                                  const WindowEvaluation& eval, std::vector<std::vector<ContourValue>>& into,
                                  std::vector<std::vector<double>>* jac_into) const {
    const std::size_t R = rhos_.size();
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<double> peak(R, 0.0);
        for (std::size_t r = 0; r < R; ++r)
            for (const ContourValue& v : into[r]) peak[r] = std::max(peak[r], std::fabs(v.value));
        std::vector<ContourWindow> finer;
        std::vector<std::size_t> again;
        std::vector<std::vector<char>> take(R, std::vector<char>(t_s.size(), 0));
        for (std::size_t k = 0; k < ws.size(); ++k) {
            const bool last = k + 1 == ws.size();
            std::vector<std::size_t> inside;
            std::vector<char> coarse(R, 0);
            for (std::size_t i = 0; i < t_s.size(); ++i) {
                const bool after = k == 0 || t_s[i] >= ws[k].t_min;
                if (!after || (!last && t_s[i] >= ws[k].t_max)) continue;
                inside.push_back(i);
                for (std::size_t r = 0; r < R; ++r)
                    coarse[r] = coarse[r] || into[r][i].rule > kRefineShare * options_.tolerance * peak[r];
            }
            if (std::find(coarse.begin(), coarse.end(), 1) == coarse.end()) continue;
            ws[k] = RefinedWindow(ws[k]);
            finer.push_back(ws[k]);
            again.insert(again.end(), inside.begin(), inside.end());
            for (std::size_t r = 0; r < R; ++r)
                for (std::size_t i : inside) take[r][i] = coarse[r];
        }
        if (again.empty()) return;
        std::vector<std::vector<ContourValue>> fine = into;
        std::vector<std::vector<double>> fine_jacobian;
        if (P > 0) fine_jacobian = *jac_into;
        eval(finer, again, fine, &fine_jacobian);
        for (std::size_t r = 0; r < R; ++r)
            for (std::size_t i : again) {
                if (!take[r][i]) continue;
                into[r][i] = fine[r][i];
                for (std::size_t p = 0; p < P; ++p) (*jac_into)[r][i * P + p] = fine_jacobian[r][i * P + p];
            }
    }
}

std::vector<std::vector<ContourValue>> LayeredEngine::CurvesAt(const std::vector<double>& t_s,
                                                               const ParallelRunner& run,
                                                               const std::vector<LayerParameter>& derivatives,
                                                               std::vector<std::vector<double>>* jacobian) {
    const std::size_t R = rhos_.size(), P = jacobian != nullptr ? derivatives.size() : 0;
    std::vector<std::vector<ContourValue>> out(R, std::vector<ContourValue>(t_s.size()));
    if (jacobian != nullptr) jacobian->assign(R, std::vector<double>(t_s.size() * P, 0.0));
    if (t_s.empty()) return out;
    if (P > 0) {
        for (const LayerParameter& d : derivatives)
            if (d.kind == LayerParameter::Kind::musp && d.layer == 0) MakeRadialDerivatives();
        series_tangents_ = SelectSeriesTangents(options_.simd);
    }
    const auto [lo, hi] = std::minmax_element(t_s.begin(), t_s.end());
    const double epsilon = kContourShare * options_.tolerance;
    const double area = kPi * ap_ * ap_;
    // The series is summed per window in blocks of kSeriesPadding zeros, and
    // cut where the blocks stop mattering at the window's times (SumOrder).
    // The size the tolerance refers to: the largest value of the curve seen
    // so far (this window's included), at least a thousandth of the mean over
    // the window T.
    const double T = Period(s_.M);
    CurveRun curves{t_s, run, derivatives, P, std::numeric_limits<double>::infinity(), std::vector<double>(R)};
    for (double f : kappa_factor_) curves.slowest = std::min(curves.slowest, 1 / f);
    for (std::size_t r = 0; r < R; ++r) curves.seen[r] = 1e-3 * x0_[r] / (area * T);
    auto evaluate = [&](const std::vector<ContourWindow>& ws, const std::vector<std::size_t>& which,
                        std::vector<std::vector<ContourValue>>& into, std::vector<std::vector<double>>* jac_into) {
        EvaluateWindows(curves, ws, which, into, jac_into);
    };
    const std::vector<ContourWindow> windows = ParabolicContourWindows(*lo, *hi, epsilon, 0, kContourRatio);
    std::vector<std::size_t> all(t_s.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    evaluate(windows, all, out, jacobian);
    RefineWindows(windows, t_s, P, evaluate, out, jacobian);

    // Where the terms cancel (far from the source, at early times) the
    // factor e^(mu t) of the rule amplifies their rounding: the times of a
    // window with a sample whose error exceeds the tolerance are computed
    // again on windows of half its ratio with the smallest mu t; a sample
    // over the limit keeps the smaller error (only such samples: a
    // detector's curve must not depend on the others').
    std::vector<double> peak(R, 0.0);
    for (std::size_t r = 0; r < R; ++r)
        for (const ContourValue& v : out[r]) peak[r] = std::max(peak[r], std::fabs(v.value));
    QuieterWindows(curves, windows, 1.0, peak, out, jacobian);
    // Where the first rule's roundings were too large for the comparison to
    // tell, a second quiet rule gives one of the same quality.
    QuieterWindows(curves, windows, 1.1, peak, out, jacobian);
    return out;
}

// The windows `ws` for the times `which` (each time in the window that holds
// it, the last one closed): transform values and their rounding errors at
// every node, then the values at the times. With derivatives, `jac_into`
// takes them like `into` the values.
void LayeredEngine::EvaluateWindows(CurveRun& curves, const std::vector<ContourWindow>& ws,
                                    const std::vector<std::size_t>& which,
                                    std::vector<std::vector<ContourValue>>& into,
                                    std::vector<std::vector<double>>* jac_into) {
    const std::size_t R = rhos_.size();
    std::vector<std::size_t> first(ws.size() + 1, 0);
    for (std::size_t k = 0; k < ws.size(); ++k) first[k + 1] = first[k] + ws[k].z.size();
    const std::size_t nodes = first.back();
    NodeTransforms n{nodes, std::vector<std::vector<std::complex<double>>>(R, std::vector<std::complex<double>>(nodes)),
                     std::vector<std::vector<std::complex<double>>>(
                         R, std::vector<std::complex<double>>(curves.P * nodes)),
                     std::vector<std::vector<double>>(R, std::vector<double>(nodes))};
    for (std::size_t k = 0; k < ws.size(); ++k) SumWindow(curves, ws[k], first[k], n);
    // The factors e^(z t) of a time serve every detector; on a grid of
    // equal steps they come by multiplication.
    std::vector<ContourStepper> steppers;
    for (const ContourWindow& w : ws) steppers.emplace_back(w);
    for (std::size_t i : which) {
        std::size_t k = 0;
        while (k + 1 < ws.size() && curves.t_s[i] >= ws[k].t_max) ++k;
        const std::vector<std::complex<double>>& factors = steppers[k].At(curves.t_s[i]);
        for (std::size_t r = 0; r < R; ++r) {
            into[r][i] = InvertWith(factors, n.F[r].data() + first[k], n.noise[r].data() + first[k], kCommonNoise);
            // The inverse transform is linear: the derivative's curve comes from the same nodes.
            for (std::size_t p = 0; p < curves.P; ++p) {
                double sum = 0;
                const std::complex<double>* g = n.dF[r].data() + p * nodes + first[k];
                for (std::size_t q = 0; q < factors.size(); ++q) sum += std::real(factors[q] * g[q]);
                (*jac_into)[r][i * curves.P + p] = sum;
            }
        }
    }
}

// Window w's nodes, from node `base` on in n: every order's series, then the
// rounding error of each node.
void LayeredEngine::SumWindow(CurveRun& curves, const ContourWindow& w, std::size_t base, NodeTransforms& n) {
    const std::size_t R = rhos_.size(), nk = w.z.size();
    std::vector<std::vector<std::complex<double>>> probe(5, std::vector<std::complex<double>>(nk));
    for (std::size_t i = 0; i < probe.size(); ++i) {
        const double t = w.t_min * std::pow(w.t_max / w.t_min, 0.25 * static_cast<double>(i));
        ContourFactors(w, t, probe[i]);
    }
    std::vector<std::vector<double>> mag2(R, std::vector<double>(nk, 0.0));
    for (int m = 0; m < orders_; ++m) SumOrder(curves, w, m, probe, base, n, mag2);
    for (std::size_t r = 0; r < R; ++r) {
        curves.seen[r] = std::max(curves.seen[r], Largest(probe, n.F[r].data() + base, 1));
        // A few roundings per term (the recursion, the exponentials),
        // independent from node to node; the weights' own rounding
        // (half an ulp each, their zeros and arguments in extended
        // precision) is common to all nodes: kCommonNoise of it.
        for (std::size_t j = 0; j < nk; ++j)
            n.noise[r][base + j] = 8 * std::numeric_limits<double>::epsilon() * std::sqrt(mag2[r][j]);
    }
}

// Order m of the series at window w's nodes, added block by block. A term of
// radial wavenumber s decays in time about as e^(-v D s^2 t) (exactly so in a
// homogeneous medium), so at late times a few zeros carry the curve, while the
// Laplace-domain bound of the constructor (needed at t -> 0) counts hundreds.
// A detector stops after three blocks in a row whose part of the curve at five
// times across the window is below 1 % of the tolerance (per order; ten times
// the contour's share, since a block's part carries the rule's error for that
// block), once v D s^2 t_min >= 10 at the block's last zero (or after one such
// block once its first zero decays by e^-30); never beyond the constructor's
// count.
void LayeredEngine::SumOrder(CurveRun& curves, const ContourWindow& w, int m,
                             const std::vector<std::vector<std::complex<double>>>& probe, std::size_t base,
                             NodeTransforms& n, std::vector<std::vector<double>>& mag2) {
    const std::size_t R = rhos_.size(), P = curves.P, nk = w.z.size();
    const Order& o = order_[static_cast<std::size_t>(m)];
    std::vector<int> limit(R), quiet(R, 0);
    std::vector<char> done(R);
    for (std::size_t r = 0; r < R; ++r) {
        limit[r] = o.count[r] / kSeriesPadding;
        done[r] = limit[r] == 0;
    }
    std::vector<std::complex<double>> blocks, dblocks;
    std::vector<double> bmag2;
    for (int b = 0; std::find(done.begin(), done.end(), 0) != done.end();) {
        int most = 0;
        for (std::size_t r = 0; r < R; ++r)
            if (!done[r]) most = std::max(most, limit[r]);
        // An order whose first zero already decays by e^-30 over the window's
        // start (high orders off the axis, late windows) is first tried with
        // one block.
        Materialize(order_[static_cast<std::size_t>(m)], (b + 1) * kSeriesPadding);
        const bool faint = curves.slowest * o.sr2[static_cast<std::size_t>(b * kSeriesPadding)] * w.t_min >= 30;
        const int b1 = std::min(b + (b == 0 && faint ? 1 : kBlocksPerPass), most);
        const auto nb = static_cast<std::size_t>(b1 - b);
        blocks.assign(nk * nb * R, {0, 0});
        bmag2.assign(nk * nb * R, 0.0);
        dblocks.assign(nk * nb * R * P, {0, 0});
        Materialize(order_[static_cast<std::size_t>(m)], b1 * kSeriesPadding);
        auto job = [&](int node) {
            const auto j = static_cast<std::size_t>(node);
            Blocks(w.z[j], m, b, b1, curves.derivatives, blocks.data() + j * nb * R, bmag2.data() + j * nb * R,
                   P > 0 ? dblocks.data() + j * nb * R * P : nullptr);
        };
        // Threads only for passes worth more than starting them (a few
        // thousand terms); each node has its own slot either way.
        if (nk * nb * kSeriesPadding * R * (1 + P) >= 4096)
            curves.run(static_cast<int>(nk), job);
        else
            for (int j = 0; j < static_cast<int>(nk); ++j) job(j);
        for (std::size_t r = 0; r < R; ++r)
            for (int c = b; c < b1 && !done[r]; ++c) {
                const std::size_t at = static_cast<std::size_t>(c - b) * R + r, step = nb * R;
                for (std::size_t j = 0; j < nk; ++j) {
                    n.F[r][base + j] += blocks[j * step + at];
                    mag2[r][j] += bmag2[j * step + at];
                    for (std::size_t i = 0; i < P; ++i)
                        n.dF[r][i * n.nodes + base + j] += dblocks[(j * step + at) * P + i];
                }
                curve_terms_[r] += static_cast<double>(nk * kSeriesPadding);
                const double part = Largest(probe, blocks.data() + at, step);
                const double size = std::max(curves.seen[r], Largest(probe, n.F[r].data() + base, 1));
                quiet[r] = part <= 1e-2 * options_.tolerance * size / orders_ ? quiet[r] + 1 : 0;
                // Enough quiet blocks, or one whose every term (and so every
                // later one) has decayed by e^-30.
                const double s2_first = o.sr2[static_cast<std::size_t>(c * kSeriesPadding)];
                const double s2_last = o.sr2[static_cast<std::size_t>((c + 1) * kSeriesPadding - 1)];
                if ((quiet[r] >= kQuietBlocks && curves.slowest * s2_last * w.t_min >= 10) ||
                    (quiet[r] >= 1 && curves.slowest * s2_first * w.t_min >= 30) || c + 1 >= limit[r])
                    done[r] = 1;
            }
        b = b1;
    }
}

// The times of each half of a window that holds a sample whose error exceeds
// half the tolerance (of its detector's peak) are computed again on a quieter
// contour of that half (started `early` before it, to give a second such rule
// nodes of its own); a sample takes the quieter value where it holds.
void LayeredEngine::QuieterWindows(CurveRun& curves, const std::vector<ContourWindow>& windows, double early,
                                   const std::vector<double>& peak, std::vector<std::vector<ContourValue>>& out,
                                   std::vector<std::vector<double>>* jacobian) {
    const std::size_t R = rhos_.size(), P = curves.P;
    const std::vector<double>& t_s = curves.t_s;
    auto noisy = [&](std::size_t r, std::size_t i) { return out[r][i].error > 0.5 * options_.tolerance * peak[r]; };
    std::vector<ContourWindow> quiet_windows;
    std::vector<std::size_t> again;
    const double half = std::sqrt(kContourRatio);
    for (const ContourWindow& w : windows)
        for (double t0 : {w.t_min, w.t_min * half}) {
            const double t1 = t0 * half;
            const bool last = &w == &windows.back() && t0 > w.t_min;
            std::vector<std::size_t> inside;
            bool any = false;
            for (std::size_t i = 0; i < t_s.size(); ++i)
                if (t_s[i] >= t0 && (t_s[i] < t1 || (last && t_s[i] <= w.t_max))) {
                    inside.push_back(i);
                    for (std::size_t r = 0; r < R; ++r) any = any || noisy(r, i);
                }
            if (!any) continue;
            quiet_windows.push_back(QuietContourWindow(t0 / early, kContourShare * options_.tolerance, half * early));
            again.insert(again.end(), inside.begin(), inside.end());
        }
    if (again.empty()) return;
    std::sort(again.begin(), again.end(), [&](std::size_t x, std::size_t y) { return t_s[x] < t_s[y]; });
    for (std::size_t r = 0; r < R; ++r) curves.seen[r] = std::max(curves.seen[r], peak[r]);
    std::vector<std::vector<ContourValue>> quiet = out;
    std::vector<std::vector<double>> quiet_jacobian;
    if (P > 0) quiet_jacobian = *jacobian;
    EvaluateWindows(curves, quiet_windows, again, quiet, &quiet_jacobian);
    // The two rules share no node, so the roundings of the layer recursion
    // at the nodes are independent: where both estimates exceed the limit
    // but the values agree within a quarter of it, their difference
    // measures that part of the error better than the bound (which counts
    // every rounding at its worst). The rounding of the radial weights is
    // common to both rules: a quarter of the bound stays.
    for (std::size_t r = 0; r < R; ++r)
        for (std::size_t i : again) {
            if (!noisy(r, i)) continue;
            const double apart = std::fabs(quiet[r][i].value - out[r][i].value);
            // The quieter rule has fewer digits of its own to spare (its
            // small mu t needs a long contour): it is taken only where it
            // lies within the other rule's error.
            if (quiet[r][i].error < out[r][i].error && apart <= out[r][i].error + quiet[r][i].error) {
                out[r][i] = quiet[r][i];
                for (std::size_t p = 0; p < P; ++p) (*jacobian)[r][i * P + p] = quiet_jacobian[r][i * P + p];
            }
            if (apart <= 0.25 * options_.tolerance * peak[r])
                out[r][i].error = std::min(out[r][i].error, std::max(2 * apart, 0.25 * out[r][i].error));
        }
}

}  // namespace tdcyl::fast
