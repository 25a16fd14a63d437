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

#include "app/core/result_writer.hpp"
#include "app/core/run_warnings.hpp"
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
        // A zero carries no information on a logarithmic scale; only the full
        // grid keeps it (its logarithm -infinity, without a division-by-zero flag).
        if (v == 0 && !all_samples) continue;
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

// The closed-form single-layer path serves one layer unless the fast engine
// is asked for the damped contour, which needs the series form.
bool ClosedFormSingleLayer(const RunState& s, const RunOptions& options) {
    return s.N == 1 && (options.engine == Engine::faithful || options.wraparound);
}

bool UsesFastSeries(const RunState& s, const RunOptions& options) {
    return options.engine == Engine::fast && !ClosedFormSingleLayer(s, options);
}

// TDCYL_SIMD=portable forces the portable vector code (to compare it with the
// widest one on the same machine).
fast::SimdPath SimdPathFromEnvironment() {
    const char* v = std::getenv("TDCYL_SIMD");
    return v != nullptr && std::string(v) == "portable" ? fast::SimdPath::portable : fast::SimdPath::widest;
}

fast::FastEngineOptions FastOptions(const RunOptions& options) {
    fast::FastEngineOptions f;
    if (options.tolerance > 0) f.tolerance = options.tolerance;
    f.wraparound = options.wraparound;
    f.simd = SimdPathFromEnvironment();
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

// Packing, inverse transform, the engine's last step, the selection and the
// warnings about the curve: the part of a run after the frequency loop.
// `wrapped`: the plain transform, whose period folds the tail onto early times.
RunResult FinishRun(const RunState& s, const std::vector<Cx>& spectrum, const std::function<void(double*)>& finish,
                    const std::string& finish_stage, bool all_samples, bool wrapped) {
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
    RunResult result = SelectSamples(s, fft, all_samples);
    result.warnings = CurveWarnings(s, result, wrapped);
    return result;
}

// The series form sums round(20 a) zeros per order; for one layer the reader
// does not bound the radius, so the limit of the layered path is checked here.
void CheckSeriesRadius(const RunState& s) {
    const Extended nz = std::nearbyint(20 * s.a);
    if (nz < 1 || nz > 5000)
        throw RunError("the series form of the fast engine sums round(20 a) Bessel zeros per order, 1 ... 5000; a = " +
                       std::to_string(static_cast<double>(s.a)) + " mm gives " + std::to_string(static_cast<double>(nz)));
}

// One geometry, several detector distances, through the fast series.
std::vector<RunResult> FastSeriesRuns(const RunState& params, const std::vector<Extended>& rhos,
                                      const RunOptions& options) {
    CheckSeriesRadius(params);
    RunState s = params;
    DeriveQuantities(s, true);
    const int threads = ThreadCount(options.threads);
    std::vector<double> rho_d;
    for (Extended r : rhos) rho_d.push_back(static_cast<double>(r));
    std::feclearexcept(FE_ALL_EXCEPT);
    fast::LayeredEngine engine(s, rho_d, FastOptions(options), Runner(threads, options));
    CheckFaults("the preparation of the fast engine");

    const std::size_t R = rhos.size();
    std::vector<std::vector<Cx>> spectra(R, std::vector<Cx>(kFrequencyCount));
    ParallelFor("frequencies", kFrequencyCount, threads, options, [&](int k) {
        std::feclearexcept(FE_ALL_EXCEPT);
        std::vector<Cx> out(R);
        engine.SpectraAt(k, out.data());
        CheckFaults(engine.FrequencyStage() + " at frequency " + std::to_string(k));
        for (std::size_t r = 0; r < R; ++r) spectra[r][static_cast<std::size_t>(k)] = out[r];
    });
    std::vector<RunResult> results;
    for (std::size_t r = 0; r < R; ++r) {
        RunState sr = s;
        sr.rho = rhos[r];
        const int ir = static_cast<int>(r);
        RunResult result = FinishRun(sr, spectra[r], [&](double* fft) { engine.FinishTimeCurveFor(ir, fft); },
                                     engine.FinishStage(), options.all_samples, options.wraparound);
        // The engine's warnings (known once its last step has run) come first.
        const auto own = engine.WarningsFor(ir);
        result.warnings.insert(result.warnings.begin(), own.begin(), own.end());
        result.terms = engine.TermsSummedFor(ir);
        results.push_back(std::move(result));
    }
    return results;
}

}  // namespace

RunResult ComputeRun(const RunState& params, const RunOptions& options) {
    if (UsesFastSeries(params, options)) return FastSeriesRuns(params, {params.rho}, options).front();

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
                                 options.all_samples, true);
    const auto own = engine->Warnings();
    result.warnings.insert(result.warnings.begin(), own.begin(), own.end());
    result.terms = engine->TermsSummed();
    return result;
}

std::vector<RunResult> ComputeRunRhos(const RunState& params, const std::vector<Extended>& rhos,
                                      const RunOptions& options) {
    if (rhos.empty()) return {};
    if (UsesFastSeries(params, options)) return FastSeriesRuns(params, rhos, options);
    std::vector<RunResult> results;
    for (Extended rho : rhos) {
        RunState s = params;
        s.rho = rho;
        results.push_back(ComputeRun(s, options));
    }
    return results;
}

std::vector<std::complex<double>> ComputeFrequencyDomain(const RunState& params, const std::vector<double>& omega_rad_s,
                                                         const RunOptions& options) {
    for (double w : omega_rad_s)
        if (!(w >= 0) || !std::isfinite(w))
            throw RunError("an angular frequency must be a finite number >= 0 rad/s, not " + std::to_string(w));
    CheckSeriesRadius(params);
    RunState s = params;
    DeriveQuantities(s, true);
    const int threads = ThreadCount(options.threads);
    fast::FastEngineOptions fo = FastOptions(options);
    fo.wraparound = true;  // the real frequency axis itself
    std::feclearexcept(FE_ALL_EXCEPT);
    fast::LayeredEngine engine(s, {static_cast<double>(s.rho)}, fo, Runner(threads, options));
    CheckFaults("the preparation of the fast engine");
    std::vector<std::complex<double>> out(omega_rad_s.size());
    RunOptions quiet = options;
    quiet.progress = nullptr;
    ParallelFor("frequencies", static_cast<int>(omega_rad_s.size()), threads, quiet, [&](int i) {
        std::feclearexcept(FE_ALL_EXCEPT);
        out[static_cast<std::size_t>(i)] = engine.FrequencyDomain(0, omega_rad_s[static_cast<std::size_t>(i)]);
        CheckFaults("the frequency-domain series at " + std::to_string(omega_rad_s[static_cast<std::size_t>(i)]) + " rad/s");
    });
    return out;
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
