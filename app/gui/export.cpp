#include "app/gui/export.hpp"

#include <QBuffer>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPen>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSvgGenerator>

#include <algorithm>

#include "app/gui/chart_view.hpp"
#include "app/gui/style.hpp"

namespace tdcyl {
namespace {

QFont LegendFont() { return style::FontOf(style::SansFamilies(), 12); }

std::vector<const RunRecord*> Visible(const ChartView& chart, const std::vector<const RunRecord*>& runs) {
    std::vector<const RunRecord*> shown;
    for (const RunRecord* r : runs)
        if (chart.CurveVisible(r->number - 1)) shown.push_back(r);
    return shown;
}

int LegendHeight(std::size_t shown) {
    return shown == 0 ? 0 : static_cast<int>(shown) * (QFontMetrics(LegendFont()).height() + 4) + 8;
}

void Paint(QPainter& painter, const QSize& size, ChartView& chart, const std::vector<const RunRecord*>& runs) {
    const std::vector<const RunRecord*> shown = Visible(chart, runs);
    const QStringList texts = LegendTexts(runs);  // named against all runs, as on screen
    const QFont font = LegendFont();
    const int row = QFontMetrics(font).height() + 4;
    const QSize chart_size(size.width(), std::max(1, size.height() - LegendHeight(shown.size())));

    painter.fillRect(QRect(QPoint(0, 0), size), Qt::white);
    chart.Render(painter, chart_size);

    painter.setFont(font);
    int y = chart_size.height() + 4;
    for (const RunRecord* rec : shown) {
        const auto index = static_cast<qsizetype>(std::find(runs.begin(), runs.end(), rec) - runs.begin());
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(style::SeriesColour(rec->number - 1), style::kPenWidth));
        const int mid = y + row / 2;
        painter.drawLine(12, mid, 40, mid);
        if (rec->NegativeCount() > 0) {
            painter.setBrush(Qt::white);
            painter.drawEllipse(QPointF(26, mid), 3.5, 3.5);
        }
        painter.setPen(Qt::black);
        painter.drawText(QRect(48, y, size.width() - 52, row), Qt::AlignVCenter | Qt::AlignLeft, texts[index]);
        y += row;
    }
}

}  // namespace

bool SavePicture(ChartView& chart, const std::vector<const RunRecord*>& runs, const QString& path, QSize size,
                 const QString& title) {
    if (size.isEmpty()) size = chart.size() + QSize(0, LegendHeight(Visible(chart, runs).size()));
    if (path.endsWith(QStringLiteral(".svg"), Qt::CaseInsensitive)) {
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        QSvgGenerator svg;
        svg.setOutputDevice(&buffer);
        svg.setSize(size);
        svg.setViewBox(QRect(QPoint(0, 0), size));
        svg.setTitle(title);
        svg.setDescription(QStringLiteral("Time-resolved diffuse reflectance"));
        QPainter painter;
        if (!painter.begin(&svg)) return false;
        Paint(painter, size, chart, runs);
        if (!painter.end()) return false;
        // The generator gives the size in millimetres at its own resolution,
        // which viewers turn back into pixels at theirs; state it in pixels.
        QByteArray bytes = buffer.data();
        static const QRegularExpression mm(QStringLiteral("width=\"[0-9.]+mm\" height=\"[0-9.]+mm\""));
        QString text = QString::fromUtf8(bytes);
        text.replace(mm, QStringLiteral("width=\"%1\" height=\"%2\"").arg(size.width()).arg(size.height()));
        QSaveFile file(path);
        bytes = text.toUtf8();
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() &&
               file.commit();
    }
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        Paint(painter, size, chart, runs);
    }
    return image.save(path, "PNG");
}

bool SaveCsv(const std::vector<const RunRecord*>& runs, const QString& path) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    const QByteArray bytes = CurvesCsv(runs).toUtf8();
    return file.write(bytes) == bytes.size() && file.commit();
}

}  // namespace tdcyl
