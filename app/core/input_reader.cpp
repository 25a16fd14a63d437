#include "app/core/input_reader.hpp"

#include <fcntl.h>
#include <locale.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "app/core/messages.hpp"
#include "app/core/run.hpp"
#include "app/core/run_warnings.hpp"
#include "model/diagnostics.hpp"

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

// Tokens of the parameter text. A line ends at LF, CR LF or a lone CR (files
// of old Mac editors); a UTF-8 byte order mark at the start is skipped.
class Reader {
public:
    explicit Reader(const std::string& text) : text_(text) {
        if (text_.compare(0, 3, "\xEF\xBB\xBF") == 0) pos_ = 3;
    }

    // Next token and the line it starts on; empty token (line 0) at the end.
    // Only the first kKeep bytes of a token are kept; `length` is its size.
    std::string Token(int& line, std::size_t& length) {
        while (pos_ < text_.size() && Blank(text_[pos_])) SkipBlank();
        line = line_;
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !Blank(text_[pos_])) ++pos_;
        length = pos_ - start;
        std::string token = text_.substr(start, std::min(length, kKeep));
        // The rest of the line is a comment.
        while (pos_ < text_.size() && text_[pos_] != '\n' && text_[pos_] != '\r') ++pos_;
        if (pos_ < text_.size()) SkipBlank();
        if (length == 0) line = 0;
        return token;
    }

    static constexpr std::size_t kKeep = 80;

private:
    static bool Blank(char c) { return static_cast<unsigned char>(c) <= 32; }
    // Passes one blank character, counting line ends.
    void SkipBlank() {
        const char c = text_[pos_++];
        if (c == '\n' || (c == '\r' && (pos_ >= text_.size() || text_[pos_] != '\n'))) ++line_;
    }

    const std::string& text_;
    std::size_t pos_ = 0;
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

// How many values the text holds (tokens to the end, comments excluded).
int CountValues(const std::string& text) {
    Reader reader(text);
    int count = 0, line;
    std::size_t length;
    for (;;) {
        reader.Token(line, length);
        if (length == 0) return count;
        ++count;
    }
}

// A file with a line missing or repeated reads every later value into the
// slot of its neighbour, so the first value that fails a check is usually
// not the culprit: say so when the number of values does not match N.
std::string ShiftHint(int values, int N) {
    const int needed = 4 * N + 7;
    if (values == needed) return "";
    const int off = std::abs(values - needed);
    const bool few = values < needed;
    const std::string count = off == 1 ? "one" : std::to_string(off);
    return "; the file has " + count + (off == 1 ? " value" : " values") + (few ? " too few (" : " too many (") +
           std::to_string(values) + " where N = " + std::to_string(N) + " needs " + std::to_string(needed) +
           "): is a line " + (few ? "missing" : "extra") + ", or N wrong? Each later value then sits " + count +
           (off == 1 ? " line" : " lines") + (few ? " too high" : " too low");
}

}  // namespace

namespace {

enum class Parse { ok, syntax, range };

Parse ParseInteger(const std::string& token, int& value) {
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
    if (i >= token.size()) return Parse::syntax;
    long long v = 0;
    bool overflow = false;
    for (; i < token.size(); ++i) {
        const char c = token[i];
        int d;
        if (base == 10) {
            if (!IsDigit(c)) return Parse::syntax;
            d = c - '0';
        } else {
            if (!IsHex(c)) return Parse::syntax;
            d = IsDigit(c) ? c - '0' : (std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        }
        if (!overflow) v = v * base + d;
        if (v > 2147483648LL) overflow = true;  // keep checking the syntax
    }
    if (overflow) return Parse::range;
    if (negative) v = -v;
    if (v > 2147483647LL || v < -2147483648LL) return Parse::range;
    value = static_cast<int>(v);
    return Parse::ok;
}

Parse ParseReal(const std::string& token, Extended& value) {
    // Syntax: [sign] digits [. digits] [(E|e) [sign] digits], at least one mantissa digit.
    std::size_t i = 0;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < token.size() && IsDigit(token[i])) ++i, ++digits;
    if (i < token.size() && token[i] == '.') {
        ++i;
        while (i < token.size() && IsDigit(token[i])) ++i, ++digits;
    }
    if (digits == 0) return Parse::syntax;
    if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
        ++i;
        if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
        std::size_t exp_digits = 0;
        while (i < token.size() && IsDigit(token[i])) ++i, ++exp_digits;
        if (exp_digits == 0) return Parse::syntax;
    }
    if (i != token.size()) return Parse::syntax;
    // An overflowing value comes back as infinity; an underflowing one is
    // kept as the tiny or zero value it rounds to.
    char* end = nullptr;
    const Extended v = strtold_l(token.c_str(), &end, CLocale());
    if (end != token.c_str() + token.size()) return Parse::syntax;
    if (!std::isfinite(v)) return Parse::range;
    value = v;
    return Parse::ok;
}

