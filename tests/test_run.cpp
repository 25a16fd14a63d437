// The run driver: derived quantities, the selection of the samples, the
// parallel frequency loop (faults, threads, progress, cancel), the zero table,
// and whole curves against the closed form and against the other path.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <filesystem>
#include <thread>

#include "app/core/run.hpp"
#include "bench/baseline/plain_term.hpp"
#include "numerics/specified/bessel.hpp"
#include "run_test_support.hpp"

namespace tdcyl {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

RunState TwoLayer(long double a, long double rho, long double rho0, long double phi, int MMAX) {
    return MakeState({{1.0L, 0.01L, 1.4L, 8.0L}, {1.3L, 0.02L, 1.4L, 30.0L}}, a, rho, rho0, phi, 1, MMAX);
}

TEST(RunDerived, ZerosPerOrderRoundHalfToEven) {
    for (const auto& [a, nz] : {std::pair{12.625L, 252}, std::pair{12.875L, 258}}) {  // 20 a = 252.5, 257.5 exactly
        RunState s = TwoLayer(a, 8, 0, 0, 0);
        DeriveQuantities(s);
        EXPECT_EQ(s.NZ, nz);
    }
}

TEST(RunDerived, OnAxisSourceIgnoresMMAX) {
    // On the axis only the order 0 contributes (no table of J_m zeros is built).
    EXPECT_EQ(ComputeRun(TwoLayer(5, 3, 0, 0.7L, 0)).reflectance, ComputeRun(TwoLayer(5, 3, 0, 0.7L, 3)).reflectance);
}

// A wide, thick single layer is a half space: the closed form with the source
// detector distance from the law of cosines. The curve spans far more than six
// decades over 5120 ps, so the closed form also says which samples are kept.
TEST(RunSelection, WideThickSlabIsSemiInfiniteWithinSixDecades) {
    const long double rho = 16, rho0 = 9, phi = 2.2L;
    const RunResult r = ComputeRun(MakeState({{1.0L, 0.03L, 1.4L, 200.0L}}, 200, rho, rho0, phi));
    const long double dist = std::abs(std::polar(rho, phi) - std::complex<long double>(rho0));
    const RunResult exact = SemiInfiniteCurve(1.0L, 0.03L, 1.4L, kReff14, dist);
    EXPECT_LT(MaxRelativeDifference(r, exact, 3), 1e-9);
    const double peak = *std::max_element(exact.reflectance.begin(), exact.reflectance.end());
    ASSERT_LT(std::max(exact.reflectance.front(), exact.reflectance.back()), peak * 1e-7);
    // Kept exactly when within six decades (no sample lies within 1e-6 of the
    // threshold, far more than the 1e-9 difference to the closed form).
    std::vector<double> within;
    for (std::size_t j = 0; j < exact.time_ps.size(); ++j) {
        const double ratio = peak / exact.reflectance[j];
        ASSERT_GT(std::fabs(ratio / 1e6 - 1), 1e-6) << exact.time_ps[j] << " ps";
        if (ratio <= 1e6) within.push_back(exact.time_ps[j]);
    }
    EXPECT_EQ(r.time_ps, within);
}

TEST(RunSelection, FullGridFollowsM) {
    RunOptions all;
    all.all_samples = true;
    for (int M : {1, 4, 512}) {
        const RunResult r = ComputeRun(MakeState({{1.0L, 0.01L, 1.4L, 60.0L}}, 30, 10, 0, 0, M), all);
        ASSERT_EQ(r.time_ps.size(), static_cast<std::size_t>(512 / M)) << "M = " << M;
        for (std::size_t j = 0; j < r.time_ps.size(); ++j) {
            EXPECT_EQ(r.time_ps[j], 10.0 * static_cast<double>(j + 1));
            EXPECT_NEAR(r.log10_abs[j], std::log10(std::fabs(r.reflectance[j])), 1e-12);
        }
    }
}

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

TEST(RunPaths, DeepModelsComputeWithoutOverflow) {
    // Written literally, 40 + 60 mm at radius 20 mm needs |W|^2 ~ e^11889.
    const std::vector<Layer> two{{1.0L, 0.01L, 1.4L, 40.0L}, {1.2L, 0.015L, 1.4L, 60.0L}};
    const std::vector<Layer> three{{1.0L, 0.01L, 1.4L, 10.0L}, {1.3L, 0.02L, 1.4L, 30.0L}, {1.1L, 0.01L, 1.4L, 100.0L}};
    for (const auto& layers : {two, three}) {
        const RunResult r = ComputeRun(MakeState(layers, 20, 10, 0, 0));
        ASSERT_FALSE(r.reflectance.empty());
        for (double v : r.reflectance) EXPECT_TRUE(std::isfinite(v));
    }
}

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

TEST(RunThreads, FirstFailingFrequencyInIndexOrderIsReported) {
    using Term = void (*)(const RunState&, TermWork&, int, int);
    for (Term term : {Term{FaultyTerm<200, 30>}, Term{FaultyTerm<30, 200>}}) {
        RunOptions o;
        o.threads = 3;
        o.plain = true;
        o.plain_term = term;
        const std::string m = Message([&] { ComputeRun(TwoLayer(5, 3, 0, 0, 0), o); });
        EXPECT_TRUE(Has(m, "overflow in the layered series at frequency 100")) << m;
    }
}

// Each frequency is computed by one thread and keeps its order of summation.
TEST(RunThreads, ResultDoesNotDependOnTheThreadCount) {
    const RunState s = TwoLayer(6, 4, 3, 0.9L, 3);
    RunOptions o;
    o.threads = 1;
    const RunResult one = ComputeRun(s, o);
    o.threads = 3;
    EXPECT_EQ(ComputeRun(s, o).reflectance, one.reflectance);
}

// Uncancelled, both stages in order to their ends; cancelled in either stage,
// no stage follows and the frequencies stop early.
TEST(RunThreads, StagesAreReportedInOrderAndCanBeCancelled) {
    const RunState s = TwoLayer(5, 3, 2, 1.0L, 3);
    for (const std::string cancelled : {"", "zeros", "frequencies"}) {
        std::atomic<bool> cancel{false};
        std::vector<std::string> stages;
        int zeros_total = 0, zeros_last = 0, frequencies_last = 0;
        RunOptions o;
        o.threads = 2;
        o.cancel = &cancel;
        o.progress = [&](const std::string& stage, int done, int total) {
            if (stages.empty() || stages.back() != stage) stages.push_back(stage);
            if (stage == "zeros") zeros_total = total, zeros_last = done;
            if (stage == "frequencies") frequencies_last = done;
            if (stage == cancelled) cancel.store(true);
        };
        if (!cancelled.empty()) {
            EXPECT_THROW(ComputeRun(s, o), RunCancelled) << cancelled;
            EXPECT_EQ(stages.back(), cancelled);
            EXPECT_LT(frequencies_last, 100) << cancelled;
            continue;
        }
        ComputeRun(s, o);
        EXPECT_EQ(stages, (std::vector<std::string>{"zeros", "frequencies"}));
        EXPECT_EQ(std::pair(zeros_total, zeros_last), std::pair(4, 4));  // orders 0 ... 3
        EXPECT_EQ(frequencies_last, 513);
    }
}

// Counts the sign changes of J_m on (0, x_end] with a scan much finer than the
// gap between zeros: an independent count of the zeros a row must hold.
int ZerosBelow(int m, double x_end) {
    int changes = 0;
    double x = std::max(0.25, static_cast<double>(m) * 0.9), f = BesselJn(m, x);
    while (x < x_end) {
        const double x1 = std::min(x + 0.25, x_end), f1 = BesselJn(m, x1);
        if ((f1 < 0) != (f < 0) && f1 != 0) ++changes;
        x = x1, f = f1;
    }
    return changes;
}

TEST(ZeroTable, EveryRowHoldsTheFirstNZZeros) {
    // a = 20 mm: NZ = 400. The Halley starts come up short for some orders near
    // 95; those rows must be completed, not summed with stale entries.
    RunState s = TwoLayer(20, 10, 5, 0.3L, 110);
    DeriveQuantities(s);
    FillZeroTable(s, 2);
    for (int m = 0; m <= s.MMAX; ++m) {
        const ZeroRow& row = s.JnZeroTable[static_cast<std::size_t>(m)];
        for (std::size_t q = 0; q < static_cast<std::size_t>(s.NZ); ++q) {
            ASSERT_LT(std::fabs(BesselJn(m, static_cast<double>(row[q]))), 1e-10) << "order " << m << " entry " << q + 1;
            if (q > 0) {
                ASSERT_GT(row[q], row[q - 1]);
            }
        }
        // Exactly NZ zeros up to just past the last one used.
        ASSERT_EQ(ZerosBelow(m, static_cast<double>(row[static_cast<std::size_t>(s.NZ - 1)]) + 0.1), s.NZ) << m;
    }
}

TEST(RunFilesTest, FailedRunKeepsPreviousResult) {
    fs::path dir = FreshDirectory("keep");
    const std::string in = (dir / "input.dat").string(), out = (dir / "reflectance.dat").string();
    const std::string old = "previous result\r\n";
    WriteFileBytes(out, old);
    EXPECT_THROW(RunFiles(in, out), InputError);  // no input file
    EXPECT_EQ(ReadFileBytes(out), old);
    WriteFileBytes(in, "1\n1\n0.01\n1.4\n20\n10\n5\n0\n0\n1\n0\n");
    std::atomic<bool> cancel{true};
    RunOptions o;
    o.cancel = &cancel;
    EXPECT_THROW(RunFiles(in, out, o), RunCancelled);
    EXPECT_EQ(ReadFileBytes(out), old);
    // A good run replaces it, and no temporary file is left behind.
    RunResult r = RunFiles(in, out);
    EXPECT_EQ(ReadFileBytes(out).size(), r.time_ps.size() * 51);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace tdcyl
