#pragma once
// The window: a row of actions ("Start!", Clear, Save…, Reset zoom, engine),
// a line chart that collects one curve per run with a legend below it, a
// read-out of the point under the cursor, and the progress of the run. A run
// executes on a worker thread so the window keeps repainting; the window only
// shows what the run core returns.
#include <QMainWindow>
#include <QString>
#include <QtCharts/QCategoryAxis>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/core/run.hpp"
#include "app/gui/run_record.hpp"

class QCloseEvent;
class QComboBox;
class QGraphicsEllipseItem;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QPainter;
class QProgressBar;
class QPushButton;
class QRubberBand;
class QShowEvent;

namespace tdcyl {

struct RunTicket;

class TForm1 : public QMainWindow {
    Q_OBJECT

public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    QPushButton* Button1 = nullptr;
    QPushButton* ClearButton = nullptr;
    QPushButton* SaveButton = nullptr;
    QPushButton* ResetZoomButton = nullptr;
    QComboBox* EngineBox = nullptr;
    QChartView* Chart1 = nullptr;
    QValueAxis* BottomAxis = nullptr;
    QCategoryAxis* LeftAxis = nullptr;  // log10 values, labelled as powers of ten
    QListWidget* Legend = nullptr;      // one entry per run on the chart
    QLabel* ReadOut = nullptr;          // the point under the cursor
    QLabel* StatusLine = nullptr;       // warnings of the last run
    QProgressBar* ProgressBar1 = nullptr;
    QLineSeries* Series1 = nullptr;
    QLineSeries* Series2 = nullptr;
    QLineSeries* Series3 = nullptr;
    QLineSeries* Series4 = nullptr;
    QLineSeries* Series5 = nullptr;
    QLineSeries* Series6 = nullptr;
    QLineSeries* Series7 = nullptr;
    QLineSeries* Series8 = nullptr;
    QLineSeries* Series9 = nullptr;
    QLineSeries* Series10 = nullptr;
    QLineSeries* Series11 = nullptr;
    QLineSeries* Series12 = nullptr;
    QLineSeries* Series13 = nullptr;
    QLineSeries* Series14 = nullptr;
    QLineSeries* Series15 = nullptr;

    // Number of the current run minus one; selects the series of the run.
    int RunIndex = -1;

    // Parameter and result files of a run, relative to the working directory
    // at the time of the click.
    QString InputPath = QStringLiteral("input.dat");
    QString OutputPath = QStringLiteral("reflectance.dat");

    // Shows the message of a failed run; by default a modal critical box.
    std::function<void(const QString&)> ShowError;
    // Asks where "Save…" writes; by default a file dialog. An empty answer
    // cancels. The suffix (.png, .svg, .csv) chooses what is written.
    std::function<QString()> ChooseSavePath;
    // The run itself, on the worker thread; by default the run core on files.
    std::function<RunResult(const std::string& input, const std::string& output, const RunOptions&)> Runner;

    // How long closing the window waits for a run to notice its cancel before
    // the window lets go of it (a stage that cannot be interrupted, such as
    // opening a FIFO nobody writes to).
    int CancelGraceMs = 2000;

    // The colour of the series of run r (0-based): the 15 chart colours in turn.
    static QColor SeriesColour(int run);

    // The series of run r (0-based); runs beyond the 15th get new series.
    QLineSeries* SeriesForRun(int run);

    bool IsRunning() const { return worker_.joinable(); }
    // True once a run that ignored its cancel has been left behind; the
    // program then ends without waiting for it.
    bool AbandonedRun() const { return abandoned_; }

    // The runs on the chart, oldest first.
    const std::vector<std::unique_ptr<RunRecord>>& Runs() const { return runs_; }
    bool CurveVisible(int run) const;  // run: 0-based index as RunIndex
    void SetCurveVisible(int run, bool visible);

    // Read-out of the nearest point of the nearest visible curve to `pos`
    // (viewport coordinates of Chart1); false when no curve has points.
    bool ReadOutAt(const QPoint& pos);
    // Read-out of sample `sample` of run `run` (0-based as RunIndex).
    bool ReadOutSample(int run, int sample);

    // Zooms to a rectangle of the viewport; ResetZoom shows all curves again.
    void ZoomTo(const QRect& viewport_rect);
    void ResetZoom();

    // Writes the chart with its legend as a PNG or SVG picture of `size`
    // pixels (empty: the chart's size on screen plus its legend), or all
    // curves as CSV.
    bool SavePicture(const QString& path, QSize size = QSize());
    bool SaveCsv(const QString& path);

public slots:
    void FormCreate();
    void Button1Click();
    void ClearClick();
    void SaveClick();

signals:
    // Emitted on the window's thread once a run has ended and its result (or
    // its error message) has been shown; `ok` is false for a failed run.
    void RunFinished(bool ok);

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildChart();
    void ShowProgress(unsigned long long generation, const QString& stage, int done, int total);
    void FinishRun(unsigned long long generation, int run, bool ok, bool cancelled, const QString& error,
                   std::shared_ptr<RunRecord> record);
    void AddCurve(int run, std::unique_ptr<RunRecord> record);
    void RefreshLegend();
    void RescaleAxes();
    void SetAxisRanges(double x0, double x1, double y0, double y1);
    void UpdateLogLabels();
    void HideReadOut();
    void PaintPicture(QPainter& painter, const QSize& size);
    static QFont PictureLegendFont();
    int PictureLegendHeight() const;  // pixels below the chart in a saved picture
    int RecordIndexOfRun(int run) const;
    QLineSeries* LineOfRun(int run) const;  // nullptr if the chart has no such series yet
    void StopRun();  // cancels a run in progress; waits for it at most CancelGraceMs

    std::thread worker_;
    std::shared_ptr<RunTicket> ticket_;
    unsigned long long generation_ = 0;  // numbers the runs started, to drop stale events
    bool abandoned_ = false;
    bool frame_adjusted_ = false;
    // The engine chosen in the box for the next runs: it selects the engine
    // passed to each run in RunOptions (false: faithful, true: fast) and is
    // named in the run's legend entry.
    bool engine_fast_ = false;

    std::vector<std::unique_ptr<RunRecord>> runs_;
    std::vector<QScatterSeries*> negatives_;  // per entry of runs_: negative samples, or nullptr
    QGraphicsEllipseItem* readout_marker_ = nullptr;
    QRubberBand* rubber_band_ = nullptr;
    QPoint drag_origin_;
    bool dragging_ = false;
};

}  // namespace tdcyl
