#include "fft.h"

#include <cmath>

namespace pide {

Fft::Fft(std::size_t n) : n_(n), twiddle_(n / 2), reversed_(n) {
    const double pi = 3.14159265358979323846;
    for (std::size_t k = 0; k < n / 2; ++k) {
        // Each factor from its own angle, not by repeated multiplication: no accumulated error.
        const double angle = -2.0 * pi * static_cast<double>(k) / static_cast<double>(n);
        twiddle_[k] = std::complex<double>(std::cos(angle), std::sin(angle));
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
    for (std::size_t half = 1; half < n_; half *= 2) {
        const std::size_t stride = n_ / (2 * half);
        for (std::size_t start = 0; start < n_; start += 2 * half) {
            for (std::size_t k = 0; k < half; ++k) {
                const std::complex<double> w = twiddle_[k * stride];
                const double wr = w.real(), wi = inverse ? -w.imag() : w.imag();
                std::complex<double> &lo = a[start + k];
                std::complex<double> &hi = a[start + k + half];
                // The product written out: std::complex's operator* checks for NaN
                // recovery on every call, which costs more than the butterfly.
                const double tr = hi.real() * wr - hi.imag() * wi;
                const double ti = hi.real() * wi + hi.imag() * wr;
                hi = std::complex<double>(lo.real() - tr, lo.imag() - ti);
                lo = std::complex<double>(lo.real() + tr, lo.imag() + ti);
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
