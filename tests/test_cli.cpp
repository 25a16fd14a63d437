// The command-line program as a user scripts it: exit codes, messages, files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "case_names.hpp"
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

const char* kSmallInput =
    "1      N\n1.0    musp\n0.01   mua\n1.4    n\n30     l\n20     a\n10     rho\n0      rho0\n0      phi\n"
    "1      M\n0      MMAX\n";

TEST(Cli, DefaultFilesInWorkingDirectory) {
    fs::path dir = FreshDirectory("cli-default");
    WriteFileBytes(dir / "input.dat", kSmallInput);
    Outcome o = RunCli(dir, "--quiet");
    EXPECT_EQ(o.status, 0) << o.stderr_text;
    EXPECT_TRUE(o.stderr_text.empty()) << o.stderr_text;
    std::string out = ReadFileBytes(dir / "reflectance.dat");
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.size() % 51, 0u);
    EXPECT_EQ(out.substr(0, 23), " 2.00000000000000E+0001");  // t = 10 ps is below the kept six decades
    EXPECT_EQ(out.substr(23, 3), "   ");
    EXPECT_EQ(out.substr(49, 2), "\r\n");
    fs::remove_all(dir);
}

TEST(Cli, ExplicitFilesAndThreads) {
    fs::path dir = FreshDirectory("cli-explicit");
    WriteFileBytes(dir / "params.txt", kSmallInput);
    Outcome o = RunCli(dir, "--input params.txt --output out.dat --threads 2 --quiet");
    EXPECT_EQ(o.status, 0) << o.stderr_text;
    EXPECT_FALSE(ReadFileBytes(dir / "out.dat").empty());
    EXPECT_FALSE(fs::exists(dir / "reflectance.dat"));
    fs::remove_all(dir);
}

struct UsageCase {
    const char* args;
    int status;
};

class CliUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(CliUsage, ExitStatus) {
    fs::path dir = FreshDirectory("cli-usage");
    Outcome o = RunCli(dir, GetParam().args);
    EXPECT_EQ(o.status, GetParam().status) << GetParam().args << ": " << o.stderr_text;
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Arguments, CliUsage,
                         ::testing::Values(UsageCase{"--help", 0}, UsageCase{"--bogus", 2}, UsageCase{"--input", 2},
                                           UsageCase{"--threads 0", 2}, UsageCase{"--threads two", 2},
                                           UsageCase{"extra", 2}),
                         [](const auto& info) { return tdcyl::testing_support::CaseText("", info.param.args); });

TEST(Cli, FailedRunExitsOneWithOneErrorLineAndKeepsOldFile) {
    fs::path dir = FreshDirectory("cli-fail");
    WriteFileBytes(dir / "reflectance.dat", "old\r\n");
    Outcome missing = RunCli(dir, "--quiet");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.stderr_text.rfind("error: ", 0), 0u) << missing.stderr_text;
    EXPECT_EQ(std::count(missing.stderr_text.begin(), missing.stderr_text.end(), '\n'), 1);

    std::string bad = kSmallInput;
    bad.replace(bad.find("0.01"), 4, "0,01");  // decimal comma
    WriteFileBytes(dir / "input.dat", bad);
    Outcome invalid = RunCli(dir, "--quiet");
    EXPECT_EQ(invalid.status, 1);
    EXPECT_NE(invalid.stderr_text.find("line 3"), std::string::npos) << invalid.stderr_text;
    EXPECT_EQ(ReadFileBytes(dir / "reflectance.dat"), "old\r\n");
    fs::remove_all(dir);
}

}  // namespace
