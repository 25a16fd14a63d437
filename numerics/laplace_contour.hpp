#pragma once
// Inverse Laplace transform on parabolic contours (the Bromwich integral
// deformed into the left half plane, trapezoidal rule):
//   f(t) = 1/(2 pi i) int F(z) e^(zt) dz,   z(u) = mu (1 + i u)^2,  u in R,
// for functions F analytic off the negative real axis with F(conj z) = conj F(z)
// (transforms of real functions whose singularities are real and <= 0, such
// as sums of decaying exponentials and diffusion kernels). One contour serves
// a window of times [t0, ratio t0]; the times of a wide range are split into
// windows. The parameters come from bounds on the four errors of the rule:
//   discretisation (strip half-widths c toward the cut and c_d away from it),
//     e^(-2 pi c N/U) e^(mu t (1 - c)^2),  e^(-2 pi c_d N/U) e^(mu t (1 + c_d)^2);
//   truncation at |u| = U,  e^(mu t (1 - U^2));
//   rounding, eps e^(mu t);
// relative to the size of the integrand near u = 0. N + 1 nodes per window
// (the rule is symmetric in u, and f is real).
#include <complex>
#include <vector>

namespace tdcyl {

struct ContourWindow {
    double t_min = 0, t_max = 0;               // times the window serves (s)
    double mu = 0, h = 0;                      // z_k = mu (1 + i k h)^2
    std::vector<std::complex<double>> z;       // nodes
    std::vector<std::complex<double>> weight;  // f(t) = sum_k Re(weight_k e^(z_k t) F(z_k))
};

// Windows covering [t_min, t_max] (0 < t_min <= t_max) for a target error
// `epsilon` (relative; 1e-15 ... 1e-2) and windows of ratio `ratio` (>= 2).
// `noise`: the relative error of the values F(z) (at least the rounding
// eps), which the factor e^(mu t) of the rule amplifies: it caps mu t.
std::vector<ContourWindow> ParabolicContourWindows(double t_min, double t_max, double epsilon, double noise,
                                                   double ratio = 2);

// A window [t0, ratio t0] with mu t0 = 0.3, whatever the noise: the least
// amplification of noisy values, at the price of more nodes and of less
// margin in the rule's own error (check it against another rule).
ContourWindow QuietContourWindow(double t0, double epsilon, double ratio = 2);

// The same window with twice the nodes (step h/2 over the same length): its
// even nodes are the window's own.
ContourWindow RefinedWindow(const ContourWindow& w);

// f(t) from the transform at the nodes of the window holding t, with an
// estimate of its error: the rounding of the sum, the absolute errors
// `noise[k]` of the values F(z_k) = values[k] carried through the rule (a
// share `common` of each shared by all nodes, adding up; the rest
// independent from node to node, adding as squares), and
// the rule's own error. The window's parameters hold that below epsilon for
// transforms no larger along the strip of analyticity than near u = 0; where
// a transform grows toward the cut (a detector far from the source: roughly
// as e^(-d Re sqrt(z/beta))), the rule of the even nodes (step 2h) tells:
// the trapezoidal error falls as e^(-2 pi c/h), so E(h) ~ E(2h)^2 / A with A
// the integrand's scale on the strip's edge, E(2h) ~ |S_h - S_2h|, and the
// sum of the terms' moduli on the contour stands for A (the growth makes the
// true A larger: an upper estimate; one that a coarse rule far from its
// asymptotics, late in a window, overstates most).
// `rule` is that part of `error` (which also counts the terms beyond |u| = U).
struct ContourValue {
    double value = 0, error = 0, rule = 0;
};
ContourValue InvertAt(const ContourWindow& w, const std::complex<double>* values, const double* noise, double t,
                      double common = 1);

// The factors weight_k e^(z_k t) of the window's nodes at one time, by the
// recurrence e^(z_k t) = e^(z_(k-1) t) e^(-mu t h^2 (2k - 1)) e^(2 i mu t h)
// (two complex exponentials in all; the rounding grows as 2k eps, which
// InvertWith counts).
void ContourFactors(const ContourWindow& w, double t, std::vector<std::complex<double>>& factors);

// The same in two steps, for many functions at one time: the factors
// weight_k e^(z_k t) of the window's nodes, then the sum with any values.
// ContourStepper gives the factors of increasing times, by multiplication
// where the step repeats (an equally spaced grid) and afresh every 16 steps.
class ContourStepper {
public:
    explicit ContourStepper(const ContourWindow& w) : w_(w), factor_(w.z.size()), step_(w.z.size()) {}
    const std::vector<std::complex<double>>& At(double t);

private:
    const ContourWindow& w_;
    std::vector<std::complex<double>> factor_, step_;
    double t_ = 0, dt_ = -1;
    int run_ = 0;
    bool started_ = false;
};
ContourValue InvertWith(const std::vector<std::complex<double>>& factors, const std::complex<double>* values,
                        const double* noise, double common = 1);

}  // namespace tdcyl
