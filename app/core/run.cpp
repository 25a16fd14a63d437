#include "app/core/run.hpp"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <limits>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/core/messages.hpp"
#include "app/core/result_writer.hpp"
#include "app/core/run_warnings.hpp"
#include "app/core/sample_verdict.hpp"
#include "model/diagnostics.hpp"
#include "model/faithful_engine.hpp"
#include "model/fast/fast_engine.hpp"
#include "model/fresnel.hpp"
#include "model/zero_table.hpp"
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

// The zero search reports in its own terms; a run reports a RunError or RunCancelled.
template <class F>
decltype(auto) ZeroSearchAsRunStage(F&& f) {
    try {
        return f();
    } catch (const ZeroTableError& e) {
        throw RunError(e.what());
    } catch (const ZeroTableCancelled&) {
        throw RunCancelled();
    }
}

}  // namespace

void FillZeroTable(RunState& s, int threads, const RunOptions& options) {
    ZeroSearchAsRunStage([&] {
        tdcyl::FillZeroTable(
            s,
            [&](int count, const std::function<void(int)>& job) { ParallelFor("zeros", count, threads, options, job); },
            options.cancel);
    });
}

namespace {

// --- output selection ----------------------------------------------------------

// Samples within six decades of the peak, or every sample of the output grid
// with `all_samples` (a fit needs a grid that does not move with the curve).
RunResult SelectSamples(const RunState& s, const std::vector<double>& fft, bool all_samples,
                        const std::vector<bool>* left_out = nullptr) {
    std::feclearexcept(FE_ALL_EXCEPT);
    RunResult result;
    const int K = kFftLength / (2 * s.M);
    auto sample = [&](int i) { return fft[static_cast<std::size_t>(i * s.M)]; };
    auto kept = [&](int i) { return left_out == nullptr || !(*left_out)[static_cast<std::size_t>(i - 1)]; };
    for (int i = 1; i <= K; ++i)
        if (!std::isfinite(sample(i)))
            throw RunError("the computed curve is not finite at t = " + std::to_string(10 * i) + " ps");
    Extended peak = 0;
    for (int i = 1; i <= K; ++i) {
        Extended v = std::fabs(static_cast<Extended>(sample(i)));
        if (v > peak && kept(i)) peak = v;
    }
    if (peak == 0) throw RunError("the computed curve is zero");
    for (int i = 1; i <= K; ++i) {
        Extended v = sample(i);
        // A zero carries no information on a logarithmic scale; only the full
        // grid keeps it (its logarithm -infinity, without a division-by-zero flag).
        if ((v == 0 && !all_samples) || !kept(i)) continue;
        if (all_samples || peak / std::fabs(v) <= 1e6L) {
            Extended r = 0.001L * v;
            result.time_ps.push_back(10.0 * i);
            result.reflectance.push_back(static_cast<double>(r));
            result.log10_abs.push_back(v == 0 ? -std::numeric_limits<double>::infinity()
                                              : static_cast<double>(std::log10(std::fabs(r))));
        }
    }
    CheckFaults("the output selection");
    return result;
}

}  // namespace

void DeriveQuantities(RunState& s, bool adaptive_reff) {
    std::feclearexcept(FE_ALL_EXCEPT);
    auto reff = [adaptive_reff](Extended n) {
        return adaptive_reff ? static_cast<Extended>(ReffAdaptive(static_cast<double>(n))) : BoundaryReff(n);
    };
    const Extended reff_top = reff(s.n[0]);
    s.A_top = (reff_top + 1) / (1 - reff_top);
    s.z0 = 1 / (s.musp[0] + s.mua[0]);
    s.zb = 2 * s.A_top / (3 * s.musp[0]);
    s.D.resize(static_cast<std::size_t>(s.N));
    for (int i = 0; i < s.N; ++i) s.D[static_cast<std::size_t>(i)] = 1 / (3 * s.musp[static_cast<std::size_t>(i)]);
    if (s.N >= 2) {
        s.NZ = static_cast<int>(std::nearbyint(20 * s.a));  // ties to even
        const Extended reff_bot = reff(s.n[static_cast<std::size_t>(s.N - 1)]);
        s.A_bot = (reff_bot + 1) / (1 - reff_bot);
        s.zb_bot = 2 * s.A_bot / (3 * s.musp[static_cast<std::size_t>(s.N - 1)]);
        // On the axis only order 0 contributes, over the fixed J0 zeros.
        if (!(s.rho0 > 0)) s.MMAX = 0;
    }
    CheckFaults("the boundary and diffusion quantities");
}

