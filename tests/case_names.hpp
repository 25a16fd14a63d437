#pragma once
// Readable names of parameterised cases: numbers spelled with 'p' for the
// decimal point and 'm' for a minus sign ("Order5_x7p77", "z12p3_m0p6").
#include <cstdio>
#include <string>
#include <utility>

namespace tdcyl::testing_support {

// `prefix` followed by the number, to `digits` significant digits.
inline std::string CaseNumber(std::string prefix, long double v, int digits = 10) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.*Lg", digits, v);
    std::string out = std::move(prefix);
    for (const char* c = buf; *c; ++c) {
        if (*c == '-')
            out += 'm';
        else if (*c == '.')
            out += 'p';
        else if (*c != '+')
            out += *c;
    }
    return out;
}

// `prefix` followed by a token spelled with letters and digits only.
inline std::string CaseText(std::string prefix, const std::string& text) {
    std::string out = std::move(prefix);
    if (text.empty()) out += "Empty";
    for (char c : text) {
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
            out += c;
        else if (c == '.')
            out += 'p';
        else if (c == '-')
            out += 'm';
        else if (c == '+')
            out += "Plus";
        else if (c == ',')
            out += "Comma";
        else if (c == '$')
            out += "Dollar";
        else
            out += '_';
    }
    return out;
}

}  // namespace tdcyl::testing_support
