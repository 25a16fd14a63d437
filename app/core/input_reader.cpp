#include "app/core/input_reader.hpp"

#include <locale.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tdcyl {
namespace {

constexpr std::size_t kIntegerToken = 32;
constexpr std::size_t kRealToken = 64;

bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Locale "C" for the conversion, whatever the user's locale says.
locale_t CLocale() {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

class Reader {
public:
    explicit Reader(std::istream& in) : in_(in) {}

    // Next token and the line it starts on; empty token at end of file.
    std::string Token(int& line) {
        int c;
        while ((c = in_.get()) != EOF && c <= 32 && c >= 0) {
            if (c == '\n') ++line_;
        }
        line = line_;
        std::string token;
        while (c != EOF && !(c >= 0 && c <= 32)) {
            token.push_back(static_cast<char>(c));
            c = in_.get();
        }
        // The rest of the line is a comment.
        while (c != EOF && c != '\n') c = in_.get();
        if (c == '\n') ++line_;
        if (token.empty()) line = 0;
        return token;
    }

private:
    std::istream& in_;
    int line_ = 1;
};

std::string ValueName(int index, int N) {
    if (index == 0) return "the number of layers N";
    if (index <= 4 * N) {
        static const char* const names[] = {"musp", "mua", "n", "l"};
        return std::string(names[(index - 1) % 4]) + " of layer " + std::to_string((index - 1) / 4 + 1);
    }
    static const char* const tail[] = {"the radius a", "rho", "rho0", "phi", "M", "MMAX"};
    return tail[index - 4 * N - 1];
}

}  // namespace

bool ParseIntegerToken(const std::string& token, int& value) {
    std::size_t i = 0;
    bool negative = false;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) negative = token[i++] == '-';
    int base = 10;
    if (i < token.size() && (token[i] == '$' || token[i] == 'x' || token[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < token.size() && token[i] == '0' && (token[i + 1] == 'x' || token[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= token.size()) return false;
    long long v = 0;
    for (; i < token.size(); ++i) {
        const char c = token[i];
        int d;
        if (base == 10) {
            if (!IsDigit(c)) return false;
            d = c - '0';
        } else {
            if (!IsHex(c)) return false;
            d = IsDigit(c) ? c - '0' : (std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        }
        v = v * base + d;
        if (v > 2147483648LL) return false;
    }
    if (negative) v = -v;
    if (v > 2147483647LL || v < -2147483648LL) return false;
    value = static_cast<int>(v);
    return true;
}

bool ParseRealToken(const std::string& token, Extended& value) {
    // Syntax: [sign] digits [. digits] [(E|e) [sign] digits], at least one mantissa digit.
    std::size_t i = 0;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < token.size() && IsDigit(token[i])) ++i, ++digits;
    if (i < token.size() && token[i] == '.') {
        ++i;
        while (i < token.size() && IsDigit(token[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
        ++i;
        if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
        std::size_t exp_digits = 0;
        while (i < token.size() && IsDigit(token[i])) ++i, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    if (i != token.size()) return false;
    // An overflowing value comes back as infinity; an underflowing one is
    // kept as the tiny or zero value it rounds to.
    char* end = nullptr;
    const Extended v = strtold_l(token.c_str(), &end, CLocale());
    if (end != token.c_str() + token.size() || !std::isfinite(v)) return false;
    value = v;
    return true;
}

InputFile ReadInput(std::istream& in) {
    InputFile f;
    RunState& s = f.params;
    Reader reader(in);
    int index = 0;
    auto fail = [&](int line, const std::string& token, const char* kind) {
        std::ostringstream m;
        m << "line " << line << ": \"" << token << "\" is not " << kind << " (" << ValueName(index, s.N) << ")";
        throw InputError(m.str());
    };
    auto integer = [&]() {
        int line;
        std::string token = reader.Token(line);
        f.lines.push_back(line);
        int v = 0;
        if (!token.empty() && (token.size() > kIntegerToken || !ParseIntegerToken(token, v)))
            fail(line, token, "a whole number");
        ++index;
        return v;
    };
    auto real = [&]() {
        int line;
        std::string token = reader.Token(line);
        f.lines.push_back(line);
        Extended v = 0;
        if (!token.empty() && (token.size() > kRealToken || !ParseRealToken(token, v))) fail(line, token, "a real number");
        ++index;
        return v;
    };

    s.N = integer();
    if (s.N < 1 || s.N > kMaxLayers) {
        std::ostringstream m;
        if (f.lines[0] == 0)
            m << "the input file is empty: it must start with the number of layers N";
        else
            m << "line " << f.lines[0] << ": N = " << s.N << " is outside the allowed range 1 ... " << kMaxLayers;
        throw InputError(m.str());
    }
    for (int i = 0; i < s.N; ++i) {
        s.musp.push_back(real());
        s.mua.push_back(real());
        s.n.push_back(real());
        s.l.push_back(real());
    }
    s.a = real();
    s.rho = real();
    s.rho0 = real();
    s.phi = real();
    s.M = integer();
    s.MMAX = integer();
    return f;
}

InputFile ReadInputFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError("cannot open input file \"" + path + "\": " + std::strerror(errno));
    return ReadInput(in);
}

void ValidateInput(const InputFile& input) {
    const RunState& s = input.params;
    const int N = s.N;
    auto where = [&](int index) {
        const int line = input.lines[static_cast<std::size_t>(index)];
        return line == 0 ? std::string("end of file: ") + ValueName(index, N) + " is missing, read as 0;"
                         : "line " + std::to_string(line) + ":";
    };
    auto fail = [&](int index, const std::string& name, Extended value, const std::string& range) {
        std::ostringstream m;
        m.precision(15);
        m << where(index) << " " << name << " = " << value << " is outside the allowed range " << range;
        throw InputError(m.str());
    };
    for (int i = 0; i < N; ++i) {
        const auto u = static_cast<std::size_t>(i);
        const std::string layer = " of layer " + std::to_string(i + 1);
        if (!(s.musp[u] > 0)) fail(1 + 4 * i, "musp" + layer, s.musp[u], "> 0 (1/mm)");
        if (!(s.mua[u] >= 0)) fail(2 + 4 * i, "mua" + layer, s.mua[u], ">= 0 (1/mm)");
        if (!(s.n[u] > 0)) fail(3 + 4 * i, "n" + layer, s.n[u], "> 0");
        if (!(s.l[u] > 0)) fail(4 + 4 * i, "l" + layer, s.l[u], "> 0 (mm)");
    }
    const int base = 4 * N;
    if (!(s.a > 0)) fail(base + 1, "a", s.a, "> 0 (mm)");
    if (!(s.rho >= 0 && s.rho <= s.a)) fail(base + 2, "rho", s.rho, "0 ... a (mm)");
    if (!(s.rho0 >= 0 && s.rho0 <= s.a)) fail(base + 3, "rho0", s.rho0, "0 ... a (mm)");
    if (!std::isfinite(s.phi)) fail(base + 4, "phi", s.phi, "of finite angles");
    if (s.M < 1 || s.M > 512) fail(base + 5, "M", s.M, "1 ... 512");
    if (s.MMAX < 0 || s.MMAX > 500) fail(base + 6, "MMAX", s.MMAX, "0 ... 500");
    if (N >= 2) {
        const Extended nz = std::nearbyint(20 * s.a);
        const int limit = s.rho0 > 0 ? 4985 : 5000;
        if (nz < 1 || nz > limit) {
            std::ostringstream m;
            m.precision(15);
            m << where(base + 1) << " a = " << s.a << " mm gives " << nz
              << " Bessel zeros per order (20 per mm); the allowed range is 1 ... " << limit << " (a <= "
              << limit / 20.0 << " mm" << (s.rho0 > 0 ? " with the source off the axis)" : ")");
            throw InputError(m.str());
        }
    } else if (s.mua[0] == 0) {
        throw InputError(where(2) +
                         " mua = 0 in a single layer makes the zero-frequency boundary correction singular; "
                         "use a small positive value such as 1e-6");
    }
}

}  // namespace tdcyl
