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

}  // namespace tdcyl::testing_support
