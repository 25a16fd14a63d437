// tdcyl-cli: the run without a window, for scripts, fitting loops and servers
// without a display. Reads the parameter file, writes the result file.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <vector>
#include <iostream>
#include <string>

#include "app/core/run.hpp"

namespace {

constexpr const char* kUsage =
    "usage: tdcyl-cli [--input FILE] [--output FILE] [--threads N] [--quiet]\n"
    "                 [--engine faithful|fast] [--tolerance X] [--no-wraparound]\n"
    "                 [--times T1,T2,...|FILE]\n"
    "\n"
    "Computes the time-resolved diffuse reflectance of an N-layered turbid cylinder\n"
    "from the parameter file and writes one line per time sample (time in ps,\n"
    "reflectance in mm^-2 ps^-1) to the result file.\n"
    "\n"
    "  --input FILE    parameter file (default: input.dat)\n"
    "  --output FILE   result file, replaced only when the run succeeds\n"
    "                  (default: reflectance.dat)\n"
    "  --threads N     number of threads (default: all hardware threads)\n"
    "  --quiet         no progress display\n"
    "  --engine E      faithful (default): the reference arithmetic, every term;\n"
    "                  fast: double precision, accurate special functions, the\n"
    "                  series cut at a derived error bound, vectorised\n"
    "  --tolerance X   fast engine: the largest error of any written sample,\n"
    "                  relative to the curve's peak, 1e-15 ... 1e-2 (default 1e-11);\n"
    "                  a sample that cannot be held within it is left out with a\n"
    "                  warning naming it; when none can, the run fails\n"
    "  --no-wraparound fast engine: accepted for old scripts, without effect (its\n"
    "                  samples come from the inverse Laplace transform at their\n"
    "                  own times: no period to wrap around, no band limit)\n"
    "  --times T       fast engine: the curve at these times in ps (a comma-\n"
    "                  separated list, or a file of numbers, e.g. a measurement's\n"
    "                  bin centres) by the inverse Laplace transform alone, in\n"
    "                  the order given (0 before the light can arrive)\n"
    "  --help          show this text\n"
    "\n"
    "Exit status: 0 success, 1 the run failed, 2 usage error.\n";

// Times in ps from "10,20.5,30" or from a file of numbers separated by
// blanks, commas or line ends (a measurement's bin centres); each in
// (0, kLatestTime].
bool ReadTimes(const std::string& spec, std::vector<double>& times, std::string& error) {
    std::string text = spec;
    if (spec.find_first_not_of("0123456789.eE+-, ") != std::string::npos || spec.find(',') == std::string::npos) {
        std::ifstream in(spec, std::ios::binary);
        if (!in && spec.find_first_not_of("0123456789.eE+-") != std::string::npos) {
            error = "cannot open \"" + spec + "\"";
            return false;
        }
        if (in) {
            std::ostringstream all;
            char buffer[4096];
            std::size_t total = 0;
            while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
                total += static_cast<std::size_t>(in.gcount());
                if (total > (1u << 24)) {
                    error = "\"" + spec + "\" holds more than 16 MiB";
                    return false;
                }
                all.write(buffer, in.gcount());
            }
            text = all.str();
        }
    }
    for (char& c : text)
        if (c == ',' || c == '\n' || c == '\r' || c == '\t') c = ' ';
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        char* end = nullptr;
        const double t = std::strtod(word.c_str(), &end);
        if (*end != '\0' || !(t > 0 && t <= tdcyl::kLatestTime)) {
            error = "\"" + word + "\" is not a time in (0, 1e6] ps";
            return false;
        }
        times.push_back(t);
    }
    if (times.empty()) error = "no times given";
    return !times.empty();
}

int UsageError(const std::string& message) {
    std::cerr << "tdcyl-cli: " << message << "\n" << kUsage;
    return 2;
}

