#include "app/gui/form.hpp"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPalette>
#include <QPen>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollBar>
#include <QShowEvent>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <algorithm>
#include <utility>

#include "app/gui/export.hpp"
#include "app/gui/style.hpp"

namespace tdcyl {

namespace {

// Taller and wider than the bare chart needed, for the row of actions and the legend.
constexpr int kLeft = 279, kTop = 125, kOuterWidth = 560, kOuterHeight = 480;
// The legend shows at most this many lines of text and scrolls beyond, so
// that the chart keeps the height its axes need.
constexpr int kLegendMaxLines = 4;

using style::FontOf;
using style::MonospaceFamilies;
using style::SansFamilies;

// A small picture of the curve's line (and of the hollow marker of its
// negative samples) for the legend.
QIcon LegendIcon(const QColor& colour, bool visible, bool negatives) {
    QPixmap pix(28, 14);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    QColor c = colour;
    if (!visible) c.setAlpha(60);
    p.setPen(QPen(c, style::kPenWidth));
    p.drawLine(2, 7, 26, 7);
    if (negatives) {
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(14, 7), 4, 4);
    }
    return QIcon(pix);
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
    BuildActions(central, layout);
    BuildChart(central, layout);
    BuildLegend(central, layout);
    BuildProgress(central, layout);

    setCentralWidget(central);
    // Tab order follows the layout: the actions left to right, then the chart
    // and its legend.
    QWidget* order[] = {ui_.Button1,   ui_.ClearButton, ui_.SaveButton, ui_.ResetZoomButton,
                        ui_.EngineBox, ui_.Chart1,      ui_.Legend};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
    SetDialogs();
    controller_ = new RunController(this);
    connect(controller_, &RunController::Progress, this, &TForm1::ShowProgress);
    connect(controller_, &RunController::Finished, this, &TForm1::FinishRun);

