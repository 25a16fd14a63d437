// The result file: its format, and files that must never be destroyed or
// littered (the input as output, links, devices, FIFOs, read-only and private
// files), bad output paths found before computing, oversized or endless input,
// and termination signals while writing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include "app/core/result_writer.hpp"
#include "run_test_support.hpp"

namespace tdcyl {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// Single layer, M = 1: a run of a few tens of milliseconds.
const char* kInput = "1\n1.0\n0.01\n1.4\n30\n20\n10\n0\n0\n1\n0\n";

TEST(Format, TwentyThreeCharactersPerValue) {
    const std::pair<double, const char*> cases[] = {
        {10, " 1.00000000000000E+0001"},
        {-1.23456789012345e-7, "-1.23456789012345E-0007"},
        {9.999999999999995e-5, " 1.00000000000000E-0004"},  // rounds across a decade
        {-0.0, " 0.00000000000000E+0000"},
        {1e-300, " 1.00000000000000E-0300"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(FormatReal(value), text);
    EXPECT_EQ(FormatResultLine(10, 1.5e-9), " 1.00000000000000E+0001    1.50000000000000E-0009\r\n");
    EXPECT_THROW(FormatReal(NAN), std::invalid_argument);
    EXPECT_THROW(FormatReal(INFINITY), std::invalid_argument);
}

int Litter(const fs::path& dir) {
    int n = 0;
    for (auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().rfind(".reflectance-", 0) == 0) ++n;
    return n;
}

// The kinds of result file a user may point the program at.
class OutputKinds : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = FreshDirectory("kinds");
        WriteFileBytes(dir_ / "input.dat", kInput);
    }
    void TearDown() override {
        EXPECT_EQ(Litter(dir_), 0);
        fs::remove_all(dir_);
    }
    // Runs into `out` and returns the text the result file must hold.
    std::string Run(const fs::path& out, const RunOptions& o = {}) {
        const RunResult r = RunFiles((dir_ / "input.dat").string(), out.string(), o);
        std::string text;
        for (std::size_t i = 0; i < r.time_ps.size(); ++i) text += FormatResultLine(r.time_ps[i], r.reflectance[i]);
        return text;
    }
    fs::path dir_;
};

TEST_F(OutputKinds, PrivateFileKeepsItsMode) {
    const fs::path out = dir_ / "reflectance.dat";
    WriteFileBytes(out, "old");
    fs::permissions(out, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(ReadFileBytes(out), Run(out));
    EXPECT_EQ(fs::status(out).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(OutputKinds, ReadOnlyFileIsRefusedBeforeComputingAndKept) {
    const fs::path out = dir_ / "reflectance.dat";
    WriteFileBytes(out, "keep me");
    fs::permissions(out, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    int calls = 0;
    RunOptions o;
    o.progress = [&](const std::string&, int, int) { ++calls; };
    const std::string m = Message([&] { Run(out, o); });
    EXPECT_TRUE(Has(m, "read-only")) << m;
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(ReadFileBytes(out), "keep me");
}

TEST_F(OutputKinds, SymlinksAreFollowedToTheirTargets) {
    fs::create_directories(dir_ / "data");
    WriteFileBytes(dir_ / "data" / "target.dat", "old");
    fs::create_symlink("data/target.dat", dir_ / "reflectance.dat");
    EXPECT_EQ(ReadFileBytes(dir_ / "data" / "target.dat"), Run(dir_ / "reflectance.dat"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "reflectance.dat"));
    EXPECT_EQ(Litter(dir_ / "data"), 0);
    // A dangling link creates its target.
    fs::create_symlink("new.dat", dir_ / "dangling.dat");
    EXPECT_EQ(ReadFileBytes(dir_ / "new.dat"), Run(dir_ / "dangling.dat"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "dangling.dat"));
}

TEST_F(OutputKinds, FifoAndDeviceAreWrittenStraightThrough) {
    const fs::path fifo = dir_ / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Held open for reading (and writing, so that opening it never waits);
    // the result of this small run fits into the pipe's buffer.
    const int held = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(held, 0);
    const std::string expected = Run(fifo);
    std::string received;
    char buf[4096];
    for (ssize_t n; (n = ::read(held, buf, sizeof buf)) > 0;) received.append(buf, static_cast<std::size_t>(n));
    ::close(held);
    EXPECT_EQ(received, expected);
    EXPECT_TRUE(fs::is_fifo(fifo));
    if (::geteuid() != 0) GTEST_SKIP() << "creating a device node needs root";
    const fs::path null = dir_ / "null";
    ASSERT_EQ(::mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    Run(null);
    EXPECT_TRUE(fs::is_character_file(null));
}

// Everything that can be known about the output is checked before the
// computation starts (no progress call at all); the input is never the output,
// whatever the spelling.
TEST(BadOutputs, RefusedBeforeComputing) {
    fs::path dir = FreshDirectory("badout");
    WriteFileBytes(dir / "input.dat", kInput);
    fs::create_directories(dir / "sub");
    fs::create_symlink("input.dat", dir / "link.dat");
    fs::create_hard_link(dir / "input.dat", dir / "hard.dat");
    const std::pair<std::string, const char*> cases[] = {
        {(dir / "." / "input.dat").string(), "is the input file"},
        {(dir / "link.dat").string(), "is the input file"},
        {(dir / "hard.dat").string(), "is the input file"},
        {"", "no result file name"},
        {(dir / "sub").string(), "is a directory"},
        {(dir / "new/").string(), "names a directory"},
        {(dir / std::string(300, 'r')).string(), "a part of it has 300 characters"},
        {(dir / "none" / "reflectance.dat").string(), "does not exist"},
        // procfs takes no new files, not even from root (and, unlike sysfs, it
        // is mounted in a bare chroot too).
        {"/proc/reflectance.dat", "directory \"/proc\""},
    };
    for (const auto& [path, expect] : cases) {
        int calls = 0;
        RunOptions o;
        o.progress = [&](const std::string&, int, int) { ++calls; };
        const std::string m = Message([&] { RunFiles((dir / "input.dat").string(), path, o); });
        EXPECT_TRUE(Has(m, expect)) << m;
        EXPECT_EQ(calls, 0) << m;
        EXPECT_LT(m.size(), 300u) << "quotes at most a bounded part of the name";
    }
    EXPECT_EQ(ReadFileBytes(dir / "input.dat"), kInput);
    EXPECT_EQ(Litter(dir), 0);
    fs::remove_all(dir);
}

TEST(Input, DirectoryAndOversizedInputAreRefused) {
    fs::path dir = FreshDirectory("indir");
    EXPECT_TRUE(Has(Message([&] { ReadInputFile(dir.string()); }), "is a directory"));
    EXPECT_TRUE(Has(Message([&] { ReadInputFile("/dev/zero"); }), "larger than 1 MiB"));
    // Exactly 1 MiB is read (file and stream), one byte more is not.
    std::string text = kInput;
    text.resize(kMaxInputBytes, ' ');
    for (const std::string& t : {text, text + " "}) {
        WriteFileBytes(dir / "input.dat", t);
        std::istringstream in(t);
        const char* expect = t.size() == kMaxInputBytes ? "(no error)" : "larger than 1 MiB";
        EXPECT_TRUE(Has(Message([&] { ReadInputFile((dir / "input.dat").string()); }), expect));
        EXPECT_TRUE(Has(Message([&] { ReadInput(in); }), expect));
    }
    fs::remove_all(dir);
}

TEST(Input, CancelReachesAReadThatWaitsForData) {
    // A FIFO whose writer never writes: the read waits until cancelled.
    fs::path dir = FreshDirectory("infifo");
    const fs::path fifo = dir / "input.dat";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int writer = ::open(fifo.c_str(), O_RDWR);  // keeps a writer present
    ASSERT_GE(writer, 0);
    std::atomic<bool> cancel{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        cancel.store(true);
    });
    RunOptions o;
    o.cancel = &cancel;
    EXPECT_THROW(RunFiles(fifo.string(), (dir / "reflectance.dat").string(), o), RunCancelled);
    stopper.join();
    ::close(writer);
    fs::remove_all(dir);
}

// A termination signal while the result is written: the process ends, and
// neither a temporary file nor a half-written result is left. The signal is
// sent the moment the temporary file appears (inotify), while it is written.
TEST(Signals, TerminationWhileWritingLeavesNoTemporaryFile) {
    fs::path dir = FreshDirectory("signals");
    const std::string out = (dir / "reflectance.dat").string();
    std::vector<double> t(200000), v(200000, 1e-9);
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = 10.0 * static_cast<double>(i + 1);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        const int watch = ::inotify_init1(IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(::inotify_add_watch(watch, dir.c_str(), IN_CREATE), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Whatever started the tests (nohup, a background job, a CI runner)
            // may have set these signals to be ignored or blocked; both are
            // inherited. The writer's case is the default: delivered, fatal.
            sigset_t fatal;
            sigemptyset(&fatal);
            for (int s2 : {SIGINT, SIGTERM, SIGHUP}) {
                std::signal(s2, SIG_DFL);
                sigaddset(&fatal, s2);
            }
            ::sigprocmask(SIG_UNBLOCK, &fatal, nullptr);
            WriteResultFileAtomic(out, t, v);
            // A busy machine may let the write finish before the signal is
            // sent: wait for it, so that only a lost signal lets the child end
            // otherwise (by SIGALRM).
            ::alarm(60);
            for (;;) ::pause();
        }
        alignas(inotify_event) char event[sizeof(inotify_event) + NAME_MAX + 1];
        ASSERT_GT(::read(watch, event, sizeof event), 0);  // the temporary file was created
        ::kill(child, sig);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(watch);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig;
        EXPECT_EQ(Litter(dir), 0) << "signal " << sig;
        if (fs::exists(out)) {
            EXPECT_EQ(fs::file_size(out), 51 * t.size()) << "signal " << sig;
        }
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace tdcyl