namespace {

// The fast engine computes every case through its series (one layer too);
// the closed-form single layer belongs to the faithful engine.
bool UsesFastSeries(const RunOptions& options) { return options.engine == Engine::fast; }

// TDCYL_SIMD=portable forces the portable vector code (to compare it with the
// widest one on the same machine).
fast::SimdPath SimdPathFromEnvironment() {
    const char* v = std::getenv("TDCYL_SIMD");
    return v != nullptr && std::string(v) == "portable" ? fast::SimdPath::portable : fast::SimdPath::widest;
}

fast::FastEngineOptions FastOptions(const RunOptions& options, double t_last = 0) {
    if (options.tolerance != 0 && !(options.tolerance >= fast::kSmallestTolerance &&
                                    options.tolerance <= fast::kLargestTolerance))
        throw RunError("the tolerance must lie in 1e-15 ... 1e-2, not " + FormatValue(options.tolerance));
    fast::FastEngineOptions f;
    if (options.tolerance > 0) f.tolerance = options.tolerance;
    f.simd = SimdPathFromEnvironment();
    f.t_last = t_last;
    return f;
}

// Spreads the per-run preparation of an engine over the threads; `stage`
// names it in the progress report, none for a quiet one.
ParallelRunner Runner(int threads, const RunOptions& options, const char* stage = nullptr) {
    return [threads, options, stage](int count, const std::function<void(int)>& job) {
        RunOptions quiet = options;
        if (stage == nullptr) quiet.progress = nullptr;
        ParallelFor(stage != nullptr ? stage : "", count, threads, quiet, job);
    };
}

// Packing and inverse transform of a spectrum, then the engine's last step.
std::vector<double> TimeCurve(const std::vector<Cx>& spectrum, const std::function<void(double*)>& finish,
                              const std::string& finish_stage) {
    // Packing in frequency order: frequency 512 overwrites the slot of the
    // (unused) imaginary part of frequency 0.
    std::feclearexcept(FE_ALL_EXCEPT);
    std::vector<double> fft(kFftLength, 0.0);
    for (int k = 0; k < kFrequencyCount; ++k) PackSpectrum(fft.data(), k, spectrum[static_cast<std::size_t>(k)]);
    CheckFaults("the packing of the spectrum");
    realft(fft.data(), 512, -1);
    CheckFaults("the inverse Fourier transform");
    finish(fft.data());
    CheckFaults(finish_stage);
    return fft;
}

// The part of a faithful run after the frequency loop: transform, selection
// and the warnings about the curve.
RunResult FinishRun(const RunState& s, const std::vector<Cx>& spectrum, const std::function<void(double*)>& finish,
                    const std::string& finish_stage, bool all_samples) {
    RunResult result = SelectSamples(s, TimeCurve(spectrum, finish, finish_stage), all_samples);
    result.warnings = CurveWarnings(s, result, true);
    return result;
}

// One geometry, several detector distances, through the fast engine: the
// engine made for times up to `t_last` (s; 0: the transform's grid).
std::unique_ptr<fast::LayeredEngine> MakeFastEngine(RunState& s, const std::vector<Extended>& rhos,
                                                    const RunOptions& options, int threads, double t_last) {
    DeriveQuantities(s, true);
    std::vector<double> rho_d;
    for (Extended r : rhos) rho_d.push_back(static_cast<double>(r));
    const fast::FastEngineOptions fo = FastOptions(options, t_last);
    std::feclearexcept(FE_ALL_EXCEPT);
    auto engine = std::make_unique<fast::LayeredEngine>(s, rho_d, fo, Runner(threads, options));
    CheckFaults("the preparation of the fast engine");
    return engine;
}

// The contour inversion at `t_s` for every detector, mm^-2 ns^-1.
// With options.derivatives, `jacobian` receives theirs ([r][i * P + k], the same unit).
std::vector<std::vector<ContourValue>> ContourCurves(fast::LayeredEngine& engine, const std::vector<double>& t_s,
                                                     int threads, const RunOptions& options,
                                                     std::vector<std::vector<double>>* jacobian = nullptr) {
    std::feclearexcept(FE_ALL_EXCEPT);
    auto curves = engine.CurvesAt(t_s, Runner(threads, options, "contour"), options.derivatives, jacobian);
    CheckFaults("the contour inversion");
    for (auto& c : curves)
        for (ContourValue& v : c) {
            v.value *= 1e-9;
            v.error *= 1e-9;
        }
    if (jacobian != nullptr)
        for (auto& row : *jacobian)
            for (double& v : row) v *= 1e-9;
    return curves;
}

// The rows of the samples a result kept (times 10 i ps on the grid, index i - 1
// in `jacobian`), in mm^-2 ps^-1 per unit.
void KeepJacobianRows(RunResult& result, const std::vector<double>& jacobian, std::size_t P,
                      const std::function<std::size_t(std::size_t)>& row_of) {
    result.jacobian.clear();
    for (std::size_t i = 0; i < result.time_ps.size(); ++i) {
        const std::size_t row = row_of(i);
        for (std::size_t k = 0; k < P; ++k) result.jacobian.push_back(1e-3 * jacobian[row * P + k]);
    }
}

// The fast engine's curve on the output grid is the inverse Laplace transform
// at the sample times (no period, no band limit). A sample it cannot hold
// within the tolerance (cancelling terms far from the source) is left out, or
// kept with all_samples, and named in a warning. (A second opinion from the
// 1024-point transform does not help: it shares the series, and with it the
// rounding of the radial weights, which is what cancels.)
std::vector<RunResult> FastSeriesRuns(const RunState& params, const std::vector<Extended>& rhos,
                                      const RunOptions& options) {
    RunState s = params;
    const int threads = ThreadCount(options.threads);
    const auto made = MakeFastEngine(s, rhos, options, threads, 0);
    fast::LayeredEngine& engine = *made;
    const int K = kFftLength / (2 * s.M);
    std::vector<double> t_s, t_ps;
    for (int i = 1; i <= K; ++i) {
        t_ps.push_back(10.0 * i);
        t_s.push_back(1e-11 * i);
    }
    std::vector<std::vector<double>> jacobian;
    const auto contour = ContourCurves(engine, t_s, threads, options, &jacobian);
    std::vector<RunResult> results;
    for (std::size_t r = 0; r < rhos.size(); ++r) {
        RunState sr = s;
        sr.rho = rhos[r];
        const Verdict verdict = Judge(contour[r], engine.Tolerance(), options.all_samples);
        std::vector<double> curve(kFftLength, 0.0);
        for (int i = 1; i <= K; ++i)
            curve[static_cast<std::size_t>(i * s.M)] = contour[r][static_cast<std::size_t>(i - 1)].value;
        if (std::find(verdict.drop.begin(), verdict.drop.end(), false) == verdict.drop.end())
            throw ToleranceError(NoSampleHeld(rhos[r], engine.Tolerance(), verdict));
        RunResult result = SelectSamples(sr, curve, options.all_samples, &verdict.drop);
        // Nothing wraps around: only the warnings about the model itself remain.
        result.warnings = CurveWarnings(sr, result, false);
        const std::string unreliable = UnreliableSamples(t_ps, verdict, engine.Tolerance(), rhos[r],
                                                         options.all_samples ? Unheld::returned : Unheld::left_out);
        if (!unreliable.empty()) result.warnings.push_back(unreliable);
        result.unheld_error = verdict.worst;
        const auto own = engine.SeriesWarnings(static_cast<int>(r));
        result.warnings.insert(result.warnings.begin(), own.begin(), own.end());
        result.terms = engine.TermsSummedFor(static_cast<int>(r));
        if (!options.derivatives.empty())
            KeepJacobianRows(result, jacobian[r], options.derivatives.size(), [&](std::size_t i) {
                return static_cast<std::size_t>(std::lround(result.time_ps[i] / 10)) - 1;
            });
        results.push_back(std::move(result));
    }
    return results;
}

}  // namespace

