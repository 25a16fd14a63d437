#pragma once
// Fonts, colours and pen of the window, shared by the chart, its legend and
// the saved pictures.
#include <QColor>
#include <QFont>
#include <QStringList>

#include <array>

namespace tdcyl::style {

// Fonts by family list, so that a machine without the first family still
// gets a font of the same kind.
inline QFont FontOf(const QStringList& families, int pixels, bool bold = false) {
    QFont f;
    f.setFamilies(families);
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

inline QStringList MonospaceFamilies() {
    return {QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"), QStringLiteral("DejaVu Sans Mono"),
            QStringLiteral("Monospace")};
}

inline QStringList SansFamilies() {
    return {QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"),
            QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")};
}

// Pale colours (yellow, lime, aqua, silver) get a wider pen to stay visible.
inline constexpr qreal kPenWidth = 2;

// The colour of the series of run r (0-based): red, green, fuchsia, blue,
// yellow, black, gray, teal, navy, maroon, lime, olive, purple, silver, aqua
// in turn. The sixth was white, which is invisible on the white plot area.
inline QColor SeriesColour(int run) {
    struct Rgb {
        int r, g, b;
    };
    static constexpr std::array<Rgb, 15> kColours{{{255, 0, 0},
                                                   {0, 128, 0},
                                                   {255, 0, 255},
                                                   {0, 0, 255},
                                                   {255, 255, 0},
                                                   {0, 0, 0},
                                                   {128, 128, 128},
                                                   {0, 128, 128},
                                                   {0, 0, 128},
                                                   {128, 0, 0},
                                                   {0, 255, 0},
                                                   {128, 128, 0},
                                                   {128, 0, 128},
                                                   {192, 192, 192},
                                                   {0, 255, 255}}};
    const Rgb& c = kColours[static_cast<std::size_t>(run % 15)];
    return QColor(c.r, c.g, c.b);
}

}  // namespace tdcyl::style
