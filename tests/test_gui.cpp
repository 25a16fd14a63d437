// The window driven through its widgets, each click running "input.dat" of
// the working directory, as a user would; no display needed.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QGraphicsScene>
#include <QGraphicsTextItem>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSvgRenderer>
#include <QTimer>
#include <QtCharts/QChart>
#include <QtCharts/QLegend>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <sstream>
#include <tuple>

#include "app/gui/form.hpp"
#include "run_test_support.hpp"

namespace {

using tdcyl::TForm1;
using tdcyl::testing_support::ReadFileBytes, tdcyl::testing_support::WriteFileBytes;
namespace fs = std::filesystem;

// Single layer, on-axis source: a fast run.
constexpr const char* kSmallInput = "1\n1\n0.01\n1.4\n50\n30\n10\n0\n0\n1\n0\n";
// Five parameters changed, among them a stronger absorber: a shorter curve.
constexpr const char* kOtherInput = "1\n1.2\n0.05\n1.33\n40\n25\n10\n0\n0\n1\n0\n";
// Three layers, off-axis source, 21 angular orders over 1000 zeros each: on the
// faithful engine a run that takes far longer than closing the window; the
// engines give different curves for it.
constexpr const char* kSlowInput = "3\n1\n0.01\n1.4\n5\n1.2\n0.02\n1.4\n8\n1\n0.015\n1.4\n50\n50\n20\n5\n0.5\n1\n20\n";
// An absorption so weak that the slowly decaying tail wraps around the
// transform's period onto early times: many samples come out negative.
constexpr const char* kWrappedInput = "1\n1\n1e-6\n1.4\n50\n30\n10\n0\n0\n1\n0\n";

struct FilePoint {
    double t, v;
};

std::vector<FilePoint> ReadResultFile(const fs::path& path) {
    std::ifstream in(path);
    std::vector<FilePoint> points;
    for (double t, v; in >> t >> v;) points.push_back({t, v});
    return points;
}

// Runs the event loop for `ms` milliseconds, or until a run of `form` ends;
// whether one ended.
bool RunEventLoop(int ms, TForm1* form = nullptr) {
    QEventLoop loop;
    if (form) QObject::connect(form, &TForm1::RunFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(ms, &loop, [&loop] { loop.exit(1); });
    return loop.exec() == 0;
}

// A mouse event sent straight to a widget, as the window system would.
void SendMouse(QWidget* w, QEvent::Type type, QPoint pos, Qt::MouseButtons held = Qt::NoButton) {
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent e(type, QPointF(pos), w->mapToGlobal(QPointF(pos)), button, held, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

// Where the chart draws the value (t, log10 R), in the chart view's viewport.
QPoint ViewportPoint(const TForm1& form, QPointF value) {
    QChart* chart = form.ui().Chart1->chart();
    return form.ui().Chart1->mapFromScene(chart->mapToScene(chart->mapToPosition(value, form.ui().Series1)));
}

// The number a tick label of the logarithmic axis stands for: "10⁻⁸" is
// 1e-8, "2×10⁻⁹" is 2e-9; false for a label of another form.
bool ParsePowerLabel(QString s, double& value) {
    static const QString superscripts = QStringLiteral("⁰¹²³⁴⁵⁶⁷⁸⁹⁻"), plain = QStringLiteral("0123456789-");
    if (s.contains(u'-') || s.contains(u'e')) return false;
    s.replace(QStringLiteral("×10"), QStringLiteral("e"));
    if (s.startsWith(QStringLiteral("10"))) s.replace(0, 2, QStringLiteral("1e"));
    for (qsizetype i = 0; i < superscripts.size(); ++i) s.replace(superscripts[i], plain[i]);
    bool ok = false;
    value = s.toDouble(&ok);
    return ok && s.contains(u'e');
}

int CountPixels(const QImage& image, QRect area, bool (*wanted)(QColor)) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) n += wanted(image.pixelColor(x, y));
    return n;
}

class WindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "test_gui";
        static char* argv[] = {name, nullptr};
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        if (!qApp) new QApplication(argc, argv);  // for the whole program
    }
    void SetUp() override {
        previous_ = fs::current_path();
        std::string pattern = (fs::temp_directory_path() / "tdcyl_gui_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::current_path(dir_);
        WriteFileBytes("input.dat", kSmallInput);
        form_.SetShowError([this](const QString& message) { errors_.push_back(message.toStdString()); });
        form_.show();
    }
    void TearDown() override {
        fs::current_path(previous_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    void Run(const char* input = nullptr) {  // of `input` when given, else of the file as it is
        if (input) WriteFileBytes("input.dat", input);
        ASSERT_TRUE(ui_.Button1->isEnabled());
        ui_.Button1->click();
        ASSERT_TRUE(RunEventLoop(60000, &form_)) << "the run did not end";
    }

    // The series holds exactly the curve of the result file: same times,
    // log10 of the magnitude of each reflectance (the file keeps 15 digits).
    static void ExpectSeriesShowsFile(const QLineSeries* series, const fs::path& file) {
        const std::vector<FilePoint> expected = ReadResultFile(file);
        ASSERT_FALSE(expected.empty());
        ASSERT_EQ(static_cast<std::size_t>(series->count()), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const QPointF p = series->at(static_cast<qsizetype>(i));
            ASSERT_EQ(p.x(), expected[i].t) << "point " << i;
            ASSERT_NEAR(p.y(), std::log10(std::fabs(expected[i].v)), 1e-12) << "point " << i;
        }
    }

    fs::path previous_, dir_;
    std::vector<std::string> errors_;
    TForm1 form_;  // made before SetUp: it reads no file of its own
    const TForm1::Widgets& ui_ = form_.ui();
};

// The look at the default size: caption, colours, six runs that leave the
// axes readable, power-of-ten labels and rectangle zoom with nice numbers.
TEST_F(WindowTest, DefaultSizeColoursReadableAxesAndZoom) {
    EXPECT_EQ(form_.windowTitle(), QStringLiteral("N-layered Cylinder | time domain "));
    EXPECT_EQ(ui_.Button1->text(), QStringLiteral("Start!"));
    EXPECT_EQ(form_.frameGeometry(), QRect(279, 125, 560, 480));  // no window manager: no frame
    QChart* chart = ui_.Chart1->chart();
    EXPECT_FALSE(chart->legend()->isVisible());  // the legend is the list below the chart
    EXPECT_EQ(ui_.BottomAxis->titleText(), QStringLiteral("t[ps]"));
    EXPECT_EQ(ui_.LeftAxis->titleText(), QStringLiteral("reflectance [mm^-2 ps^-1]"));

    // Red, green, fuchsia, blue, yellow, black, gray, teal, navy, maroon, lime, olive, purple, silver, aqua.
    const QColor colours[] = {{255, 0, 0}, {0, 128, 0},     {255, 0, 255}, {0, 0, 255},     {255, 255, 0},
                              {0, 0, 0},   {128, 128, 128}, {0, 128, 128}, {0, 0, 128},     {128, 0, 0},
                              {0, 255, 0}, {128, 128, 0},   {128, 0, 128}, {192, 192, 192}, {0, 255, 255}};
    ASSERT_EQ(chart->series().size(), 15);
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(static_cast<QLineSeries*>(chart->series().at(i))->color(), colours[i]) << "series " << i + 1;

    // Six runs at the default size: axis titles and tick labels whole, legend entries wrapped, the newest shown.
    for (int i = 0; i < 6; ++i) Run(i % 2 ? kOtherInput : kSmallInput);
    QApplication::processEvents();  // the layout settles
    QStringList shown, whole = ui_.LeftAxis->categoriesLabels()
                               << ui_.LeftAxis->titleText() << ui_.BottomAxis->titleText();
    for (QGraphicsItem* item : chart->scene()->items())
        if (auto* text = dynamic_cast<QGraphicsTextItem*>(item)) shown << text->toPlainText();
    for (const QString& label : whole) EXPECT_TRUE(shown.contains(label)) << label.toStdString() << " is cut";
    const QListWidget* list = ui_.Legend;
    for (int i = 0; i < list->count(); ++i) {  // as tall as its text wrapped beside the icon
        const QRect r = list->visualItemRect(list->item(i)), text(0, 0, r.width() - 36, 1000);
        EXPECT_GE(r.height(), list->fontMetrics().boundingRect(text, Qt::TextWordWrap, list->item(i)->text()).height());
    }
    EXPECT_TRUE(list->viewport()->rect().contains(list->visualItemRect(list->item(5))));

    auto check_labels = [&](int minimum_count) {
        const QStringList labels = ui_.LeftAxis->categoriesLabels();
        EXPECT_GE(labels.size(), minimum_count);
        for (const QString& label : labels) {
            double value = 0;
            ASSERT_TRUE(ParsePowerLabel(label, value)) << label.toStdString();
            EXPECT_NEAR(std::log10(value), ui_.LeftAxis->endValue(label), 1e-9) << label.toStdString();
        }
    };
    check_labels(4);  // each label names the reflectance at its place; the curve spans six decades

    const double x0 = ui_.BottomAxis->min(), x1 = ui_.BottomAxis->max();
    const double y0 = ui_.LeftAxis->min(), y1 = ui_.LeftAxis->max();
    QWidget* viewport = ui_.Chart1->viewport();
    const QPoint from = ViewportPoint(form_, QPointF(1000, y1 - 0.2 * (y1 - y0)));
    const QPoint to = ViewportPoint(form_, QPointF(2500, y0 + 0.5 * (y1 - y0)));
    SendMouse(viewport, QEvent::MouseButtonPress, from, Qt::LeftButton);
    SendMouse(viewport, QEvent::MouseMove, to, Qt::LeftButton);
    SendMouse(viewport, QEvent::MouseButtonRelease, to);
    // The new range holds the rectangle, and its ends sit on ticks of a 1-2-5 step.
    const double z0 = ui_.BottomAxis->min(), z1 = ui_.BottomAxis->max();
    EXPECT_LE(z0, 1000 + 1);
    EXPECT_GE(z1, 2500 - 1);
    EXPECT_LT(z1 - z0, 0.8 * (x1 - x0));
    EXPECT_LT(ui_.LeftAxis->max() - ui_.LeftAxis->min(), 0.8 * (y1 - y0));
    const double step = (z1 - z0) / (ui_.BottomAxis->tickCount() - 1);
    const double m = step / std::pow(10.0, std::floor(std::log10(step)));
    EXPECT_TRUE(std::fabs(m - 1) < 1e-9 || std::fabs(m - 2) < 1e-9 || std::fabs(m - 5) < 1e-9) << step;
    EXPECT_NEAR(z0 / step, std::round(z0 / step), 1e-9);

    SendMouse(viewport, QEvent::MouseButtonDblClick, to, Qt::LeftButton);
    EXPECT_EQ(std::make_pair(ui_.BottomAxis->min(), ui_.BottomAxis->max()), std::make_pair(x0, x1));
    EXPECT_EQ(std::make_pair(ui_.LeftAxis->min(), ui_.LeftAxis->max()), std::make_pair(y0, y1));

    // Within one decade the labels go to 2× and 5× of it.
    const double top = std::floor(y1);
    ui_.Chart1->ZoomTo(
        QRect(ViewportPoint(form_, {500, top - 0.05}), ViewportPoint(form_, {1500, top - 0.9})).normalized());
    check_labels(2);
    const QString labels = ui_.LeftAxis->categoriesLabels().join(u' ');
    EXPECT_TRUE(labels.contains(QStringLiteral("2×")) && labels.contains(QStringLiteral("5×"))) << labels.toStdString();
}

// Runs 1 and 3 with a failed run 2 between them: series, error, axes, legend,
// pictures.
TEST_F(WindowTest, EachClickPlotsTheResultFileIntoTheNextSeriesWithALegendEntry) {
    ui_.Button1->click();
    EXPECT_FALSE(ui_.Button1->isEnabled());
    ASSERT_TRUE(RunEventLoop(60000, &form_));
    EXPECT_EQ(ui_.ProgressBar1->text(), QStringLiteral("frequencies 513/513"));
    WriteFileBytes("first.dat", ReadFileBytes("reflectance.dat"));

    // A failed run: the core's message about the file, and no curve.
    fs::remove("input.dat");
    ui_.Button1->click();
    ASSERT_TRUE(RunEventLoop(60000, &form_));
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_NE(errors_[0].find("\"input.dat\" in the folder \"" + fs::path(dir_).string() + "\""), std::string::npos)
        << errors_[0];

    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "scripts/install-deps generates de_DE.UTF-8";
    Run(kOtherInput);  // under a comma locale: still the CLI's bytes
    std::setlocale(LC_ALL, "C");
    ASSERT_EQ(std::system("LC_ALL=C '" TDCYL_CLI_PATH "' --input input.dat --output cli.dat --quiet"), 0);
    EXPECT_EQ(ReadFileBytes("reflectance.dat"), ReadFileBytes("cli.dat"));
    ExpectSeriesShowsFile(ui_.Series1, "first.dat");
    ExpectSeriesShowsFile(ui_.Series3, "reflectance.dat");
    for (const QLineSeries* s : {ui_.Series1, ui_.Series3})  // the axes cover every point of both curves
        for (const QPointF& p : s->points())
            ASSERT_TRUE(ui_.BottomAxis->min() <= p.x() && p.x() <= ui_.BottomAxis->max() &&
                        ui_.LeftAxis->min() <= p.y() && p.y() <= ui_.LeftAxis->max())
                << p.x() << ", " << p.y();

    ASSERT_EQ(ui_.Legend->count(), 2);  // the entries name what differs between the runs, at most four values
    EXPECT_EQ(ui_.Legend->item(0)->text(), QStringLiteral("Run 1 — 1 layer, ρ = 10 mm, ρ0 = 0, μs′₁ = 1 mm⁻¹, "
                                                          "μa₁ = 0.01 mm⁻¹, n₁ = 1.4, l₁ = 50 mm, … · faithful"));
    EXPECT_EQ(ui_.Legend->item(1)->text(), QStringLiteral("Run 3 — 1 layer, ρ = 10 mm, ρ0 = 0, μs′₁ = 1.2 mm⁻¹, "
                                                          "μa₁ = 0.05 mm⁻¹, n₁ = 1.33, l₁ = 40 mm, … · faithful"));
    const QString tip = ui_.Legend->item(0)->toolTip();
    for (const char* part : {"N = 1", "μs′₁ = 1 mm⁻¹", "μa₁ = 0.01 mm⁻¹", "n₁ = 1.4", "l₁ = 50 mm", "a = 30 mm",
                             "ρ = 10 mm", "ρ0 = 0 mm", "φ = 0 rad", "M = 1", "MMAX = 0", "input.dat"})
        EXPECT_TRUE(tip.contains(QString::fromUtf8(part))) << part << " missing in\n" << tip.toStdString();

    QApplication::processEvents();  // a click on the first entry hides its curve; read-out and reset zoom skip it
    const QPoint first = ui_.Legend->visualItemRect(ui_.Legend->item(0)).center();
    SendMouse(ui_.Legend->viewport(), QEvent::MouseButtonPress, first, Qt::LeftButton);
    SendMouse(ui_.Legend->viewport(), QEvent::MouseButtonRelease, first);
    EXPECT_FALSE(ui_.Series1->isVisible());
    const QPointF last1 = ui_.Series1->points().back();  // beyond the shorter curve's end
    ASSERT_TRUE(ui_.Chart1->ReadOutAt(ViewportPoint(form_, last1)));
    EXPECT_TRUE(ui_.ReadOut->text().startsWith(QStringLiteral("Run 3:"))) << ui_.ReadOut->text().toStdString();
    ui_.Chart1->ResetZoom();
    EXPECT_LT(ui_.BottomAxis->max(), last1.x());
    ui_.Legend->setCurrentRow(0);  // Space on the current entry toggles it as well
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    QApplication::sendEvent(ui_.Legend, &space);
    EXPECT_TRUE(ui_.Series1->isVisible());

    // A screenshot writes its picture and nothing else; saved pictures have the size asked for.
    WriteFileBytes("reflectance.dat", "kept\n");
    ASSERT_EQ(std::system("QT_QPA_PLATFORM=offscreen '" TDCYL_GUI_PATH "' --screenshot shot.png input.dat"), 0);
    EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 5);  // + shot.png
    EXPECT_EQ(ReadFileBytes("reflectance.dat"), "kept\n");
    EXPECT_FALSE(QImage(QStringLiteral("shot.png")).isNull());
    const QSize size(800, 600);
    ASSERT_TRUE(form_.SavePicture(QStringLiteral("chart.png"), size));
    ASSERT_TRUE(form_.SavePicture(QStringLiteral("chart.svg"), size));
    EXPECT_EQ(QSvgRenderer(QStringLiteral("chart.svg")).defaultSize(), size);
    // The red curve in the chart, the red line of its legend entry below it, dark text beside that.
    const QImage png(QStringLiteral("chart.png"));
    ASSERT_EQ(png.size(), size);
    auto reddish = [](QColor c) { return c.red() > 180 && c.green() < 90 && c.blue() < 90; };
    EXPECT_GT(CountPixels(png, QRect(0, 0, 800, 540), reddish), 300);
    EXPECT_GT(CountPixels(png, QRect(0, 560, 60, 40), reddish), 10);
    EXPECT_GT(CountPixels(png, QRect(60, 560, 700, 40), [](QColor c) { return c.lightness() < 100; }), 50);
    // "Save…" without a size: the chart as it is on screen, plus its legend.
    form_.SetChooseSavePath([] { return QStringLiteral("screen.png"); });
    ui_.SaveButton->click();
    const QImage screen(QStringLiteral("screen.png"));
    EXPECT_EQ(screen.width(), ui_.Chart1->width());
    EXPECT_GT(screen.height(), ui_.Chart1->height());
}

// Run 1 on the fast engine with a warning, run 2 on the faithful one with
// negative samples: warnings, markers, read-out, CSV, and Clear.
TEST_F(WindowTest, WhatTheRunsLeaveOnTheChartInTheCsvAndAfterClear) {
    const std::string warning = "The curve may be unreliable after 2000 ps.";
    form_.SetRunner([&](const std::string& in, const std::string& out, const tdcyl::RunOptions& options) {
        tdcyl::RunResult r = tdcyl::RunFiles(in, out, options);
        r.warnings.push_back(warning);
        return r;
    });
    ui_.EngineBox->setCurrentIndex(1);
    Run(kSlowInput);
    EXPECT_EQ(ui_.ProgressBar1->text(), QStringLiteral("done"));  // no stale "0/513" of the other engine
    EXPECT_TRUE(ui_.Legend->item(0)->text().endsWith(QStringLiteral(" · ⚠")));
    EXPECT_TRUE(ui_.StatusLine->isVisible());
    EXPECT_TRUE(ui_.StatusLine->text().contains(QString::fromStdString(warning)));

    ui_.EngineBox->setCurrentIndex(0);
    Run(kWrappedInput);
    const std::vector<FilePoint> file = ReadResultFile("reflectance.dat");
    QList<QPointF> negative;
    for (const FilePoint& p : file)
        if (p.v < 0) negative.append(QPointF(p.t, std::log10(-p.v)));
    // Exactly the negative samples carry markers, in the curve's colour.
    QScatterSeries* marks = nullptr;
    for (QAbstractSeries* s : ui_.Chart1->chart()->series())
        if (auto* scatter = qobject_cast<QScatterSeries*>(s)) marks = scatter;
    ASSERT_NE(marks, nullptr);
    ASSERT_EQ(marks->count(), negative.size());
    for (qsizetype i = 0; i < negative.size(); ++i) {
        EXPECT_EQ(marks->at(i).x(), negative[i].x());
        EXPECT_NEAR(marks->at(i).y(), negative[i].y(), 1e-12);
    }
    EXPECT_EQ(marks->borderColor(), QColor(0, 128, 0));  // run 2's green

    // Zoomed in so that neighbouring samples lie far apart, a few pixels off
    // the first (negative) sample: the read-out gives it, with its sign.
    const FilePoint p = file.front();
    ASSERT_LT(p.v, 0);
    const QPointF value(p.t, std::log10(-p.v));
    ui_.Chart1->ZoomTo(
        QRect(ViewportPoint(form_, value + QPointF(-60, 0.2)), ViewportPoint(form_, value + QPointF(60, -0.2)))
            .normalized());
    SendMouse(ui_.Chart1->viewport(), QEvent::MouseMove, ViewportPoint(form_, value) + QPoint(3, 2));
    static const QRegularExpression pattern(QStringLiteral("^Run 2:  t = (\\S+) ps,\\s+R = (\\S+) mm⁻² ps⁻¹"));
    const QRegularExpressionMatch m = pattern.match(ui_.ReadOut->text());
    ASSERT_TRUE(m.hasMatch()) << ui_.ReadOut->text().toStdString();
    EXPECT_EQ(m.captured(1).toDouble(), p.t);
    EXPECT_NEAR(m.captured(2).toDouble() / p.v, 1.0, 1e-5);

    // The CSV: the same numbers as the core alone gives, to the last digit.
    std::vector<tdcyl::RunResult> expected;
    tdcyl::RunOptions options;
    options.engine = tdcyl::Engine::fast;
    for (const char* input : {kSlowInput, kWrappedInput}) {
        WriteFileBytes("again.dat", input);
        expected.push_back(tdcyl::RunFiles("again.dat", "again_out.dat", options));
        options.engine = tdcyl::Engine::faithful;
    }
    form_.SetChooseSavePath([] { return QStringLiteral("curves.csv"); });
    ui_.SaveButton->click();
    ASSERT_TRUE(errors_.empty());
    const std::string text = ReadFileBytes("curves.csv");
    EXPECT_NE(text.find("\n# run 1: engine=fast; N=3; musp1=1; mua1=0.01; n1=1.4; l1=5; musp2=1.2; mua2=0.02; "
                        "n2=1.4; l2=8; musp3=1; mua3=0.015; n3=1.4; l3=50; a=50; rho=20; rho0=5; phi=0.5; M=1; "
                        "MMAX=20; input="),
              std::string::npos);
    EXPECT_NE(text.find("\n# run 1 warning: " + warning + "\n"), std::string::npos);
    EXPECT_NE(text.find("\n# run 2: engine=faithful; N=1; musp1=1; mua1=1e-06;"), std::string::npos);
    EXPECT_NE(text.find("\nrun,time_ps,reflectance_mm-2_ps-1\n"), std::string::npos);
    std::vector<std::tuple<int, double, double>> rows, want;
    for (std::size_t k = 0; k < 2; ++k)
        for (std::size_t i = 0; i < expected[k].time_ps.size(); ++i)
            want.emplace_back(static_cast<int>(k) + 1, expected[k].time_ps[i], expected[k].reflectance[i]);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        int run = 0;
        double t = 0, r = 0;
        if (std::sscanf(line.c_str(), "%d,%lf,%lf", &run, &t, &r) == 3) rows.emplace_back(run, t, r);
    }
    EXPECT_EQ(rows, want);

    form_.SetCurveVisible(1, false);  // hiding a curve hides its markers
    EXPECT_FALSE(marks->isVisible());
    // Clear: no curve left; the next run takes the next number and colour.
    ui_.ClearButton->click();
    for (QAbstractSeries* s : ui_.Chart1->chart()->series()) EXPECT_EQ(static_cast<QXYSeries*>(s)->count(), 0);
    Run();
    ExpectSeriesShowsFile(ui_.Series3, "reflectance.dat");
    ASSERT_EQ(ui_.Legend->count(), 1);
    EXPECT_TRUE(ui_.Legend->item(0)->text().startsWith(QStringLiteral("Run 3 — ")));
}

// Closing or destroying the window stops a run in progress; the result file
// of the last finished run stays, and nothing of the stopped run is shown.
TEST_F(WindowTest, ClosingOrDestroyingDuringARunCancelsItAndKeepsTheOldFile) {
    WriteFileBytes("input.dat", kSlowInput);
    WriteFileBytes("reflectance.dat", "previous result\r\n");
    ui_.Button1->click();
    ASSERT_TRUE(form_.IsRunning());
    RunEventLoop(100);
    EXPECT_TRUE(form_.close());
    EXPECT_FALSE(form_.IsRunning());
    EXPECT_FALSE(form_.AbandonedRun());  // the run saw its cancel and ended
    RunEventLoop(100);                   // the worker's last events arrive after the close

    auto other = std::make_unique<TForm1>();
    other->ui().Button1->click();
    ASSERT_TRUE(other->IsRunning());
    other.reset();

    // A stage that never looks at the cancel flag (such as opening a FIFO
    // nobody writes to) is left behind rather than waited for.
    TForm1 third;
    third.SetShowError([this](const QString& message) { errors_.push_back(message.toStdString()); });
    third.SetCancelGraceMs(200);
    std::promise<void> release;
    third.SetRunner([released = release.get_future().share()](const auto&...) {
        released.wait();
        return tdcyl::RunResult{{10}, {1e-9}, {-9}, {}};
    });
    third.ui().Button1->click();
    EXPECT_TRUE(third.close());
    EXPECT_FALSE(third.IsRunning());
    EXPECT_TRUE(third.AbandonedRun());
    release.set_value();
    RunEventLoop(100);  // what the released run does reaches nobody
    EXPECT_EQ(ui_.Series1->count() + third.ui().Series1->count(), 0);
    EXPECT_TRUE(errors_.empty());
    EXPECT_EQ(ReadFileBytes("reflectance.dat"), "previous result\r\n");
}

}  // namespace
