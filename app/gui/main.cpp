// tdcyl: the window. Each click on "Start!" runs "input.dat" of the working
// directory, writes "reflectance.dat" and adds the curve to the chart.
//
// tdcyl --screenshot FILE [PARAMETER_FILE ...] runs once per parameter file
// (twice on "input.dat" when none is given), shows the read-out of the last
// curve's peak, saves a picture of the window as FILE and exits: for
// documentation pictures, also without a display (QT_QPA_PLATFORM=offscreen).
// It writes the picture and nothing else: the runs' result files go to a
// temporary folder, removed at the end.
#include <QApplication>
#include <QComboBox>
#include <QPixmap>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/gui/form.hpp"

namespace {

struct ScreenshotPlan {
    QString file;
    QStringList inputs;
    int next = 0;
    bool all_ok = true;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tdcyl"));
    // The application object adopts the environment's locale; numbers in the
    // result file keep their decimal point under every locale.
    std::setlocale(LC_NUMERIC, "C");

    const QStringList args = QApplication::arguments();
    std::unique_ptr<ScreenshotPlan> plan;
    tdcyl::Engine engine = tdcyl::Engine::faithful;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--engine") && i + 1 < args.size() &&
            (args[i + 1] == QLatin1String("fast") || args[i + 1] == QLatin1String("faithful"))) {
            engine = args[++i] == QLatin1String("fast") ? tdcyl::Engine::fast : tdcyl::Engine::faithful;
        } else if (args[i] == QLatin1String("--screenshot") && i + 1 < args.size() && !plan) {
            plan = std::make_unique<ScreenshotPlan>();
            plan->file = args[++i];
        } else if (plan && !args[i].startsWith(QLatin1Char('-'))) {
            plan->inputs << args[i];
        } else {
            std::fprintf(stderr, "usage: tdcyl [--engine faithful|fast] [--screenshot FILE [PARAMETER_FILE ...]]\n");
            return 2;
        }
    }

    tdcyl::TForm1 form;
    form.ui().EngineBox->setCurrentIndex(engine == tdcyl::Engine::fast ? 1 : 0);
    form.show();
    // A run that ignored its cancel when the window closed must not keep the
    // program alive: end without waiting for it.
    auto finish = [&form](int status) {
        if (form.AbandonedRun()) {
            std::fflush(nullptr);
            std::_Exit(status);
        }
        return status;
    };
    if (!plan) return finish(QApplication::exec());

    auto report = [](const QString& message) {
        std::fprintf(stderr, "tdcyl: %s\n", message.toLocal8Bit().constData());
    };
    const QTemporaryDir scratch;
    if (!scratch.isValid()) {
        report(QStringLiteral("cannot make a temporary folder: ") + scratch.errorString());
        return 1;
    }
    form.SetOutputPath(scratch.filePath(QStringLiteral("reflectance.dat")));
    if (plan->inputs.isEmpty()) plan->inputs << form.InputPath() << form.InputPath();
    form.SetShowError(report);
    auto start_next = [&form, &plan] {
        form.SetInputPath(plan->inputs[plan->next++]);
        form.Button1Click();
    };
    QObject::connect(&form, &tdcyl::TForm1::RunFinished, &form, [&](bool ok) {
        plan->all_ok = plan->all_ok && ok;
        if (plan->next < plan->inputs.size()) {
            start_next();
            return;
        }
        // Let the chart lay out its last curve before the picture is taken.
        QTimer::singleShot(200, &form, [&] {
            if (!form.Runs().empty()) {
                const std::vector<double>& y = form.Runs().back()->result.log10_abs;
                const auto peak = std::max_element(y.begin(), y.end()) - y.begin();
                form.ui().Chart1->ReadOutSample(form.Runs().back()->number - 1, static_cast<int>(peak));
            }
            const bool saved = form.grab().save(plan->file);
            if (!saved) std::fprintf(stderr, "tdcyl: cannot write %s\n", plan->file.toLocal8Bit().constData());
            QApplication::exit(saved && plan->all_ok ? 0 : 1);
        });
    });
    QTimer::singleShot(0, &form, start_next);
    return finish(QApplication::exec());
}
