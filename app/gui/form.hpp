#pragma once
// The window: a "Start!" button and a line chart that collects one curve per
// run. A run executes on a worker thread so the window keeps repainting; the
// window only shows what the run core returns.
#include <QMainWindow>
#include <QString>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>

#include <atomic>
#include <functional>
#include <thread>

#include "app/core/run.hpp"

class QCloseEvent;
class QProgressBar;
class QPushButton;
class QShowEvent;

namespace tdcyl {

class TForm1 : public QMainWindow {
    Q_OBJECT

public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    QPushButton* Button1 = nullptr;
    QChartView* Chart1 = nullptr;
    QValueAxis* BottomAxis = nullptr;
    QValueAxis* LeftAxis = nullptr;
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

    // Engine of the runs (the command line's --engine).
    Engine RunEngine = Engine::faithful;

    // Shows the message of a failed run; by default a modal critical box.
    std::function<void(const QString&)> ShowError;

    // The colour of the series of run r (0-based): the 15 chart colours in turn.
    static QColor SeriesColour(int run);

    // The series of run r (0-based); runs beyond the 15th get new series.
    QLineSeries* SeriesForRun(int run);

    bool IsRunning() const { return worker_.joinable(); }

public slots:
    void FormCreate();
    void Button1Click();

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
    void ShowProgress(unsigned long long generation, int done, int total);
    void FinishRun(unsigned long long generation, int run, bool ok, bool cancelled, const QString& error,
                   const RunResult& result);
    void RescaleAxes();
    void StopRun();  // cancels a run in progress and waits for its thread

    std::thread worker_;
    std::atomic<bool> cancel_{false};
    unsigned long long generation_ = 0;  // numbers the runs started, to drop stale events
    bool frame_adjusted_ = false;
};

}  // namespace tdcyl
