#include "app/gui/form.hpp"

#include <sys/stat.h>

#include <QBuffer>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QGraphicsEllipseItem>
#include <QGraphicsLayout>
#include <QGraphicsScene>
#include <QHBoxLayout>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QList>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QPen>
#include <QPixmap>
#include <QPointF>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QRubberBand>
#include <QSaveFile>
#include <QShowEvent>
#include <QStandardItemModel>
#include <QStringList>
#include <QSvgGenerator>
#include <QVBoxLayout>
#include <QWidget>
#include <QtCharts/QChart>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <limits>
#include <mutex>
#include <string>
#include <utility>

namespace tdcyl {

// Shared by the window and the worker thread of one run. The worker posts to
// `receiver` only while it is set; the window clears it (under the mutex)
// before it lets go of a run that did not stop in time, so nothing is ever
// posted to a window that is gone.
struct RunTicket {
    std::atomic<bool> cancel{false};
    std::mutex mutex;
    std::condition_variable ended_cv;
    bool ended = false;
    QObject* receiver = nullptr;

    template <class F>
    void Post(F&& f) {
        std::lock_guard<std::mutex> lock(mutex);
        if (receiver) QMetaObject::invokeMethod(receiver, std::forward<F>(f), Qt::QueuedConnection);
    }
};

namespace {

// Taller and wider than the bare chart needed, for the row of actions and the legend.
constexpr int kLeft = 279, kTop = 125, kOuterWidth = 560, kOuterHeight = 480;
constexpr int kLegendMaxRows = 5;
// A parameter file is a few hundred bytes; larger files are left to the core.
constexpr qint64 kMaxParameterFileBytes = 1 << 20;

struct Rgb {
    int r, g, b;
};

// Series1 ... Series15: red, green, fuchsia, blue, yellow, black, gray, teal,
// navy, maroon, lime, olive, purple, silver, aqua. The sixth was white, which
// is invisible on the white plot area.
constexpr std::array<Rgb, 15> kSeriesColours{{{255, 0, 0},
                                              {0, 128, 0},
                                              {255, 0, 255},
                                              {0, 0, 255},
                                              {255, 255, 0},
                                              {0, 0, 0},
                                              {128, 128, 128},
                                              {0, 128, 128},
                                              {0, 0, 128},
                                              {128, 0, 0},
                                              {0, 255, 0},
                                              {128, 128, 0},
                                              {128, 0, 128},
                                              {192, 192, 192},
                                              {0, 255, 255}}};

// Pale colours (yellow, lime, aqua, silver) get a wider pen to stay visible.
constexpr qreal kPenWidth = 2;

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

// A small picture of the curve's line (and of the hollow marker of its
// negative samples) for the legend.
QIcon LegendIcon(const QColor& colour, bool visible, bool negatives) {
    QPixmap pix(28, 14);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    QColor c = colour;
    if (!visible) c.setAlpha(60);
    p.setPen(QPen(c, kPenWidth));
    p.drawLine(2, 7, 26, 7);
    if (negatives) {
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(14, 7), 4, 4);
    }
    return QIcon(pix);
}

// Reads the parameter file before the run so that the legend can say what
// the curve was computed from. Only regular files of sane size: a FIFO would
// lose its content to this read, an endless device would never end it.
bool PreReadParameters(const QString& path, InputFile& input) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size > kMaxParameterFileBytes)
        return false;
    try {
        input = ReadInputFile(QFile::encodeName(path).toStdString());
        return true;
    } catch (const std::exception&) {
        return false;  // the run itself reports what is wrong
    }
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

    auto button = [central](const QString& text, const QString& name, const QKeySequence& key, const QString& tip) {
        auto* b = new QPushButton(text, central);
        b->setObjectName(name);
        b->setShortcut(key);
        b->setToolTip(tip + QStringLiteral(" (") + key.toString(QKeySequence::NativeText) + u')');
        return b;
    };
    Button1 = button(QStringLiteral("Start!"), QStringLiteral("Button1"), QKeySequence(Qt::Key_F5),
                     QStringLiteral("Run the parameter file input.dat"));
    Button1->setFixedSize(65, 25);
    Button1->setFont(FontOf(MonospaceFamilies(), 13));
    ClearButton = button(QStringLiteral("Clear"), QStringLiteral("ClearButton"), QKeySequence(Qt::CTRL | Qt::Key_L),
                         QStringLiteral("Remove every curve from the chart; the result file stays"));
    SaveButton = button(QStringLiteral("Save…"), QStringLiteral("SaveButton"), QKeySequence(QKeySequence::Save),
                        QStringLiteral("Save the chart as PNG or SVG, or the curves as CSV"));
    ResetZoomButton =
        button(QStringLiteral("Reset zoom"), QStringLiteral("ResetZoomButton"), QKeySequence(Qt::CTRL | Qt::Key_0),
               QStringLiteral("Show all curves again (or double-click the chart); drag a rectangle to zoom"));
    for (QPushButton* b : {ClearButton, SaveButton, ResetZoomButton}) b->setFixedHeight(25);

    EngineBox = new QComboBox(central);
    EngineBox->setObjectName(QStringLiteral("EngineBox"));
    EngineBox->addItem(QStringLiteral("faithful"));
    EngineBox->addItem(QStringLiteral("fast"));
    EngineBox->setToolTip(QStringLiteral("Engine of the next runs"));
    EngineBox->setFixedHeight(25);
    connect(EngineBox, &QComboBox::currentIndexChanged, this, [this](int index) { engine_fast_ = index == 1; });

    auto* top_row = new QHBoxLayout;
    top_row->setContentsMargins(0, 0, 0, 0);
    top_row->setSpacing(6);
    top_row->addWidget(Button1);
    top_row->addWidget(ClearButton);
    top_row->addWidget(SaveButton);
    top_row->addWidget(ResetZoomButton);
    top_row->addWidget(EngineBox);
    top_row->addStretch(1);
    layout->addLayout(top_row);
    layout->addSpacing(12);

    BuildChart();
    Chart1->setParent(central);
    auto* chart_row = new QHBoxLayout;
    chart_row->setContentsMargins(4, 0, 4, 0);
    chart_row->addWidget(Chart1);
    layout->addLayout(chart_row, 1);

    Legend = new QListWidget(central);
    Legend->setObjectName(QStringLiteral("Legend"));
    Legend->setSelectionMode(QAbstractItemView::SingleSelection);
    Legend->setIconSize(QSize(28, 14));
    Legend->setFrameShape(QFrame::NoFrame);
    Legend->setUniformItemSizes(true);
    Legend->setTextElideMode(Qt::ElideRight);  // the tooltip has everything
    Legend->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Legend->setVisible(false);
    Legend->installEventFilter(this);
    connect(Legend, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
        const int run = item->data(Qt::UserRole).toInt();
        SetCurveVisible(run, !CurveVisible(run));
    });
    // The read-out floats in the top right corner of the plot area.
    ReadOut = new QLabel(Chart1->viewport());
    ReadOut->setObjectName(QStringLiteral("ReadOut"));
    ReadOut->setAutoFillBackground(true);
    ReadOut->setStyleSheet(QStringLiteral("QLabel { background: rgba(255, 255, 255, 220); color: black; "
                                          "border: 1px solid #b0b0b0; padding: 1px 4px; }"));
    ReadOut->setAttribute(Qt::WA_TransparentForMouseEvents);
    ReadOut->hide();
    StatusLine = new QLabel(central);
    StatusLine->setObjectName(QStringLiteral("StatusLine"));
    StatusLine->setWordWrap(true);
    StatusLine->setVisible(false);
    for (QWidget* w : {static_cast<QWidget*>(Legend), static_cast<QWidget*>(StatusLine)}) {
        auto* row = new QHBoxLayout;
        row->setContentsMargins(4, 0, 4, 0);
        row->addWidget(w);
        layout->addLayout(row);
    }
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
    // Tab order follows the layout: the actions left to right, then the chart
    // and its legend.
    QWidget* order[] = {Button1, ClearButton, SaveButton, ResetZoomButton, EngineBox, Chart1, Legend};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

    ShowError = [this](const QString& message) { QMessageBox::critical(this, windowTitle(), message); };
    ChooseSavePath = [this] {
        QString filter;
        QString path = QFileDialog::getSaveFileName(
            this, QStringLiteral("Save the chart or the curves"), QStringLiteral("reflectance.png"),
            QStringLiteral("PNG picture (*.png);;SVG picture (*.svg);;Curves as CSV (*.csv)"), &filter);
        // A name without a known suffix gets the one of the chosen kind.
        const QString suffix = QFileInfo(path).suffix().toLower();
        if (!path.isEmpty() && suffix != u"png" && suffix != u"svg" && suffix != u"csv")
            path += filter.contains(QStringLiteral("*.svg"))   ? QStringLiteral(".svg")
                    : filter.contains(QStringLiteral("*.csv")) ? QStringLiteral(".csv")
                                                               : QStringLiteral(".png");
        return path;
    };
    Runner = [](const std::string& input, const std::string& output, const RunOptions& options) {
        return RunFiles(input, output, options);
    };

    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(ClearButton, &QPushButton::clicked, this, &TForm1::ClearClick);
    connect(SaveButton, &QPushButton::clicked, this, &TForm1::SaveClick);
    connect(ResetZoomButton, &QPushButton::clicked, this, &TForm1::ResetZoom);

    move(kLeft, kTop);
    resize(kOuterWidth, kOuterHeight);
    FormCreate();
}

