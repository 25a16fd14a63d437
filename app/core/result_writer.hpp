#pragma once
// The result file "reflectance.dat": per accepted sample the time in ps and
// the reflectance in mm^-2 ps^-1, 23-character real format, three blanks
// between, CR LF line ends.
#include <string>
#include <vector>

namespace tdcyl {

// " 1.00000000000000E+0001": sign position (blank or '-'), one digit, '.',
// 14 digits, 'E', exponent sign, 4 exponent digits; correctly rounded to 15
// significant digits.
std::string FormatReal(double x);

// FormatReal(t) + "   " + FormatReal(v) + "\r\n"
std::string FormatResultLine(double t, double v);

// Throws std::runtime_error with a clear message if a file cannot be created in
// the directory of `path` (checked before a run computes anything).
void CheckOutputWritable(const std::string& path);

// Writes all lines to a temporary file in the same directory, then renames it
// over `path`: a failed write leaves the previous file untouched.
void WriteResultFileAtomic(const std::string& path, const std::vector<double>& time_ps,
                           const std::vector<double>& reflectance);

}  // namespace tdcyl
