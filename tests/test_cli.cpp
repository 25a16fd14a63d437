// The command-line program as a user scripts it: exit codes, messages, files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "run_test_support.hpp"

namespace {

using namespace tdcyl::testing_support;
namespace fs = std::filesystem;

struct Outcome {
    int status;
    std::string stderr_text;
};

// Runs tdcyl-cli with `args` in `dir`, capturing stderr.
Outcome RunCli(const fs::path& dir, const std::string& args) {
    fs::path err = dir / "stderr.txt";
    std::string cmd = "cd '" + dir.string() + "' && '" + std::string(TDCYL_CLI_PATH) + "' " + args + " 2>'" +
                      err.string() + "' >/dev/null";
    int raw = std::system(cmd.c_str());
    Outcome o{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFileBytes(err)};
    fs::remove(err);
    return o;
}

const char* kInput = "1\n1.0\n0.01\n1.4\n30\n20\n10\n0\n0\n1\n0\n";

TEST(Cli, DefaultAndExplicitFiles) {
    fs::path dir = FreshDirectory("cli-files");
    WriteFileBytes(dir / "input.dat", kInput);
    Outcome o = RunCli(dir, "--quiet");
    EXPECT_EQ(o.status, 0) << o.stderr_text;
    EXPECT_TRUE(o.stderr_text.empty()) << o.stderr_text;
    const std::string out = ReadFileBytes(dir / "reflectance.dat");
    EXPECT_EQ(out.substr(0, 26), " 2.00000000000000E+0001   ");  // t = 10 ps is below the kept six decades
    fs::rename(dir / "input.dat", dir / "params.txt");
    o = RunCli(dir, "--input params.txt --output out.dat --threads 2 --engine fast --tolerance 1e-5 --quiet");
    EXPECT_EQ(o.status, 0) << o.stderr_text;
    EXPECT_FALSE(ReadFileBytes(dir / "out.dat").empty());
    fs::remove_all(dir);
}

TEST(Cli, UsageErrorsExitTwo) {
    fs::path dir = FreshDirectory("cli-usage");
    EXPECT_EQ(RunCli(dir, "--help").status, 0);
    for (const char* args : {"--bogus", "--input", "--threads 0", "--threads two", "--engine slow",
                             "--tolerance 0.5 --engine fast", "--no-wraparound"})
        EXPECT_EQ(RunCli(dir, args).status, 2) << args;
    fs::remove_all(dir);
}

TEST(Cli, FailedRunExitsOneWithOneErrorLineAndKeepsOldFile) {
    fs::path dir = FreshDirectory("cli-fail");
    WriteFileBytes(dir / "reflectance.dat", "old\r\n");
    Outcome missing = RunCli(dir, "--quiet");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.stderr_text.rfind("error: ", 0), 0u) << missing.stderr_text;
    EXPECT_EQ(std::count(missing.stderr_text.begin(), missing.stderr_text.end(), '\n'), 1);
    EXPECT_TRUE(Has(missing.stderr_text, "\"input.dat\" in the folder \"" + dir.string() + "\"")) << missing.stderr_text;
    std::string bad = kInput;
    bad.replace(bad.find("0.01"), 4, "0,01");  // decimal comma
    WriteFileBytes(dir / "input.dat", bad);
    Outcome invalid = RunCli(dir, "--quiet");
    EXPECT_EQ(invalid.status, 1);
    EXPECT_TRUE(Has(invalid.stderr_text, "line 3")) << invalid.stderr_text;
    EXPECT_EQ(ReadFileBytes(dir / "reflectance.dat"), "old\r\n");
    // 1 mm inside the rim no time holds 1e-13 of the peak in double precision: a failed run, not an empty file.
    WriteFileBytes(dir / "input.dat", "2\n1.0\n0.01\n1.4\n8\n1.5\n0.03\n1.4\n40\n30\n29\n0\n0\n1\n0\n");
    Outcome unheld = RunCli(dir, "--quiet --engine fast --tolerance 1e-13 --times 500,1000");
    EXPECT_EQ(unheld.status, 1);
    EXPECT_TRUE(Has(unheld.stderr_text, "error: no sample at rho = 29 mm can be held")) << unheld.stderr_text;
    EXPECT_EQ(std::count(unheld.stderr_text.begin(), unheld.stderr_text.end(), '\n'), 1);
    EXPECT_EQ(ReadFileBytes(dir / "reflectance.dat"), "old\r\n");
    // At 1e-12 the late time holds, 10 ps does not: left out, and named.
    unheld = RunCli(dir, "--engine fast --tolerance 1e-12 --times 4000,10,1e-150");
    EXPECT_EQ(unheld.status, 0);
    EXPECT_TRUE(Has(unheld.stderr_text, "1 of 3 samples at rho = 29 mm (t = 10 ps)")) << unheld.stderr_text;
    const std::string kept = ReadFileBytes(dir / "reflectance.dat");
    EXPECT_EQ(kept.substr(0, 26), " 4.00000000000000E+0003   ");  // before the light arrives: exactly 0
    EXPECT_TRUE(Has(kept, "\r\n 1.00000000000000E-0150    0.00000000000000E+0000\r\n")) << kept;
    fs::remove_all(dir);
}

// Standard error a pipe nobody reads: the run succeeded, so the exit status is
// 0, not 141 (SIGPIPE).
TEST(Cli, ClosedStandardErrorDoesNotTurnSuccessIntoFailure) {
    fs::path dir = FreshDirectory("sigpipe");
    WriteFileBytes(dir / "input.dat", kInput);
    WriteFileBytes(dir / "run.sh", "cd '" + dir.string() + "' && { sleep 0.2; '" + std::string(TDCYL_CLI_PATH) +
                                       "'; echo $? > status; } 2>&1 | true\n");
    ASSERT_EQ(std::system(("bash '" + (dir / "run.sh").string() + "'").c_str()), 0);
    // The status file is written by the same pipeline stage after the run.
    EXPECT_EQ(ReadFileBytes(dir / "status"), "0\n");
    EXPECT_FALSE(ReadFileBytes(dir / "reflectance.dat").empty());
    fs::remove_all(dir);
}

}  // namespace
