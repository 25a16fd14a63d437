#pragma once
// The run core shared by the command-line program and the window: derives the
// boundary and diffusion quantities, evaluates the spectrum on 513 modulation
// frequencies, transforms it to the time domain and selects the samples within
// six decades of the peak. Knows nothing of any GUI.
#include <atomic>
#include <complex>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/core/input_reader.hpp"
#include "model/run_state.hpp"

namespace tdcyl {

// A run that failed: the message is complete and ready for the user.
class RunError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A curve none of whose samples can be held within the tolerance; the
// message names the tolerance that would hold.
class ToleranceError : public RunError {
public:
    using RunError::RunError;
};

// Thrown when a run was stopped through RunOptions::cancel.
class RunCancelled : public std::runtime_error {
public:
    RunCancelled() : std::runtime_error("the run was cancelled") {}
};

// Which engine computes the spectrum. faithful: Extended precision, every term,
// the historical result files byte for byte. fast: double precision, accurate
// special functions, the series over the zeros cut at a derived error bound,
// vectorised; the same curve to about 1e-7 within 3 decades, far sooner.
enum class Engine { faithful, fast };

struct RunOptions {
    int threads = 0;  // 0: all hardware threads
    // Every output sample i = 1 ... K (K = 1024 div 2M) at t = 10 i ps, not only
    // those within six decades of the peak (a fit needs a fixed grid).
    bool all_samples = false;
    // Called with (stage, done, total) from the computing threads, serialised
    // by the core; may be empty. Stages: "zeros" (orders of the Bessel zero
    // search done / orders), "frequencies" (frequencies done / 513).
    std::function<void(const std::string& stage, int done, int total)> progress;
    const std::atomic<bool>* cancel = nullptr;  // set to true to stop the run
    // Benchmark baseline: no per-run factor tables; every term (and every
    // single-layer frequency) computes all its factors itself, the layered
    // terms through `plain_term` when it is given. Same bits, slower.
    bool plain = false;
    void (*plain_term)(const RunState&, TermWork&, int m, int q) = nullptr;

    Engine engine = Engine::faithful;
    // Fast engine: the largest error of any returned sample, relative to the
    // curve's peak (1e-15 ... 1e-2); 0: the default 1e-11.
    double tolerance = 0;
    // Fast engine: false evaluates the spectrum on the damped line omega - i sigma
    // and multiplies the curve by e^(sigma t), which suppresses the images of the
    // periodic transform (a slowly decaying tail folding onto early times).
    bool wraparound = true;
    // Fast engine, RunFiles: the curve at these times (ps) by the contour
    // inversion instead of on the transform's grid (empty: the grid).
    std::vector<double> times_ps;
    // With times_ps and without all_samples: a time whose value cannot be held
    // is NaN in its place instead of left out (one value per requested time).
    bool unheld_nan = false;
    // Fast engine: also the derivatives of the curve by these parameters
    // (RunResult::jacobian).
    std::vector<LayerParameter> derivatives;
};

struct RunResult {
    // Accepted samples in increasing time; with RunOptions::all_samples every
    // output sample, zeros included (log10_abs is then -infinity).
    std::vector<double> time_ps;       // 10*i
    std::vector<double> reflectance;   // 0.001*v, mm^-2 ps^-1, signed
    std::vector<double> log10_abs;     // log10(|0.001*v|), for the chart
    // Doubts about the curve (unconverged series, wrap-around, ignored
    // values), one complete sentence each; they never change the numbers.
    std::vector<std::string> warnings;
    double terms = 0;  // layered terms summed over all frequencies (0: closed form)
    // With RunOptions::derivatives: d reflectance / d parameter per returned
    // sample, row after row (time_ps.size() x derivatives.size()), in
    // mm^-2 ps^-1 per unit of the parameter.
    std::vector<double> jacobian = {};
    // Fast engine: the largest estimated error, relative to the peak, of a
    // sample that cannot be held within the tolerance (0: every sample holds).
    double unheld_error = 0;
};

// Fills the derived quantities (D, z0, A_top, zb, and for N >= 2 NZ, A_bot,
// zb_bot) of validated parameters. adaptive_reff: Reff of both faces from the
// adaptive quadrature (the fast engine) instead of the 480-point rule and the
// stored value for n = 1.4.
void DeriveQuantities(RunState& s, bool adaptive_reff = false);

// Fills s.JnZeroTable rows 0..MMAX with the first NZ (or more) zeros of J_m.
// Rows of the Halley search that come up short, repeat or skip a zero (found
// by checking ascent and the interlacing of neighbouring orders) are replaced
// by a bracketing search; sound rows are kept as found.
void FillZeroTable(RunState& s, int threads = 1, const RunOptions& options = {});

// The whole computation for validated parameters (ValidateInput passed).
// Throws RunError for a floating-point fault (naming stage and frequency),
// a zero table that could not be completed, or a zero curve.
RunResult ComputeRun(const RunState& params, const RunOptions& options = {});

// Curves for several detector distances of one geometry; the fast engine
// shares the zeros and the layer recursion between them. Element r equals
// ComputeRun with rho = rhos[r], bit for bit.
std::vector<RunResult> ComputeRunRhos(const RunState& params, const std::vector<Extended>& rhos,
                                      const RunOptions& options = {});

// Reflectance in the frequency domain, R~(omega) = int R(t) e^(-i omega t) dt in
// mm^-2, at angular frequencies omega (rad/s) >= 0; fast engine (whatever
// options.engine says), any N >= 1, the series form also for one layer.
// R~(0) is the continuous-wave reflectance (the time integral of the curve);
// the phase is about -omega <t> at low frequency.
// `warnings`, when given, receives the doubts about the series (too few
// angular orders for the tolerance).
inline constexpr double kLargestOmega = 1e14;  // rad/s, far beyond where diffusion holds
std::vector<std::complex<double>> ComputeFrequencyDomain(const RunState& params, const std::vector<double>& omega_rad_s,
                                                         const RunOptions& options = {},
                                                         std::vector<std::string>* warnings = nullptr);

// The fast engine's curve at any times (ps, in (0, kLatestTime]) for several
// detector distances, by the inverse Laplace transform on parabolic contours:
// no period, no band limit. A time whose value cannot be held within the
// tolerance is left out (NaN with unheld_nan, kept with all_samples) and named
// in a warning; when none can, ToleranceError. Times before the light can
// arrive (DarkUntil) are exactly 0.
inline constexpr double kLatestTime = 1e6;  // ps
std::vector<RunResult> ComputeRunAtTimes(const RunState& params, const std::vector<Extended>& rhos,
                                         const std::vector<double>& times_ps, const RunOptions& options = {});

// The complete run on files: checks everything about `output_path` that can be
// checked before computing (see CheckOutputWritable), refuses an output that is the
// input file, reads and validates `input_path`, computes, and writes the result
// (WriteResultFileAtomic). Warnings about unread values and the curve go to
// RunResult::warnings. On any failure (InputError, RunError, RunCancelled, I/O)
// the previous output file is left as it was.
RunResult RunFiles(const std::string& input_path, const std::string& output_path,
                   const RunOptions& options = {});

}  // namespace tdcyl
