#pragma once
// One run at a time on a worker thread, so the window keeps repainting: start,
// progress, the end (result or error) back on the window's thread, and a stop
// that waits for a cancelled run a bounded time and then lets go of it.
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/core/run.hpp"
#include "app/gui/run_record.hpp"

namespace tdcyl {

struct RunTicket;

class RunController : public QObject {
    Q_OBJECT

public:
    // The run itself, on the worker thread; by default the run core on files.
    using Runner = std::function<RunResult(const std::string& input, const std::string& output, const RunOptions&)>;

    explicit RunController(QObject* parent = nullptr);
    ~RunController() override;  // stops a run in progress

    void SetRunner(Runner runner) { runner_ = std::move(runner); }
    // How long Stop waits for a run to notice its cancel before letting go of
    // it (a stage that cannot be interrupted, such as opening a FIFO nobody
    // writes to).
    void SetCancelGraceMs(int ms) { cancel_grace_ms_ = ms; }

    // Starts run `run` (0-based) of `input_path` into `output_path` on the
    // given engine; false while another run is in progress.
    bool Start(int run, const QString& input_path, const QString& output_path, bool fast_engine);
    // Cancels a run in progress; waits for it at most the grace time. What the
    // stopped run still sends is dropped.
    void Stop();

    bool IsRunning() const { return worker_.joinable(); }
    // True once a run that ignored its cancel has been left behind; the
    // program then ends without waiting for it.
    bool AbandonedRun() const { return abandoned_; }

signals:
    // On the window's thread, for the current run only.
    void Progress(const QString& stage, int done, int total);
    // The run ended: `record` holds its result when `ok`; `error` is the
    // message of a failed run (empty when it was cancelled).
    void Finished(bool ok, bool cancelled, const QString& error, std::shared_ptr<RunRecord> record);

private:
    void OnProgress(unsigned long long generation, const QString& stage, int done, int total);
    void OnFinished(unsigned long long generation, bool ok, bool cancelled, const QString& error,
                    std::shared_ptr<RunRecord> record);

    Runner runner_;
    int cancel_grace_ms_ = 2000;
    std::thread worker_;
    std::shared_ptr<RunTicket> ticket_;
    unsigned long long generation_ = 0;  // numbers the runs started, to drop stale events
    bool abandoned_ = false;
};

}  // namespace tdcyl