TForm1::~TForm1() { StopRun(); }

void TForm1::BuildChart() {
    auto* chart = new QChart;
    chart->setTitle(QString());
    chart->legend()->hide();  // the legend is a list below the chart
    chart->setBackgroundBrush(QBrush(palette().color(QPalette::Base)));
    chart->setBackgroundRoundness(0);
    chart->setPlotAreaBackgroundVisible(false);  // transparent back wall
    chart->setAnimationOptions(QChart::NoAnimation);

    BottomAxis = new QValueAxis;
    StyleAxis(BottomAxis, QStringLiteral("t[ps]"));
    LeftAxis = new QCategoryAxis;
    StyleAxis(LeftAxis, QStringLiteral("reflectance [mm^-2 ps^-1]"));
    LeftAxis->setMinorTickCount(2);
    LeftAxis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    chart->addAxis(BottomAxis, Qt::AlignBottom);
    chart->addAxis(LeftAxis, Qt::AlignLeft);
    connect(LeftAxis, &QValueAxis::rangeChanged, this, [this] { UpdateLogLabels(); });

    Chart1 = new QChartView(chart);
    Chart1->setObjectName(QStringLiteral("Chart1"));
    Chart1->setRenderHint(QPainter::Antialiasing);
    Chart1->setMinimumSize(160, 120);
    Chart1->installEventFilter(this);
    Chart1->viewport()->installEventFilter(this);
    Chart1->viewport()->setMouseTracking(true);
    Chart1->setToolTip(QStringLiteral("Drag a rectangle to zoom, double-click to show all"));

    rubber_band_ = new QRubberBand(QRubberBand::Rectangle, Chart1->viewport());
    readout_marker_ = new QGraphicsEllipseItem(-5, -5, 10, 10, chart);
    readout_marker_->setPen(QPen(Qt::black, 1.5));
    readout_marker_->setBrush(Qt::NoBrush);
    readout_marker_->setZValue(100);
    readout_marker_->hide();
    connect(chart, &QChart::plotAreaChanged, this, [this] { HideReadOut(); });

    QLineSeries** fixed[] = {&Series1, &Series2,  &Series3,  &Series4,  &Series5,  &Series6,  &Series7, &Series8,
                             &Series9, &Series10, &Series11, &Series12, &Series13, &Series14, &Series15};
    for (int i = 0; i < 15; ++i) *fixed[i] = SeriesForRun(i);
}

