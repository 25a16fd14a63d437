#include "app/gui/form.hpp"

#include <QCloseEvent>
#include <QEvent>
#include <QFont>
#include <QHBoxLayout>
#include <QList>
#include <QMessageBox>
#include <QPalette>
#include <QPen>
#include <QPointF>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QStringList>
#include <QVBoxLayout>
#include <QWidget>
#include <QtCharts/QChart>

#include <algorithm>
#include <array>
#include <exception>
#include <limits>
#include <string>
#include <utility>

namespace tdcyl {

namespace {

constexpr int kLeft = 279, kTop = 125, kOuterWidth = 511, kOuterHeight = 412;

struct Rgb {
    int r, g, b;
};

// Series1 ... Series15: red, green, fuchsia, blue, yellow, white, gray, teal,
// navy, maroon, lime, olive, purple, silver, aqua.
constexpr std::array<Rgb, 15> kSeriesColours{{{255, 0, 0},
                                              {0, 128, 0},
                                              {255, 0, 255},
                                              {0, 0, 255},
                                              {255, 255, 0},
                                              {255, 255, 255},
                                              {128, 128, 128},
                                              {0, 128, 128},
                                              {0, 0, 128},
                                              {128, 0, 0},
                                              {0, 255, 0},
                                              {128, 128, 0},
                                              {128, 0, 128},
                                              {192, 192, 192},
                                              {0, 255, 255}}};

// Fonts by family list, so that a machine without the first family still
// gets a font of the same kind.
QFont FontOf(const QStringList& families, int pixels, bool bold = false) {
    QFont f;
    f.setFamilies(families);
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

QStringList MonospaceFamilies() {
    return {QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"), QStringLiteral("DejaVu Sans Mono"),
            QStringLiteral("Monospace")};
}

QStringList SansFamilies() {
    return {QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"),
            QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")};
}

void StyleAxis(QValueAxis* axis, const QString& title) {
    axis->setTitleText(title);
    axis->setTitleFont(FontOf(MonospaceFamilies(), 16, true));
    axis->setTitleBrush(QBrush(Qt::black));
    axis->setLabelsFont(FontOf(MonospaceFamilies(), 13, true));
    axis->setLabelsBrush(QBrush(Qt::black));
    axis->setLabelFormat(QStringLiteral("%g"));
}

}  // namespace

TForm1::TForm1(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("N-layered Cylinder | time domain "));
    setFont(FontOf(SansFamilies(), 11));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    // Button at (8, 8), chart from (12, 45): the chart sits 4 pixels further in.
    layout->setContentsMargins(8, 8, 8, 6);
    layout->setSpacing(0);

    Button1 = new QPushButton(QStringLiteral("Start!"), central);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setFixedSize(65, 25);
    Button1->setFont(FontOf(MonospaceFamilies(), 13));
    auto* top_row = new QHBoxLayout;
    top_row->setContentsMargins(0, 0, 0, 0);
    top_row->addWidget(Button1);
    top_row->addStretch(1);
    layout->addLayout(top_row);
    layout->addSpacing(12);

    BuildChart();
    Chart1->setParent(central);
    auto* chart_row = new QHBoxLayout;
    chart_row->setContentsMargins(4, 0, 4, 0);
    chart_row->addWidget(Chart1);
    layout->addLayout(chart_row, 1);
    layout->addSpacing(4);

    ProgressBar1 = new QProgressBar(central);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setRange(0, kFrequencyCount);
    ProgressBar1->setValue(0);
    ProgressBar1->setFormat(QStringLiteral("%v/%m"));
    ProgressBar1->setFixedHeight(14);
    auto* progress_row = new QHBoxLayout;
    progress_row->setContentsMargins(4, 0, 4, 0);
    progress_row->addWidget(ProgressBar1);
    layout->addLayout(progress_row);

    setCentralWidget(central);
    setTabOrder(Button1, Chart1);

    ShowError = [this](const QString& message) { QMessageBox::critical(this, windowTitle(), message); };

    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);

