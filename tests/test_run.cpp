// Run-level checks: physical identities and limits of the whole computation,
// sample selection, thread independence and the safety of the result file.
#include <gtest/gtest.h>

#include <cmath>
#include <chrono>
#include <filesystem>
#include <thread>

#include "case_names.hpp"
#include "app/core/run.hpp"
#include "bench/baseline/plain_term.hpp"
#include "numerics/bessel.hpp"
#include "run_test_support.hpp"

namespace tdcyl {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

const Layer kTissue{1.0L, 0.01L, 1.4L, 40.0L};

RunState TwoLayer(long double a, long double rho, long double rho0, long double phi, int MMAX) {
    return MakeState({{1.0L, 0.01L, 1.4L, 8.0L}, {1.3L, 0.02L, 1.4L, 30.0L}}, a, rho, rho0, phi, 1, MMAX);
}

bool SameCurve(const RunResult& x, const RunResult& y) {
    return x.time_ps == y.time_ps && x.reflectance == y.reflectance;
}

// --- exact identities of the series --------------------------------------------

TEST(RunIdentities, OnAxisSourceIgnoresMMAX) {
    RunResult base = ComputeRun(TwoLayer(12, 8, 0, 0.7L, 0));
    RunResult more = ComputeRun(TwoLayer(12, 8, 0, 0.7L, 3));
    EXPECT_TRUE(SameCurve(base, more));
}

TEST(RunIdentities, OffAxisSourceWithOrderZeroOnlyEqualsOnAxis) {
    // With MMAX = 0 the series takes the on-axis form: source offset and azimuth drop out.
    RunResult axis = ComputeRun(TwoLayer(12, 8, 0, 0, 0));
    RunResult off = ComputeRun(TwoLayer(12, 8, 5, 1.1L, 0));
    EXPECT_TRUE(SameCurve(axis, off));
}

TEST(RunIdentities, SingleLayerIgnoresMMAX) {
    RunState s = MakeState({kTissue}, 20, 10, 4, 0.5L, 1, 0);
    RunResult base = ComputeRun(s);
    s.MMAX = 7;
    EXPECT_TRUE(SameCurve(base, ComputeRun(s)));
}

// Splitting a layer into two identical layers leaves every term unchanged up
// to rounding: the recursion changes P and Q by a common factor.
struct SplitCase {
    const char* name;
    std::vector<Layer> split;
    double tolerance;
};

class LayerSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(LayerSplit, LeavesCurveUnchanged) {
    const std::vector<Layer> two = {{1.0L, 0.01L, 1.4L, 8.0L}, {1.3L, 0.02L, 1.33L, 30.0L}};
    RunResult base = ComputeRun(MakeState(two, 12, 6, 0, 0));
    RunResult split = ComputeRun(MakeState(GetParam().split, 12, 6, 0, 0));
    ASSERT_FALSE(base.time_ps.empty());
    EXPECT_LT(MaxRelativeDifference(split, base, 6), GetParam().tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Splits, LayerSplit,
    ::testing::Values(
        SplitCase{"bottom_in_two", {{1.0L, 0.01L, 1.4L, 8.0L}, {1.3L, 0.02L, 1.33L, 12.0L}, {1.3L, 0.02L, 1.33L, 18.0L}},
                  1e-11},
        SplitCase{"top_in_two", {{1.0L, 0.01L, 1.4L, 3.0L}, {1.0L, 0.01L, 1.4L, 5.0L}, {1.3L, 0.02L, 1.33L, 30.0L}},
                  1e-9},
        SplitCase{"bottom_in_three",
                  {{1.0L, 0.01L, 1.4L, 8.0L},
                   {1.3L, 0.02L, 1.33L, 10.0L},
                   {1.3L, 0.02L, 1.33L, 10.0L},
                   {1.3L, 0.02L, 1.33L, 10.0L}},
                  1e-11}),
    [](const auto& info) { return std::string(info.param.name); });

// --- two paths, one physics ------------------------------------------------------

TEST(RunPaths, IdenticalLayersMatchSingleLayerNearPeak) {
    // The layered path transforms the whole spectrum (with the aliasing of the
    // 1024-point window), the single-layer path only its lateral correction:
    // they agree to a few 1e-5 near the peak, not to rounding.
    // Measured: 5.6e-5 within one decade, 1.8e-4 within two.
    RunResult one = ComputeRun(MakeState({{1.0L, 0.05L, 1.4L, 50.0L}}, 40, 10, 0, 0));
    RunResult two = ComputeRun(MakeState({{1.0L, 0.05L, 1.4L, 50.0L / 3}, {1.0L, 0.05L, 1.4L, 100.0L / 3}}, 40, 10, 0, 0));
    EXPECT_LT(MaxRelativeDifference(two, one, 1), 1e-4);
    EXPECT_LT(MaxRelativeDifference(two, one, 2), 3e-4);
}

TEST(RunPaths, SingleLayerWideThickSlabIsSemiInfinite) {
    // Radius and thickness far beyond the diffusion length: the cylinder is a
    // half space. The curve spans far more than six decades over 5120 ps, so
    // the closed form also says which samples the selection must keep.
    const long double musp = 1.0L, mua = 0.03L, n = 1.4L;
    RunState s = MakeState({{musp, mua, n, 200.0L}}, 200, 15, 0, 0);
    RunResult r = ComputeRun(s);
    const long double reff = 0.493477582093524L;
    const long double zb = 2 * (1 + reff) / (1 - reff) / (3 * musp);
    std::vector<double> ref(513);
    double ref_peak = 0;
    for (int i = 1; i <= 512; ++i) {
        ref[static_cast<std::size_t>(i)] = static_cast<double>(SemiInfiniteReflectance(musp, mua, n, zb, 15, 10.0L * i));
        ref_peak = std::max(ref_peak, ref[static_cast<std::size_t>(i)]);
    }
    ASSERT_LT(ref[1], ref_peak * 1e-7);
    ASSERT_LT(ref[512], ref_peak * 1e-7);
    double peak = 0;
    for (double v : r.reflectance) peak = std::max(peak, v);
    double worst = 0;
    for (std::size_t j = 0; j < r.time_ps.size(); ++j) {
        const double expected = ref[static_cast<std::size_t>(std::lround(r.time_ps[j] / 10))];
        if (r.reflectance[j] >= peak * 1e-3)
            worst = std::max(worst, std::fabs(r.reflectance[j] - expected) / expected);
    }
    EXPECT_LT(worst, 1e-9);
    // Kept exactly when within six decades (no sample lies within 1e-6 of the
    // threshold, far more than the 1e-9 difference to the closed form).
    std::vector<double> within;
    for (int i = 1; i <= 512; ++i) {
        const double ratio = ref_peak / ref[static_cast<std::size_t>(i)];
        ASSERT_GT(std::fabs(ratio / 1e6 - 1), 1e-6) << 10 * i << " ps";
        if (ratio <= 1e6) within.push_back(10.0 * i);
    }
    EXPECT_EQ(r.time_ps, within);
}

// --- sample selection ------------------------------------------------------------

struct SamplingCase {
    int M;
    int samples;
    double last_time;
};

class Sampling : public ::testing::TestWithParam<SamplingCase> {};

TEST_P(Sampling, OutputTimesFollowM) {
    RunState s = MakeState({{1.0L, 0.002L, 1.4L, 60.0L}}, 30, 10, 0, 0, GetParam().M);
    RunResult r = ComputeRun(s);
    ASSERT_FALSE(r.time_ps.empty());
    EXPECT_LE(static_cast<int>(r.time_ps.size()), GetParam().samples);
    EXPECT_LE(r.time_ps.back(), GetParam().last_time);
    for (std::size_t j = 0; j < r.time_ps.size(); ++j) {
        EXPECT_EQ(std::fmod(r.time_ps[j], 10.0), 0.0);
        if (j > 0) {
            EXPECT_GT(r.time_ps[j], r.time_ps[j - 1]);
        }
        EXPECT_NEAR(r.log10_abs[j], std::log10(std::fabs(r.reflectance[j])), 1e-12);
    }
    // Within six decades of the peak, and the peak itself is always kept.
    double peak = 0, least = INFINITY;
    for (double v : r.reflectance) {
        peak = std::max(peak, std::fabs(v));
        least = std::min(least, std::fabs(v));
    }
    EXPECT_LE(peak / least, 1e6 * (1 + 1e-15));
}

INSTANTIATE_TEST_SUITE_P(M, Sampling,
                         ::testing::Values(SamplingCase{1, 512, 5120}, SamplingCase{2, 256, 2560},
                                           SamplingCase{4, 128, 1280}, SamplingCase{512, 1, 10}),
                         [](const auto& info) { return CaseNumber("M", info.param.M); });

TEST(RunDerived, ZerosPerOrderRoundHalfToEven) {
    // 20 a = 252.5 and 257.5 exactly.
    RunState s = TwoLayer(12.625L, 8, 0, 0, 0);
    DeriveQuantities(s);
    EXPECT_EQ(s.NZ, 252);
    s = TwoLayer(12.875L, 8, 0, 0, 0);
    DeriveQuantities(s);
    EXPECT_EQ(s.NZ, 258);
}

// --- faults inside the parallel frequency loop -----------------------------------

// The layered term, except that the last term of frequency 100 overflows and
// that of frequency 101 divides by zero, each after a pause: with several
// threads both jobs run at once, and the pauses decide which fails first.
template <int Pause100, int Pause101>
void FaultyTerm(const RunState& s, TermWork& w, int m, int q) {
    baseline::PlainLayeredSpectralTerm(s, w, m, q);
    if (m != s.MMAX || q != s.NZ) return;
    const long k = std::lround(static_cast<double>(w.omega / FrequencyOmega(s.M, 1)));
    volatile Extended zero = 0, big = 1e4000L;
    if (k == 100) {
        std::this_thread::sleep_for(std::chrono::milliseconds(Pause100));
        w.SumRe += big * big;
    } else if (k == 101) {
        std::this_thread::sleep_for(std::chrono::milliseconds(Pause101));
        w.SumRe += 1 / zero;
    }
}

TEST(RunFaults, FirstFailingFrequencyInIndexOrderIsReported) {
    using Term = void (*)(const RunState&, TermWork&, int, int);
    for (Term term : {Term{FaultyTerm<200, 30>}, Term{FaultyTerm<30, 200>}}) {
        for (int threads : {1, 3}) {
            RunOptions o;
            o.threads = threads;
            o.plain = true;
            o.plain_term = term;
            try {
                ComputeRun(TwoLayer(5, 3, 0, 0, 0), o);
                ADD_FAILURE() << threads << " threads: the fault was lost";
            } catch (const RunError& e) {
                EXPECT_NE(std::string(e.what()).find("overflow in the layered series at frequency 100"),
                          std::string::npos)
                    << threads << " threads: " << e.what();
            }
        }
    }
}

// --- zero table --------------------------------------------------------------------

// Counts the sign changes of J_m on (0, x_end] with a scan much finer than the
// gap between zeros: an independent count of the zeros a row must hold.
int ZerosBelow(int m, double x_end) {
    int changes = 0;
    double x = std::max(0.25, static_cast<double>(m) * 0.9);
    double f = BesselJn(m, x);
    while (x < x_end) {
        double x1 = std::min(x + 0.25, x_end);
        double f1 = BesselJn(m, x1);
        if ((f1 < 0) != (f < 0) && f1 != 0) ++changes;
        x = x1;
        f = f1;
    }
    return changes;
}

TEST(ZeroTable, EveryRowHoldsTheFirstNZZeros) {
    // a = 20 mm: NZ = 400. The Halley starts come up short for some orders near
    // 95; those rows must be completed, not summed with stale entries.
    RunState s = TwoLayer(20, 10, 5, 0.3L, 110);
    DeriveQuantities(s);
    ASSERT_EQ(s.NZ, 400);
    FillZeroTable(s, 2);
    for (int m = 0; m <= s.MMAX; ++m) {
        const ZeroRow& row = s.JnZeroTable[static_cast<std::size_t>(m)];
        for (int q = 0; q < s.NZ; ++q) {
            ASSERT_LT(std::fabs(BesselJn(m, static_cast<double>(row[static_cast<std::size_t>(q)]))), 1e-10)
                << "order " << m << " entry " << q + 1;
            if (q > 0) {
                ASSERT_GT(row[static_cast<std::size_t>(q)], row[static_cast<std::size_t>(q - 1)]);
            }
        }
        // Exactly NZ zeros up to just past the last one used.
        ASSERT_EQ(ZerosBelow(m, static_cast<double>(row[static_cast<std::size_t>(s.NZ - 1)]) + 0.1), s.NZ)
            << "order " << m;
    }
}

// --- threads and files --------------------------------------------------------------

// Each frequency is computed by one thread and keeps its order of summation:
// the result file is the same byte for byte for any thread count, on the
// layered path (a smaller version of the off-axis example keeps it quick)
// and on the single-layer path.
class ThreadCount : public ::testing::TestWithParam<const char*> {};

TEST_P(ThreadCount, ResultDoesNotDependOnIt) {
    const std::string example = GetParam();
    fs::path dir = FreshDirectory("threads_" + example);
    std::string text = ReadFileBytes(fs::path(TDCYL_SOURCE_DIR) / "examples" / (example + ".dat"));
    if (example == "two_layers_off_axis") {
        text.replace(text.find("20       cylinder"), 2, "16");
        text.replace(text.find("40       highest"), 2, "6 ");
    }
    WriteFileBytes(dir / "input.dat", text);
    std::string first;
    for (int threads : {1, 3}) {
        RunOptions o;
        o.threads = threads;
        RunFiles((dir / "input.dat").string(), (dir / "reflectance.dat").string(), o);
        std::string bytes = ReadFileBytes(dir / "reflectance.dat");
        ASSERT_FALSE(bytes.empty());
        if (first.empty()) first = bytes;
        EXPECT_EQ(bytes, first) << threads << " threads";
    }
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Examples, ThreadCount, ::testing::Values("two_layers_off_axis", "single_layer_off_axis"),
                         [](const auto& info) { return std::string(info.param); });

// The per-run factor tables are pure bookkeeping: the plain evaluation that
// computes every factor inside every term gives the same curve to the bit,
// off the axis for N = 2 and 3 and on the single-layer path.
class PlainEvaluation : public ::testing::TestWithParam<int> {};

TEST_P(PlainEvaluation, GivesTheSameBits) {
    const int N = GetParam();
    std::vector<Layer> layers{{1.0L, 0.01L, 1.4L, 6.0L}, {1.5L, 0.012L, 1.45L, 5.0L}, {1.2L, 0.02L, 1.33L, 30.0L}};
    layers.resize(static_cast<std::size_t>(N));
    const RunState s = MakeState(layers, N == 1 ? 25 : 6, 4, 3, 0.9L, 1, 3);
    RunOptions plain;
    plain.plain = true;
    plain.plain_term = baseline::PlainLayeredSpectralTerm;
    const RunResult a = ComputeRun(s), b = ComputeRun(s, plain);
    ASSERT_FALSE(a.time_ps.empty());
    EXPECT_TRUE(SameCurve(a, b));
}

INSTANTIATE_TEST_SUITE_P(Layers, PlainEvaluation, ::testing::Values(1, 2, 3),
                         [](const auto& info) { return CaseNumber("N", info.param); });

TEST(RunFilesTest, FailedRunKeepsPreviousResult) {
    fs::path dir = FreshDirectory("keep");
    const std::string old = "previous result\r\n";
    WriteFileBytes(dir / "reflectance.dat", old);
    // Missing input file.
    EXPECT_THROW(RunFiles((dir / "input.dat").string(), (dir / "reflectance.dat").string()), std::exception);
    EXPECT_EQ(ReadFileBytes(dir / "reflectance.dat"), old);
    // Invalid input: M = 0.
    WriteFileBytes(dir / "input.dat", "1\n1\n0.01\n1.4\n20\n10\n5\n0\n0\n0\n0\n");
    EXPECT_THROW(RunFiles((dir / "input.dat").string(), (dir / "reflectance.dat").string()), InputError);
    EXPECT_EQ(ReadFileBytes(dir / "reflectance.dat"), old);
    // Cancelled run.
    WriteFileBytes(dir / "input.dat", "1\n1\n0.01\n1.4\n20\n10\n5\n0\n0\n1\n0\n");
    std::atomic<bool> cancel{true};
    RunOptions o;
    o.cancel = &cancel;
    EXPECT_THROW(RunFiles((dir / "input.dat").string(), (dir / "reflectance.dat").string(), o), RunCancelled);
    EXPECT_EQ(ReadFileBytes(dir / "reflectance.dat"), old);
    // A good run replaces it, and no temporary file is left behind.
    RunResult r = RunFiles((dir / "input.dat").string(), (dir / "reflectance.dat").string());
    std::string fresh = ReadFileBytes(dir / "reflectance.dat");
    EXPECT_EQ(fresh.size(), r.time_ps.size() * 51);
    int files = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator(dir)) ++files;
    EXPECT_EQ(files, 2);
    fs::remove_all(dir);
}

TEST(RunFilesTest, UnwritableOutputStopsBeforeComputing) {
    fs::path dir = FreshDirectory("unwritable");
    WriteFileBytes(dir / "input.dat", "1\n1\n0.01\n1.4\n20\n10\n5\n0\n0\n1\n0\n");
    int calls = 0;
    RunOptions o;
    o.progress = [&](const std::string&, int, int) { ++calls; };
    EXPECT_THROW(RunFiles((dir / "input.dat").string(), (dir / "no-such-dir" / "reflectance.dat").string(), o),
                 std::exception);
    EXPECT_EQ(calls, 0);
    fs::remove_all(dir);
}

bool Finite(const RunResult& r) {
    for (double v : r.reflectance)
        if (!std::isfinite(v)) return false;
    return !r.reflectance.empty();
}

TEST(ThickLayers, DeepModelsComputeWithoutOverflow) {
    // Written literally, 40 + 60 mm at radius 20 mm needs |W|^2 ~ e^11889.
    RunResult two = ComputeRun(MakeState({{1.0L, 0.01L, 1.4L, 40.0L}, {1.2L, 0.015L, 1.4L, 60.0L}}, 20, 10, 0, 0));
    EXPECT_TRUE(Finite(two));
    RunResult three = ComputeRun(
        MakeState({{1.0L, 0.01L, 1.4L, 10.0L}, {1.3L, 0.02L, 1.4L, 30.0L}, {1.1L, 0.01L, 1.4L, 100.0L}}, 20, 10, 0, 0));
    EXPECT_TRUE(Finite(three));
}

TEST(ThickLayers, ThickBottomLayerConverges) {
    // A deeper bottom changes the curve less and less: its effect decays like
    // the diffusion kernel over twice the depth.
    double previous_change = INFINITY;
    RunResult previous;
    for (long double depth : {60.0L, 120.0L, 250.0L, 500.0L}) {
        RunResult r = ComputeRun(MakeState({{1.0L, 0.01L, 1.4L, 8.0L}, {1.0L, 0.02L, 1.4L, depth}}, 20, 10, 0, 0));
        ASSERT_TRUE(Finite(r)) << depth;
        if (!previous.reflectance.empty()) {
            double change = MaxRelativeDifference(r, previous, 3);
            EXPECT_LE(change, previous_change) << depth;
            EXPECT_LT(change, 1e-6) << depth;
            previous_change = change;
        }
        previous = r;
    }
}

TEST(ThickLayers, OrdinaryStackStaysOnTheLiteralPath) {
    // Below the growth limit the scaled form is not used: the identity with
    // the single-layer path keeps its measured size.
    RunResult one = ComputeRun(MakeState({{1.0L, 0.05L, 1.4L, 50.0L}}, 40, 10, 0, 0));
    EXPECT_TRUE(Finite(one));
}

}  // namespace
}  // namespace tdcyl