RunResult ComputeRun(const RunState& params, const RunOptions& options) {
    if (UsesFastSeries(options)) return FastSeriesRuns(params, {params.rho}, options).front();
    if (!options.derivatives.empty()) throw RunError("derivatives need the fast engine");

    RunState s = params;
    DeriveQuantities(s);
    const int threads = ThreadCount(options.threads);
    FaithfulEngineOptions fo;
    fo.plain = options.plain;
    fo.plain_term = options.plain_term;
    fo.cancel = options.cancel;
    const std::unique_ptr<SpectralEngine> engine =
        ZeroSearchAsRunStage([&] { return MakeFaithfulEngine(s, fo, Runner(threads, options, "zeros")); });

    std::vector<Cx> spectrum(kFrequencyCount);
    ParallelFor("frequencies", kFrequencyCount, threads, options, [&](int k) {
        std::feclearexcept(FE_ALL_EXCEPT);
        spectrum[static_cast<std::size_t>(k)] = engine->Spectrum(k);
        CheckFaults(engine->FrequencyStage() + " at frequency " + std::to_string(k));
    });
    // Both the faithful engine and the closed-form single layer use the plain transform.
    RunResult result = FinishRun(s, spectrum, [&](double* fft) { engine->FinishTimeCurve(fft); }, engine->FinishStage(),
                                 options.all_samples);
    const auto own = engine->Warnings();
    result.warnings.insert(result.warnings.begin(), own.begin(), own.end());
    result.terms = engine->TermsSummed();
    return result;
}

