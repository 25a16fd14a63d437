#include "app/gui/chart_view.hpp"

#include <QEvent>
#include <QFontMetrics>
#include <QGraphicsEllipseItem>
#include <QGraphicsLayout>
#include <QGraphicsScene>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <QResizeEvent>
#include <QRubberBand>
#include <QtCharts/QChart>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "app/gui/run_record.hpp"
#include "app/gui/style.hpp"

namespace tdcyl {
namespace {

void StyleAxis(QValueAxis* axis, const QString& title) {
    using namespace style;
    axis->setTitleText(title);
    axis->setTitleFont(FontOf(MonospaceFamilies(), 16, true));
    axis->setTitleBrush(QBrush(Qt::black));
    axis->setLabelsFont(FontOf(MonospaceFamilies(), 13, true));
    axis->setLabelsBrush(QBrush(Qt::black));
    axis->setLabelFormat(QStringLiteral("%g"));
}

}  // namespace

ChartView::ChartView(QWidget* parent) : QChartView(new QChart, parent) {
    QChart* chart = this->chart();
    chart->setTitle(QString());
    chart->legend()->hide();  // the window's legend is a list below the chart
    chart->setBackgroundBrush(QBrush(palette().color(QPalette::Base)));
    chart->setBackgroundRoundness(0);
    chart->setPlotAreaBackgroundVisible(false);  // transparent back wall
    chart->setAnimationOptions(QChart::NoAnimation);

    bottom_axis_ = new QValueAxis;
    StyleAxis(bottom_axis_, QStringLiteral("t[ps]"));
    left_axis_ = new QCategoryAxis;
    StyleAxis(left_axis_, QStringLiteral("reflectance [mm^-2 ps^-1]"));
    left_axis_->setMinorTickCount(2);
    left_axis_->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    chart->addAxis(bottom_axis_, Qt::AlignBottom);
    chart->addAxis(left_axis_, Qt::AlignLeft);
    connect(left_axis_, &QValueAxis::rangeChanged, this, [this] { UpdateLogLabels(); });

    setObjectName(QStringLiteral("Chart1"));
    setRenderHint(QPainter::Antialiasing);
    setMinimumSize(160, 120);
    viewport()->setMouseTracking(true);
    setToolTip(QStringLiteral("Drag a rectangle to zoom, double-click to show all"));

    rubber_band_ = new QRubberBand(QRubberBand::Rectangle, viewport());
    readout_marker_ = new QGraphicsEllipseItem(-5, -5, 10, 10, chart);
    readout_marker_->setPen(QPen(Qt::black, 1.5));
    readout_marker_->setBrush(Qt::NoBrush);
    readout_marker_->setZValue(100);
    readout_marker_->hide();
    connect(chart, &QChart::plotAreaChanged, this, [this] { HideReadOut(); });

    // The read-out floats in the top right corner of the plot area.
    read_out_ = new QLabel(viewport());
    read_out_->setObjectName(QStringLiteral("ReadOut"));
    read_out_->setAutoFillBackground(true);
    read_out_->setStyleSheet(
        QStringLiteral("QLabel { background: rgba(255, 255, 255, 220); color: black; "
                       "border: 1px solid #b0b0b0; padding: 1px 4px; }"));
    read_out_->setAttribute(Qt::WA_TransparentForMouseEvents);
    read_out_->hide();

    for (int i = 0; i < 15; ++i) SeriesForRun(i);
}

QLineSeries* ChartView::LineOfRun(int run) const {
    // The run series are the line series in order; the markers of negative
    // samples are scatter series in between.
    int seen = 0;
    for (QAbstractSeries* s : chart()->series()) {
        if (s->type() != QAbstractSeries::SeriesTypeLine) continue;
        if (seen++ == run) return static_cast<QLineSeries*>(s);
    }
    return nullptr;
}

QLineSeries* ChartView::SeriesForRun(int run) {
    while (!LineOfRun(run)) {
        int index = 0;
        while (LineOfRun(index)) ++index;
        auto* s = new QLineSeries;
        s->setName(QStringLiteral("Series%1").arg(index + 1));
        QPen pen(style::SeriesColour(index));
        pen.setWidthF(style::kPenWidth);
        s->setPen(pen);
        s->setPointsVisible(false);
        s->setPointLabelsVisible(false);
        chart()->addSeries(s);
        s->attachAxis(bottom_axis_);
        s->attachAxis(left_axis_);
    }
    return LineOfRun(run);
}

const ChartView::Curve* ChartView::CurveOfRun(int run) const {
    for (const Curve& c : curves_)
        if (c.run == run) return &c;
    return nullptr;
}

void ChartView::AddCurve(int run, std::shared_ptr<const RunResult> result) {
    const RunResult& r = *result;
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
        chart()->addSeries(marks);
        marks->attachAxis(bottom_axis_);
        marks->attachAxis(left_axis_);
    }
    curves_.push_back({run, std::move(result), marks});
    RescaleAxes();
}

