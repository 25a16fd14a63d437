#include "app/core/messages.hpp"

#include <charconv>
#include <cstdio>

namespace tdcyl {

std::string Quote(std::string_view text, std::size_t limit) {
    std::string out = "\"";
    const std::size_t shown = text.size() > limit ? limit : text.size();
    for (std::size_t i = 0; i < shown; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    out += '"';
    if (shown < text.size()) out.insert(out.size() - 1, "...");
    return out;
}

std::string FormatValue(long double value) {
    // to_chars never consults the locale (no decimal comma, no grouping).
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
    return std::string(buf, r.ptr);
}

}  // namespace tdcyl
