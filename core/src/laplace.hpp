// The curvature at an optimum and what a fit derives from it: the Hessian of the objective, its
// Cholesky factor, the covariance (its inverse) and the log-determinant for the Laplace evidence.
// Matrices are n by n, row-major in the first n * n entries of a Matrix.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <span>

#include "optimize.hpp"

namespace velmora::laplace {

using optimize::Matrix;
using optimize::max_dimension;
using optimize::Vector;

// Central differences of the exact gradient, column j from x +- steps[j] e_j, then symmetrised as
// (H + H') / 2. False if a neighbour is infeasible or an entry is not finite; h is then unspecified.
template <optimize::Objective F>
bool hessian(F&& f, std::span<const double> x, std::span<const double> steps, Matrix& h) {
    const std::size_t n = x.size();
    if (n > max_dimension || steps.size() != n) return false;
    Vector point{}, up{}, down{};
    Matrix columns{};
    auto gradient = [&](std::size_t j, double shift, Vector& g) {
        std::copy(x.begin(), x.end(), point.begin());
        point[j] = x[j] + shift;
        const double value = f(std::span<const double>(point.data(), n), std::span<double>(g.data(), n));
        if (!std::isfinite(value)) return false;
        for (std::size_t i = 0; i < n; ++i)
            if (!std::isfinite(g[i])) return false;
        return true;
    };
    for (std::size_t j = 0; j < n; ++j) {
        const double step = steps[j];
        if (!gradient(j, step, up) || !gradient(j, -step, down)) return false;
        for (std::size_t i = 0; i < n; ++i) columns[i * n + j] = (up[i] - down[i]) / (2.0 * step);
    }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            h[i * n + j] = 0.5 * (columns[i * n + j] + columns[j * n + i]);
            if (!std::isfinite(h[i * n + j])) return false;
        }
    return true;
}

// The same with one step for every parameter.
template <optimize::Objective F>
bool hessian(F&& f, std::span<const double> x, Matrix& h, double step = 1e-4) {
    Vector steps{};
    steps.fill(step);
    return hessian(f, x, std::span<const double>(steps.data(), std::min(x.size(), max_dimension)), h);
}

// The lower factor L of a = L L', reading only a's lower triangle; the upper triangle of `lower`
// is zeroed. False if a is not (numerically) positive definite.
inline bool cholesky(const Matrix& a, std::size_t n, Matrix& lower) {
    if (n > max_dimension) return false;
    for (std::size_t j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (std::size_t k = 0; k < j; ++k) d -= lower[j * n + k] * lower[j * n + k];
        if (!(d > 0.0) || !std::isfinite(d)) return false;
        const double pivot = std::sqrt(d);
        lower[j * n + j] = pivot;
        for (std::size_t i = 0; i < j; ++i) lower[i * n + j] = 0.0;
        for (std::size_t i = j + 1; i < n; ++i) {
            double v = a[i * n + j];
            for (std::size_t k = 0; k < j; ++k) v -= lower[i * n + k] * lower[j * n + k];
            lower[i * n + j] = v / pivot;
        }
    }
    return true;
}

// a^-1 = L'^-1 L^-1 from a's Cholesky factor, exactly symmetric.
inline void inverse_from_cholesky(const Matrix& lower, std::size_t n, Matrix& inverse) {
    Matrix w{};  // L^-1, lower triangular, by forward substitution column by column
    for (std::size_t j = 0; j < n; ++j) {
        w[j * n + j] = 1.0 / lower[j * n + j];
        for (std::size_t i = j + 1; i < n; ++i) {
            double v = 0.0;
            for (std::size_t k = j; k < i; ++k) v += lower[i * n + k] * w[k * n + j];
            w[i * n + j] = -v / lower[i * n + i];
        }
    }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i; j < n; ++j) {
            double v = 0.0;
            for (std::size_t k = j; k < n; ++k) v += w[k * n + i] * w[k * n + j];
            inverse[i * n + j] = v;
            inverse[j * n + i] = v;
        }
}

// log det a = 2 sum log L_ii.
inline double log_det_from_cholesky(const Matrix& lower, std::size_t n) {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s += std::log(lower[i * n + i]);
    return 2.0 * s;
}

// Laplace approximation of the log evidence from the optimum's negative log-joint and the
// log-determinant of its Hessian over n free parameters, in the Python fit's order of operations.
inline double log_evidence(double neg_log_joint, std::size_t n, double log_det) {
    return -neg_log_joint + 0.5 * static_cast<double>(n) * std::log(2.0 * std::numbers::pi) - 0.5 * log_det;
}

}  // namespace velmora::laplace