    move(kLeft, kTop);
    resize(kOuterWidth, kOuterHeight);
    FormCreate();
}

TForm1::~TForm1() { StopRun(); }

void TForm1::BuildChart() {
    auto* chart = new QChart;
    chart->setTitle(QString());
    chart->legend()->hide();
    chart->setBackgroundBrush(QBrush(palette().color(QPalette::Base)));
    chart->setBackgroundRoundness(0);
    chart->setPlotAreaBackgroundVisible(false);  // transparent back wall
    chart->setAnimationOptions(QChart::NoAnimation);

    BottomAxis = new QValueAxis;
    StyleAxis(BottomAxis, QStringLiteral("t[ps]"));
    LeftAxis = new QValueAxis;
    StyleAxis(LeftAxis, QStringLiteral("reflectance [mm^-2 ps^-1]"));
    LeftAxis->setMinorTickCount(2);
    chart->addAxis(BottomAxis, Qt::AlignBottom);
    chart->addAxis(LeftAxis, Qt::AlignLeft);

    Chart1 = new QChartView(chart);
    Chart1->setObjectName(QStringLiteral("Chart1"));
    Chart1->setRenderHint(QPainter::Antialiasing);
    Chart1->setMinimumSize(160, 120);
    Chart1->installEventFilter(this);

    QLineSeries** fixed[] = {&Series1, &Series2,  &Series3,  &Series4,  &Series5,  &Series6,  &Series7, &Series8,
                             &Series9, &Series10, &Series11, &Series12, &Series13, &Series14, &Series15};
    for (int i = 0; i < 15; ++i) *fixed[i] = SeriesForRun(i);
}

QColor TForm1::SeriesColour(int run) {
    const Rgb& c = kSeriesColours[static_cast<std::size_t>(run % 15)];
    return QColor(c.r, c.g, c.b);
}

QLineSeries* TForm1::SeriesForRun(int run) {
    QChart* chart = Chart1->chart();
    while (chart->series().size() <= run) {
        const int index = static_cast<int>(chart->series().size());
        auto* s = new QLineSeries;
        s->setName(QStringLiteral("Series%1").arg(index + 1));
        QPen pen(SeriesColour(index));
        pen.setWidth(1);
        s->setPen(pen);
        s->setPointsVisible(false);
        s->setPointLabelsVisible(false);
        chart->addSeries(s);
        s->attachAxis(BottomAxis);
        s->attachAxis(LeftAxis);
    }
    return qobject_cast<QLineSeries*>(chart->series().at(run));
}

void TForm1::FormCreate() { RunIndex = -1; }

void TForm1::Button1Click() {
    if (IsRunning()) return;
    ++RunIndex;
    const int run = RunIndex;
    const unsigned long long generation = ++generation_;
    cancel_.store(false);
    Button1->setEnabled(false);
    ProgressBar1->setValue(0);

    const std::string input = InputPath.toStdString();
    const std::string output = OutputPath.toStdString();
    const Engine engine = RunEngine;
    worker_ = std::thread([this, run, generation, input, output, engine] {
        RunOptions options;
        options.engine = engine;
        options.cancel = &cancel_;
        options.progress = [this, generation](int done, int total) {
            QMetaObject::invokeMethod(
                this, [this, generation, done, total] { ShowProgress(generation, done, total); },
                Qt::QueuedConnection);
        };
        RunResult result;
        bool ok = false, cancelled = false;
        QString error;
        try {
            result = RunFiles(input, output, options);
            ok = true;
        } catch (const RunCancelled&) {
            cancelled = true;
        } catch (const std::exception& e) {
            error = QString::fromStdString(e.what());
        } catch (...) {
            error = QStringLiteral("the run failed for an unknown reason");
        }
        // The window's thread takes over; the points go to the chart there.
        QMetaObject::invokeMethod(
            this,
            [this, generation, run, ok, cancelled, error, result = std::move(result)] {
                FinishRun(generation, run, ok, cancelled, error, result);
            },
            Qt::QueuedConnection);
    });
}

void TForm1::ShowProgress(unsigned long long generation, int done, int total) {
    if (generation != generation_) return;  // a stopped run
    if (ProgressBar1->maximum() != total) ProgressBar1->setMaximum(total);
    // Progress events of parallel workers may arrive out of order.
    ProgressBar1->setValue(std::max(done, ProgressBar1->value()));
}

void TForm1::FinishRun(unsigned long long generation, int run, bool ok, bool cancelled, const QString& error,
                       const RunResult& result) {
    // The run was stopped by closing the window: its thread is gone already
    // and its result is not shown.
    if (generation != generation_) return;
    // The thread posted this as its last action, so the join is immediate.
    worker_.join();
    Button1->setEnabled(true);
    if (ok) {
        QList<QPointF> points;
        points.reserve(static_cast<qsizetype>(result.time_ps.size()));
        for (std::size_t i = 0; i < result.time_ps.size() && i < result.log10_abs.size(); ++i)
            points.append(QPointF(result.time_ps[i], result.log10_abs[i]));
        SeriesForRun(run)->append(points);
        RescaleAxes();
    } else if (!cancelled && ShowError) {
        ShowError(error);
    }
    emit RunFinished(ok);
}

void TForm1::RescaleAxes() {
    double x0 = std::numeric_limits<double>::infinity(), x1 = -x0, y0 = x0, y1 = -x0;
    for (QAbstractSeries* abstract : Chart1->chart()->series()) {
        auto* s = qobject_cast<QXYSeries*>(abstract);
        if (!s) continue;
        for (const QPointF& p : s->points()) {
            x0 = std::min(x0, p.x());
            x1 = std::max(x1, p.x());
            y0 = std::min(y0, p.y());
            y1 = std::max(y1, p.y());
        }
    }
    if (!(x0 <= x1) || !(y0 <= y1)) return;  // no points yet
    // A single point (or a flat curve) still needs an interval to draw in.
    if (x0 == x1) x0 -= 1, x1 += 1;
    if (y0 == y1) y0 -= 1, y1 += 1;
    // applyNiceNumbers derives the step from the current tick count and then
    // changes that count, so start each time from the same request: about ten
    // intervals, which gives one label per decade on the logarithmic axis.
    BottomAxis->setTickCount(11);
    BottomAxis->setRange(x0, x1);
    BottomAxis->applyNiceNumbers();
    LeftAxis->setTickCount(11);
    LeftAxis->setRange(y0, y1);
    LeftAxis->applyNiceNumbers();
}

void TForm1::StopRun() {
    if (!worker_.joinable()) return;
    cancel_.store(true);
    worker_.join();
    ++generation_;  // what the stopped run still posts is ignored
    Button1->setEnabled(true);
}

void TForm1::closeEvent(QCloseEvent* event) {
    StopRun();
    QMainWindow::closeEvent(event);
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // The outer size includes the window frame; Qt sizes the client area.
    if (!frame_adjusted_) {
        frame_adjusted_ = true;
        const QSize extra = frameGeometry().size() - geometry().size();
        if (extra.width() > 0 && extra.height() > 0 && extra.width() < 100 && extra.height() < 100)
            resize(QSize(kOuterWidth, kOuterHeight) - extra);
    }
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    // Margins of 2 % of the chart's size on all four sides.
    if (watched == Chart1 && event->type() == QEvent::Resize) {
        const int mx = Chart1->width() * 2 / 100, my = Chart1->height() * 2 / 100;
        Chart1->chart()->setMargins(QMargins(mx, my, mx, my));
    }
    return QMainWindow::eventFilter(watched, event);
}

}  // namespace tdcyl
