// In-place radix-2 FFTs (Danielson-Lanczos with bit reversal) and the
// real-data transform built on a half-length complex transform. All working
// variables are doubles; the twiddle factors come from the trigonometric
// recurrence w <- w + w*(wpr + i wpi), with sine evaluated twice per pass.
#include "numerics/real_fft.hpp"

#include <cmath>
#include <utility>

#include "numerics/extended.hpp"

namespace tdcyl {
namespace {

constexpr Extended kTwoPi = 2.0L * kPi;

// The recurrence is written for 1-based indices; this maps them onto data[0...].
class OneBased {
public:
    explicit OneBased(double* data) : data_(data) {}
    double& operator[](unsigned i) const { return data_[i - 1]; }

private:
    double* data_;
};

double Sin(double x) { return static_cast<double>(std::sin(static_cast<Extended>(x))); }

}  // namespace

void four1(double* data_ptr, unsigned nn, int isign) {
    const OneBased data(data_ptr);
    const unsigned n = 2 * nn;

    // Bit-reversal permutation of the complex pairs.
    unsigned j = 1;
    for (unsigned i = 1; i < n; i += 2) {
        if (j > i) {
            std::swap(data[j], data[i]);
            std::swap(data[j + 1], data[i + 1]);
        }
        unsigned m = nn;
        while (m >= 2 && j > m) {
            j -= m;
            m >>= 1;
        }
        j += m;
    }

    // Butterflies of growing span mmax (in doubles: twice the complex length).
    unsigned mmax = 2;
    while (n > mmax) {
        const unsigned istep = 2 * mmax;
        const double theta = static_cast<double>(kTwoPi / static_cast<Extended>(isign * static_cast<int>(mmax)));
        double wtemp = Sin(0.5 * theta);
        const double wpr = -2.0 * wtemp * wtemp;
        const double wpi = Sin(theta);
        double wr = 1.0;
        double wi = 0.0;
        for (unsigned m = 1; m < mmax; m += 2) {
            for (unsigned i = m; i <= n; i += istep) {
                j = i + mmax;
                const double tempr = wr * data[j] - wi * data[j + 1];
                const double tempi = wr * data[j + 1] + wi * data[j];
                data[j] = data[i] - tempr;
                data[j + 1] = data[i + 1] - tempi;
                data[i] += tempr;
                data[i + 1] += tempi;
            }
            wtemp = wr;
            wr = wr * wpr - wi * wpi + wr;
            wi = wi * wpr + wtemp * wpi + wi;
        }
        mmax = istep;
    }
}

void realft(double* data_ptr, unsigned n, int isign) {
    const OneBased data(data_ptr);
    // The angle comes from this 15-digit value of 2*pi (about 3.5e-15 above it),
    // not from 2*pi at full precision; results are reproducible only with it.
    double theta = static_cast<double>(6.28318530717959L / static_cast<Extended>(2 * n));
    const double c1 = 0.5;
    double c2 = 0;
    if (isign == 1) {
        c2 = -0.5;
        four1(data_ptr, n, 1);
    } else {
        c2 = 0.5;
        theta = -theta;
    }
    double wtemp = Sin(0.5 * theta);
    const double wpr = -2.0 * wtemp * wtemp;
    const double wpi = Sin(theta);
    double wr = 1.0 + wpr;
    double wi = wpi;
    const unsigned n2p3 = 2 * n + 3;
    // Untangle the spectra of the even and odd samples, F_k with F_{N/2-k}.
    for (unsigned i = 2; i <= n / 2; ++i) {
        const unsigned i1 = i + i - 1;
        const unsigned i2 = i1 + 1;
        const unsigned i3 = n2p3 - i2;
        const unsigned i4 = i3 + 1;
        const double h1r = c1 * (data[i1] + data[i3]);
        const double h1i = c1 * (data[i2] - data[i4]);
        const double h2r = -c2 * (data[i2] + data[i4]);
        const double h2i = c2 * (data[i1] - data[i3]);
        data[i1] = h1r + wr * h2r - wi * h2i;
        data[i2] = h1i + wr * h2i + wi * h2r;
        data[i3] = h1r - wr * h2r + wi * h2i;
        data[i4] = -h1i + wr * h2i + wi * h2r;
        wtemp = wr;
        wr = wr * wpr - wi * wpi + wr;
        wi = wi * wpr + wtemp * wpi + wi;
    }
    if (isign == 1) {
        const double h1r = data[1];
        data[1] = h1r + data[2];
        data[2] = h1r - data[2];
    } else {
        const double h1r = data[1];
        data[1] = c1 * (h1r + data[2]);
        data[2] = c1 * (h1r - data[2]);
        four1(data_ptr, n, -1);
    }
}

}  // namespace tdcyl
