#include "app/gui/run_controller.hpp"

#include <sys/stat.h>

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <utility>

namespace tdcyl {

// Shared by the controller and the worker thread of one run. The worker posts
// to `receiver` only while it is set; the controller clears it (under the
// mutex) before it lets go of a run that did not stop in time, so nothing is
// ever posted to a window that is gone.
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

// A parameter file is a few hundred bytes; larger files are left to the core.
constexpr qint64 kMaxParameterFileBytes = 1 << 20;

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

RunController::RunController(QObject* parent) : QObject(parent) {
    runner_ = [](const std::string& input, const std::string& output, const RunOptions& options) {
        return RunFiles(input, output, options);
    };
}

RunController::~RunController() { Stop(); }

bool RunController::Start(int run, const QString& input_path, const QString& output_path, bool fast_engine) {
    if (IsRunning()) return false;
    const unsigned long long generation = ++generation_;
    auto ticket = std::make_shared<RunTicket>();
    ticket->receiver = this;
    ticket_ = ticket;

    auto record = std::make_shared<RunRecord>();
    record->number = run + 1;
    record->input_path = QFileInfo(input_path).absoluteFilePath();
    record->engine = fast_engine ? QStringLiteral("fast") : QStringLiteral("faithful");

    RunOptions options;
    options.cancel = &ticket->cancel;
    options.engine = fast_engine ? Engine::fast : Engine::faithful;
    options.progress = [ticket, generation](const std::string& stage, int done, int total) {
        ticket->Post([ticket, generation, stage = QString::fromStdString(stage), done, total] {
            if (auto* self = qobject_cast<RunController*>(ticket->receiver))
                self->OnProgress(generation, stage, done, total);
        });
    };

    const std::string input = QFile::encodeName(input_path).toStdString();
    const std::string output = QFile::encodeName(output_path).toStdString();
    worker_ = std::thread([ticket, generation, input, output, options, record, runner = runner_] {
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
        ticket->Post([ticket, generation, ok, cancelled, error, record] {
            if (auto* self = qobject_cast<RunController*>(ticket->receiver))
                self->OnFinished(generation, ok, cancelled, error, record);
        });
        std::lock_guard<std::mutex> lock(ticket->mutex);
        ticket->ended = true;
        ticket->ended_cv.notify_all();
    });
    return true;
}

void RunController::OnProgress(unsigned long long generation, const QString& stage, int done, int total) {
    if (generation == generation_) emit Progress(stage, done, total);  // else a stopped run
}

void RunController::OnFinished(unsigned long long generation, bool ok, bool cancelled, const QString& error,
                               std::shared_ptr<RunRecord> record) {
    // A run stopped by Stop: its thread is gone already and its result is not shown.
    if (generation != generation_) return;
    // The thread posted this as its last action, so the join is immediate.
    worker_.join();
    ticket_.reset();
    emit Finished(ok, cancelled, error, std::move(record));
}

void RunController::Stop() {
    if (!worker_.joinable()) return;
    std::shared_ptr<RunTicket> ticket = std::move(ticket_);
    ticket->cancel.store(true);
    bool ended;
    {
        std::unique_lock<std::mutex> lock(ticket->mutex);
        ended = ticket->ended_cv.wait_for(lock, std::chrono::milliseconds(std::max(0, cancel_grace_ms_)),
                                          [&] { return ticket->ended; });
        // From here on the run posts nothing to this controller.
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
}

}  // namespace tdcyl
