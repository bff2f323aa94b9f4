// Two-level hierarchical Gaussian filter whose level-1 process variance is driven by a
// running volatility estimate at level 2.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "density.hpp"
#include "error.hpp"
#include "model.hpp"
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

// A step's row, and what its predictive density needs that the row does not carry: the predicted
// precision before the observation's is added, and the observation precision.
template <class T>
struct DetailedT {
    HgfStepT<T> row;
    T predicted_precision;
    T obs_precision;
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
[[gnu::always_inline]] inline Result<DetailedT<T>> advance(HgfT<T>& filter, double observation, std::uint64_t t) {
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
    return DetailedT<T>{row, p, filter.obs_precision};
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

// The filter as the engine runs it (model.hpp). Its belief before a trial is the prediction; its
// own observations have a Gaussian predictive density around it.
//
// A default fit estimates the noises and the coupling, and holds the initial state at the list
// function's defaults. The list function's var2 (level 2's initial variance) is checked but unused.
struct Description {
    static constexpr std::string_view name = "hgf";
    static constexpr std::array params{
        fitted("obs_noise", Transform::log, prior::log_around_one),
        fitted("precision_flexibility", Transform::log, prior::log_around_one),
        fitted("base_process_noise", Transform::log, {std::log(0.01), 4.0}).defaults_to(0.01),
        fitted("mu1", Transform::identity, prior::wide).hold(0.0).defaults_to(0.0),
        fitted("var1", Transform::log, prior::log_around_one).hold(1.0).defaults_to(1.0),
        fitted("mu2", Transform::identity, prior::wide).hold(0.0).defaults_to(0.0)};
    static constexpr std::array list_only{param("var2").defaults_to(1.0)};
    static constexpr std::array<std::string_view, 7> fields{
        "t", "prediction", "observation", "precision", "prediction_error", "learning_rate", "volatility"};
    static constexpr std::array<std::string_view, 1> inputs{"input"};
    static constexpr bool seeded = false;
    static constexpr bool self_fit = true;
    static constexpr bool fits_responses = true;
    static constexpr std::array<std::string_view, 4> responses{"observations", "gaussian", "unit_square", "logistic"};

    template <class T, class Sink>
    static Result<Flow> run(const Args<T, params.size()>& a, std::span<const double> observations, Sink&& sink) {
        const SettingsT<T> settings{a[0], a[1], a[2], a[3], a[4], a[5]};
        return run_into(settings, observations, [&](std::size_t t, const DetailedT<T>& d) {
            const HgfStepT<T>& r = d.row;
            return sink(t, Trial<T, fields.size()>{r.prediction, d.predicted_precision, d.obs_precision,
                                                   r.prediction_error,
                                                   {r.t, r.prediction, r.observation, r.precision, r.prediction_error,
                                                    r.learning_rate, r.volatility}});
        });
    }
};

}  // namespace velmora::hgf