QColor TForm1::SeriesColour(int run) {
    const Rgb& c = kSeriesColours[static_cast<std::size_t>(run % 15)];
    return QColor(c.r, c.g, c.b);
}

QLineSeries* TForm1::LineOfRun(int run) const {
    // The run series are the line series in order; the markers of negative
    // samples are scatter series in between.
    int seen = 0;
    for (QAbstractSeries* s : Chart1->chart()->series()) {
        if (s->type() != QAbstractSeries::SeriesTypeLine) continue;
        if (seen++ == run) return static_cast<QLineSeries*>(s);
    }
    return nullptr;
}

QLineSeries* TForm1::SeriesForRun(int run) {
    QChart* chart = Chart1->chart();
    while (!LineOfRun(run)) {
        int index = 0;
        while (LineOfRun(index)) ++index;
        auto* s = new QLineSeries;
        s->setName(QStringLiteral("Series%1").arg(index + 1));
        QPen pen(SeriesColour(index));
        pen.setWidthF(kPenWidth);
        s->setPen(pen);
        s->setPointsVisible(false);
        s->setPointLabelsVisible(false);
        chart->addSeries(s);
        s->attachAxis(BottomAxis);
        s->attachAxis(LeftAxis);
    }
    return LineOfRun(run);
}

void TForm1::FormCreate() { RunIndex = -1; }

