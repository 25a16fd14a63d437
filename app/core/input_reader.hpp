#pragma once
// Reader of the parameter file "input.dat": one number per line, the rest of
// each line is a free comment, values missing at the end of the file read as 0.
// Line ends are LF, CR LF or a lone CR; a UTF-8 byte order mark is skipped.
#include <atomic>
#include <cstddef>
#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/run_state.hpp"

namespace tdcyl {

// A failure a user can fix in the input: message in plain English, naming the
// line, the text or value and the allowed range.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct InputFile {
    RunState params;  // parameters only; derived quantities left at 0
    // Line (1-based) each value came from, in file order (N, the 4N layer
    // values, a, rho, rho0, phi, M, MMAX); 0 for a value missing at end of file.
    std::vector<int> lines;
    // Values found after the last parameter (MMAX), which are not read, and
    // the line of the first of them (0 when there are none).
    int extra_values = 0;
    int extra_line = 0;
};

// Low-level token conversions (whole token must match).
// Integer: optional sign, decimal digits, or hex digits after $, x, X, 0x, 0X.
bool ParseIntegerToken(const std::string& token, int& value);
// Real: optional sign, digits with optional '.', optional E/e exponent;
// locale independent, converted to Extended with correct rounding.
bool ParseRealToken(const std::string& token, Extended& value);

// A parameter file is a few hundred bytes; anything larger than this is not
// one (an endless stream such as /dev/zero, a file picked by mistake).
inline constexpr std::size_t kMaxInputBytes = std::size_t{1} << 20;

// Reads all 4N+7 values and counts the values left over. Throws InputError for
// a token that is not a number of the expected kind (too long, out of range),
// for an N too large to read (see ValidateInput), or for more than
// kMaxInputBytes of input.
InputFile ReadInput(std::istream& in);
InputFile ReadInputText(const std::string& text);
// InputError if it cannot be opened, is a directory or is too large; checks
// `cancel` while it reads (a pipe may deliver slowly) and throws RunCancelled.
InputFile ReadInputFile(const std::string& path, const std::atomic<bool>* cancel = nullptr);

// Checks every limit the computation relies on, and that the source (at depth
// z0 = 1/(mua + musp) of layer 1) lies inside the top layer; throws InputError
// naming line, value and allowed range. Called before any computation.
// `series_table`: the limit of the table of zeros (20 per mm of radius, at
// most 5000) applies; the fast engine chooses its own series lengths and
// takes radii up to kFastLargestRadius.
inline constexpr double kFastLargestRadius = 1000;  // mm
void ValidateInput(const InputFile& input, bool series_table = true);

inline constexpr int kMaxLayers = 1000;

}  // namespace tdcyl
