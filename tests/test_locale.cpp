// The result file and the messages do not depend on the process's locale: a
// window toolkit sets the C locale from the environment, and a German one
// writes decimal commas through printf. The whole test runs under de_DE.UTF-8
// (C and C++ global locales), built privately when the system lacks it.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <locale>
#include <string>

#include "app/core/result_writer.hpp"
#include "app/core/run.hpp"
#include "run_test_support.hpp"

namespace tdcyl {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// Makes de_DE.UTF-8 available: the system's, or one compiled with localedef
// into a private directory named by LOCPATH. Fails (never skips) otherwise.
bool UseGermanLocale(const fs::path& dir) {
    if (std::setlocale(LC_ALL, "de_DE.UTF-8")) return true;
    const fs::path locales = dir / "locales";
    fs::create_directories(locales);
    const std::string cmd =
        "localedef -i de_DE -f UTF-8 '" + (locales / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
    std::system(cmd.c_str());  // warnings give a non-zero status although the locale is usable
    ::setenv("LOCPATH", locales.c_str(), 1);
    return std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
}

TEST(Locale, CommaLocaleChangesNeitherFileNorMessages) {
    fs::path dir = FreshDirectory("locale");
    WriteFileBytes(dir / "input.dat", "1\n1.0\n0.01\n1.4\n30\n20\n10\n0\n0\n1\n0\n");
    const std::string in = (dir / "input.dat").string(), out = (dir / "reflectance.dat").string();
    RunFiles(in, out);
    const std::string reference = ReadFileBytes(out);
    ASSERT_EQ(reference.substr(0, 3), " 2.") << "a point, not a comma, at t = 20 ps";

    ASSERT_TRUE(UseGermanLocale(dir)) << "the locale de_DE.UTF-8 is missing and could not be built "
                                         "(install the package `locales`; scripts/install-deps does)";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    ASSERT_EQ(std::string(probe), "0,5") << "the comma locale is not in effect";
    const std::locale previous = std::locale::global(std::locale("de_DE.UTF-8"));

    fs::remove(out);
    RunFiles(in, out);
    const std::string under_comma = ReadFileBytes(out);
    EXPECT_EQ(FormatReal(0.5), " 5.00000000000000E-0001");
    // The reader's numbers and the messages' numbers: a point, no grouping.
    WriteFileBytes(dir / "input.dat", "2\n1.0\n0.01\n1.4\n10\n1.2\n0.02\n1.4\n40\n300.5\n10\n0\n0\n1\n0\n");
    const std::string message = Message([&] { RunFiles(in, out); });

    std::locale::global(previous);
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(under_comma, reference);
    EXPECT_TRUE(Has(message, "a = 300.5 mm gives 6010 Bessel zeros")) << message;
    fs::remove_all(dir);
}

}  // namespace
}  // namespace tdcyl