void TForm1::Button1Click() {
    if (IsRunning()) return;
    ++RunIndex;
    const int run = RunIndex;
    const unsigned long long generation = ++generation_;
    auto ticket = std::make_shared<RunTicket>();
    ticket->receiver = this;
    ticket_ = ticket;
    Button1->setEnabled(false);
    ProgressBar1->setValue(0);
    ProgressBar1->setFormat(QStringLiteral("%v/%m"));

    auto record = std::make_shared<RunRecord>();
    record->number = run + 1;
    record->input_path = QFileInfo(InputPath).absoluteFilePath();
    record->engine = engine_fast_ ? QStringLiteral("fast") : QStringLiteral("faithful");

    RunOptions options;
    options.cancel = &ticket->cancel;
    options.engine = engine_fast_ ? Engine::fast : Engine::faithful;
    options.progress = [ticket, generation](const std::string& stage, int done, int total) {
        ticket->Post([ticket, generation, stage = QString::fromStdString(stage), done, total] {
            if (auto* form = qobject_cast<TForm1*>(ticket->receiver)) form->ShowProgress(generation, stage, done, total);
        });
    };

    const std::string input = QFile::encodeName(InputPath).toStdString();
    const std::string output = QFile::encodeName(OutputPath).toStdString();
    worker_ = std::thread([ticket, run, generation, input, output, options, record, runner = Runner] {
        bool ok = false, cancelled = false;
        QString error;
        try {
            record->have_params = PreReadParameters(QFile::decodeName(input.c_str()), record->input);
            record->result = runner(input, output, options);
            ok = true;
        } catch (const RunCancelled&) {
            cancelled = true;
        } catch (const std::exception& e) {
            error = QString::fromStdString(e.what());
        } catch (...) {
            error = QStringLiteral("the run failed for an unknown reason");
        }
        // The window's thread takes over; the points go to the chart there.
        ticket->Post([ticket, generation, run, ok, cancelled, error, record] {
            if (auto* form = qobject_cast<TForm1*>(ticket->receiver))
                form->FinishRun(generation, run, ok, cancelled, error, record);
        });
        std::lock_guard<std::mutex> lock(ticket->mutex);
        ticket->ended = true;
        ticket->ended_cv.notify_all();
    });
}

void TForm1::ShowProgress(unsigned long long generation, const QString& stage, int done, int total) {
    if (generation != generation_) return;  // a stopped run
    const QString format = stage + QStringLiteral(" %v/%m");
    if (ProgressBar1->format() != format) {
        // A new stage starts from zero.
        ProgressBar1->setFormat(format);
        ProgressBar1->setValue(0);
    }
    if (ProgressBar1->maximum() != total) ProgressBar1->setMaximum(total);
    // Progress events of parallel workers may arrive out of order.
    ProgressBar1->setValue(std::max(done, ProgressBar1->value()));
}

void TForm1::FinishRun(unsigned long long generation, int run, bool ok, bool cancelled, const QString& error,
                       std::shared_ptr<RunRecord> record) {
    // The run was stopped by closing the window: its thread is gone already
    // and its result is not shown.
    if (generation != generation_) return;
    // The thread posted this as its last action, so the join is immediate.
    worker_.join();
    ticket_.reset();
    Button1->setEnabled(true);
    if (ok) {
        AddCurve(run, std::make_unique<RunRecord>(std::move(*record)));
    } else if (!cancelled && ShowError) {
        ShowError(error);
    }
    emit RunFinished(ok);
}

