#pragma once
// Radix-2 in-place FFTs in the classic recipe form, on doubles.
// Interface note: `data` points at the first element, so the recipe's 1-based
// data[i] is data[i-1] here; the layout (re, im interleaved; packed real
// half-spectrum with F_0 and F_{N/2} in the first two slots) is unchanged.

namespace tdcyl {

// nn complex values (2*nn doubles): data_k <- sum_j z_j exp(isign*2*pi*i*j*k/nn).
// nn must be a power of two; no normalisation.
void four1(double* data, unsigned nn, int isign);

// 2n real values. isign = +1: real sequence -> packed half spectrum with
// F_k = sum_j x_j exp(+2*pi*i*j*k/N). Any other isign: inverse, giving n times
// the exact inverse. n must be a power of two, n >= 2.
void realft(double* data, unsigned n, int isign);

}  // namespace tdcyl
