// The window driven through its widgets: layout and look, a click that runs
// "input.dat" of the working directory into the next series, the error box of
// a failed run, runs beyond the fifteenth, and stopping a run by closing.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtCharts/QChart>
#include <QtCharts/QLegend>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/gui/form.hpp"

namespace {

using tdcyl::TForm1;
namespace fs = std::filesystem;

// One QApplication for the whole test program, without a display unless one
// was chosen.
class QtApplication : public ::testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[9] = "test_gui";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const kQtApplication =
    ::testing::AddGlobalTestEnvironment(new QtApplication);

// Single layer, on-axis source: a fast run.
constexpr const char* kSmallInput =
    "1\n1\n0.01\n1.4\n50\n30\n10\n0\n0\n1\n0\n";
// The same cylinder with a stronger absorber: a shorter curve.
constexpr const char* kAbsorbingInput =
    "1\n1\n0.05\n1.4\n50\n30\n10\n0\n0\n1\n0\n";
// Three layers, off-axis source, 21 angular orders over 1000 zeros each: a run
// that takes far longer than closing the window.
constexpr const char* kSlowInput =
    "3\n1\n0.01\n1.4\n5\n1.2\n0.02\n1.4\n8\n1\n0.015\n1.4\n50\n50\n20\n5\n0.5\n1\n20\n";

struct FilePoint {
    double t, v;
};

std::vector<FilePoint> ReadResultFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<FilePoint> points;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        char* end = nullptr;
        const double t = std::strtod(line.c_str(), &end);
        const double v = std::strtod(end, nullptr);
        points.push_back({t, v});
    }
    return points;
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteBytes(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Waits on the window's event loop until the run in progress has ended.
bool WaitForRun(TForm1& form, int timeout_ms = 60000) {
    QEventLoop loop;
    bool finished = false;
    auto done = QObject::connect(&form, &TForm1::RunFinished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    QTimer::singleShot(timeout_ms, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(done);
    return finished;
}

void ProcessEventsFor(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

// Closes every modal message box that appears and records what it said.
class ErrorBoxCloser {
public:
    ErrorBoxCloser() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts_.push_back(box->text());
                icons_.push_back(box->icon());
                box->done(QMessageBox::Ok);
            }
        });
        timer_.start(20);
    }
    const std::vector<QString>& texts() const { return texts_; }
    const std::vector<QMessageBox::Icon>& icons() const { return icons_; }

private:
    QTimer timer_;
    std::vector<QString> texts_;
    std::vector<QMessageBox::Icon> icons_;
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = fs::current_path();
        std::string pattern = (fs::temp_directory_path() / "tdcyl_gui_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::current_path(dir_);
        WriteBytes("input.dat", kSmallInput);
    }
    void TearDown() override {
        fs::current_path(previous_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // One click on "Start!" and the wait for its end.
    static void Run(TForm1& form) {
        ASSERT_TRUE(form.Button1->isEnabled());
        form.Button1->click();
        ASSERT_TRUE(WaitForRun(form)) << "the run did not end";
    }

    // The series holds exactly the curve of the result file: same times,
    // log10 of the magnitude of each reflectance (the file keeps 15 digits).
    static void ExpectSeriesShowsFile(const QLineSeries* series, const fs::path& file) {
        const std::vector<FilePoint> expected = ReadResultFile(file);
        const QList<QPointF> shown = series->points();
        ASSERT_FALSE(expected.empty());
        ASSERT_EQ(static_cast<std::size_t>(shown.size()), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const QPointF& p = shown[static_cast<qsizetype>(i)];
            ASSERT_EQ(p.x(), expected[i].t) << "point " << i;
            ASSERT_NEAR(p.y(), std::log10(std::fabs(expected[i].v)), 1e-12) << "point " << i;
        }
    }

    // Both axes cover every point of every series, with at most one extra
    // tick step's worth of room on either side.
    static void ExpectAxesCoverAllCurves(const TForm1& form) {
        double x0 = INFINITY, x1 = -INFINITY, y0 = INFINITY, y1 = -INFINITY;
        for (QAbstractSeries* a : form.Chart1->chart()->series()) {
            for (const QPointF& p : static_cast<QXYSeries*>(a)->points()) {
                x0 = std::min(x0, p.x());
                x1 = std::max(x1, p.x());
                y0 = std::min(y0, p.y());
                y1 = std::max(y1, p.y());
            }
        }
        ASSERT_LT(x0, x1);
        EXPECT_LE(form.BottomAxis->min(), x0);
        EXPECT_GE(form.BottomAxis->max(), x1);
        EXPECT_LE(form.BottomAxis->max() - form.BottomAxis->min(), 2 * (x1 - x0));
        EXPECT_LE(form.LeftAxis->min(), y0);
        EXPECT_GE(form.LeftAxis->max(), y1);
        EXPECT_LE(form.LeftAxis->max() - form.LeftAxis->min(), 2 * (y1 - y0));
        EXPECT_GE(form.BottomAxis->tickCount(), 2);
        EXPECT_GE(form.LeftAxis->tickCount(), 2);
    }

    fs::path previous_, dir_;
};

TEST_F(WindowTest, CaptionButtonChartAndGeometry) {
    TForm1 form;
    form.show();
    QApplication::processEvents();
    EXPECT_EQ(form.windowTitle(), QStringLiteral("N-layered Cylinder | time domain "));
    EXPECT_EQ(form.Button1->text(), QStringLiteral("Start!"));
    EXPECT_EQ(form.Button1->size(), QSize(65, 25));
    EXPECT_EQ(form.RunIndex, -1);
    // Without a window manager the outer and inner geometry coincide.
    EXPECT_EQ(form.frameGeometry(), QRect(279, 125, 511, 412));

    QChart* chart = form.Chart1->chart();
    EXPECT_TRUE(chart->title().isEmpty());
    EXPECT_FALSE(chart->legend()->isVisible());
    EXPECT_EQ(form.BottomAxis->titleText(), QStringLiteral("t[ps]"));
    EXPECT_EQ(form.LeftAxis->titleText(), QStringLiteral("reflectance [mm^-2 ps^-1]"));
    EXPECT_EQ(chart->axes(Qt::Horizontal).size(), 1);
    EXPECT_EQ(chart->axes(Qt::Vertical).size(), 1);
    EXPECT_EQ(chart->axes(Qt::Horizontal).first(), form.BottomAxis);
    EXPECT_EQ(chart->axes(Qt::Vertical).first(), form.LeftAxis);
    EXPECT_EQ(form.LeftAxis->minorTickCount(), 2);
    EXPECT_EQ(form.ProgressBar1->maximum(), 513);

    ASSERT_EQ(chart->series().size(), 15);
    for (QAbstractSeries* s : chart->series()) {
        auto* line = qobject_cast<QLineSeries*>(s);
        ASSERT_NE(line, nullptr);
        EXPECT_EQ(line->count(), 0);
        EXPECT_FALSE(line->pointsVisible());
        EXPECT_FALSE(line->pointLabelsVisible());
    }
    // The chart sits below the button, the progress bar below the chart.
    EXPECT_GE(form.Chart1->y(), form.Button1->y() + form.Button1->height());
    EXPECT_GE(form.ProgressBar1->y(), form.Chart1->y() + form.Chart1->height());
}

struct ColourCase {
    int series;  // 1 .. 15
    int r, g, b;
};

class SeriesColourTest : public WindowTest, public ::testing::WithParamInterface<ColourCase> {};

TEST_P(SeriesColourTest, SeriesHasItsColourAndPlace) {
    const ColourCase c = GetParam();
    TForm1 form;
    QLineSeries* members[] = {form.Series1,  form.Series2,  form.Series3,  form.Series4,  form.Series5,
                              form.Series6,  form.Series7,  form.Series8,  form.Series9,  form.Series10,
                              form.Series11, form.Series12, form.Series13, form.Series14, form.Series15};
    QLineSeries* s = members[c.series - 1];
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(form.Chart1->chart()->series().at(c.series - 1), s);
    EXPECT_EQ(s->color(), QColor(c.r, c.g, c.b));
    EXPECT_EQ(s->name(), QStringLiteral("Series%1").arg(c.series));
}

INSTANTIATE_TEST_SUITE_P(
    AllFifteen, SeriesColourTest,
    ::testing::Values(ColourCase{1, 255, 0, 0}, ColourCase{2, 0, 128, 0}, ColourCase{3, 255, 0, 255},
                      ColourCase{4, 0, 0, 255}, ColourCase{5, 255, 255, 0}, ColourCase{6, 255, 255, 255},
                      ColourCase{7, 128, 128, 128}, ColourCase{8, 0, 128, 128}, ColourCase{9, 0, 0, 128},
                      ColourCase{10, 128, 0, 0}, ColourCase{11, 0, 255, 0}, ColourCase{12, 128, 128, 0},
                      ColourCase{13, 128, 0, 128}, ColourCase{14, 192, 192, 192}, ColourCase{15, 0, 255, 255}),
    [](const ::testing::TestParamInfo<ColourCase>& info) { return "Series" + std::to_string(info.param.series); });

TEST_F(WindowTest, ClickPlotsTheResultFileIntoSeries1) {
    TForm1 form;
    form.show();
    Run(form);
    EXPECT_EQ(form.RunIndex, 0);
    ExpectSeriesShowsFile(form.Series1, "reflectance.dat");
    for (int i = 1; i < 15; ++i) EXPECT_EQ(form.SeriesForRun(i)->count(), 0) << "series " << i + 1;
    ExpectAxesCoverAllCurves(form);
    EXPECT_EQ(form.ProgressBar1->value(), 513);
    EXPECT_TRUE(form.Button1->isEnabled());
}

TEST_F(WindowTest, SecondClickPlotsIntoSeries2AndAxesCoverBoth) {
    TForm1 form;
    form.show();
    Run(form);
    const std::string first = ReadBytes("reflectance.dat");
    WriteBytes("first.dat", first);
    WriteBytes("input.dat", kAbsorbingInput);
    Run(form);
    EXPECT_EQ(form.RunIndex, 1);
    EXPECT_NE(ReadBytes("reflectance.dat"), first);
    ExpectSeriesShowsFile(form.Series1, "first.dat");
    ExpectSeriesShowsFile(form.Series2, "reflectance.dat");
    EXPECT_EQ(form.Series3->count(), 0);
    ExpectAxesCoverAllCurves(form);
}

TEST_F(WindowTest, ButtonIsDisabledAndProgressRisesWhileRunning) {
    TForm1 form;
    form.show();
    std::vector<int> seen;
    QObject::connect(form.ProgressBar1, &QProgressBar::valueChanged, [&](int v) { seen.push_back(v); });
    form.Button1->click();
    EXPECT_FALSE(form.Button1->isEnabled());
    EXPECT_TRUE(form.IsRunning());
    form.Button1->click();  // ignored: a disabled button does not click
    ASSERT_TRUE(WaitForRun(form));
    EXPECT_EQ(form.RunIndex, 0);
    EXPECT_TRUE(form.Button1->isEnabled());
    EXPECT_FALSE(form.IsRunning());
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), 513);
    EXPECT_EQ(form.Series2->count(), 0);
}