void TForm1::AddCurve(int run, std::unique_ptr<RunRecord> record) {
    const RunResult& r = record->result;
    QList<QPointF> points, negative;
    points.reserve(static_cast<qsizetype>(r.time_ps.size()));
    for (std::size_t i = 0; i < r.time_ps.size() && i < r.log10_abs.size(); ++i) {
        points.append(QPointF(r.time_ps[i], r.log10_abs[i]));
        if (i < r.reflectance.size() && r.reflectance[i] < 0) negative.append(points.back());
    }
    QLineSeries* line = SeriesForRun(run);
    line->replace(points);
    line->setVisible(true);

    // Negative samples are plotted as their magnitude; hollow markers on them
    // keep an all-negative curve from passing for a physical one.
    QScatterSeries* marks = nullptr;
    if (!negative.isEmpty()) {
        marks = new QScatterSeries;
        marks->setName(line->name() + QStringLiteral(" negative"));
        marks->setMarkerShape(QScatterSeries::MarkerShapeCircle);
        marks->setMarkerSize(7);
        marks->setColor(Qt::white);
        marks->setBorderColor(line->color());
        marks->append(negative);
        Chart1->chart()->addSeries(marks);
        marks->attachAxis(BottomAxis);
        marks->attachAxis(LeftAxis);
    }

    StatusLine->setVisible(!r.warnings.empty());
    if (!r.warnings.empty()) {
        QStringList lines;
        for (const std::string& w : r.warnings)
            lines << QStringLiteral("⚠ Run %1: %2").arg(record->number).arg(QString::fromStdString(w));
        StatusLine->setText(lines.join(u'\n'));
    }

    runs_.push_back(std::move(record));
    negatives_.push_back(marks);
    RefreshLegend();
    RescaleAxes();
}

int TForm1::RecordIndexOfRun(int run) const {
    for (std::size_t i = 0; i < runs_.size(); ++i)
        if (runs_[i]->number == run + 1) return static_cast<int>(i);
    return -1;
}

bool TForm1::CurveVisible(int run) const {
    const QLineSeries* line = LineOfRun(run);
    return RecordIndexOfRun(run) >= 0 && line && line->isVisible();
}

void TForm1::SetCurveVisible(int run, bool visible) {
    const int i = RecordIndexOfRun(run);
    if (i < 0) return;
    SeriesForRun(run)->setVisible(visible);
    if (QScatterSeries* marks = negatives_[static_cast<std::size_t>(i)]) marks->setVisible(visible);
    HideReadOut();
    RefreshLegend();
}

void TForm1::RefreshLegend() {
    std::vector<const RunRecord*> records;
    for (const auto& r : runs_) records.push_back(r.get());
    const QStringList texts = LegendTexts(records);
    const int current = Legend->currentRow();
    Legend->clear();
    for (std::size_t i = 0; i < runs_.size(); ++i) {
        const RunRecord& rec = *runs_[i];
        const int run = rec.number - 1;
        const bool visible = SeriesForRun(run)->isVisible();
        auto* item = new QListWidgetItem(LegendIcon(SeriesColour(run), visible, rec.NegativeCount() > 0),
                                         texts[static_cast<qsizetype>(i)]);
        item->setData(Qt::UserRole, run);
        item->setToolTip(ParameterText(rec) + QStringLiteral("\n\nClick (or Space) to hide or show this curve."));
        if (!visible) {
            QFont f = item->font();
            f.setStrikeOut(true);
            item->setFont(f);
            item->setForeground(palette().color(QPalette::Disabled, QPalette::Text));
        }
        Legend->addItem(item);
    }
    if (current >= 0 && current < Legend->count()) Legend->setCurrentRow(current);
    Legend->setVisible(!runs_.empty());
    const int rows = std::min(Legend->count(), kLegendMaxRows);
    Legend->doItemsLayout();
    const int row_height = std::max({Legend->sizeHintForRow(0), QFontMetrics(Legend->font()).height() + 4,
                                     Legend->iconSize().height() + 4});
    Legend->setFixedHeight(rows * row_height + 2 * Legend->frameWidth() + 2);
}

void TForm1::ClearClick() {
    HideReadOut();
    for (QScatterSeries* marks : negatives_) {
        if (!marks) continue;
        Chart1->chart()->removeSeries(marks);
        delete marks;
    }
    negatives_.clear();
    for (QAbstractSeries* s : Chart1->chart()->series()) {
        auto* line = static_cast<QLineSeries*>(s);
        line->clear();
        line->setVisible(true);
    }
    runs_.clear();
    RefreshLegend();
    StatusLine->clear();
    StatusLine->setVisible(false);
}

