#pragma once
// The chart of the window: one line series per run on a time axis and a
// logarithmic reflectance axis (log10 values labelled as powers of ten),
// hollow markers on negative samples, rectangle zoom with a rubber band,
// double-click to show all, and a read-out of the sample under the cursor.
#include <QPoint>
#include <QRect>
#include <QtCharts/QCategoryAxis>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

#include <memory>
#include <vector>

#include "app/core/run.hpp"

class QGraphicsEllipseItem;
class QLabel;
class QPainter;
class QRubberBand;

namespace tdcyl {

class ChartView : public QChartView {
    Q_OBJECT

public:
    explicit ChartView(QWidget* parent = nullptr);

    QValueAxis* BottomAxis() const { return bottom_axis_; }
    QCategoryAxis* LeftAxis() const { return left_axis_; }  // log10 values, labelled as powers of ten
    QLabel* ReadOut() const { return read_out_; }           // the point under the cursor

    // The series of run r (0-based); runs beyond the 15th get new series.
    QLineSeries* SeriesForRun(int run);

    // Plots the curve of run `run` (log10 of the magnitude against time) and
    // rescales the axes to all visible curves.
    void AddCurve(int run, std::shared_ptr<const RunResult> result);
    bool CurveVisible(int run) const;
    void SetCurveVisible(int run, bool visible);
    void Clear();  // no curve left; the series stay, empty

    // Read-out of the nearest point of the nearest visible curve to `pos`
    // (viewport coordinates); false when no curve has points.
    bool ReadOutAt(const QPoint& pos);
    // Read-out of sample `sample` of run `run` (0-based).
    bool ReadOutSample(int run, int sample);
    void HideReadOut();

    // Zooms to a rectangle of the viewport; ResetZoom shows all curves again.
    void ZoomTo(const QRect& viewport_rect);
    void ResetZoom();

    // Tall enough that the vertical axis shows its title and tick labels
    // whole: a window that is short of height takes it from the legend.
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override { return minimumSizeHint(); }

    // Draws the chart alone at `size` pixels into `painter`, without the read-out.
    void Render(QPainter& painter, const QSize& size);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    bool viewportEvent(QEvent* event) override;

private:
    struct Curve {
        int run;
        std::shared_ptr<const RunResult> result;
        QScatterSeries* negatives;  // markers of negative samples, or nullptr
    };

    const Curve* CurveOfRun(int run) const;
    QLineSeries* LineOfRun(int run) const;  // nullptr if the chart has no such series yet
    void RescaleAxes();
    void SetAxisRanges(double x0, double x1, double y0, double y1);
    void UpdateLogLabels();

    QValueAxis* bottom_axis_ = nullptr;
    QCategoryAxis* left_axis_ = nullptr;
    QLabel* read_out_ = nullptr;
    QGraphicsEllipseItem* readout_marker_ = nullptr;
    QRubberBand* rubber_band_ = nullptr;
    QPoint drag_origin_;
    bool dragging_ = false;
    std::vector<Curve> curves_;  // oldest first
};

}  // namespace tdcyl