// The values of a parameter file one after the other, each named in the
// messages about it; the line of each value goes to f.lines.
class ValueReader {
public:
    ValueReader(const std::string& text, InputFile& f) : text_(text), f_(f), reader_(text) {}

    int Integer() {
        int line, v = 0;
        std::string token;
        if (Next(token, line, kIntegerToken, "a whole number")) {
            switch (ParseInteger(token, v)) {
                case Parse::ok: break;
                case Parse::syntax: {
                    // A real number here is likely the neighbour of a missing or extra line.
                    Extended real;
                    Fail(line, Quote(token) + " is not a whole number", ParseReal(token, real) == Parse::ok);
                    break;
                }
                case Parse::range:
                    Fail(line, Quote(token) + " is out of range for a whole number (-2147483648 ... 2147483647)");
                    break;
            }
        }
        ++index_;
        return v;
    }

    Extended Real() {
        int line;
        Extended v = 0;
        std::string token;
        if (Next(token, line, kRealToken, "a real number")) {
            switch (ParseReal(token, v)) {
                case Parse::ok: break;
                case Parse::syntax: Fail(line, Quote(token) + " is not a real number"); break;
                case Parse::range:
                    Fail(line, Quote(token) + " is out of range for a real number (magnitude below 1.1e4932)");
                    break;
            }
        }
        ++index_;
        return v;
    }

    // Values beyond MMAX are not read; usually N on line 1 does not match
    // the number of layers written.
    void CountExtra() {
        for (;;) {
            int line;
            std::size_t length;
            reader_.Token(line, length);
            if (length == 0) break;
            if (f_.extra_values++ == 0) f_.extra_line = line;
        }
    }

private:
    [[noreturn]] void Fail(int line, const std::string& message, bool shifted = false) const {
        throw InputError("line " + std::to_string(line) + ": " + message + " (" + ValueName(index_, f_.params.N) +
                         ")" + (shifted && index_ > 0 ? ShiftHint(CountValues(text_), f_.params.N) : ""));
    }

    // Reads one token; true when there is one to convert.
    bool Next(std::string& token, int& line, std::size_t max_length, const char* kind) {
        std::size_t length;
        token = reader_.Token(line, length);
        f_.lines.push_back(line);
        if (length > max_length)
            Fail(line, Quote(token) + " is too long for " + kind + " (" + std::to_string(length) +
                           " characters, at most " + std::to_string(max_length) + ")");
        return length > 0;
    }

    const std::string& text_;
    InputFile& f_;
    Reader reader_;
    int index_ = 0;
};

}  // namespace

bool ParseIntegerToken(const std::string& token, int& value) { return ParseInteger(token, value) == Parse::ok; }

bool ParseRealToken(const std::string& token, Extended& value) { return ParseReal(token, value) == Parse::ok; }

InputFile ReadInputText(const std::string& text) {
    if (text.size() > kMaxInputBytes)
        throw InputError("the input is larger than " + std::to_string(kMaxInputBytes >> 20) +
                         " MiB; a parameter file holds a few hundred bytes");
    InputFile f;
    RunState& s = f.params;
    ValueReader values(text, f);
    s.N = values.Integer();
    if (s.N < 1 || s.N > kMaxLayers) {
        if (f.lines[0] == 0) throw InputError("the input file is empty: it must start with the number of layers N");
        throw InputError("line " + std::to_string(f.lines[0]) + ": N = " + std::to_string(s.N) +
                         " is outside the allowed range 1 ... " + std::to_string(kMaxLayers));
    }
    for (int i = 0; i < s.N; ++i) {
        s.musp.push_back(values.Real());
        s.mua.push_back(values.Real());
        s.n.push_back(values.Real());
        s.l.push_back(values.Real());
    }
    s.a = values.Real();
    s.rho = values.Real();
    s.rho0 = values.Real();
    s.phi = values.Real();
    s.M = values.Integer();
    s.MMAX = values.Integer();
    values.CountExtra();
    return f;
}