void TForm1::RescaleAxes() {
    double x0 = std::numeric_limits<double>::infinity(), x1 = -x0, y0 = x0, y1 = -x0;
    for (QAbstractSeries* abstract : Chart1->chart()->series()) {
        auto* s = qobject_cast<QXYSeries*>(abstract);
        if (!s || !s->isVisible()) continue;
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
    SetAxisRanges(x0, x1, y0, y1);
}

void TForm1::SetAxisRanges(double x0, double x1, double y0, double y1) {
    HideReadOut();
    // applyNiceNumbers derives the step from the current tick count and then
    // changes that count, so start each time from the same request: about ten
    // intervals, which gives one label per decade on the logarithmic axis.
    BottomAxis->setTickCount(11);
    BottomAxis->setRange(x0, x1);
    BottomAxis->applyNiceNumbers();
    LeftAxis->setTickCount(11);
    LeftAxis->setRange(y0, y1);
    LeftAxis->applyNiceNumbers();
    UpdateLogLabels();
}

void TForm1::UpdateLogLabels() {
    // The axis holds log10 of the reflectance: label whole decades as powers
    // of ten; within less than two decades, also 2× and 5× of each decade.
    const double lo = LeftAxis->min(), hi = LeftAxis->max();
    const QStringList old = LeftAxis->categoriesLabels();
    for (const QString& label : old) LeftAxis->remove(label);
    LeftAxis->setStartValue(lo);
    if (!(hi > lo)) return;
    const int first = static_cast<int>(std::ceil(lo - 1e-9)), last = static_cast<int>(std::floor(hi + 1e-9));
    if (last - first >= 2) {
        const int step = std::max(1, (last - first + 9) / 10);  // at most about ten labels
        for (int k = first; k <= last; k += step) LeftAxis->append(PowerOfTenLabel(k), k);
        return;
    }
    const double mantissas[] = {1, 2, 5};
    for (int k = static_cast<int>(std::floor(lo)); k <= static_cast<int>(std::ceil(hi)); ++k)
        for (double m : mantissas) {
            const double y = k + std::log10(m);
            if (y >= lo - 1e-9 && y <= hi + 1e-9) LeftAxis->append(PowerOfTenLabel(y), y);
        }
}

void TForm1::ZoomTo(const QRect& viewport_rect) {
    QChart* chart = Chart1->chart();
    const QRectF r = chart->mapFromScene(Chart1->mapToScene(viewport_rect)).boundingRect();
    const QRectF area = r.intersected(chart->plotArea());
    if (area.width() < 4 || area.height() < 4) return;  // a click, not a drag
    const QPointF a = chart->mapToValue(area.topLeft(), Series1);
    const QPointF b = chart->mapToValue(area.bottomRight(), Series1);
    SetAxisRanges(std::min(a.x(), b.x()), std::max(a.x(), b.x()), std::min(a.y(), b.y()), std::max(a.y(), b.y()));
}

void TForm1::ResetZoom() { RescaleAxes(); }

void TForm1::HideReadOut() {
    if (readout_marker_) readout_marker_->hide();
    if (ReadOut) {
        ReadOut->clear();
        ReadOut->hide();
    }
}

bool TForm1::ReadOutSample(int run, int sample) {
    const int i = RecordIndexOfRun(run);
    if (i < 0) return false;
    const RunResult& r = runs_[static_cast<std::size_t>(i)]->result;
    if (sample < 0 || static_cast<std::size_t>(sample) >= r.time_ps.size()) return false;
    const auto k = static_cast<std::size_t>(sample);
    QLineSeries* line = SeriesForRun(run);
    ReadOut->setText(QStringLiteral("Run %1:  t = %2 ps,  R = %3 mm⁻² ps⁻¹")
                         .arg(run + 1)
                         .arg(r.time_ps[k], 0, 'g', 6)
                         .arg(r.reflectance[k], 0, 'e', 5));
    QPen pen(line->color().darker(150), 1.5);
    readout_marker_->setPen(pen);
    readout_marker_->setPos(Chart1->chart()->mapToPosition(QPointF(r.time_ps[k], r.log10_abs[k]), line));
    readout_marker_->show();
    ReadOut->adjustSize();
    const QRect plot = Chart1->mapFromScene(Chart1->chart()->mapToScene(Chart1->chart()->plotArea()))
                           .boundingRect();
    ReadOut->move(std::max(0, plot.right() - ReadOut->width() - 4), plot.top() + 4);
    ReadOut->show();
    ReadOut->raise();
    return true;
}

bool TForm1::ReadOutAt(const QPoint& pos) {
    QChart* chart = Chart1->chart();
    const QPointF at = chart->mapFromScene(Chart1->mapToScene(pos));
    double best = std::numeric_limits<double>::infinity();
    int best_run = -1, best_sample = -1;
    for (const auto& rec : runs_) {
        const int run = rec->number - 1;
        QLineSeries* line = SeriesForRun(run);
        if (!line->isVisible()) continue;
        const RunResult& r = rec->result;
        for (std::size_t k = 0; k < r.time_ps.size() && k < r.log10_abs.size(); ++k) {
            const QPointF p = chart->mapToPosition(QPointF(r.time_ps[k], r.log10_abs[k]), line);
            if (!chart->plotArea().adjusted(-1, -1, 1, 1).contains(p)) continue;
            const double d = std::hypot(p.x() - at.x(), p.y() - at.y());
            if (d < best) best = d, best_run = run, best_sample = static_cast<int>(k);
        }
    }
    if (best_run < 0) {
        HideReadOut();
        return false;
    }
    return ReadOutSample(best_run, best_sample);
}

void TForm1::PaintPicture(QPainter& painter, const QSize& size) {
    // The chart over the full width, its visible curves' legend below it.
    std::vector<const RunRecord*> shown;
    for (const auto& r : runs_)
        if (SeriesForRun(r->number - 1)->isVisible()) shown.push_back(r.get());
    std::vector<const RunRecord*> all;
    for (const auto& r : runs_) all.push_back(r.get());
    const QStringList all_texts = LegendTexts(all);

    const QFont font = PictureLegendFont();
    const int row = QFontMetrics(font).height() + 4;
    const int legend_height = PictureLegendHeight();
    const QSize chart_size(size.width(), std::max(1, size.height() - legend_height));

    painter.fillRect(QRect(QPoint(0, 0), size), Qt::white);
    QChart* chart = Chart1->chart();
    const QRectF on_screen = chart->geometry();
    HideReadOut();  // not part of the picture; the chart's new size would misplace it anyway
    chart->setGeometry(QRectF(on_screen.topLeft(), QSizeF(chart_size)));
    if (chart->layout()) chart->layout()->activate();
    chart->scene()->render(&painter, QRectF(QPointF(0, 0), QSizeF(chart_size)), chart->sceneBoundingRect(),
                           Qt::IgnoreAspectRatio);
    chart->setGeometry(on_screen);
    if (chart->layout()) chart->layout()->activate();

    painter.setFont(font);
    int y = chart_size.height() + 4;
    for (const RunRecord* rec : shown) {
        const int run = rec->number - 1;
        const auto index = static_cast<qsizetype>(std::find(all.begin(), all.end(), rec) - all.begin());
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(SeriesColour(run), kPenWidth));
        const int mid = y + row / 2;
        painter.drawLine(12, mid, 40, mid);
        if (rec->NegativeCount() > 0) {
            painter.setBrush(Qt::white);
            painter.drawEllipse(QPointF(26, mid), 3.5, 3.5);
        }
        painter.setPen(Qt::black);
        painter.drawText(QRect(48, y, size.width() - 52, row), Qt::AlignVCenter | Qt::AlignLeft,
                         all_texts[index]);
        y += row;
    }
}

