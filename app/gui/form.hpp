#pragma once
// The window: a row of actions ("Start!", Clear, Save…, Reset zoom, engine),
// the chart (ChartView) that collects one curve per run, a legend below it,
// the warnings of the last run and the progress of the run. Runs execute on
// a worker thread (RunController); the window only shows what the run core
// returns. Saving is in export.hpp.
#include <QMainWindow>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

#include "app/gui/chart_view.hpp"
#include "app/gui/run_controller.hpp"
#include "app/gui/run_record.hpp"

class QCloseEvent;
class QComboBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QShowEvent;
class QVBoxLayout;

namespace tdcyl {

class TForm1 : public QMainWindow {
    Q_OBJECT

public:
    // The window's parts, for main and the tests to drive and inspect.
    struct Widgets {
        QPushButton* Button1 = nullptr;
        QPushButton* ClearButton = nullptr;
        QPushButton* SaveButton = nullptr;
        QPushButton* ResetZoomButton = nullptr;
        QComboBox* EngineBox = nullptr;
        ChartView* Chart1 = nullptr;
        QValueAxis* BottomAxis = nullptr;   // Chart1's
        QCategoryAxis* LeftAxis = nullptr;  // Chart1's: log10 values, labelled as powers of ten
        QLabel* ReadOut = nullptr;          // Chart1's: the point under the cursor
        QListWidget* Legend = nullptr;      // one entry per run on the chart
        QLabel* StatusLine = nullptr;       // warnings of the last run
        QProgressBar* ProgressBar1 = nullptr;
        QLineSeries *Series1 = nullptr, *Series2 = nullptr, *Series3 = nullptr, *Series4 = nullptr, *Series5 = nullptr,
                    *Series6 = nullptr, *Series7 = nullptr, *Series8 = nullptr, *Series9 = nullptr, *Series10 = nullptr,
                    *Series11 = nullptr, *Series12 = nullptr, *Series13 = nullptr, *Series14 = nullptr,
                    *Series15 = nullptr;
    };

    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    const Widgets& ui() const { return ui_; }

    // Parameter and result files of the next runs, relative to the working
    // directory at the time of the click ("input.dat", "reflectance.dat").
    const QString& InputPath() const { return input_path_; }
    void SetInputPath(const QString& path) { input_path_ = path; }
    void SetOutputPath(const QString& path) { output_path_ = path; }
    // Shows the message of a failed run; by default a modal critical box.
    void SetShowError(std::function<void(const QString&)> show) { show_error_ = std::move(show); }
    // Asks where "Save…" writes; by default a file dialog. An empty answer
    // cancels. The suffix (.png, .svg, .csv) chooses what is written.
    void SetChooseSavePath(std::function<QString()> choose) { choose_save_path_ = std::move(choose); }
    // The run itself (see RunController); by default the run core on files.
    void SetRunner(RunController::Runner runner) { controller_->SetRunner(std::move(runner)); }
    // How long closing the window waits for a run to notice its cancel.
    void SetCancelGraceMs(int ms) { controller_->SetCancelGraceMs(ms); }

    bool IsRunning() const { return controller_->IsRunning(); }
    bool AbandonedRun() const { return controller_->AbandonedRun(); }

    // The runs on the chart, oldest first.
    const std::vector<std::shared_ptr<const RunRecord>>& Runs() const { return runs_; }
    bool CurveVisible(int run) const;  // run: 0-based, the run's number minus one
    void SetCurveVisible(int run, bool visible);

    // See export.hpp.
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
    // The window's parts, top to bottom, in `layout` of `central`.
    void BuildActions(QWidget* central, QVBoxLayout* layout);
    void BuildChart(QWidget* central, QVBoxLayout* layout);
    void BuildLegend(QWidget* central, QVBoxLayout* layout);
    void BuildProgress(QWidget* central, QVBoxLayout* layout);
    void SetDialogs();
    void ShowProgress(const QString& stage, int done, int total);
    void FinishRun(bool ok, bool cancelled, const QString& error, std::shared_ptr<RunRecord> record);
    void AddCurve(std::shared_ptr<const RunRecord> record);
    void RefreshLegend(bool show_newest = false);
    void FitLegendHeight();
    std::vector<const RunRecord*> RunList() const;
    void StopRun();

    Widgets ui_;
    RunController* controller_ = nullptr;
    // Number of the current run minus one; selects the series of the run.
    int RunIndex = -1;
    QString input_path_ = QStringLiteral("input.dat");
    QString output_path_ = QStringLiteral("reflectance.dat");
    std::function<void(const QString&)> show_error_;
    std::function<QString()> choose_save_path_;
    bool frame_adjusted_ = false;
    // The engine chosen in the box for the next runs (false: faithful, true:
    // fast), named in each run's legend entry.
    bool engine_fast_ = false;
    std::vector<std::shared_ptr<const RunRecord>> runs_;
};

}  // namespace tdcyl