std::vector<RunResult> ComputeRunRhos(const RunState& params, const std::vector<Extended>& rhos,
                                      const RunOptions& options) {
    if (rhos.empty()) return {};
    if (UsesFastSeries(options)) return FastSeriesRuns(params, rhos, options);
    std::vector<RunResult> results;
    for (Extended rho : rhos) {
        RunState s = params;
        s.rho = rho;
        results.push_back(ComputeRun(s, options));
    }
    return results;
}

std::vector<RunResult> ComputeRunAtTimes(const RunState& params, const std::vector<Extended>& rhos,
                                         const std::vector<double>& times_ps, const RunOptions& options) {
    for (double t : times_ps)
        if (!(t > 0) || !(t <= kLatestTime))
            throw RunError("a time must lie in (0, " + FormatValue(kLatestTime) + "] ps, not " + FormatValue(t));
    if (rhos.empty() || times_ps.empty()) return std::vector<RunResult>(rhos.size());
    RunState s = params;
    const int threads = ThreadCount(options.threads);
    // Before the light can arrive the curve is 0 to every digit; the contour
    // is not asked there (its nodes grow as 1/t and overflow at tiny times).
    const auto dark = static_cast<double>(DarkUntil(params));
    std::vector<bool> lit;
    // The tolerance is relative to the curve's peak, which the given times
    // may miss: the curve is also evaluated at four times per octave over
    // their span (at no cost: the contours are those of the given times). A
    // peak found there can only be smaller than the curve's, so the verdict
    // is the stricter; where it finds a sample that cannot be held, the
    // probes cover the whole 1024-sample window, 10 ps ... 5.12 ns, instead.
    std::vector<double> t_s;
    for (double t : times_ps) {
        lit.push_back(t >= dark);
        if (t >= dark) t_s.push_back(1e-12 * t);
    }
    const std::size_t given = t_s.size();
    const std::size_t P = options.derivatives.size();
    const Unheld fate = options.all_samples ? Unheld::returned : options.unheld_nan ? Unheld::nan : Unheld::left_out;
    if (given == 0)
        return std::vector<RunResult>(rhos.size(), CurveAtTimes(times_ps, lit, {}, {}, P, Verdict{}, fate));
    const auto [lo, hi] = std::minmax_element(t_s.begin(), t_s.end());
    const double first = *lo, last = *hi;
    auto probe = [&](double from, double to) {
        t_s.resize(given);
        for (double t = from; t <= to * (1 + 1e-12); t *= std::exp2(0.25)) t_s.push_back(t);
    };
    probe(first, last);
    const auto made = MakeFastEngine(s, rhos, options, threads, std::max(last, 5.12e-9));
    fast::LayeredEngine& engine = *made;
    std::vector<std::vector<double>> jacobian;
    auto contour = ContourCurves(engine, t_s, threads, options, &jacobian);
    auto peak_of = [&](std::size_t r) {
        double peak = 0;
        for (std::size_t i = given; i < t_s.size(); ++i) peak = std::max(peak, std::fabs(contour[r][i].value));
        return peak;
    };
    bool doubtful = false;
    for (std::size_t r = 0; r < rhos.size() && !doubtful; ++r) {
        const Verdict v = Judge(std::vector<ContourValue>(contour[r].begin(), contour[r].begin() + static_cast<std::ptrdiff_t>(given)),
                                engine.Tolerance(), true, peak_of(r));
        doubtful = std::find(v.bad.begin(), v.bad.end(), true) != v.bad.end();
    }
    if (doubtful) {
        probe(std::min(first, 1e-11), std::max(last, 5.12e-9));
        contour = ContourCurves(engine, t_s, threads, options, &jacobian);
    }
    std::vector<RunResult> results;
    for (std::size_t r = 0; r < rhos.size(); ++r) {
        const double peak = peak_of(r);
        contour[r].resize(given);
        const Verdict verdict = Judge(contour[r], engine.Tolerance(), true, peak);
        // As on the grid: a curve none of whose samples holds is no curve.
        if (fate != Unheld::returned && std::find(verdict.bad.begin(), verdict.bad.end(), false) == verdict.bad.end())
            throw ToleranceError(NoSampleHeld(rhos[r], engine.Tolerance(), verdict));
        RunResult result = CurveAtTimes(times_ps, lit, contour[r], P > 0 ? jacobian[r] : std::vector<double>{}, P,
                                        verdict, fate);
        result.warnings = engine.SeriesWarnings(static_cast<int>(r));
        const std::string unreliable =
            UnreliableSamples(times_ps, Spread(verdict, lit), engine.Tolerance(), rhos[r], fate);
        if (!unreliable.empty()) result.warnings.push_back(unreliable);
        results.push_back(std::move(result));
    }
    return results;
}

