#include "app/gui/run_record.hpp"

#include <QLocale>

#include <cmath>

namespace tdcyl {

namespace {

// Shortest decimal text that reads back to the same double; always with a
// decimal point, whatever the locale.
QString Number(double v) { return QString::number(v, 'g', QLocale::FloatingPointShortest); }
QString Number(Extended v) { return Number(static_cast<double>(v)); }

QString Superscript(int n) {
    static const QChar digits[] = {u'⁰', u'¹', u'²', u'³', u'⁴', u'⁵', u'⁶', u'⁷', u'⁸', u'⁹'};
    QString s;
    for (QChar c : QString::number(n)) s += c == u'-' ? QChar(u'⁻') : digits[c.digitValue()];
    return s;
}

QString Subscript(int n) {
    QString s;
    for (QChar c : QString::number(n)) s += QChar(static_cast<char16_t>(u'₀' + c.digitValue()));
    return s;
}

QString WithUnit(const NamedValue& v) { return v.unit.isEmpty() ? v.value : v.value + u' ' + v.unit; }

QString Display(const NamedValue& v) { return v.name + QStringLiteral(" = ") + WithUnit(v); }

}  // namespace

int RunRecord::NegativeCount() const {
    int count = 0;
    for (double r : result.reflectance) count += r < 0;
    return count;
}

std::vector<NamedValue> NamedValues(const RunState& p) {
    const QString per_mm = QStringLiteral("mm⁻¹"), mm = QStringLiteral("mm");
    std::vector<NamedValue> v;
    v.push_back({QStringLiteral("N"), QStringLiteral("N"), QString::number(p.N), QString()});
    for (std::size_t i = 0; i < p.musp.size(); ++i) {
        const int layer = static_cast<int>(i) + 1;
        const QString k = QString::number(layer), s = Subscript(layer);
        v.push_back({QStringLiteral("musp") + k, QStringLiteral("μs′") + s, Number(p.musp[i]), per_mm});
        v.push_back({QStringLiteral("mua") + k, QStringLiteral("μa") + s, Number(p.mua[i]), per_mm});
        v.push_back({QStringLiteral("n") + k, QStringLiteral("n") + s, Number(p.n[i]), QString()});
        v.push_back({QStringLiteral("l") + k, QStringLiteral("l") + s, Number(p.l[i]), mm});
    }
    v.push_back({QStringLiteral("a"), QStringLiteral("a"), Number(p.a), mm});
    v.push_back({QStringLiteral("rho"), QStringLiteral("ρ"), Number(p.rho), mm});
    v.push_back({QStringLiteral("rho0"), QStringLiteral("ρ0"), Number(p.rho0), mm});
    v.push_back({QStringLiteral("phi"), QStringLiteral("φ"), Number(p.phi), QStringLiteral("rad")});
    v.push_back({QStringLiteral("M"), QStringLiteral("M"), QString::number(p.M), QString()});
    v.push_back({QStringLiteral("MMAX"), QStringLiteral("MMAX"), QString::number(p.MMAX), QString()});
    return v;
}

QString ShortDescription(const RunState& p) {
    // A length of zero needs no unit.
    auto length = [](Extended x) { return x == 0 ? QStringLiteral("0") : Number(x) + QStringLiteral(" mm"); };
    return QStringLiteral("%1 %2, ρ = %3, ρ0 = %4")
        .arg(p.N)
        .arg(p.N == 1 ? QStringLiteral("layer") : QStringLiteral("layers"))
        .arg(length(p.rho), length(p.rho0));
}

QStringList LegendTexts(const std::vector<const RunRecord*>& runs) {
    // The parameters (beyond N, ρ and ρ0, which every entry shows) whose
    // values differ between runs that have them. A layer that only some runs
    // have is told apart by N already.
    std::vector<std::vector<NamedValue>> values(runs.size());
    QStringList keys;  // first-seen order
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (!runs[i]->have_params) continue;
        values[i] = NamedValues(runs[i]->input.params);
        for (const NamedValue& v : values[i])
            if (!keys.contains(v.key)) keys << v.key;
    }
    auto find = [](const std::vector<NamedValue>& list, const QString& key) -> const NamedValue* {
        for (const NamedValue& v : list)
            if (v.key == key) return &v;
        return nullptr;
    };
    QStringList differing;
    for (const QString& key : keys) {
        if (key == u"N" || key == u"rho" || key == u"rho0") continue;
        const NamedValue* first = nullptr;
        bool differs = false;
        for (std::size_t i = 0; i < runs.size() && !differs; ++i) {
            if (!runs[i]->have_params) continue;
            const NamedValue* v = find(values[i], key);
            if (!v) continue;
            if (first && v->value != first->value) differs = true;
            if (!first) first = v;
        }
        if (differs) differing << key;
    }
    constexpr int kMaxExtra = 4;

