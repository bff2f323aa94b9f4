// Floating-point helpers shared by the models, and the parameter rules with their reasons.
#pragma once

#include <cmath>
#include <string_view>
#include <type_traits>

#include "dual.hpp"
#include "error.hpp"

namespace velmora {

// The double nearest to 1e-6: the smallest variance any filter uses, so no precision exceeds 1e6.
inline constexpr double VARIANCE_FLOOR = 1e-6;

// Maximum that ignores a NaN operand (two NaNs give NaN) and prefers +0.0 over -0.0.
// A single comparison would pass a NaN through, and std::fmax leaves the sign of zero open.
// Over a scalar type with derivatives it picks by value and keeps the chosen operand's derivative.
template <class T>
[[gnu::always_inline]] inline T max_num(const T& a, const T& b) {
    const double x = value_of(a), y = value_of(b);
    if (std::isnan(x)) return b;
    if (std::isnan(y)) return a;
    if (x == y) return std::signbit(x) ? b : a;
    return x > y ? a : b;
}

// Minimum with the same NaN rule; of +0.0 and -0.0 it gives -0.0.
template <class T>
[[gnu::always_inline]] inline T min_num(const T& a, const T& b) {
    const double x = value_of(a), y = value_of(b);
    if (std::isnan(x)) return b;
    if (std::isnan(y)) return a;
    if (x == y) return std::signbit(x) ? a : b;
    return x < y ? a : b;
}

// Against a constant (a floor), for the scalar types other than double.
template <class T>
    requires(!std::is_same_v<T, double>)
[[gnu::always_inline]] inline T max_num(const T& a, double b) {
    return max_num(a, T(b));
}
template <class T>
    requires(!std::is_same_v<T, double>)
[[gnu::always_inline]] inline T min_num(const T& a, double b) {
    return min_num(a, T(b));
}

inline bool is_finite(double x) { return std::isfinite(x); }

// Finite and not below zero; -0.0 passes.
inline bool is_finite_non_negative(double x) { return std::isfinite(x) && x >= 0.0; }

// Finite and strictly above zero; either zero fails.
inline bool is_finite_positive(double x) { return std::isfinite(x) && x > 0.0; }

// Within [0, 1]; NaN fails.
inline bool is_unit_interval(double x) { return x >= 0.0 && x <= 1.0; }

// A check on a parameter and the reason its message gives; one object per kind of check, so the
// two cannot disagree.
struct Rule {
    bool (*holds)(double);
    std::string_view reason;

    // Inlined into every step of the models' loops; only a failure pays for a call.
    [[gnu::always_inline]] Result<void> check(std::string_view name, double value) const {
        if (holds(value)) [[likely]]
            return {};
        return fail(name, value);
    }

    [[gnu::cold, gnu::noinline]] Result<void> fail(std::string_view name, double value) const {
        return std::unexpected(VelmoraError::invalid_parameter(name, value, reason));
    }
};

namespace rule {
inline constexpr Rule finite{is_finite, "must be finite"};
inline constexpr Rule finite_positive{is_finite_positive, "must be finite and positive"};
inline constexpr Rule finite_non_negative{is_finite_non_negative, "must be finite and non-negative"};
inline constexpr Rule unit_interval{is_unit_interval, "must be in [0, 1]"};
}  // namespace rule

// Where a run goes next: every step's row goes to a sink, which may ask to stop early (the array
// engine does, to answer an interrupt); the list binding's sink never does.
enum class Flow { go_on, stop };

}  // namespace velmora