QFont TForm1::PictureLegendFont() { return FontOf(SansFamilies(), 12); }

int TForm1::PictureLegendHeight() const {
    int shown = 0;
    for (const auto& r : runs_) shown += CurveVisible(r->number - 1);
    return shown == 0 ? 0 : shown * (QFontMetrics(PictureLegendFont()).height() + 4) + 8;
}

bool TForm1::SavePicture(const QString& path, QSize size) {
    if (size.isEmpty()) size = Chart1->size() + QSize(0, PictureLegendHeight());
    if (path.endsWith(QStringLiteral(".svg"), Qt::CaseInsensitive)) {
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        QSvgGenerator svg;
        svg.setOutputDevice(&buffer);
        svg.setSize(size);
        svg.setViewBox(QRect(QPoint(0, 0), size));
        svg.setTitle(windowTitle());
        svg.setDescription(QStringLiteral("Time-resolved diffuse reflectance"));
        QPainter painter;
        if (!painter.begin(&svg)) return false;
        PaintPicture(painter, size);
        if (!painter.end()) return false;
        // The generator gives the size in millimetres at its own resolution,
        // which viewers turn back into pixels at theirs; state it in pixels.
        QByteArray bytes = buffer.data();
        static const QRegularExpression mm(QStringLiteral("width=\"[0-9.]+mm\" height=\"[0-9.]+mm\""));
        QString text = QString::fromUtf8(bytes);
        text.replace(mm, QStringLiteral("width=\"%1\" height=\"%2\"").arg(size.width()).arg(size.height()));
        QSaveFile file(path);
        bytes = text.toUtf8();
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() &&
               file.commit();
    }
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        PaintPicture(painter, size);
    }
    return image.save(path, "PNG");
}