struct BadInput {
    const char* name;
    const char* input;  // nullptr: no input.dat at all
    bool output_is_directory;
};

class FailedRunTest : public WindowTest, public ::testing::WithParamInterface<BadInput> {};

TEST_P(FailedRunTest, ErrorBoxShowsTheCoreMessageAndTheWindowStaysUsable) {
    const BadInput bad = GetParam();
    TForm1 form;
    form.show();
    Run(form);
    const QList<QPointF> first_curve = form.Series1->points();
    const std::string first_file = ReadBytes("reflectance.dat");

    if (bad.input) {
        WriteBytes("input.dat", bad.input);
    } else {
        fs::remove("input.dat");
    }
    std::string expected;  // what the core itself says about this input
    if (bad.output_is_directory) {
        fs::remove("reflectance.dat");
        fs::create_directory("reflectance.dat");
    }
    try {
        tdcyl::RunFiles("input.dat", "reflectance.dat");
        FAIL() << "the core accepted the bad case";
    } catch (const std::exception& e) {
        expected = e.what();
    }
    ASSERT_FALSE(expected.empty());

    {
        ErrorBoxCloser closer;
        form.Button1->click();
        ASSERT_TRUE(WaitForRun(form));
        ASSERT_EQ(closer.texts().size(), 1u);
        EXPECT_EQ(closer.texts()[0].toStdString(), expected);
        EXPECT_EQ(closer.icons()[0], QMessageBox::Critical);
    }
    EXPECT_EQ(form.RunIndex, 1);
    EXPECT_EQ(form.Series1->points(), first_curve);
    EXPECT_EQ(form.Series2->count(), 0);
    if (!bad.output_is_directory) {
        EXPECT_EQ(ReadBytes("reflectance.dat"), first_file);
    }
    EXPECT_TRUE(form.Button1->isEnabled());

    // Still usable: the next good run goes to the next series.
    if (bad.output_is_directory) fs::remove("reflectance.dat");
    WriteBytes("input.dat", kSmallInput);
    Run(form);
    EXPECT_EQ(form.RunIndex, 2);
    ExpectSeriesShowsFile(form.Series3, "reflectance.dat");
    EXPECT_EQ(form.Series1->points(), first_curve);
}

