#pragma once
// Reader of the parameter file "input.dat": one number per line, the rest of
// each line is a free comment, values missing at the end of the file read as 0.
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
};

// Low-level token conversions (whole token must match).
// Integer: optional sign, decimal digits, or hex digits after $, x, X, 0x, 0X.
bool ParseIntegerToken(const std::string& token, int& value);
// Real: optional sign, digits with optional '.', optional E/e exponent;
// locale independent, converted to Extended with correct rounding.
bool ParseRealToken(const std::string& token, Extended& value);

// Reads all 4N+7 values. Throws InputError for a token that is not a number of
// the expected kind, or for an N too large to read (see ValidateInput).
InputFile ReadInput(std::istream& in);
InputFile ReadInputFile(const std::string& path);  // InputError if it cannot be opened

// Checks every limit the computation relies on; throws InputError naming line,
// value and allowed range. Called before any computation.
void ValidateInput(const InputFile& input);

inline constexpr int kMaxLayers = 1000;

}  // namespace tdcyl