std::vector<std::complex<double>> ComputeFrequencyDomain(const RunState& params, const std::vector<double>& omega_rad_s,
                                                         const RunOptions& options,
                                                         std::vector<std::string>* warnings) {
    for (double w : omega_rad_s)
        if (!(w >= 0) || !(w <= kLargestOmega))
            throw RunError("an angular frequency must lie in 0 ... " + FormatValue(kLargestOmega) + " rad/s, not " +
                           FormatValue(w));
    RunState s = params;
    const int threads = ThreadCount(options.threads);
    RunOptions real_axis = options;
    real_axis.wraparound = true;  // the real frequency axis itself
    const auto made = MakeFastEngine(s, {s.rho}, real_axis, threads, 0);
    made->PrepareFullSeries(Runner(threads, options));
    const fast::LayeredEngine& engine = *made;
    std::vector<std::complex<double>> out(omega_rad_s.size());
    RunOptions quiet = options;
    quiet.progress = nullptr;
    ParallelFor("frequencies", static_cast<int>(omega_rad_s.size()), threads, quiet, [&](int i) {
        std::feclearexcept(FE_ALL_EXCEPT);
        out[static_cast<std::size_t>(i)] = engine.FrequencyDomain(0, omega_rad_s[static_cast<std::size_t>(i)]);
        CheckFaults("the frequency-domain series at " + FormatValue(omega_rad_s[static_cast<std::size_t>(i)]) + " rad/s");
    });
    if (warnings != nullptr) *warnings = engine.SeriesWarnings(0);
    return out;
}

RunResult RunFiles(const std::string& input_path, const std::string& output_path, const RunOptions& options) {
    CheckOutputWritable(output_path);
    CheckDistinctFiles(input_path, output_path);
    InputFile input = ReadInputFile(input_path, options.cancel);
    ValidateInput(input, options.engine == Engine::faithful);
    RunResult result;
    try {
        result = options.times_ps.empty()
                     ? ComputeRun(input.params, options)
                     : ComputeRunAtTimes(input.params, {input.params.rho}, options.times_ps, options).front();
    } catch (const RunError& e) {
        throw RunError(e.what() + FailureInputs(e.what(), input));
    }
    WriteResultFileAtomic(output_path, result.time_ps, result.reflectance);
    auto extra = ExtraValueWarnings(input.extra_values, input.extra_line);
    result.warnings.insert(result.warnings.begin(), extra.begin(), extra.end());
    return result;
}

}  // namespace tdcyl
