#pragma once
// The result file "reflectance.dat": per accepted sample the time in ps and
// the reflectance in mm^-2 ps^-1, 23-character real format, three blanks
// between, CR LF line ends.
#include <string>
#include <vector>

namespace tdcyl {

// " 1.00000000000000E+0001": sign position (blank or '-'), one digit, '.',
// 14 digits, 'E', exponent sign, 4 exponent digits; correctly rounded to 15
// significant digits. Independent of the process's locale.
std::string FormatReal(double x);

// FormatReal(t) + "   " + FormatReal(v) + "\r\n"
std::string FormatResultLine(double t, double v);

// Everything about the result path that can be checked before a run computes
// anything: a name is given, it does not name a directory, it fits the file
// system's limits, its directory exists and accepts new files (named when it
// does not), an existing file is not read-only. Symbolic links are followed.
// Throws std::runtime_error with a message ready for the user.
void CheckOutputWritable(const std::string& path);

// Throws std::runtime_error when both paths name the same file (same device
// and inode, whatever the spelling or links): the result would destroy the
// parameters.
void CheckDistinctFiles(const std::string& input_path, const std::string& output_path);

// Writes all lines. A regular (or new) file, reached through any symbolic
// links, is replaced atomically: written to a temporary file beside it that
// takes over the old file's mode, then renamed over it, so a failed write
// leaves the previous file untouched; SIGINT, SIGTERM, SIGHUP and SIGQUIT are
// held back on this thread meanwhile, so the temporary file is never left
// behind. Anything else (a device, a FIFO, a terminal) is written straight
// through, never replaced.
void WriteResultFileAtomic(const std::string& path, const std::vector<double>& time_ps,
                           const std::vector<double>& reflectance);

}  // namespace tdcyl
