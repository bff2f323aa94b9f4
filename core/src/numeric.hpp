// Floating-point helpers shared by the models.
#pragma once

#include <cmath>

namespace velmora {

// The double nearest to 1e-6: the smallest variance any filter uses, so no precision exceeds 1e6.
inline constexpr double VARIANCE_FLOOR = 1e-6;

// Maximum that ignores a NaN operand (two NaNs give NaN) and prefers +0.0 over -0.0.
// A single comparison would pass a NaN through, and std::fmax leaves the sign of zero open.
inline double max_num(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    if (a == b) return std::signbit(a) ? b : a;
    return a > b ? a : b;
}

// Minimum with the same NaN rule; of +0.0 and -0.0 it gives -0.0.
inline double min_num(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    if (a == b) return std::signbit(a) ? a : b;
    return a < b ? a : b;
}

inline bool is_finite(double x) { return std::isfinite(x); }

// Finite and not below zero; -0.0 passes.
inline bool is_finite_non_negative(double x) { return std::isfinite(x) && x >= 0.0; }

// Finite and strictly above zero; either zero fails.
inline bool is_finite_positive(double x) { return std::isfinite(x) && x > 0.0; }

// Within [0, 1]; NaN fails.
inline bool is_unit_interval(double x) { return x >= 0.0 && x <= 1.0; }

}  // namespace velmora