struct Arguments {
    std::string input = "input.dat";
    std::string output = "reflectance.dat";
    bool quiet = false;
    int threads = 0;
    tdcyl::RunOptions options;
};

// The command line read into `args`: the exit status when the program ends
// here (--help, a usage error), -1 when it runs.
int ParseArguments(int argc, char** argv, Arguments& args) {
    tdcyl::RunOptions& options = args.options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--input") {
            if (!value(args.input)) return UsageError("--input needs a file name");
        } else if (arg == "--output") {
            if (!value(args.output)) return UsageError("--output needs a file name");
        } else if (arg == "--threads") {
            std::string text;
            if (!value(text)) return UsageError("--threads needs a number");
            char* end = nullptr;
            long n = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || n < 1 || n > 1024)
                return UsageError("--threads needs a whole number from 1 to 1024, not \"" + text + "\"");
            args.threads = static_cast<int>(n);
        } else if (arg == "--engine") {
            std::string text;
            if (!value(text)) return UsageError("--engine needs faithful or fast");
            if (text == "faithful")
                options.engine = tdcyl::Engine::faithful;
            else if (text == "fast")
                options.engine = tdcyl::Engine::fast;
            else
                return UsageError("--engine needs faithful or fast, not \"" + text + "\"");
        } else if (arg == "--tolerance") {
            std::string text;
            if (!value(text)) return UsageError("--tolerance needs a number");
            char* end = nullptr;
            const double x = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !(x >= 1e-15 && x <= 1e-2))
                return UsageError("--tolerance needs a number from 1e-15 to 1e-2, not \"" + text + "\"");
            options.tolerance = x;
        } else if (arg == "--times") {
            std::string text;
            if (!value(text)) return UsageError("--times needs a list of times in ps or a file of them");
            std::string error;
            if (!ReadTimes(text, options.times_ps, error)) return UsageError("--times: " + error);
        } else if (arg == "--no-wraparound") {
            options.wraparound = false;
        } else if (arg == "--quiet" || arg == "-q") {
            args.quiet = true;
        } else {
            return UsageError("unknown argument \"" + arg + "\"");
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    if (const int status = ParseArguments(argc, argv, args); status >= 0) return status;
    tdcyl::RunOptions& options = args.options;
    const std::string& output = args.output;
    const bool quiet = args.quiet;

    // A reader that went away (`tdcyl-cli | head`, a closed terminal) must not
    // turn a finished run into a failure: writes to it just fail quietly.
    std::signal(SIGPIPE, SIG_IGN);

    if (options.engine != tdcyl::Engine::fast && (options.tolerance > 0 || !options.wraparound ||
                                                   !options.times_ps.empty()))
        return UsageError("--tolerance, --no-wraparound and --times need --engine fast");
    options.threads = args.threads;
    const bool show_progress = !quiet && isatty(STDERR_FILENO);
    std::string stage_shown;
    if (show_progress) {
        // One line per stage, rewritten in place.
        options.progress = [&stage_shown](const std::string& stage, int done, int total) {
            if (stage != stage_shown && !stage_shown.empty()) std::fputc('\n', stderr);
            stage_shown = stage;
            std::fprintf(stderr, "\r%s %d/%d", stage.c_str(), done, total);
            std::fflush(stderr);
        };
    }
    auto end_progress_line = [&] {
        if (!stage_shown.empty()) std::fputc('\n', stderr);
        stage_shown.clear();
    };

    try {
        tdcyl::RunResult result = tdcyl::RunFiles(args.input, output, options);
        end_progress_line();
        for (const std::string& w : result.warnings) std::fprintf(stderr, "warning: %s\n", w.c_str());
        if (!quiet) std::fprintf(stderr, "%zu samples written to %s\n", result.time_ps.size(), output.c_str());
        return 0;
    } catch (const std::exception& e) {
        end_progress_line();
        std::fprintf(stderr, "error: %s\n", e.what());
        return 1;
    }
}