    QStringList texts;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const RunRecord& run = *runs[i];
        QString text = QStringLiteral("Run %1 — ").arg(run.number);
        if (run.have_params) {
            text += ShortDescription(run.input.params);
            int shown = 0;
            for (const QString& key : differing) {
                const NamedValue* v = find(values[i], key);
                if (!v) continue;
                if (shown == kMaxExtra) {
                    text += QStringLiteral(", …");
                    break;
                }
                text += QStringLiteral(", ") + Display(*v);
                ++shown;
            }
        } else {
            text += QStringLiteral("parameters not recorded");
        }
        text += QStringLiteral(" · ") + run.engine;
        if (const int negative = run.NegativeCount(); negative > 0)
            text += QStringLiteral(" · %1 negative sample%2 (○, plotted as |R|)")
                        .arg(negative)
                        .arg(negative == 1 ? QString() : QStringLiteral("s"));
        if (!run.result.warnings.empty()) text += QStringLiteral(" · ⚠");
        texts << text;
    }
    return texts;
}

QString ParameterText(const RunRecord& run) {
    QStringList lines;
    lines << QStringLiteral("Run %1, engine %2").arg(run.number).arg(run.engine);
    lines << QStringLiteral("parameter file: ") + run.input_path;
    if (run.have_params) {
        const std::vector<NamedValue> v = NamedValues(run.input.params);
        const int N = run.input.params.N;
        lines << Display(v[0]);
        for (int layer = 0; layer < N; ++layer) {
            QStringList group;
            for (int j = 1; j <= 4; ++j) group << Display(v[static_cast<std::size_t>(4 * layer + j)]);
            lines << QStringLiteral("layer %1: ").arg(layer + 1) + group.join(QStringLiteral(", "));
        }
        QStringList tail;
        for (std::size_t j = static_cast<std::size_t>(4 * N + 1); j < v.size(); ++j) tail << Display(v[j]);
        lines << tail.mid(0, 4).join(QStringLiteral(", ")) << tail.mid(4).join(QStringLiteral(", "));
    } else {
        lines << QStringLiteral("(the parameters could not be read before the run)");
    }
    lines << QStringLiteral("%1 samples, %2 of them negative").arg(run.result.time_ps.size()).arg(run.NegativeCount());
    for (const std::string& w : run.result.warnings) lines << QStringLiteral("⚠ ") + QString::fromStdString(w);
    return lines.join(u'\n');
}

QString PowerOfTenLabel(double y) {
    const double decade = std::floor(y + 1e-9);
    const int exponent = static_cast<int>(decade);
    const double mantissa = std::pow(10.0, y - decade);
    const QString power = QStringLiteral("10") + Superscript(exponent);
    if (std::fabs(mantissa - 1) < 1e-6) return power;
    return QString::number(mantissa, 'g', 2) + QStringLiteral("×") + power;
}

QString CurvesCsv(const std::vector<const RunRecord*>& runs) {
    QString out;
    out += QStringLiteral("# time-resolved diffuse reflectance; time_ps in ps, reflectance in mm^-2 ps^-1 (signed); "
                          "lengths in mm, coefficients in mm^-1, phi in rad\n");
    for (const RunRecord* run : runs) {
        QStringList fields;
        if (run->have_params) {
            for (const NamedValue& v : NamedValues(run->input.params)) fields << v.key + u'=' + v.value;
        } else {
            fields << QStringLiteral("parameters not recorded");
        }
        QString input = run->input_path;  // one comment line, whatever the file name
        input.replace(u'\n', u' ').replace(u'\r', u' ');
        out += QStringLiteral("# run %1: engine=%2; %3; input=%4\n")
                   .arg(run->number)
                   .arg(run->engine, fields.join(QStringLiteral("; ")), input);
        for (const std::string& w : run->result.warnings) {
            QString text = QString::fromStdString(w);
            text.replace(u'\n', u' ').replace(u'\r', u' ');
            out += QStringLiteral("# run %1 warning: %2\n").arg(run->number).arg(text);
        }
    }
    out += QStringLiteral("run,time_ps,reflectance_mm-2_ps-1\n");
    for (const RunRecord* run : runs) {
        const RunResult& r = run->result;
        for (std::size_t i = 0; i < r.time_ps.size() && i < r.reflectance.size(); ++i)
            out += QString::number(run->number) + u',' + Number(r.time_ps[i]) + u',' + Number(r.reflectance[i]) + u'\n';
    }
    return out;
}

}  // namespace tdcyl
