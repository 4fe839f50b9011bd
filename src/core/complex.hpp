#pragma once
// The complex sample of the acquisition stages: a plain (re, im) pair of float64.
// std::complex would route every product through the Annex-G NaN/Inf recovery helper; the
// textbook formulas here are what the simulation specifies and stay inlined in hot loops.
// The layout matches fftw_complex so buffers go to the FFT without copying.
#include <cmath>

namespace quorvel {

struct C {
    double re = 0.0;
    double im = 0.0;

    constexpr C& operator+=(C o) { re += o.re; im += o.im; return *this; }
    constexpr C& operator-=(C o) { re -= o.re; im -= o.im; return *this; }
    constexpr C& operator*=(double s) { re *= s; im *= s; return *this; }
    constexpr C& operator*=(C o) { *this = C{re * o.re - im * o.im, re * o.im + im * o.re}; return *this; }
};

constexpr C operator+(C a, C b) { return {a.re + b.re, a.im + b.im}; }
constexpr C operator-(C a, C b) { return {a.re - b.re, a.im - b.im}; }
constexpr C operator*(C a, C b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
constexpr C operator*(double s, C a) { return {s * a.re, s * a.im}; }
constexpr C operator*(C a, double s) { return {a.re * s, a.im * s}; }
constexpr C conj(C a) { return {a.re, -a.im}; }
inline double abs(C a) { return std::hypot(a.re, a.im); }
constexpr double norm(C a) { return a.re * a.re + a.im * a.im; }
// exp(i*theta)
inline C cis(double theta) { return {std::cos(theta), std::sin(theta)}; }

}  // namespace quorvel
