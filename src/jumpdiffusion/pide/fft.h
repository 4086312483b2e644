// The discrete Fourier transform of a real sequence of power-of-two length n, for the
// convolutions of the jump integrals (pide_engine.h): the even and odd samples as the real
// and imaginary parts of a complex sequence of length n / 2, transformed by the iterative
// radix-2 Cooley-Tukey algorithm, then separated by symmetry (half the work of a complex
// transform of length n). The complex parts are kept as separate real and imaginary arrays
// so that each stage's butterflies run over contiguous memory. Round-off grows as log2(n)
// times the double's precision (Higham, Accuracy and Stability of Numerical Algorithms, 2nd
// ed., section 24.1), so a convolution of a few thousand points is exact to about 1e-15
// relative to its largest input.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

namespace pide {

class RealFft {
public:
    explicit RealFft(std::size_t n);  // n a power of two, at least 4
    std::size_t size() const { return n_; }
    // out[k], k <= n / 2: sum_j in[j] exp(-2 pi i j k / n).
    void forward(const double *in, std::complex<double> *out) const;
    // out[j] = sum_k X_k exp(2 pi i j k / n) over the Hermitian spectrum X_0 .. X_{n/2},
    // unscaled.
    void inverse(const std::complex<double> *spectrum, double *out) const;

private:
    void transform(bool inverse) const;  // the complex transform of re_ + i im_, in place
    std::size_t n_, h_;
    std::vector<std::size_t> reversed_;
    // Each stage's factors exp(-2 pi i k / (2 half)), k < half, side by side at offset
    // half - 1; their imaginary parts negated for the inverse.
    std::vector<double> wr_, wi_, wiInverse_;
    std::vector<std::complex<double>> twiddle_;  // exp(-2 pi i k / n), k <= n / 2
    mutable std::vector<double> re_, im_;
};

}  // namespace pide
