// Forward-mode derivatives: a value with its partial derivatives with respect to up to N inputs.
// The models are written once over a scalar type; with double they are the exact path, with Dual
// they also carry the derivatives that parameter fitting needs. A floor or clamp that selects its
// constant passes on a zero derivative, as the function it computes has.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

namespace velmora {

template <std::size_t N>
struct Dual {
    double v = 0.0;
    std::array<double, N> d{};

    Dual() = default;
    Dual(double value) : v(value) {}  // NOLINT: constants convert implicitly, with zero derivative

    static Dual variable(double value, std::size_t k) {
        Dual x(value);
        x.d[k] = 1.0;
        return x;
    }
};

inline double value_of(double x) { return x; }
template <std::size_t N>
double value_of(const Dual<N>& x) {
    return x.v;
}

template <std::size_t N>
[[gnu::always_inline]] inline Dual<N> operator+(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> r(a.v + b.v);
    for (std::size_t k = 0; k < N; ++k) r.d[k] = a.d[k] + b.d[k];
    return r;
}
template <std::size_t N>
[[gnu::always_inline]] inline Dual<N> operator-(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> r(a.v - b.v);
    for (std::size_t k = 0; k < N; ++k) r.d[k] = a.d[k] - b.d[k];
    return r;
}
template <std::size_t N>
[[gnu::always_inline]] inline Dual<N> operator*(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> r(a.v * b.v);
    for (std::size_t k = 0; k < N; ++k) r.d[k] = a.d[k] * b.v + a.v * b.d[k];
    return r;
}
// The value is divided exactly as a double is; the derivatives multiply by one reciprocal instead
// of dividing N times, which a fit's passes feel and its gradients (not bit-exact) do not.
template <std::size_t N>
[[gnu::always_inline]] inline Dual<N> operator/(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> r(a.v / b.v);
    const double inv = 1.0 / b.v;
    for (std::size_t k = 0; k < N; ++k) r.d[k] = (a.d[k] - r.v * b.d[k]) * inv;
    return r;
}
// With a constant operand the terms of its zero derivative are left out.
template <std::size_t N> [[gnu::always_inline]] inline Dual<N> operator+(const Dual<N>& a, double b) {
    Dual<N> r = a;
    r.v = a.v + b;
    return r;
}
template <std::size_t N> [[gnu::always_inline]] inline Dual<N> operator+(double a, const Dual<N>& b) {
    Dual<N> r = b;
    r.v = a + b.v;
    return r;
}
template <std::size_t N> [[gnu::always_inline]] inline Dual<N> operator-(const Dual<N>& a, double b) {
    Dual<N> r = a;
    r.v = a.v - b;
    return r;
}
template <std::size_t N> [[gnu::always_inline]] inline Dual<N> operator-(double a, const Dual<N>& b) {
    Dual<N> r(a - b.v);
    for (std::size_t k = 0; k < N; ++k) r.d[k] = -b.d[k];
    return r;
}
template <std::size_t N> [[gnu::always_inline]] inline Dual<N> operator*(const Dual<N>& a, double b) {
    Dual<N> r(a.v * b);
    for (std::size_t k = 0; k < N; ++k) r.d[k] = a.d[k] * b;
    return r;
}
template <std::size_t N> [[gnu::always_inline]] inline Dual<N> operator*(double a, const Dual<N>& b) {
    Dual<N> r(a * b.v);
    for (std::size_t k = 0; k < N; ++k) r.d[k] = a * b.d[k];
    return r;
}
template <std::size_t N> [[gnu::always_inline]] inline Dual<N> operator/(const Dual<N>& a, double b) {
    Dual<N> r(a.v / b);
    const double inv = 1.0 / b;
    for (std::size_t k = 0; k < N; ++k) r.d[k] = a.d[k] * inv;
    return r;
}
template <std::size_t N> [[gnu::always_inline]] inline Dual<N> operator/(double a, const Dual<N>& b) {
    Dual<N> r(a / b.v);
    const double inv = 1.0 / b.v;
    for (std::size_t k = 0; k < N; ++k) r.d[k] = -(r.v * b.d[k]) * inv;
    return r;
}

template <std::size_t N>
[[gnu::always_inline]] inline Dual<N> log(const Dual<N>& a) {
    Dual<N> r(std::log(a.v));
    const double inv = 1.0 / a.v;
    for (std::size_t k = 0; k < N; ++k) r.d[k] = a.d[k] * inv;
    return r;
}
inline double log(double a) { return std::log(a); }

template <std::size_t N>
[[gnu::always_inline]] inline Dual<N> exp(const Dual<N>& a) {
    Dual<N> r(std::exp(a.v));
    for (std::size_t k = 0; k < N; ++k) r.d[k] = a.d[k] * r.v;
    return r;
}
inline double exp(double a) { return std::exp(a); }

template <std::size_t N>
[[gnu::always_inline]] inline Dual<N> log1p(const Dual<N>& a) {
    Dual<N> r(std::log1p(a.v));
    const double inv = 1.0 / (1.0 + a.v);
    for (std::size_t k = 0; k < N; ++k) r.d[k] = a.d[k] * inv;
    return r;
}
inline double log1p(double a) { return std::log1p(a); }

// a^y for a constant exponent: the value is std::pow's, so a double and a Dual agree exactly.
template <std::size_t N>
[[gnu::always_inline]] inline Dual<N> pow(const Dual<N>& a, double y) {
    Dual<N> r(std::pow(a.v, y));
    // y a^(y-1) from the power already taken, except where a is 0 (or y is, and the slope with it).
    const double slope = y == 0.0 ? 0.0 : a.v != 0.0 ? y * r.v / a.v : y * std::pow(a.v, y - 1.0);
    for (std::size_t k = 0; k < N; ++k) r.d[k] = a.d[k] * slope;
    return r;
}
inline double pow(double a, double y) { return std::pow(a, y); }

// log(1 + exp(x)), with no overflow for any x and no loss where exp(x) is tiny beside 1: the
// negative log of the logistic function at -x. Its slope is the logistic function at x.
inline double softplus(double x) { return std::fmax(x, 0.0) + std::log1p(std::exp(-std::fabs(x))); }
template <std::size_t N>
[[gnu::always_inline]] inline Dual<N> softplus(const Dual<N>& x) {
    const double e = std::exp(-std::fabs(x.v));
    Dual<N> r(std::fmax(x.v, 0.0) + std::log1p(e));
    const double slope = x.v >= 0.0 ? 1.0 / (1.0 + e) : e / (1.0 + e);
    for (std::size_t k = 0; k < N; ++k) r.d[k] = x.d[k] * slope;
    return r;
}

}  // namespace velmora
