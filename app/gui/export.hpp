#pragma once
// What "Save…" writes: the chart with the legend of its visible curves as a
// PNG or SVG picture, or all curves as CSV.
#include <QSize>
#include <QString>

#include <vector>

#include "app/gui/run_record.hpp"

namespace tdcyl {

class ChartView;

// The chart over the full width, one legend line per visible curve below it,
// at `size` pixels (empty: the chart's size on screen plus its legend). The
// suffix .svg writes SVG (with `title`), anything else PNG. False when the
// file cannot be written.
bool SavePicture(ChartView& chart, const std::vector<const RunRecord*>& runs, const QString& path, QSize size,
                 const QString& title);

// All curves of `runs` as CSV (see CurvesCsv); false when the file cannot be written.
bool SaveCsv(const std::vector<const RunRecord*>& runs, const QString& path);

}  // namespace tdcyl
