// The window driven through its widgets: layout and look, a click that runs
// "input.dat" of the working directory into the next series, the error box of
// a failed run, runs beyond the fifteenth, the legend, read-out, zoom, Clear
// and Save, the result file under a comma locale, and stopping a run by
// closing.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSvgRenderer>
#include <QTimer>
#include <QtCharts/QChart>
#include <QtCharts/QLegend>
#include <QtCharts/QScatterSeries>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
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
// An absorption so weak that the slowly decaying tail wraps around the
// transform's period onto early times: many samples come out negative.
constexpr const char* kWrappedInput =
    "1\n1\n1e-6\n1.4\n50\n30\n10\n0\n0\n1\n0\n";

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


// A mouse event sent straight to a widget, as the window system would.
void SendMouse(QWidget* w, QEvent::Type type, QPoint pos, Qt::MouseButtons held = Qt::NoButton) {
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent e(type, QPointF(pos), w->mapToGlobal(QPointF(pos)), button, held, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

void ClickAt(QWidget* w, QPoint pos) {
    SendMouse(w, QEvent::MouseButtonPress, pos, Qt::LeftButton);
    SendMouse(w, QEvent::MouseButtonRelease, pos);
}

// Where the chart draws the value (t, log10 R) of `series`, in the chart
// view's viewport.
QPoint ViewportPoint(const TForm1& form, QAbstractSeries* series, QPointF value) {
    QChart* chart = form.Chart1->chart();
    return form.Chart1->mapFromScene(chart->mapToScene(chart->mapToPosition(value, series)));
}

// The number a tick label of the logarithmic axis stands for: "10⁻⁸" is
// 1e-8, "2×10⁻⁹" is 2e-9. Empty optional for a label of another form.
bool ParsePowerLabel(const QString& label, double& value) {
    static const QString superscripts = QStringLiteral("⁰¹²³⁴⁵⁶⁷⁸⁹");
    QString text = label;
    double mantissa = 1;
    if (const auto times = text.indexOf(u'×'); times >= 0) {
        bool ok = false;
        mantissa = text.left(times).toDouble(&ok);
        if (!ok) return false;
        text = text.mid(times + 1);
    }
    if (!text.startsWith(QStringLiteral("10")) || text.size() < 3) return false;
    int sign = 1, exponent = 0;
    for (qsizetype i = 2; i < text.size(); ++i) {
        if (i == 2 && text[i] == u'⁻') {
            sign = -1;
            continue;
        }
        const auto digit = superscripts.indexOf(text[i]);
        if (digit < 0) return false;
        exponent = 10 * exponent + static_cast<int>(digit);
    }
    value = mantissa * std::pow(10.0, sign * exponent);
    return true;
}

int CountPixels(const QImage& image, QRect area, const std::function<bool(QColor)>& wanted) {
    int n = 0;
    area = area.intersected(image.rect());
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) n += wanted(image.pixelColor(x, y));
    return n;
}

bool Reddish(QColor c) { return c.red() > 180 && c.green() < 90 && c.blue() < 90; }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Runs a program with extra environment settings; its exit status.
int RunProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    const pid_t pid = fork();
    if (pid == 0) {
        for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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
    EXPECT_EQ(form.frameGeometry(), QRect(279, 125, 560, 480));

    QChart* chart = form.Chart1->chart();
    EXPECT_TRUE(chart->title().isEmpty());
    EXPECT_FALSE(chart->legend()->isVisible());  // the legend is the list below the chart
    EXPECT_FALSE(form.Legend->isVisible());       // and empty until the first curve
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
    // The actions in one row on top, the chart below, the progress bar below the chart.
    for (QWidget* w : {static_cast<QWidget*>(form.ClearButton), static_cast<QWidget*>(form.SaveButton),
                       static_cast<QWidget*>(form.ResetZoomButton), static_cast<QWidget*>(form.EngineBox)}) {
        EXPECT_EQ(w->y(), form.Button1->y());
        EXPECT_GT(w->x(), form.Button1->x());
    }
    EXPECT_GE(form.Chart1->y(), form.Button1->y() + form.Button1->height());
    EXPECT_GE(form.ProgressBar1->y(), form.Chart1->y() + form.Chart1->height());
    EXPECT_FALSE(form.Button1->shortcut().isEmpty());
    EXPECT_FALSE(form.ClearButton->shortcut().isEmpty());
    EXPECT_FALSE(form.SaveButton->shortcut().isEmpty());
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
                      ColourCase{4, 0, 0, 255}, ColourCase{5, 255, 255, 0}, ColourCase{6, 0, 0, 0},
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
    EXPECT_EQ(form.ProgressBar1->text(), QStringLiteral("frequencies 513/513"));
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

// --- legend ------------------------------------------------------------------

TEST_F(WindowTest, LegendEntryNamesTheRunAndHidesOrShowsItsCurve) {
    TForm1 form;
    form.show();
    Run(form);
    ASSERT_EQ(form.Legend->count(), 1);
    EXPECT_TRUE(form.Legend->isVisible());
    EXPECT_EQ(form.Legend->item(0)->text(), QStringLiteral("Run 1 — 1 layer, ρ = 10 mm, ρ0 = 0 · faithful"));
    const QString tip = form.Legend->item(0)->toolTip();
    for (const char* part : {"N = 1", "μs′₁ = 1 mm⁻¹", "μa₁ = 0.01 mm⁻¹", "n₁ = 1.4", "l₁ = 50 mm", "a = 30 mm",
                             "ρ = 10 mm", "ρ0 = 0 mm", "φ = 0 rad", "M = 1", "MMAX = 0", "input.dat"})
        EXPECT_TRUE(tip.contains(QString::fromUtf8(part))) << part << " missing in\n" << tip.toStdString();

    // A second run that differs only in the absorption: both entries say so.
    WriteBytes("input.dat", kAbsorbingInput);
    Run(form);
    ASSERT_EQ(form.Legend->count(), 2);
    EXPECT_EQ(form.Legend->item(0)->text(),
              QStringLiteral("Run 1 — 1 layer, ρ = 10 mm, ρ0 = 0, μa₁ = 0.01 mm⁻¹ · faithful"));
    EXPECT_EQ(form.Legend->item(1)->text(),
              QStringLiteral("Run 2 — 1 layer, ρ = 10 mm, ρ0 = 0, μa₁ = 0.05 mm⁻¹ · faithful"));

    // Clicking an entry hides its curve, clicking again shows it.
    QApplication::processEvents();
    const QPoint first = form.Legend->visualItemRect(form.Legend->item(0)).center();
    ClickAt(form.Legend->viewport(), first);
    EXPECT_FALSE(form.Series1->isVisible());
    EXPECT_TRUE(form.Series2->isVisible());
    EXPECT_TRUE(form.Legend->item(0)->font().strikeOut());

    // The read-out skips the hidden curve: at a point of curve 1, it names run 2.
    const QPointF point1 = form.Series1->at(form.Series1->count() - 1);  // the longer curve's last point
    ASSERT_TRUE(form.ReadOutAt(ViewportPoint(form, form.Series1, point1)));
    EXPECT_TRUE(form.ReadOut->text().startsWith(QStringLiteral("Run 2:"))) << form.ReadOut->text().toStdString();

    ClickAt(form.Legend->viewport(), first);
    EXPECT_TRUE(form.Series1->isVisible());
    EXPECT_FALSE(form.Legend->item(0)->font().strikeOut());

    // The keyboard does the same on the current entry.
    form.Legend->setCurrentRow(1);
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    QApplication::sendEvent(form.Legend, &space);
    EXPECT_FALSE(form.Series2->isVisible());
    EXPECT_TRUE(form.Series1->isVisible());
}

// --- read-out, axis labels and zoom -----------------------------------------

TEST_F(WindowTest, ReadOutGivesTimeAndReflectanceOfTheNearestPoint) {
    TForm1 form;
    form.show();
    Run(form);
    WriteBytes("input.dat", kWrappedInput);
    Run(form);
    QApplication::processEvents();
    // Run 1's sample at 1000 ps, from the file of the first run, and run 2's
    // first (negative) sample from the second file.
    WriteBytes("input.dat", kSmallInput);
    tdcyl::RunFiles("input.dat", "first.dat");
    struct Case {
        QAbstractSeries* series;
        FilePoint point;
        const char* run;
    };
    std::vector<Case> cases;
    for (const FilePoint& p : ReadResultFile("first.dat"))
        if (p.t == 1000) cases.push_back({form.Series1, p, "Run 1:"});
    cases.push_back({form.Series2, ReadResultFile("reflectance.dat").front(), "Run 2:"});
    ASSERT_EQ(cases.size(), 2u);
    ASSERT_LT(cases[1].point.v, 0);

    static const QRegularExpression pattern(QStringLiteral("t = (\\S+) ps,\\s+R = (\\S+) mm⁻² ps⁻¹"));
    for (const Case& c : cases) {
        // Zoomed in so that neighbouring samples lie far apart, then a few
        // pixels off the point: the nearest point is still this one.
        const QPointF value(c.point.t, std::log10(std::fabs(c.point.v)));
        form.ResetZoom();
        form.ZoomTo(QRect(ViewportPoint(form, c.series, value + QPointF(-60, 0.2)),
                          ViewportPoint(form, c.series, value + QPointF(60, -0.2)))
                        .normalized());
        SendMouse(form.Chart1->viewport(), QEvent::MouseMove, ViewportPoint(form, c.series, value) + QPoint(3, 2));
        const QString text = form.ReadOut->text();
        EXPECT_TRUE(text.startsWith(QString::fromUtf8(c.run))) << text.toStdString();
        const QRegularExpressionMatch m = pattern.match(text);
        ASSERT_TRUE(m.hasMatch()) << text.toStdString();
        EXPECT_EQ(m.captured(1).toDouble(), c.point.t);
        // The reflectance itself, with its sign, not its logarithm.
        EXPECT_NEAR(m.captured(2).toDouble() / c.point.v, 1.0, 1e-5) << text.toStdString();
        EXPECT_TRUE(form.ReadOut->isVisible());
    }
}

TEST_F(WindowTest, PowerOfTenLabelsAndRectangleZoomWithNiceNumbers) {
    TForm1 form;
    form.show();
    Run(form);
    QApplication::processEvents();
    auto check_labels = [&](int minimum_count) {
        const QStringList labels = form.LeftAxis->categoriesLabels();
        EXPECT_GE(labels.size(), minimum_count);
        for (const QString& label : labels) {
            double value = 0;
            ASSERT_TRUE(ParsePowerLabel(label, value)) << label.toStdString();
            // The label stands for the reflectance at its place on the log10 axis.
            const double y = form.LeftAxis->endValue(label);
            EXPECT_NEAR(std::log10(value), y, 1e-9) << label.toStdString();
            EXPECT_GE(y, form.LeftAxis->min() - 1e-9);
            EXPECT_LE(y, form.LeftAxis->max() + 1e-9);
        }
    };
    check_labels(4);  // the curve spans six decades
    EXPECT_TRUE(form.LeftAxis->categoriesLabels().contains(QStringLiteral("10⁻¹⁰")));

    const double x0 = form.BottomAxis->min(), x1 = form.BottomAxis->max();
    const double y0 = form.LeftAxis->min(), y1 = form.LeftAxis->max();

    QWidget* viewport = form.Chart1->viewport();
    const QPoint from = ViewportPoint(form, form.Series1, QPointF(1000, y1 - 0.2 * (y1 - y0)));
    const QPoint to = ViewportPoint(form, form.Series1, QPointF(2500, y0 + 0.5 * (y1 - y0)));
    SendMouse(viewport, QEvent::MouseButtonPress, from, Qt::LeftButton);
    SendMouse(viewport, QEvent::MouseMove, (from + to) / 2, Qt::LeftButton);
    SendMouse(viewport, QEvent::MouseMove, to, Qt::LeftButton);
    SendMouse(viewport, QEvent::MouseButtonRelease, to);

    // The new range holds the rectangle, is smaller than before, and its ends
    // sit on ticks of a 1-2-5 step.
    const double z0 = form.BottomAxis->min(), z1 = form.BottomAxis->max();
    EXPECT_LE(z0, 1000 + 1);
    EXPECT_GE(z1, 2500 - 1);
    EXPECT_LT(z1 - z0, 0.8 * (x1 - x0));
    const double step = (z1 - z0) / (form.BottomAxis->tickCount() - 1);
    const double decade = std::pow(10.0, std::floor(std::log10(step)));
    const double m = step / decade;
    EXPECT_TRUE(std::fabs(m - 1) < 1e-9 || std::fabs(m - 2) < 1e-9 || std::fabs(m - 5) < 1e-9) << step;
    EXPECT_NEAR(z0 / step, std::round(z0 / step), 1e-9);
    EXPECT_LT(form.LeftAxis->max() - form.LeftAxis->min(), 0.8 * (y1 - y0));

    SendMouse(viewport, QEvent::MouseButtonDblClick, to, Qt::LeftButton);
    EXPECT_EQ(form.BottomAxis->min(), x0);
    EXPECT_EQ(form.BottomAxis->max(), x1);
    EXPECT_EQ(form.LeftAxis->min(), y0);
    EXPECT_EQ(form.LeftAxis->max(), y1);

    // Within one decade the labels go to 2× and 5× of it.
    QChart* chart = form.Chart1->chart();
    const QRectF plot = chart->plotArea();
    const QPointF a = chart->mapToValue(plot.topLeft(), form.Series1);
    const double top = std::floor(a.y());
    const QPoint p0 = ViewportPoint(form, form.Series1, QPointF(500, top - 0.05));
    const QPoint p1 = ViewportPoint(form, form.Series1, QPointF(1500, top - 0.9));
    form.ZoomTo(QRect(p0, p1).normalized());
    check_labels(2);
    EXPECT_TRUE(form.LeftAxis->categoriesLabels().join(u' ').contains(u'×'));
}

// --- Clear and Save ------------------------------------------------------------

TEST_F(WindowTest, NegativeSamplesAreMarkedAndClearRemovesEveryCurve) {
    WriteBytes("input.dat", kWrappedInput);
    TForm1 form;
    form.show();
    Run(form);
    const std::vector<FilePoint> file = ReadResultFile("reflectance.dat");
    QList<QPointF> negative;
    for (const FilePoint& p : file)
        if (p.v < 0) negative.append(QPointF(p.t, std::log10(-p.v)));
    ASSERT_FALSE(negative.empty());
    ASSERT_LT(negative.size(), static_cast<qsizetype>(file.size()));

    EXPECT_TRUE(form.Legend->item(0)->text().contains(QStringLiteral("%1 negative samples").arg(negative.size())))
        << form.Legend->item(0)->text().toStdString();
    // Exactly the negative samples carry markers, in the curve's colour.
    QScatterSeries* marks = nullptr;
    for (QAbstractSeries* s : form.Chart1->chart()->series())
        if (auto* scatter = qobject_cast<QScatterSeries*>(s)) marks = scatter;
    ASSERT_NE(marks, nullptr);
    ASSERT_EQ(marks->count(), negative.size());
    for (qsizetype i = 0; i < negative.size(); ++i) {
        EXPECT_EQ(marks->at(i).x(), negative[i].x());
        EXPECT_NEAR(marks->at(i).y(), negative[i].y(), 1e-12);
    }
    EXPECT_EQ(marks->borderColor(), QColor(255, 0, 0));
    form.SetCurveVisible(0, false);  // hiding a curve hides its markers
    EXPECT_FALSE(marks->isVisible());

    // Clear: every series empty, no markers left, the result file untouched;
    // the next run takes the next number and colour.
    WriteBytes("input.dat", kSmallInput);
    Run(form);
    const std::string result_file = ReadBytes("reflectance.dat");
    form.ClearButton->click();
    QChart* chart = form.Chart1->chart();
    for (QAbstractSeries* s : chart->series()) EXPECT_EQ(static_cast<QXYSeries*>(s)->count(), 0);
    EXPECT_EQ(chart->series().size(), 15);
    EXPECT_EQ(form.Legend->count(), 0);
    EXPECT_TRUE(form.Runs().empty());
    EXPECT_EQ(ReadBytes("reflectance.dat"), result_file);

    Run(form);
    EXPECT_EQ(form.RunIndex, 2);
    EXPECT_EQ(form.Series3->color(), QColor(255, 0, 255));
    ExpectSeriesShowsFile(form.Series3, "reflectance.dat");
    ASSERT_EQ(form.Legend->count(), 1);
    EXPECT_TRUE(form.Legend->item(0)->text().startsWith(QStringLiteral("Run 3 — "))) << form.Legend->item(0)->text().toStdString();
}

TEST_F(WindowTest, CsvHoldsEveryCurveToFullPrecisionWithItsParameters) {
    TForm1 form;
    form.show();
    Run(form);
    WriteBytes("input.dat", kWrappedInput);
    Run(form);
    // The same runs through the core alone give the numbers to compare with.
    std::vector<tdcyl::RunResult> expected;
    for (const char* input : {kSmallInput, kWrappedInput}) {
        WriteBytes("again.dat", input);
        expected.push_back(tdcyl::RunFiles("again.dat", "again_out.dat"));
    }
    form.ChooseSavePath = [] { return QStringLiteral("curves.csv"); };
    form.SaveButton->click();
    const std::vector<std::string> lines = Lines(ReadBytes("curves.csv"));

    std::vector<std::string> headers;
    std::vector<std::vector<std::pair<double, double>>> rows(2);
    bool column_line = false;
    for (const std::string& line : lines) {
        if (line.rfind("#", 0) == 0) {
            headers.push_back(line);
            continue;
        }
        if (!column_line) {
            EXPECT_EQ(line, "run,time_ps,reflectance_mm-2_ps-1");
            column_line = true;
            continue;
        }
        int run = 0;
        double t = 0, r = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%d,%lf,%lf", &run, &t, &r), 3) << line;
        ASSERT_TRUE(run == 1 || run == 2) << line;
        rows[static_cast<std::size_t>(run - 1)].push_back({t, r});
    }
    for (std::size_t k = 0; k < 2; ++k) {
        ASSERT_EQ(rows[k].size(), expected[k].time_ps.size()) << "run " << k + 1;
        for (std::size_t i = 0; i < rows[k].size(); ++i) {
            EXPECT_EQ(rows[k][i].first, expected[k].time_ps[i]);
            EXPECT_EQ(rows[k][i].second, expected[k].reflectance[i]) << "run " << k + 1 << " sample " << i;
        }
    }
    auto header_of = [&](const std::string& start) {
        for (const std::string& h : headers)
            if (h.rfind(start, 0) == 0) return h;
        return std::string();
    };
    const std::string h1 = header_of("# run 1:"), h2 = header_of("# run 2:");
    for (const char* part : {"N=1;", "musp1=1;", "mua1=0.01;", "n1=1.4;", "l1=50;", "a=30;", "rho=10;", "rho0=0;",
                             "phi=0;", "M=1;", "MMAX=0;", "engine=faithful"})
        EXPECT_NE(h1.find(part), std::string::npos) << part << " missing in " << h1;
    EXPECT_NE(h2.find("mua1=1e-06;"), std::string::npos) << h2;
}

TEST_F(WindowTest, PicturesAreSavedAtTheRequestedSizeWithCurveAndLegend) {
    TForm1 form;
    form.show();
    Run(form);
    const QSize size(800, 600);
    ASSERT_TRUE(form.SavePicture(QStringLiteral("chart.png"), size));
    ASSERT_TRUE(form.SavePicture(QStringLiteral("chart.svg"), size));

    const QImage png(QStringLiteral("chart.png"));
    ASSERT_FALSE(png.isNull());
    EXPECT_EQ(png.size(), size);
    QSvgRenderer svg(QStringLiteral("chart.svg"));
    ASSERT_TRUE(svg.isValid());
    EXPECT_EQ(svg.defaultSize(), size);
    QImage drawn(size, QImage::Format_ARGB32);
    drawn.fill(Qt::white);
    {
        QPainter painter(&drawn);
        svg.render(&painter);
    }
    // Both show the red curve in the chart and the red line of its legend
    // entry at the bottom, with dark text beside it.
    for (const QImage* image : {&png, static_cast<const QImage*>(&drawn)}) {
        EXPECT_GT(CountPixels(*image, QRect(0, 0, 800, 540), Reddish), 300);
        EXPECT_GT(CountPixels(*image, QRect(0, 560, 60, 40), Reddish), 10);
        EXPECT_GT(CountPixels(*image, QRect(60, 560, 700, 40), [](QColor c) { return c.lightness() < 100; }), 50);
    }

    // "Save…" without a size: the chart as it is on screen, plus its legend.
    form.ChooseSavePath = [] { return QStringLiteral("screen.png"); };
    form.SaveButton->click();
    const QImage screen(QStringLiteral("screen.png"));
    EXPECT_EQ(screen.width(), form.Chart1->width());
    EXPECT_GT(screen.height(), form.Chart1->height());
}

TEST_F(WindowTest, StagesAndWarningsOfARunAreShown) {
    TForm1 form;
    form.show();
    const std::string warning = "The curve may be unreliable after 2000 ps.";
    form.Runner = [&](const std::string& in, const std::string& out, const tdcyl::RunOptions& options) {
        for (int m = 1; m <= 21; ++m) options.progress("zeros", m, 21);
        tdcyl::RunResult r = tdcyl::RunFiles(in, out, options);
        r.warnings.push_back(warning);
        return r;
    };
    std::vector<QString> shown;
    QObject::connect(form.ProgressBar1, &QProgressBar::valueChanged, [&] { shown.push_back(form.ProgressBar1->text()); });
    Run(form);
    // Each stage counts from its own start to its own end.
    ASSERT_FALSE(shown.empty());
    EXPECT_NE(std::find(shown.begin(), shown.end(), QStringLiteral("zeros 21/21")), shown.end());
    EXPECT_EQ(shown.back(), QStringLiteral("frequencies 513/513"));
    EXPECT_NE(std::find(shown.begin(), shown.end(), QStringLiteral("frequencies 1/513")), shown.end());
    EXPECT_TRUE(form.Legend->item(0)->text().endsWith(QStringLiteral(" · ⚠")));
    EXPECT_TRUE(form.Legend->item(0)->toolTip().contains(QString::fromStdString(warning)));
    EXPECT_TRUE(form.StatusLine->isVisible());
    EXPECT_TRUE(form.StatusLine->text().contains(QString::fromStdString(warning)));
    ASSERT_TRUE(form.SaveCsv(QStringLiteral("curves.csv")));
    EXPECT_NE(ReadBytes("curves.csv").find("# run 1 warning: " + warning), std::string::npos);
}

// --- the result file under a comma locale ---------------------------------------

TEST_F(WindowTest, ResultFileHasDecimalPointsUnderACommaLocale) {
    const char* comma_locale = "de_DE.UTF-8";
    locale_t loc = newlocale(LC_ALL_MASK, comma_locale, nullptr);
    ASSERT_NE(loc, nullptr) << "the locale " << comma_locale
                            << " is not generated on this machine; scripts/install-deps generates it";
    const std::string radix = nl_langinfo_l(RADIXCHAR, loc);
    freelocale(loc);
    ASSERT_EQ(radix, ",") << comma_locale << " does not use a decimal comma";

    // The window program itself, with the comma locale process-wide, against
    // the command-line program under the C locale.
    ASSERT_EQ(RunProgram({TDCYL_GUI_PATH, "--screenshot", "shot.png", "input.dat"},
                         {{"LC_ALL", comma_locale}, {"QT_QPA_PLATFORM", "offscreen"}}),
              0);
    ASSERT_EQ(RunProgram({TDCYL_CLI_PATH, "--input", "input.dat", "--output", "cli.dat", "--quiet"}, {{"LC_ALL", "C"}}),
              0);
    const std::string window_file = ReadBytes("reflectance.dat");
    EXPECT_EQ(window_file.find(','), std::string::npos);
    EXPECT_EQ(window_file, ReadBytes("cli.dat"));
}

// --- closing during a run ------------------------------------------------------

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

TEST_F(WindowTest, ClosingWhileARunIgnoresItsCancelLeavesTheRunBehind) {
    WriteBytes("reflectance.dat", "previous result\r\n");
    TForm1 form;
    form.show();
    form.CancelGraceMs = 200;
    int errors = 0;
    form.ShowError = [&](const QString&) { ++errors; };
    // A stage that never looks at the cancel flag, released by the test.
    auto gate = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
    auto open = std::make_shared<bool>(false);
    form.Runner = [gate, open](const std::string&, const std::string&, const tdcyl::RunOptions&) {
        std::unique_lock<std::mutex> lock(gate->first);
        gate->second.wait(lock, [&] { return *open; });
        return tdcyl::RunResult{{10}, {1e-9}, {-9}, {}};
    };
    form.Button1->click();
    ASSERT_TRUE(form.IsRunning());
    EXPECT_TRUE(form.close());
    EXPECT_FALSE(form.IsRunning());
    EXPECT_TRUE(form.AbandonedRun());
    EXPECT_TRUE(form.Button1->isEnabled());
    {
        std::lock_guard<std::mutex> lock(gate->first);
        *open = true;
    }
    gate->second.notify_all();
    ProcessEventsFor(100);  // what the released run does reaches nobody
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(form.Series1->count(), 0);
    EXPECT_EQ(ReadBytes("reflectance.dat"), "previous result\r\n");
}

TEST_F(WindowTest, ClosingWhileTheInputIsAFifoNobodyWritesDoesNotHang) {
    fs::remove("input.dat");
    ASSERT_EQ(mkfifo("input.dat", 0600), 0);
    TForm1 form;
    form.show();
    form.CancelGraceMs = 200;
    // The reader may give up on a FIFO without a writer by itself; the point
    // here is only that closing never waits on it.
    form.ShowError = [](const QString&) {};
    form.Button1->click();
    ProcessEventsFor(50);
    EXPECT_TRUE(form.close());
    EXPECT_FALSE(form.IsRunning());
    // If a reader is still blocked on the FIFO, let it go: a writer that closes
    // at once gives an empty file. Non-blocking, since a cancelled reader may
    // already be gone.
    const int fd = ::open("input.dat", O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
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
