// Bessel functions J0, J1 and J_n of real argument.
//
// J0 and J1: degree-8 rational approximations in y = x^2 for |x| <= 8; above,
// the Hankel form sqrt(2/(pi x)) (P cos(x - phase) - Q sin(x - phase)) with
// rational approximations of P and Q in z = 64/x^2.
//
// Arithmetic is plain double: the coefficients (given to 20 digits) are held
// as doubles and the Horner accumulators are doubles. Only the constants
// pi/4, 3pi/4 and 2/pi enter at Extended precision.
#include "numerics/specified/bessel.hpp"

#include <cmath>
#include <cstddef>

#include "numerics/complex.hpp"  // Sign
#include "numerics/extended.hpp"

namespace tdcyl {
namespace {

constexpr Extended kPiOver4 = kPi / 4.0L;
constexpr Extended kThreePiOver4 = 3.0L * kPi / 4.0L;
constexpr Extended kTwoOverPi = 2.0L / kPi;

// c[0]*t^m + c[1]*t^(m-1) + ... + c[m], Horner order, double accumulator.
template <std::size_t N>
double Horner(const double (&c)[N], double t) {
    double s = c[0];
    for (std::size_t k = 1; k < N; ++k) s = c[k] + t * s;
    return s;
}

// J0 on |x| <= 8: P(x^2) / Q(x^2).
constexpr double kJ0P[9] = {
    2.6857868569800149999e4,  -4.0504123718331327069e7,  2.5071582855368819457e10,
    -8.0852220348537938709e12, 1.4343549391403441116e15,  -1.3676203530881713870e17,
    6.3820593410723565630e18,  -1.1791576291076105360e20, 4.9337872517941335613e20};
constexpr double kJ0Q[9] = {
    1.0,                      1.3630636523289706044e3,  1.1146360984629853782e6,
    6.6999876729822396720e8,  3.1230431149412131727e11, 1.1277567396797985072e14,
    3.0246356167094626982e16, 5.4289183840922851595e18, 4.9337872517941335619e20};

// J1 on |x| <= 8: x P(x^2) / Q(x^2).
constexpr double kJ1P[9] = {
    2.7011227108923235392e3,   -4.6957535306429958600e6,  3.4132341823017005390e9,
    -1.3229834803321264532e12, 2.9087952638347754095e14,  -3.5888175699101060506e16,
    2.3164335806340022978e18,  -6.6721065689249162984e19, 5.8119935400160614397e20};
constexpr double kJ1Q[9] = {
    1.0,                      1.6069315734814878019e3,  1.5017935949985855058e6,
    1.0138635143586739901e9,  5.2437102621676497155e11, 2.0816612213076073512e14,
    6.0920613989175217465e16, 1.1857707121903209998e19, 1.1623987080032122879e21};

// Hankel amplitude/phase functions for order 0: P0 = A/B, Q0 = 8 C / D / x.
constexpr double kP0A[6] = {2.4852719289574040114e3, 1.5398265326239114708e5,
                              2.0161352830499836427e6, 8.4130414565504392076e6,
                              1.2332384768176381452e7, 5.3934850838694383251e6};
constexpr double kP0B[7] = {1.0,
                              2.6157007369208396850e3,
                              1.5600172769400309407e5,
                              2.0250668015701340141e6,
                              8.4264490506297973307e6,
                              1.2338310227863249607e7,
                              5.3934850838694383251e6};
constexpr double kQ0C[6] = {-4.8871993958412615314,   -2.2626306419337041138e2,
                              -2.3659561707791081928e3, -8.2390663134856065684e3,
                              -1.0381416987484640938e4, -3.9846173575952224641e3};
constexpr double kQ0D[7] = {1.0,
                              4.0877146739834992237e2,
                              1.5704891915153955195e4,
                              1.5602132066792916524e5,
                              5.3329136342168971674e5,
                              6.6674542393198269855e5,
                              2.5501551088609423827e5};

// Same for order 1.
constexpr double kP1A[6] = {-1.6116166443246102062e3, -1.0982405543459346727e5,
                              -1.5235293511811373832e6, -6.6033732483649391093e6,
                              -9.9422465050776411981e6, -4.4357578167941278566e6};
constexpr double kP1B[7] = {1.0,
                              -1.4550094401904961824e3,
                              -1.0726385991103820119e5,
                              -1.5118095066341608817e6,
                              -6.5853394797230870731e6,
                              -9.9341243899345856589e6,
                              -4.4357578167941278566e6};
constexpr double kQ1C[6] = {3.5265133846636032899e1, 1.7063754290207680019e3,
                              1.8494262873223866796e4, 6.6178836581270835168e4,
                              8.5145160675335701960e4, 3.3220913409857223517e4};
constexpr double kQ1D[7] = {1.0,
                              8.6383677696049909694e2,
                              3.7890229745772202637e4,
                              4.0029443582266975116e5,
                              1.4194606696037208927e6,
                              1.8194580422439972990e6,
                              7.0871281941028743563e5};

// Hankel amplitudes for x > 8 from the tables of one order: P = A/B and
// Q = 8 C / D / x in z = 64/x^2. P tends to 1 and Q to 0 as x grows
// (A(0)/B(0) = 1).
struct HankelTables {
    const double (&A)[6];
    const double (&B)[7];
    const double (&C)[6];
    const double (&D)[7];
};
constexpr HankelTables kHankel0{kP0A, kP0B, kQ0C, kQ0D};
constexpr HankelTables kHankel1{kP1A, kP1B, kQ1C, kQ1D};

void HankelAmplitudes(const HankelTables& t, double x, double& p, double& q) {
    const double z = 64.0 / (x * x);
    p = Horner(t.A, z) / Horner(t.B, z);
    q = 8.0 * Horner(t.C, z) / Horner(t.D, z) / x;
}

// sqrt(2/(pi x)) (p cos(theta) - q sin(theta)), in Extended, rounded to double.
double Hankel(double x, double theta, double p, double q) {
    const Extended t = static_cast<Extended>(theta);
    return static_cast<double>(std::sqrt(kTwoOverPi / static_cast<Extended>(x)) *
                               (static_cast<Extended>(p) * std::cos(t) -
                                static_cast<Extended>(q) * std::sin(t)));
}

}  // namespace

double BesselJ0(double x) {
    if (x < 0) x = -x;  // even function
    if (x > 8.0) {
        double pzero = 0;
        double qzero = 0;
        HankelAmplitudes(kHankel0, x, pzero, qzero);
        const double theta = static_cast<double>(static_cast<Extended>(x) - kPiOver4);
        return Hankel(x, theta, pzero, qzero);
    }
    const double y = x * x;
    return Horner(kJ0P, y) / Horner(kJ0Q, y);
}

double BesselJ1(double x) {
    const int s = Sign(x);
    if (x < 0) x = -x;  // odd function: sign restored below
    if (x > 8.0) {
        double pzero = 0;
        double qzero = 0;
        HankelAmplitudes(kHankel1, x, pzero, qzero);
        const double theta = static_cast<double>(static_cast<Extended>(x) - kThreePiOver4);
        const double r = Hankel(x, theta, pzero, qzero);
        return s < 0 ? -r : r;
    }
    const double y = x * x;
    return s * x * Horner(kJ1P, y) / Horner(kJ1Q, y);
}

double BesselJn(int n, double x) {
    if (n == 0) return BesselJ0(x);
    if (n == 1) return BesselJ1(x);
    if (x == 0.0) return 0.0;

    const double ax = std::fabs(x);
    const double tox = 2.0 / ax;
    double ans = 0;
    if (ax > n) {
        // Upward recurrence J_{j+1} = (2j/x) J_j - J_{j-1}: stable while x > j.
        double bjm = BesselJ0(ax);
        double bj = BesselJ1(ax);
        for (int j = 1; j < n; ++j) {
            const double bjp = j * tox * bj - bjm;
            bjm = bj;
            bj = bjp;
        }
        ans = bj;
    } else {
        // Miller: downward recurrence from an even start index above n with
        // arbitrary seeds, normalised by J0 + 2 (J2 + J4 + ...) = 1.
        constexpr int kAcc = 40;
        constexpr double kBigNo = 1.0e10;
        constexpr double kBigNi = 1.0e-10;
        const int m = 2 * ((n + static_cast<int>(std::sqrt(static_cast<Extended>(kAcc * n)))) / 2);
        bool jsum = false;
        double sum = 0;
        double bjp = 0;
        double bj = 1;
        for (int j = m; j > 0; --j) {
            const double bjm = j * tox * bj - bjp;
            bjp = bj;
            bj = bjm;
            if (std::fabs(bj) > kBigNo) {
                bj *= kBigNi;
                bjp *= kBigNi;
                ans *= kBigNi;
                sum *= kBigNi;
            }
            if (jsum) sum += bj;
            jsum = !jsum;
            if (j == n) ans = bjp;
        }
        sum = 2.0 * sum - bj;
        ans /= sum;
    }
    return (x < 0 && (n & 1)) ? -ans : ans;
}

}  // namespace tdcyl
