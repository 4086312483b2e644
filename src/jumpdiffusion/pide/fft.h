// A radix-2 complex fast Fourier transform, for the convolutions of the jump integrals
// (pide_engine.h): the iterative Cooley-Tukey algorithm on a power-of-two length, its
// twiddle factors and bit-reversed order formed once per length. Round-off grows as
// log2(n) times the double's precision (Higham, Accuracy and Stability of Numerical
// Algorithms, 2nd ed., section 24.1), so a convolution of a few thousand points is exact
// to about 1e-15 relative to its largest input.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

namespace pide {

class Fft {
public:
    explicit Fft(std::size_t n);  // n a power of two, at least 2
    std::size_t size() const { return n_; }
    // In place: a[k] = sum_j a[j] exp(-2 pi i j k / n) (forward) or with +i (inverse,
    // unscaled).
    void forward(std::complex<double> *a) const { transform(a, false); }
    void inverse(std::complex<double> *a) const { transform(a, true); }

private:
    void transform(std::complex<double> *a, bool inverse) const;
    std::size_t n_;
    std::vector<std::complex<double>> twiddle_;  // each stage's factors (fft.cpp)
    std::vector<std::size_t> reversed_;
};

}  // namespace pide

namespace pide {

// The transform of a real sequence of even length n through the complex one of length n / 2
// (the even and odd samples as real and imaginary parts, then separated by symmetry): half
// the work of a complex transform.
class RealFft {
public:
    explicit RealFft(std::size_t n);  // n a power of two, at least 4
    std::size_t size() const { return n_; }
    // out[k], k <= n / 2: sum_j in[j] exp(-2 pi i j k / n). work: n / 2 values.
    void forward(const double *in, std::complex<double> *out) const;
    // out[j] = sum_k X_k exp(2 pi i j k / n) over the Hermitian spectrum X_0 .. X_{n/2},
    // unscaled. spectrum is overwritten.
    void inverse(std::complex<double> *spectrum, double *out) const;

private:
    std::size_t n_;
    Fft half_;
    std::vector<std::complex<double>> twiddle_;  // exp(-2 pi i k / n), k <= n / 2
    mutable std::vector<std::complex<double>> work_;
};

}  // namespace pide
