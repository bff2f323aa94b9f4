// Two-level hierarchical Gaussian filter whose level-1 process variance is driven by a
// running volatility estimate at level 2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "error.hpp"
#include "numeric.hpp"

namespace velmora::hgf {

// Written over a scalar type T: double is the exact path; a Dual also carries derivatives.
template <class T>
struct HgfT {
    T obs_precision;          // in [0, 1e6], never NaN
    T precision_flexibility;  // validated at every step, never here
    T base_process_noise;     // taken as given, never checked
    T mu1;                    // level-1 mean
    T var1;                   // level-1 variance, never NaN nor below VARIANCE_FLOOR
    T mu2;                    // level-2 volatility estimate; clamped at use until the first step
};
using Hgf = HgfT<double>;

// One row of the result, in tuple order. With doubles the binding reinterprets a row as seven
// doubles, so no other field or padding may be added.
template <class T>
struct HgfStepT {
    T t;
    T prediction;
    T observation;
    T precision;
    T prediction_error;
    T learning_rate;
    T volatility;
};
using HgfStep = HgfStepT<double>;
static_assert(sizeof(HgfStep) == 7 * sizeof(double) && std::is_trivially_copyable_v<HgfStep>);

template <class T>
struct SettingsT {
    T obs_noise;
    T precision_flexibility;
    T base_process_noise;
    T mu1;
    T var1;
    T mu2;
};
using Settings = SettingsT<double>;

// A step's row and the predicted precision before the observation's is added, which the
// likelihood needs and the row does not carry.
template <class T>
struct DetailedT {
    HgfStepT<T> row;
    T predicted_precision;
};
using Detailed = DetailedT<double>;

// Never fails: obs_noise and var1 are floored, every other value is kept as given.
template <class T>
HgfT<T> build(T obs_noise, T precision_flexibility, T base_process_noise, T mu1, T var1, T mu2) {
    return HgfT<T>{
        .obs_precision = 1.0 / max_num(obs_noise, VARIANCE_FLOOR),
        .precision_flexibility = precision_flexibility,
        .base_process_noise = base_process_noise,
        .mu1 = mu1,
        .var1 = max_num(var1, VARIANCE_FLOOR),
        .mu2 = mu2,
    };
}

// One observation at index t. On error the filter is left exactly as it was.
template <class T>
Result<DetailedT<T>> advance(HgfT<T>& filter, double observation, std::uint64_t t) {
    const double y = observation;
    if (auto ok = rule::finite.check("observation", y); !ok) return std::unexpected(std::move(ok.error()));
    if (auto ok = rule::finite_non_negative.check("precision_flexibility", value_of(filter.precision_flexibility));
        !ok)
        return std::unexpected(std::move(ok.error()));

    // A negative or NaN initial mu2 must not lower the process variance.
    const T v = max_num(filter.mu2, 0.0) * filter.precision_flexibility + filter.base_process_noise;
    const T s = filter.var1 + v;
    const T p = 1.0 / max_num(s, VARIANCE_FLOOR);
    const T q = filter.obs_precision + p;
    const T d = y - filter.mu1;
    const T a = filter.obs_precision / q;
    const T m = filter.mu1 + d * a;
    if (!is_finite(value_of(m))) return std::unexpected(VelmoraError::numerical_divergence("hgf::step level-1 mean"));

    const HgfStepT<T> row{static_cast<double>(t), filter.mu1, y, q, d, a, v};

    filter.var1 = max_num(1.0 / q, VARIANCE_FLOOR);
    // Deliberately the stored mu2, not the clamped one used for the volatility above.
    const T old_half = filter.mu2 * 0.5;
    const T new_half = (filter.obs_precision * (d * d)) * 0.5;
    filter.mu2 = max_num(old_half + new_half, 0.0);
    filter.mu1 = m;
    return DetailedT<T>{row, p};
}

inline Result<HgfStep> step(Hgf& filter, double observation, std::uint64_t t) {
    auto s = advance(filter, observation, t);
    if (!s) return std::unexpected(std::move(s.error()));
    return s->row;
}

// The filter over a sequence, each step handed to `sink(index, detailed)`; the first failing
// step ends the run. The one loop that every binding runs.
template <class T, class Sink>
Result<Flow> run_into(const SettingsT<T>& s, std::span<const double> observations, Sink&& sink) {
    if (observations.empty()) return Flow::go_on;
    HgfT<T> filter = build(s.obs_noise, s.precision_flexibility, s.base_process_noise, s.mu1, s.var1, s.mu2);
    for (std::size_t i = 0; i < observations.size(); ++i) {
        auto d = advance(filter, observations[i], i);
        if (!d) return std::unexpected(std::move(d.error()));
        if (sink(i, *d) == Flow::stop) return Flow::stop;
    }
    return Flow::go_on;
}

// The whole filter over a sequence; the first failing step discards every row.
Result<std::vector<HgfStep>> run(const Settings& settings, std::span<const double> observations);

}  // namespace velmora::hgf
