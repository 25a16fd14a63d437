#pragma once
// The faithful engine's Bessel kernels (numerics/specified/): the functions of
// the first kind for real argument, in double precision, exactly as that
// engine's numbers are defined -- changing a rounding here changes its results
// bit for bit. The accurate kernels of the fast engine live apart, in
// numerics/accurate/.
//
// Method: rational approximations for |x| <= 8, Hankel asymptotics above; J_n
// by forward recurrence for |x| > n and Miller's backward recurrence otherwise.
//
// Accuracy is ABSOLUTE, not relative (small values near zeros and below the
// turning point carry no correct digits of their own). Checked against
// 40-digit values for |x| up to 1.6e4 and n up to 500:
//   J0, J1 and J_n for |x| > n: a few 1e-15 (1e-14 allowed);
//   J_n for |x| <= n (Miller, start index 2 floor((n + floor(sqrt(40 n)))/2)):
//   limited by the start index, worst near x = n -- up to 2e-7 for n <= 3,
//   1.5e-9 for n <= 9, 1e-11 for n <= 19, 5e-14 above.

namespace tdcyl {

double BesselJ0(double x);
double BesselJ1(double x);
double BesselJn(int n, double x);  // n >= 0

}  // namespace tdcyl