bool ChartView::CurveVisible(int run) const {
    const QLineSeries* line = LineOfRun(run);
    return CurveOfRun(run) && line && line->isVisible();
}

void ChartView::SetCurveVisible(int run, bool visible) {
    const Curve* c = CurveOfRun(run);
    if (!c) return;
    SeriesForRun(run)->setVisible(visible);
    if (c->negatives) c->negatives->setVisible(visible);
    HideReadOut();
}

void ChartView::Clear() {
    HideReadOut();
    for (const Curve& c : curves_) {
        if (!c.negatives) continue;
        chart()->removeSeries(c.negatives);
        delete c.negatives;
    }
    for (QAbstractSeries* s : chart()->series()) {
        auto* line = static_cast<QLineSeries*>(s);
        line->clear();
        line->setVisible(true);
    }
    curves_.clear();
}

void ChartView::RescaleAxes() {
    double x0 = std::numeric_limits<double>::infinity(), x1 = -x0, y0 = x0, y1 = -x0;
    for (QAbstractSeries* abstract : chart()->series()) {
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

void ChartView::SetAxisRanges(double x0, double x1, double y0, double y1) {
    HideReadOut();
    // applyNiceNumbers derives the step from the current tick count and then
    // changes that count, so start each time from the same request: about ten
    // intervals, which gives one label per decade on the logarithmic axis.
    bottom_axis_->setTickCount(11);
    bottom_axis_->setRange(x0, x1);
    bottom_axis_->applyNiceNumbers();
    left_axis_->setTickCount(11);
    left_axis_->setRange(y0, y1);
    left_axis_->applyNiceNumbers();
    UpdateLogLabels();
}

void ChartView::UpdateLogLabels() {
    // The axis holds log10 of the reflectance: label whole decades as powers
    // of ten; within less than two decades, also 2× and 5× of each decade.
    const double lo = left_axis_->min(), hi = left_axis_->max();
    const QStringList old = left_axis_->categoriesLabels();
    for (const QString& label : old) left_axis_->remove(label);
    left_axis_->setStartValue(lo);
    if (!(hi > lo)) return;
    const int first = static_cast<int>(std::ceil(lo - 1e-9)), last = static_cast<int>(std::floor(hi + 1e-9));
    if (last - first >= 2) {
        const int step = std::max(1, (last - first + 9) / 10);  // at most about ten labels
        for (int k = first; k <= last; k += step) left_axis_->append(PowerOfTenLabel(k), k);
        return;
    }
    const double mantissas[] = {1, 2, 5};
    for (int k = static_cast<int>(std::floor(lo)); k <= static_cast<int>(std::ceil(hi)); ++k)
        for (double m : mantissas) {
            const double y = k + std::log10(m);
            if (y >= lo - 1e-9 && y <= hi + 1e-9) left_axis_->append(PowerOfTenLabel(y), y);
        }
}

void ChartView::ZoomTo(const QRect& viewport_rect) {
    QChart* chart = this->chart();
    const QRectF r = chart->mapFromScene(mapToScene(viewport_rect)).boundingRect();
    const QRectF area = r.intersected(chart->plotArea());
    if (area.width() < 4 || area.height() < 4) return;  // a click, not a drag
    QLineSeries* first = SeriesForRun(0);
    const QPointF a = chart->mapToValue(area.topLeft(), first);
    const QPointF b = chart->mapToValue(area.bottomRight(), first);
    SetAxisRanges(std::min(a.x(), b.x()), std::max(a.x(), b.x()), std::min(a.y(), b.y()), std::max(a.y(), b.y()));
}

void ChartView::ResetZoom() { RescaleAxes(); }

void ChartView::HideReadOut() {
    if (readout_marker_) readout_marker_->hide();
    if (read_out_) {
        read_out_->clear();
        read_out_->hide();
    }
}

bool ChartView::ReadOutSample(int run, int sample) {
    const Curve* c = CurveOfRun(run);
    if (!c) return false;
    const RunResult& r = *c->result;
    if (sample < 0 || static_cast<std::size_t>(sample) >= r.time_ps.size()) return false;
    const auto k = static_cast<std::size_t>(sample);
    QLineSeries* line = SeriesForRun(run);
    read_out_->setText(QStringLiteral("Run %1:  t = %2 ps,  R = %3 mm⁻² ps⁻¹")
                           .arg(run + 1)
                           .arg(r.time_ps[k], 0, 'g', 6)
                           .arg(r.reflectance[k], 0, 'e', 5));
    QPen pen(line->color().darker(150), 1.5);
    readout_marker_->setPen(pen);
    readout_marker_->setPos(chart()->mapToPosition(QPointF(r.time_ps[k], r.log10_abs[k]), line));
    readout_marker_->show();
    read_out_->adjustSize();
    const QRect plot = mapFromScene(chart()->mapToScene(chart()->plotArea())).boundingRect();
    read_out_->move(std::max(0, plot.right() - read_out_->width() - 4), plot.top() + 4);
    read_out_->show();
    read_out_->raise();
    return true;
}

bool ChartView::ReadOutAt(const QPoint& pos) {
    QChart* chart = this->chart();
    const QPointF at = chart->mapFromScene(mapToScene(pos));
    double best = std::numeric_limits<double>::infinity();
    int best_run = -1, best_sample = -1;
    for (const Curve& c : curves_) {
        QLineSeries* line = SeriesForRun(c.run);
        if (!line->isVisible()) continue;
        const RunResult& r = *c.result;
        for (std::size_t k = 0; k < r.time_ps.size() && k < r.log10_abs.size(); ++k) {
            const QPointF p = chart->mapToPosition(QPointF(r.time_ps[k], r.log10_abs[k]), line);
            if (!chart->plotArea().adjusted(-1, -1, 1, 1).contains(p)) continue;
            const double d = std::hypot(p.x() - at.x(), p.y() - at.y());
            if (d < best) best = d, best_run = c.run, best_sample = static_cast<int>(k);
        }
    }
    if (best_run < 0) {
        HideReadOut();
        return false;
    }
    return ReadOutSample(best_run, best_sample);
}

void ChartView::Render(QPainter& painter, const QSize& size) {
    QChart* chart = this->chart();
    const QRectF on_screen = chart->geometry();
    HideReadOut();  // not part of the picture; the chart's new size would misplace it anyway
    chart->setGeometry(QRectF(on_screen.topLeft(), QSizeF(size)));
    if (chart->layout()) chart->layout()->activate();
    chart->scene()->render(&painter, QRectF(QPointF(0, 0), QSizeF(size)), chart->sceneBoundingRect(),
                           Qt::IgnoreAspectRatio);
    chart->setGeometry(on_screen);
    if (chart->layout()) chart->layout()->activate();
}

QSize ChartView::minimumSizeHint() const {
    // The vertical title runs along the plot area, which leaves the bottom
    // axis (labels and title, with their gaps) and the 2 % margins below and
    // above it.
    const QFontMetrics title(left_axis_->titleFont()), labels(bottom_axis_->labelsFont());
    const int along = title.horizontalAdvance(left_axis_->titleText()) + 2 * title.height();
    const int below = labels.height() + QFontMetrics(bottom_axis_->titleFont()).height() + 3 * labels.height();
    return QSize(160, (along + below) * 100 / 96);
}

void ChartView::resizeEvent(QResizeEvent* event) {
    // Margins of 2 % of the chart's size on all four sides.
    const int mx = event->size().width() * 2 / 100, my = event->size().height() * 2 / 100;
    chart()->setMargins(QMargins(mx, my, mx, my));
    QChartView::resizeEvent(event);
}

void ChartView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QChartView::mousePressEvent(event);
    dragging_ = true;
    drag_origin_ = event->position().toPoint();
    rubber_band_->setGeometry(QRect(drag_origin_, QSize()));
    rubber_band_->show();
}

void ChartView::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_) {
        rubber_band_->setGeometry(QRect(drag_origin_, event->position().toPoint()).normalized());
    } else {
        ReadOutAt(event->position().toPoint());
    }
}

void ChartView::mouseReleaseEvent(QMouseEvent* event) {
    if (!dragging_ || event->button() != Qt::LeftButton) return QChartView::mouseReleaseEvent(event);
    dragging_ = false;
    rubber_band_->hide();
    ZoomTo(QRect(drag_origin_, event->position().toPoint()).normalized());
}

void ChartView::mouseDoubleClickEvent(QMouseEvent*) {
    dragging_ = false;
    rubber_band_->hide();
    ResetZoom();
}

bool ChartView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::Leave && !dragging_) HideReadOut();
    return QChartView::viewportEvent(event);
}

}  // namespace tdcyl