INSTANTIATE_TEST_SUITE_P(
    BadCases, FailedRunTest,
    ::testing::Values(BadInput{"MissingInputFile", nullptr, false},
                      BadInput{"TextInsteadOfNumber", "1\n1\nabc\n1.4\n50\n30\n10\n0\n0\n1\n0\n", false},
                      BadInput{"ZeroLayers", "0\n30\n10\n0\n0\n1\n0\n", false},
                      BadInput{"ZeroSamplingFactor", "1\n1\n0.01\n1.4\n50\n30\n10\n0\n0\n0\n0\n", false},
                      BadInput{"ResultFileNotWritable", kSmallInput, true}),
    [](const ::testing::TestParamInfo<BadInput>& info) { return std::string(info.param.name); });

TEST_F(WindowTest, RunsBeyondTheFifteenthAddSeriesInTurnOfColours) {
    TForm1 form;
    form.show();
    form.RunIndex = 14;  // as after fifteen runs
    Run(form);
    QChart* chart = form.Chart1->chart();
    ASSERT_EQ(chart->series().size(), 16);
    auto* sixteenth = qobject_cast<QLineSeries*>(chart->series().at(15));
    ASSERT_NE(sixteenth, nullptr);
    EXPECT_EQ(sixteenth->color(), QColor(255, 0, 0));
    ExpectSeriesShowsFile(sixteenth, "reflectance.dat");
    for (int i = 0; i < 15; ++i) EXPECT_EQ(form.SeriesForRun(i)->count(), 0);
    ExpectAxesCoverAllCurves(form);

    Run(form);
    ASSERT_EQ(chart->series().size(), 17);
    auto* seventeenth = qobject_cast<QLineSeries*>(chart->series().at(16));
    EXPECT_EQ(seventeenth->color(), QColor(0, 128, 0));
    ExpectSeriesShowsFile(seventeenth, "reflectance.dat");
}

