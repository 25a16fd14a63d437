#pragma once
// Bessel functions of the first kind for real argument, in double precision:
// rational approximations for |x| <= 8, Hankel asymptotics above; J_n by
// forward recurrence for |x| > n and Miller's backward recurrence otherwise.

namespace tdcyl {

double BesselJ0(double x);
double BesselJ1(double x);
double BesselJn(int n, double x);  // n >= 0

}  // namespace tdcyl