    connect(ui_.Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(ui_.ClearButton, &QPushButton::clicked, this, &TForm1::ClearClick);
    connect(ui_.SaveButton, &QPushButton::clicked, this, &TForm1::SaveClick);
    connect(ui_.ResetZoomButton, &QPushButton::clicked, ui_.Chart1, &ChartView::ResetZoom);

    move(kLeft, kTop);
    resize(kOuterWidth, kOuterHeight);
    FormCreate();
}

// The row of actions: "Start!", Clear, Save…, Reset zoom and the engine.
void TForm1::BuildActions(QWidget* central, QVBoxLayout* layout) {
    auto button = [central](const QString& text, const QString& name, const QKeySequence& key, const QString& tip) {
        auto* b = new QPushButton(text, central);
        b->setObjectName(name);
        b->setShortcut(key);
        b->setToolTip(tip + QStringLiteral(" (") + key.toString(QKeySequence::NativeText) + u')');
        return b;
    };
    ui_.Button1 = button(QStringLiteral("Start!"), QStringLiteral("Button1"), QKeySequence(Qt::Key_F5),
                         QStringLiteral("Run the parameter file input.dat"));
    ui_.Button1->setFixedSize(65, 25);
    ui_.Button1->setFont(FontOf(MonospaceFamilies(), 13));
    ui_.ClearButton = button(QStringLiteral("Clear"), QStringLiteral("ClearButton"), QKeySequence(Qt::CTRL | Qt::Key_L),
                             QStringLiteral("Remove every curve from the chart; the result file stays"));
    ui_.SaveButton = button(QStringLiteral("Save…"), QStringLiteral("SaveButton"), QKeySequence(QKeySequence::Save),
                            QStringLiteral("Save the chart as PNG or SVG, or the curves as CSV"));
    ui_.ResetZoomButton =
        button(QStringLiteral("Reset zoom"), QStringLiteral("ResetZoomButton"), QKeySequence(Qt::CTRL | Qt::Key_0),
               QStringLiteral("Show all curves again (or double-click the chart); drag a rectangle to zoom"));
    for (QPushButton* b : {ui_.ClearButton, ui_.SaveButton, ui_.ResetZoomButton}) b->setFixedHeight(25);

    ui_.EngineBox = new QComboBox(central);
    ui_.EngineBox->setObjectName(QStringLiteral("EngineBox"));
    ui_.EngineBox->addItem(QStringLiteral("faithful"));
    ui_.EngineBox->addItem(QStringLiteral("fast"));
    ui_.EngineBox->setToolTip(QStringLiteral("Engine of the next runs"));
    ui_.EngineBox->setFixedHeight(25);
    connect(ui_.EngineBox, &QComboBox::currentIndexChanged, this, [this](int index) { engine_fast_ = index == 1; });

    auto* top_row = new QHBoxLayout;
    top_row->setContentsMargins(0, 0, 0, 0);
    top_row->setSpacing(6);
    top_row->addWidget(ui_.Button1);
    top_row->addWidget(ui_.ClearButton);
    top_row->addWidget(ui_.SaveButton);
    top_row->addWidget(ui_.ResetZoomButton);
    top_row->addWidget(ui_.EngineBox);
    top_row->addStretch(1);
    layout->addLayout(top_row);
    layout->addSpacing(12);
}

// The chart, with the fixed series of the first runs.
void TForm1::BuildChart(QWidget* central, QVBoxLayout* layout) {
    ui_.Chart1 = new ChartView(central);
    ui_.BottomAxis = ui_.Chart1->BottomAxis();
    ui_.LeftAxis = ui_.Chart1->LeftAxis();
    ui_.ReadOut = ui_.Chart1->ReadOut();
    QLineSeries** fixed[] = {&ui_.Series1,  &ui_.Series2,  &ui_.Series3,  &ui_.Series4,  &ui_.Series5,
                             &ui_.Series6,  &ui_.Series7,  &ui_.Series8,  &ui_.Series9,  &ui_.Series10,
                             &ui_.Series11, &ui_.Series12, &ui_.Series13, &ui_.Series14, &ui_.Series15};
    for (int i = 0; i < 15; ++i) *fixed[i] = ui_.Chart1->SeriesForRun(i);
    auto* chart_row = new QHBoxLayout;
    chart_row->setContentsMargins(4, 0, 4, 0);
    chart_row->addWidget(ui_.Chart1);
    layout->addLayout(chart_row, 1);
}

// The legend below the chart (a click shows or hides a curve) and the status line.
void TForm1::BuildLegend(QWidget* central, QVBoxLayout* layout) {
    ui_.Legend = new QListWidget(central);
    ui_.Legend->setObjectName(QStringLiteral("Legend"));
    ui_.Legend->setSelectionMode(QAbstractItemView::SingleSelection);
    ui_.Legend->setIconSize(QSize(28, 14));
    ui_.Legend->setFrameShape(QFrame::NoFrame);
    // Long entries wrap rather than being cut; the list scrolls.
    ui_.Legend->setWordWrap(true);
    ui_.Legend->setTextElideMode(Qt::ElideNone);
    ui_.Legend->setResizeMode(QListView::Adjust);
    ui_.Legend->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ui_.Legend->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    ui_.Legend->setVisible(false);
    ui_.Legend->installEventFilter(this);
    connect(ui_.Legend, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
        const int run = item->data(Qt::UserRole).toInt();
        SetCurveVisible(run, !CurveVisible(run));
    });
    ui_.StatusLine = new QLabel(central);
    ui_.StatusLine->setObjectName(QStringLiteral("StatusLine"));
    ui_.StatusLine->setWordWrap(true);
    ui_.StatusLine->setVisible(false);
    for (QWidget* w : {static_cast<QWidget*>(ui_.Legend), static_cast<QWidget*>(ui_.StatusLine)}) {
        auto* row = new QHBoxLayout;
        row->setContentsMargins(4, 0, 4, 0);
        row->addWidget(w);
        layout->addLayout(row);
    }
    layout->addSpacing(4);
}

void TForm1::BuildProgress(QWidget* central, QVBoxLayout* layout) {
    ui_.ProgressBar1 = new QProgressBar(central);
    ui_.ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ui_.ProgressBar1->setRange(0, kFrequencyCount);
    ui_.ProgressBar1->setValue(0);
    ui_.ProgressBar1->setFormat(QStringLiteral("%v/%m"));
    ui_.ProgressBar1->setFixedHeight(14);
    auto* progress_row = new QHBoxLayout;
    progress_row->setContentsMargins(4, 0, 4, 0);
    progress_row->addWidget(ui_.ProgressBar1);
    layout->addLayout(progress_row);
}

// The message box of an error and the file dialog of Save….
void TForm1::SetDialogs() {
    show_error_ = [this](const QString& message) { QMessageBox::critical(this, windowTitle(), message); };
    choose_save_path_ = [this] {
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
}

TForm1::~TForm1() { StopRun(); }

void TForm1::FormCreate() { RunIndex = -1; }

void TForm1::Button1Click() {
    if (IsRunning()) return;
    ++RunIndex;
    ui_.Button1->setEnabled(false);
    ui_.ProgressBar1->setRange(0, 0);  // busy until the run names its first stage
    ui_.ProgressBar1->setFormat(QStringLiteral("%v/%m"));
    controller_->Start(RunIndex, input_path_, output_path_, engine_fast_);
}

void TForm1::ShowProgress(const QString& stage, int done, int total) {
    QProgressBar* bar = ui_.ProgressBar1;
    const QString format = stage + QStringLiteral(" %v/%m");
    if (bar->format() != format) {
        // A new stage starts from zero.
        bar->setFormat(format);
        bar->setValue(0);
    }
    if (bar->maximum() != total) bar->setMaximum(total);
    // Progress events of parallel workers may arrive out of order.
    bar->setValue(std::max(done, bar->value()));
}

void TForm1::FinishRun(bool ok, bool cancelled, const QString& error, std::shared_ptr<RunRecord> record) {
    ui_.Button1->setEnabled(true);
    QProgressBar* bar = ui_.ProgressBar1;
    if (bar->format() == QStringLiteral("%v/%m")) {
        // No stage was reported (the fast engine computes its curve in one
        // step, a failed run may stop before the first): say how it ended.
        bar->setRange(0, 1);
        bar->setValue(ok ? 1 : 0);
        bar->setFormat(ok ? QStringLiteral("done") : cancelled ? QStringLiteral("stopped") : QStringLiteral("failed"));
    }
    if (ok) {
        AddCurve(std::move(record));
    } else if (!cancelled && show_error_) {
        show_error_(error);
    }
    emit RunFinished(ok);
}

void TForm1::AddCurve(std::shared_ptr<const RunRecord> record) {
    const RunResult& r = record->result;
    ui_.StatusLine->setVisible(!r.warnings.empty());
    if (!r.warnings.empty()) {
        QStringList lines;
        for (const std::string& w : r.warnings)
            lines << QStringLiteral("⚠ Run %1: %2").arg(record->number).arg(QString::fromStdString(w));
        ui_.StatusLine->setText(lines.join(u'\n'));
    }
    runs_.push_back(record);
    ui_.Chart1->AddCurve(record->number - 1, std::shared_ptr<const RunResult>(record, &record->result));
    RefreshLegend(true);
}

std::vector<const RunRecord*> TForm1::RunList() const {
    std::vector<const RunRecord*> list;
    for (const auto& r : runs_) list.push_back(r.get());
    return list;
}

bool TForm1::CurveVisible(int run) const { return ui_.Chart1->CurveVisible(run); }

void TForm1::SetCurveVisible(int run, bool visible) {
    ui_.Chart1->SetCurveVisible(run, visible);
    RefreshLegend();
}

void TForm1::RefreshLegend(bool show_newest) {
    QListWidget* legend = ui_.Legend;
    const QStringList texts = LegendTexts(RunList());
    const int current = legend->currentRow(), scrolled = legend->verticalScrollBar()->value();
    legend->clear();
    for (std::size_t i = 0; i < runs_.size(); ++i) {
        const RunRecord& rec = *runs_[i];
        const int run = rec.number - 1;
        const bool visible = ui_.Chart1->SeriesForRun(run)->isVisible();
        auto* item = new QListWidgetItem(LegendIcon(style::SeriesColour(run), visible, rec.NegativeCount() > 0),
                                         texts[static_cast<qsizetype>(i)]);
        item->setData(Qt::UserRole, run);
        item->setToolTip(ParameterText(rec) + QStringLiteral("\n\nClick (or Space) to hide or show this curve."));
        if (!visible) {
            QFont f = item->font();
            f.setStrikeOut(true);
            item->setFont(f);
            item->setForeground(palette().color(QPalette::Disabled, QPalette::Text));
        }
        legend->addItem(item);
    }
    if (current >= 0 && current < legend->count()) legend->setCurrentRow(current);
    legend->setVisible(!runs_.empty());
    FitLegendHeight();
    if (show_newest && legend->count() > 0)
        legend->scrollToItem(legend->item(legend->count() - 1));
    else
        legend->verticalScrollBar()->setValue(scrolled);
}

void TForm1::FitLegendHeight() {
    // As tall as its entries, up to kLegendMaxLines lines; at least one entry.
    QListWidget* legend = ui_.Legend;
    legend->doItemsLayout();
    const int line = std::max(QFontMetrics(legend->font()).height() + 4, legend->iconSize().height() + 4);
    int content = 0;
    for (int i = 0; i < legend->count(); ++i) content += legend->sizeHintForRow(i);
    const int frame = 2 * legend->frameWidth() + 2;
    const int most = std::min(content, kLegendMaxLines * line) + frame;
    legend->setMaximumHeight(most);
    legend->setMinimumHeight(std::min(legend->count() > 0 ? legend->sizeHintForRow(0) + frame : frame, most));
}

void TForm1::ClearClick() {
    ui_.Chart1->Clear();
    runs_.clear();
    RefreshLegend();
    ui_.StatusLine->clear();
    ui_.StatusLine->setVisible(false);
}

bool TForm1::SavePicture(const QString& path, QSize size) {
    return tdcyl::SavePicture(*ui_.Chart1, RunList(), path, size, windowTitle());
}

bool TForm1::SaveCsv(const QString& path) { return tdcyl::SaveCsv(RunList(), path); }

void TForm1::SaveClick() {
    if (!choose_save_path_) return;
    const QString path = choose_save_path_();
    if (path.isEmpty()) return;
    const QString suffix = QFileInfo(path).suffix().toLower();
    bool ok = false;
    if (suffix == u"csv") {
        ok = SaveCsv(path);
    } else if (suffix == u"png" || suffix == u"svg") {
        ok = SavePicture(path);
    } else if (show_error_) {
        show_error_(
            QStringLiteral("\"%1\": the name must end in .png, .svg or .csv").arg(QDir::toNativeSeparators(path)));
        return;
    }
    if (!ok && show_error_) show_error_(QStringLiteral("cannot write \"%1\"").arg(QDir::toNativeSeparators(path)));
}

void TForm1::StopRun() {
    if (!controller_->IsRunning()) return;
    controller_->Stop();
    ui_.Button1->setEnabled(true);
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
    // A new width wraps the entries anew.
    if (watched == ui_.Legend && event->type() == QEvent::Resize &&
        static_cast<QResizeEvent*>(event)->size().width() != static_cast<QResizeEvent*>(event)->oldSize().width())
        QTimer::singleShot(0, this, [this] { FitLegendHeight(); });
    if (watched == ui_.Legend && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if ((key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) && ui_.Legend->currentItem()) {
            const int run = ui_.Legend->currentItem()->data(Qt::UserRole).toInt();
            SetCurveVisible(run, !CurveVisible(run));
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

}  // namespace tdcyl