InputFile ReadInput(std::istream& in) {
    std::string text(kMaxInputBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return ReadInputText(text);
}

namespace {

// The folder a relative path was looked for in: the working folder, which a
// user who started the program from a launcher or another shell may not know.
std::string LookedIn(const std::string& path) {
    char cwd[4096];
    if (path.empty() || path.front() == '/' || ::getcwd(cwd, sizeof cwd) == nullptr) return "";
    return " in the folder " + QuotePath(cwd);
}

}  // namespace

InputFile ReadInputFile(const std::string& path, const std::atomic<bool>* cancel) {
    // Non-blocking, so that a FIFO without a writer cannot hold the run (or a
    // cancel) forever; poll in short steps instead.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        throw InputError("cannot open input file " + QuotePath(path) + LookedIn(path) + ": " + std::strerror(error));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
        throw InputError("the input file " + QuotePath(path) + " is a directory");
    std::string text;
    char buf[65536];
    for (;;) {
        if (cancel && cancel->load()) throw RunCancelled();
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd p{fd, POLLIN, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            throw InputError("cannot read input file " + QuotePath(path) + ": " + std::strerror(errno));
        }
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > kMaxInputBytes)
            throw InputError("the input file " + QuotePath(path) + " is larger than " +
                             std::to_string(kMaxInputBytes >> 20) +
                             " MiB; a parameter file holds a few hundred bytes (an endless stream?)");
    }
    return ReadInputText(text);
}

namespace {

void CheckValues(const InputFile& input, bool series_table) {
    const RunState& s = input.params;
    const int N = s.N;
    auto where = [&](int index) {
        const int line = input.lines[static_cast<std::size_t>(index)];
        return line == 0 ? std::string("end of file: ") + ValueName(index, N) + " is missing, read as 0;"
                         : "line " + std::to_string(line) + ":";
    };
    auto fail = [&](int index, const std::string& name, Extended value, const std::string& range) {
        throw InputError(where(index) + " " + name + " = " + FormatValue(value) + " is outside the allowed range " +
                         range);
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
    if (!series_table && !(s.a <= kFastLargestRadius))
        fail(base + 1, "a", s.a, "0 ... " + FormatValue(kFastLargestRadius) + " mm of the fast engine");
    if (N >= 2 && series_table) {
        const Extended nz = std::nearbyint(20 * s.a);
        const int limit = s.rho0 > 0 ? 4985 : 5000;
        if (nz < 1 || nz > limit)
            throw InputError(where(base + 1) + " a = " + FormatValue(s.a) + " mm gives " + FormatValue(nz) +
                             " Bessel zeros per order (20 per mm); the allowed range is 1 ... " +
                             std::to_string(limit) + " (a <= " + FormatValue(limit / 20.0L) + " mm" +
                             (s.rho0 > 0 ? " with the source off the axis)" : ")"));
    } else if (N == 1 && s.mua[0] == 0) {
        // A tiny mua is no way out: the tail then decays too slowly and wraps
        // around the transform period onto the early times.
        throw InputError(where(2) +
                         " mua = 0 in a single layer makes the zero-frequency boundary correction singular; use "
                         "mua >= " +
                         FormatValue(SmallestSafeMua(s.n[0])) +
                         " /mm (smaller values let the slowly decaying tail wrap around onto early times)");
    }
    // The diffusion model puts an isotropic source at depth z0 below the top
    // face; inside a thinner top layer the model no longer describes the
    // measurement (the curve turns negative).
    const Extended z0 = SourceDepth(s.musp[0], s.mua[0]);
    if (!(s.l[0] > z0))
        throw InputError(where(4) + " l of layer 1 = " + FormatValue(s.l[0]) +
                         " mm must exceed the source depth z0 = 1/(mua + musp) = " + FormatValue(z0) +
                         " mm of layer 1, where the model places the light source");
}

}  // namespace

void ValidateInput(const InputFile& input, bool series_table) {
    try {
        CheckValues(input, series_table);
    } catch (const InputError& e) {
        // Values read as 0 past the end of the file, or left over after MMAX.
        const auto missing = std::count(input.lines.begin(), input.lines.end(), 0);
        if (missing == 0 && input.extra_values == 0) throw;
        const auto values =
            static_cast<int>(input.lines.size() - static_cast<std::size_t>(missing)) + input.extra_values;
        throw InputError(e.what() + ShiftHint(values, input.params.N));
    }
}

}  // namespace tdcyl
