#include "fft.h"

#include <cmath>
#include <utility>

namespace pide {
namespace {

// One block of a stage: (lo, hi) to (lo + w hi, lo - w hi), over contiguous memory.
void butterflies(double *__restrict lr, double *__restrict li, double *__restrict hr, double *__restrict hi,
                 const double *__restrict wr, const double *__restrict wi, std::size_t half) {
    for (std::size_t k = 0; k < half; ++k) {
        const double tr = hr[k] * wr[k] - hi[k] * wi[k];
        const double ti = hr[k] * wi[k] + hi[k] * wr[k];
        hr[k] = lr[k] - tr;
        hi[k] = li[k] - ti;
        lr[k] = lr[k] + tr;
        li[k] = li[k] + ti;
    }
}

}  // namespace

RealFft::RealFft(std::size_t n)
    : n_(n), h_(n / 2), reversed_(n / 2), wr_(n / 2), wi_(n / 2), wiInverse_(n / 2), twiddle_(n / 2 + 1),
      re_(n / 2), im_(n / 2) {
    const double pi = 3.14159265358979323846;
    // Each factor from its own angle, not by repeated multiplication: no accumulated error.
    for (std::size_t half = 1; half < h_; half *= 2) {
        for (std::size_t k = 0; k < half; ++k) {
            const double angle = -pi * static_cast<double>(k) / static_cast<double>(half);
            wr_[half - 1 + k] = std::cos(angle);
            wi_[half - 1 + k] = std::sin(angle);
            wiInverse_[half - 1 + k] = -std::sin(angle);
        }
    }
    std::size_t bits = 0;
    while ((std::size_t{1} << bits) < h_) {
        ++bits;
    }
    for (std::size_t k = 0; k < h_; ++k) {
        std::size_t r = 0;
        for (std::size_t b = 0; b < bits; ++b) {
            r |= ((k >> b) & 1u) << (bits - 1 - b);
        }
        reversed_[k] = r;
    }
    for (std::size_t k = 0; k <= h_; ++k) {
        const double angle = -2.0 * pi * static_cast<double>(k) / static_cast<double>(n);
        twiddle_[k] = std::complex<double>(std::cos(angle), std::sin(angle));
    }
}

void RealFft::transform(bool inverse) const {
    double *re = re_.data(), *im = im_.data();
    for (std::size_t k = 0; k < h_; ++k) {
        const std::size_t r = reversed_[k];
        if (k < r) {
            std::swap(re[k], re[r]);
            std::swap(im[k], im[r]);
        }
    }
    for (std::size_t s = 0; s + 1 < h_; s += 2) {  // the first stage: factors 1
        const double ar = re[s], ai = im[s], br = re[s + 1], bi = im[s + 1];
        re[s] = ar + br;
        im[s] = ai + bi;
        re[s + 1] = ar - br;
        im[s + 1] = ai - bi;
    }
    for (std::size_t half = 2; half < h_; half *= 2) {
        const double *wr = wr_.data() + (half - 1);
        const double *wi = (inverse ? wiInverse_.data() : wi_.data()) + (half - 1);
        for (std::size_t start = 0; start < h_; start += 2 * half) {
            butterflies(re + start, im + start, re + start + half, im + start + half, wr, wi, half);
        }
    }
}

void RealFft::forward(const double *in, std::complex<double> *out) const {
    const std::size_t h = h_;
    for (std::size_t k = 0; k < h; ++k) {
        re_[k] = in[2 * k];
        im_[k] = in[2 * k + 1];
    }
    transform(false);
    // Z_k = E_k + i O_k from the even and odd samples' transforms E and O: E_k is
    // (Z_k + conj Z_{h-k}) / 2, O_k is -i (Z_k - conj Z_{h-k}) / 2, X_k = E_k + w^k O_k.
    for (std::size_t k = 0; k <= h; ++k) {
        const std::size_t a = k % h, b = (h - k) % h;
        const double zr = re_[a], zi = im_[a], cr = re_[b], ci = -im_[b];
        const double er = 0.5 * (zr + cr), ei = 0.5 * (zi + ci);
        const double orr = 0.5 * (zi - ci), oi = -0.5 * (zr - cr);
        const double wr = twiddle_[k].real(), wi = twiddle_[k].imag();
        out[k] = std::complex<double>(er + wr * orr - wi * oi, ei + wr * oi + wi * orr);
    }
}

void RealFft::inverse(const std::complex<double> *spectrum, double *out) const {
    const std::size_t h = h_;
    // The inverse of the separation above: Z_k = (X_k + conj X_{h-k}) + i conj(w^k) (X_k -
    // conj X_{h-k}), twice the even and odd samples' spectra combined.
    for (std::size_t k = 0; k < h; ++k) {
        const double xr = spectrum[k].real(), xi = spectrum[k].imag();
        const double cr = spectrum[h - k].real(), ci = -spectrum[h - k].imag();
        const double er = xr + cr, ei = xi + ci, dr = xr - cr, di = xi - ci;
        const double wr = twiddle_[k].real(), wi = -twiddle_[k].imag();
        const double orr = dr * wr - di * wi, oi = dr * wi + di * wr;
        re_[k] = er - oi;
        im_[k] = ei + orr;
    }
    transform(true);
    for (std::size_t k = 0; k < h; ++k) {
        out[2 * k] = re_[k];
        out[2 * k + 1] = im_[k];
    }
}

}  // namespace pide
