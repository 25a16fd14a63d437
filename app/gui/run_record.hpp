#pragma once
// What the window keeps of one run, and the texts made from it: the legend
// entry, the parameter tooltip, the axis labels of the logarithmic axis and
// the CSV export. Plain functions, no widgets.
#include <QString>
#include <QStringList>

#include <vector>

#include "app/core/input_reader.hpp"
#include "app/core/run.hpp"

namespace tdcyl {

struct RunRecord {
    int number = 0;            // 1-based run number (RunIndex + 1)
    QString input_path;        // absolute path of the parameter file
    bool have_params = false;  // false when the file could not be read beforehand
    InputFile input;           // the parameters as read at the start of the run
    QString engine;            // "faithful" or "fast"
    RunResult result;

    int NegativeCount() const;
};

// One parameter: a key for files ("mua1"), a name for people ("μa₁"), the
// value as text (shortest form that reads back to the same double) and its
// unit ("mm", "mm⁻¹", "rad" or empty).
struct NamedValue {
    QString key, name, value, unit;
};
std::vector<NamedValue> NamedValues(const RunState& p);

// "2 layers, ρ = 20 mm, ρ0 = 0": the values that tell runs apart at a glance.
QString ShortDescription(const RunState& p);

// Legend text of every run in `runs`, in the same order: "Run 3 — 2 layers,
// ρ = 20 mm, ρ0 = 0", then the parameters that differ between the runs (at
// most four), the engine, negative samples and a warning sign.
QStringList LegendTexts(const std::vector<const RunRecord*>& runs);

// All parameters as read, one group per line, plus the warnings of the run.
QString ParameterText(const RunRecord& run);

// Tick label of log10 value y for the logarithmic axis: "10⁻⁸" for whole
// decades, "2×10⁻⁹" for values between them.
QString PowerOfTenLabel(double y);

// All curves as one CSV text: a comment line per run with its parameters,
// then "run,time_ps,reflectance_mm-2_ps-1" rows; numbers in the shortest form
// that reads back to the same double, with a decimal point in every locale.
QString CurvesCsv(const std::vector<const RunRecord*>& runs);

}  // namespace tdcyl
