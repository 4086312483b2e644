#include "fft.h"

#include <cmath>

namespace pide {

Fft::Fft(std::size_t n) : n_(n), twiddle_(n > 1 ? n - 1 : 0), reversed_(n) {
    const double pi = 3.14159265358979323846;
    // The factors of each stage side by side, exp(-2 pi i k / (2 half)) for k < half at
    // offset half - 1, so that a stage reads them in order; each from its own angle, not
    // by repeated multiplication: no accumulated error.
    for (std::size_t half = 1; half < n; half *= 2) {
        for (std::size_t k = 0; k < half; ++k) {
            const double angle = -pi * static_cast<double>(k) / static_cast<double>(half);
            twiddle_[half - 1 + k] = std::complex<double>(std::cos(angle), std::sin(angle));
        }
    }
    std::size_t bits = 0;
    while ((std::size_t{1} << bits) < n) {
        ++bits;
    }
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t r = 0;
        for (std::size_t b = 0; b < bits; ++b) {
            r |= ((k >> b) & 1u) << (bits - 1 - b);
        }
        reversed_[k] = r;
    }
}

void Fft::transform(std::complex<double> *a, bool inverse) const {
    for (std::size_t k = 0; k < n_; ++k) {
        if (k < reversed_[k]) {
            std::swap(a[k], a[reversed_[k]]);
        }
    }
    const double sign = inverse ? -1.0 : 1.0;
    for (std::size_t half = 1; half < n_; half *= 2) {
        const std::complex<double> *w = twiddle_.data() + (half - 1);
        for (std::size_t start = 0; start < n_; start += 2 * half) {
            std::complex<double> *lo = a + start, *hi = a + start + half;
            for (std::size_t k = 0; k < half; ++k) {
                const double wr = w[k].real(), wi = sign * w[k].imag();
                // The product written out: std::complex's operator* checks for NaN
                // recovery on every call, which costs more than the butterfly.
                const double tr = hi[k].real() * wr - hi[k].imag() * wi;
                const double ti = hi[k].real() * wi + hi[k].imag() * wr;
                hi[k] = std::complex<double>(lo[k].real() - tr, lo[k].imag() - ti);
                lo[k] = std::complex<double>(lo[k].real() + tr, lo[k].imag() + ti);
            }
        }
    }
}

RealFft::RealFft(std::size_t n) : n_(n), half_(n / 2), twiddle_(n / 2 + 1), work_(n / 2) {
    const double pi = 3.14159265358979323846;
    for (std::size_t k = 0; k <= n / 2; ++k) {
        const double angle = -2.0 * pi * static_cast<double>(k) / static_cast<double>(n);
        twiddle_[k] = std::complex<double>(std::cos(angle), std::sin(angle));
    }
}

void RealFft::forward(const double *in, std::complex<double> *out) const {
    const std::size_t h = n_ / 2;
    for (std::size_t k = 0; k < h; ++k) {
        work_[k] = std::complex<double>(in[2 * k], in[2 * k + 1]);
    }
    half_.forward(work_.data());
    for (std::size_t k = 0; k <= h; ++k) {
        const std::complex<double> z = work_[k % h], zc = std::conj(work_[(h - k) % h]);
        const std::complex<double> even = 0.5 * (z + zc);
        const std::complex<double> odd = std::complex<double>(0.0, -0.5) * (z - zc);
        const std::complex<double> w = twiddle_[k];
        out[k] = std::complex<double>(even.real() + w.real() * odd.real() - w.imag() * odd.imag(),
                                      even.imag() + w.real() * odd.imag() + w.imag() * odd.real());
    }
}

void RealFft::inverse(std::complex<double> *spectrum, double *out) const {
    const std::size_t h = n_ / 2;
    for (std::size_t k = 0; k < h; ++k) {
        const std::complex<double> x = spectrum[k], xc = std::conj(spectrum[h - k]);
        const std::complex<double> even = x + xc;
        const std::complex<double> d = x - xc;
        const std::complex<double> w = std::conj(twiddle_[k]);
        const std::complex<double> odd(d.real() * w.real() - d.imag() * w.imag(), d.real() * w.imag() + d.imag() * w.real());
        work_[k] = std::complex<double>(even.real() - odd.imag(), even.imag() + odd.real());
    }
    half_.inverse(work_.data());
    for (std::size_t k = 0; k < h; ++k) {
        out[2 * k] = work_[k].real();
        out[2 * k + 1] = work_[k].imag();
    }
}

}  // namespace pide