bool TForm1::SaveCsv(const QString& path) {
    std::vector<const RunRecord*> records;
    for (const auto& r : runs_) records.push_back(r.get());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    const QByteArray bytes = CurvesCsv(records).toUtf8();
    return file.write(bytes) == bytes.size() && file.commit();
}

void TForm1::SaveClick() {
    if (!ChooseSavePath) return;
    const QString path = ChooseSavePath();
    if (path.isEmpty()) return;
    const QString suffix = QFileInfo(path).suffix().toLower();
    bool ok = false;
    if (suffix == u"csv") {
        ok = SaveCsv(path);
    } else if (suffix == u"png" || suffix == u"svg") {
        ok = SavePicture(path);
    } else if (ShowError) {
        ShowError(QStringLiteral("\"%1\": the name must end in .png, .svg or .csv").arg(QDir::toNativeSeparators(path)));
        return;
    }
    if (!ok && ShowError) ShowError(QStringLiteral("cannot write \"%1\"").arg(QDir::toNativeSeparators(path)));
}

void TForm1::StopRun() {
    if (!worker_.joinable()) return;
    std::shared_ptr<RunTicket> ticket = std::move(ticket_);
    ticket->cancel.store(true);
    bool ended;
    {
        std::unique_lock<std::mutex> lock(ticket->mutex);
        ended = ticket->ended_cv.wait_for(lock, std::chrono::milliseconds(std::max(0, CancelGraceMs)),
                                          [&] { return ticket->ended; });
        // From here on the run posts nothing to this window.
        ticket->receiver = nullptr;
    }
    if (ended) {
        worker_.join();
    } else {
        // A stage that does not look at the cancel flag (a blocking open, a
        // read of an endless stream): leave it behind rather than hang.
        worker_.detach();
        abandoned_ = true;
    }
    ++generation_;  // what the stopped run still posted is ignored
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
    if (watched == Legend && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if ((key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) && Legend->currentItem()) {
            const int run = Legend->currentItem()->data(Qt::UserRole).toInt();
            SetCurveVisible(run, !CurveVisible(run));
            return true;
        }
    }
    if (watched == Chart1->viewport()) {
        switch (event->type()) {
            case QEvent::MouseButtonPress: {
                auto* e = static_cast<QMouseEvent*>(event);
                if (e->button() != Qt::LeftButton) break;
                dragging_ = true;
                drag_origin_ = e->position().toPoint();
                rubber_band_->setGeometry(QRect(drag_origin_, QSize()));
                rubber_band_->show();
                return true;
            }
            case QEvent::MouseMove: {
                auto* e = static_cast<QMouseEvent*>(event);
                if (dragging_) {
                    rubber_band_->setGeometry(QRect(drag_origin_, e->position().toPoint()).normalized());
                } else {
                    ReadOutAt(e->position().toPoint());
                }
                return true;
            }
            case QEvent::MouseButtonRelease: {
                auto* e = static_cast<QMouseEvent*>(event);
                if (!dragging_ || e->button() != Qt::LeftButton) break;
                dragging_ = false;
                rubber_band_->hide();
                ZoomTo(QRect(drag_origin_, e->position().toPoint()).normalized());
                return true;
            }
            case QEvent::MouseButtonDblClick:
                dragging_ = false;
                rubber_band_->hide();
                ResetZoom();
                return true;
            case QEvent::Leave:
                if (!dragging_) HideReadOut();
                break;
            default:
                break;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

}  // namespace tdcyl