TEST_F(WindowTest, ChartFollowsTheWindowSize) {
    TForm1 form;
    form.show();
    QApplication::processEvents();
    const QSize chart_before = form.Chart1->size();
    const QSize window_before = form.size();
    form.resize(window_before + QSize(300, 200));
    ProcessEventsFor(50);
    EXPECT_EQ(form.Chart1->size(), chart_before + QSize(300, 200));
    EXPECT_EQ(form.ProgressBar1->width(), form.Chart1->width());
}

TEST_F(WindowTest, ClosingDuringARunCancelsItAndKeepsTheOldFile) {
    WriteBytes("input.dat", kSlowInput);
    WriteBytes("reflectance.dat", "previous result\r\n");
    TForm1 form;
    form.show();
    int errors = 0;
    form.ShowError = [&](const QString&) { ++errors; };
    form.Button1->click();
    ASSERT_TRUE(form.IsRunning());
    ProcessEventsFor(100);
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(form.close());
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_FALSE(form.IsRunning());
    EXPECT_FALSE(form.isVisible());
    ProcessEventsFor(100);  // the worker's last events arrive after the close
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(ReadBytes("reflectance.dat"), "previous result\r\n");
    EXPECT_EQ(form.Series1->count(), 0);
}

TEST_F(WindowTest, DestroyingTheWindowDuringARunStopsIt) {
    WriteBytes("input.dat", kSlowInput);
    WriteBytes("reflectance.dat", "previous result\r\n");
    auto form = std::make_unique<TForm1>();
    form->show();
    form->Button1->click();
    ASSERT_TRUE(form->IsRunning());
    QElapsedTimer clock;
    clock.start();
    form.reset();
    EXPECT_LT(clock.elapsed(), 5000);
    ProcessEventsFor(50);
    EXPECT_EQ(ReadBytes("reflectance.dat"), "previous result\r\n");
}

}  // namespace
