#include "app/core/run.hpp"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/core/result_writer.hpp"
#include "app/core/run_warnings.hpp"
#include "model/fresnel.hpp"
#include "model/layered_term.hpp"
#include "model/single_layer.hpp"
#include "model/zero_finder.hpp"
#include "numerics/bessel.hpp"
#include "numerics/real_fft.hpp"

namespace tdcyl {
namespace {

constexpr int kFaultFlags = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;

// Floating-point faults do not trap; every stage clears the (per-thread) flags
// before it starts and inspects them when it ends, so that no NaN or infinity
// can slip into a curve reported as a success.
std::string FaultName(int flags) {
    if (flags & FE_OVERFLOW) return "overflow";
    if (flags & FE_DIVBYZERO) return "division by zero";
    return "invalid operation";
}

std::string FaultMessage(int flags, const std::string& stage) {
    return "floating-point " + FaultName(flags) + " in " + stage;
}

// Throws RunError when a fault flag is set, naming the stage.
void CheckFaults(const std::string& stage) {
    int flags = std::fetestexcept(kFaultFlags);
    if (flags != 0) throw RunError(FaultMessage(flags, stage));
}

Extended BoundaryReff(Extended n) { return n == 1.4L ? Reff14() : Reff(n); }

int ThreadCount(int requested) {
    if (requested > 0) return requested;
    unsigned hw = std::thread::hardware_concurrency();
    return hw == 0 ? 1 : static_cast<int>(hw);
}

// Runs job(k) for k = 0 .. count-1 on `threads` threads. Each job owns its
// result slot, so the outcome does not depend on the schedule. The first
// failure in index order is rethrown after all threads have stopped.
template <class Job>
void ParallelFor(const char* stage, int count, int threads, const RunOptions& options, Job job) {
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    int done = 0;
    int error_index = std::numeric_limits<int>::max();
    std::exception_ptr error;

    auto worker = [&] {
        for (;;) {
            if (failed.load() || (options.cancel && options.cancel->load())) return;
            int k = next.fetch_add(1);
            if (k >= count) return;
            try {
                job(k);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                if (k < error_index) {
                    error_index = k;
                    error = std::current_exception();
                }
                failed.store(true);
                return;
            }
            if (options.progress) {
                std::lock_guard<std::mutex> lock(mutex);
                options.progress(stage, ++done, count);
            }
        }
    };

    int n = std::max(1, std::min(threads, count));
    std::vector<std::thread> pool;
    pool.reserve(static_cast<std::size_t>(n - 1));
    for (int t = 1; t < n; ++t) pool.emplace_back(worker);
    worker();
    for (auto& t : pool) t.join();

    if (error) std::rethrow_exception(error);
    if (options.cancel && options.cancel->load()) throw RunCancelled();
}

// --- zero table -------------------------------------------------------------

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

void FillZeroTable(RunState& s, int threads, const RunOptions& options) {
    const int rows = s.MMAX + 1;
    const int count = s.NZ / 3 + 5;
    s.JnZeroTable.assign(static_cast<std::size_t>(rows), ZeroRow{});
    std::vector<int> stored(static_cast<std::size_t>(rows), 0);
    std::vector<char> faulted(static_cast<std::size_t>(rows), 0);

    ParallelFor("zeros", rows, threads, options, [&](int m) {
        std::feclearexcept(FE_ALL_EXCEPT);
        stored[static_cast<std::size_t>(m)] = BesselJnZeros(m, count, s.JnZeroTable[static_cast<std::size_t>(m)]);
        faulted[static_cast<std::size_t>(m)] = std::fetestexcept(kFaultFlags) != 0;
    });

    // A faulty row is searched again by bracketing, at most once.
    std::vector<char> repaired(static_cast<std::size_t>(rows), 0);
    auto repair = [&](int m) {
        const auto i = static_cast<std::size_t>(m);
        if (repaired[i]) return;
        if (options.cancel && options.cancel->load()) throw RunCancelled();  // a repair may take seconds
        std::feclearexcept(FE_ALL_EXCEPT);
        ZeroRow& row = s.JnZeroTable[i];
        row.fill(0);
        stored[i] = BracketZeros(m, s.NZ + 1, row);
        CheckFaults("the Bessel zero search of order " + std::to_string(m));
        if (!RowAscending(row, stored[i], s.NZ))
            throw RunError("could not find " + std::to_string(s.NZ) + " zeros of the Bessel function J_" +
                           std::to_string(m));
        repaired[i] = 1;
    };
    auto interlaced = [&](int m) {
        const auto i = static_cast<std::size_t>(m);
        return RowsInterlace(s.JnZeroTable[i], stored[i], s.JnZeroTable[i + 1], s.NZ);
    };
    auto require_interlaced = [&](int m) {
        if (!interlaced(m))
            throw RunError("the zeros of the Bessel functions J_" + std::to_string(m) + " and J_" +
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

namespace {

// --- output selection ----------------------------------------------------------

// Samples within six decades of the peak, or every sample of the output grid
// with `all_samples` (a fit needs a grid that does not move with the curve).
RunResult SelectSamples(const RunState& s, const std::vector<double>& fft, bool all_samples) {
    std::feclearexcept(FE_ALL_EXCEPT);
    RunResult result;
    const int K = kFftLength / (2 * s.M);
    auto sample = [&](int i) { return fft[static_cast<std::size_t>(i * s.M)]; };
    for (int i = 1; i <= K; ++i)
        if (!std::isfinite(sample(i)))
            throw RunError("the computed curve is not finite at t = " + std::to_string(10 * i) + " ps");
    Extended peak = std::fabs(static_cast<Extended>(sample(1)));
    for (int i = 2; i <= K; ++i) {
        Extended v = std::fabs(static_cast<Extended>(sample(i)));
        if (v > peak) peak = v;
    }
    if (peak == 0) throw RunError("the computed curve is zero");
    for (int i = 1; i <= K; ++i) {
        Extended v = sample(i);
        if (all_samples && v == 0) {
            result.time_ps.push_back(10.0 * i);
            result.reflectance.push_back(0.0);
            result.log10_abs.push_back(-std::numeric_limits<double>::infinity());
            continue;
        }
        if (v == 0) continue;  // carries no information on a logarithmic scale
        if (all_samples || peak / std::fabs(v) <= 1e6L) {
            Extended r = 0.001L * v;
            result.time_ps.push_back(10.0 * i);
            result.reflectance.push_back(static_cast<double>(r));
            result.log10_abs.push_back(static_cast<double>(std::log10(std::fabs(r))));
        }
    }
    CheckFaults("the output selection");
    return result;
}

}  // namespace

void DeriveQuantities(RunState& s) {
    std::feclearexcept(FE_ALL_EXCEPT);
    const Extended reff_top = BoundaryReff(s.n[0]);
    s.A_top = (reff_top + 1) / (1 - reff_top);
    s.z0 = 1 / (s.musp[0] + s.mua[0]);
    s.zb = 2 * s.A_top / (3 * s.musp[0]);
    s.D.resize(static_cast<std::size_t>(s.N));
    for (int i = 0; i < s.N; ++i) s.D[static_cast<std::size_t>(i)] = 1 / (3 * s.musp[static_cast<std::size_t>(i)]);
    if (s.N >= 2) {
        s.NZ = static_cast<int>(std::nearbyint(20 * s.a));  // ties to even
        const Extended reff_bot = BoundaryReff(s.n[static_cast<std::size_t>(s.N - 1)]);
        s.A_bot = (reff_bot + 1) / (1 - reff_bot);
        s.zb_bot = 2 * s.A_bot / (3 * s.musp[static_cast<std::size_t>(s.N - 1)]);
        // On the axis only order 0 contributes, over the fixed J0 zeros.
        if (!(s.rho0 > 0)) s.MMAX = 0;
    }
    CheckFaults("the boundary and diffusion quantities");
}

RunResult ComputeRun(const RunState& params, const RunOptions& options) {
    RunState s = params;
    DeriveQuantities(s);
    const int threads = ThreadCount(options.threads);

    std::vector<Cx> spectrum(kFrequencyCount);
    if (s.N == 1) {
        if (!options.plain) PrepareSingleLayerFactors(s);
        ParallelFor("frequencies", kFrequencyCount, threads, options, [&](int k) {
            std::feclearexcept(FE_ALL_EXCEPT);
            spectrum[static_cast<std::size_t>(k)] = SingleLayerCorrection(s, FrequencyOmega(s.M, k));
            CheckFaults("the single-layer boundary correction at frequency " + std::to_string(k));
        });
    } else {
        // With the source off the axis and higher orders, the series runs over
        // the zeros of J_m, found once per run; MMAX = 0 uses the J0 table.
        if (s.rho0 > 0 && s.MMAX > 0) FillZeroTable(s, threads, options);
        if (!options.plain) PrepareTermFactors(s);
        const Extended scale = (200 * static_cast<Extended>(s.M)) / ((s.a + s.zb) * (s.a + s.zb) * kPi * 1024);
        ParallelFor("frequencies", kFrequencyCount, threads, options, [&](int k) {
            std::feclearexcept(FE_ALL_EXCEPT);
            TermWork w;
            w.Resize(s.N);
            if (options.plain)
                w.omega = FrequencyOmega(s.M, k);
            else
                SetTermFrequency(s, w, FrequencyOmega(s.M, k));
            const auto term = options.plain && options.plain_term ? options.plain_term : LayeredSpectralTerm;
            for (int m = 0; m <= s.MMAX; ++m) {
                if (options.cancel && options.cancel->load()) return;
                for (int q = 1; q <= s.NZ; ++q) term(s, w, m, q);
            }
            CheckFaults("the layered series at frequency " + std::to_string(k));
            spectrum[static_cast<std::size_t>(k)] = Cx{scale * w.SumRe, scale * w.SumIm};
        });
    }

    // Packing in frequency order: frequency 512 overwrites the slot of the
    // (unused) imaginary part of frequency 0.
    std::feclearexcept(FE_ALL_EXCEPT);
    std::vector<double> fft(kFftLength, 0.0);
    for (int k = 0; k < kFrequencyCount; ++k) PackSpectrum(fft.data(), k, spectrum[static_cast<std::size_t>(k)]);
    CheckFaults("the packing of the spectrum");
    realft(fft.data(), 512, -1);
    CheckFaults("the inverse Fourier transform");
    if (s.N == 1) {
        SingleLayerTimeDomain(s, fft.data());
        CheckFaults("the single-layer time-domain step");
    }
    RunResult result = SelectSamples(s, fft, options.all_samples);
    result.warnings = CurveWarnings(params, result);
    return result;
}

RunResult RunFiles(const std::string& input_path, const std::string& output_path, const RunOptions& options) {
    CheckOutputWritable(output_path);
    CheckDistinctFiles(input_path, output_path);
    InputFile input = ReadInputFile(input_path, options.cancel);
    ValidateInput(input);
    RunResult result;
    try {
        result = ComputeRun(input.params, options);
    } catch (const RunError& e) {
        throw RunError(e.what() + FailureInputs(e.what(), input));
    }
    WriteResultFileAtomic(output_path, result.time_ps, result.reflectance);
    auto extra = ExtraValueWarnings(input.extra_values, input.extra_line);
    result.warnings.insert(result.warnings.begin(), extra.begin(), extra.end());
    return result;
}

}  // namespace tdcyl
