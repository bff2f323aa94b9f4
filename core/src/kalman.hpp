// One-dimensional Kalman filter in precision form, with an optional cap on the prior precision.
// Written over a scalar type T: double is the exact path; a Dual also carries derivatives.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "density.hpp"
#include "error.hpp"
#include "model.hpp"
#include "numeric.hpp"

namespace velmora::kalman {

// Posterior after one observation; a plain record in tuple order.
template <class T>
struct RowT {
    T mean;
    T var;
};
using Row = RowT<double>;

template <class T>
struct SettingsT {
    T initial_mean;
    T initial_var;
    T process_noise;
    T obs_noise;
    std::optional<T> prior_precision_cap;
};
using Settings = SettingsT<double>;

// The running filter: posterior of the last step and the constants of the run.
template <class T>
struct Filter {
    T mean;
    T var;
    T obs_precision;
    SettingsT<T> settings;
};

// What a step tells besides its row: the prior mean and precision it used (after floor and cap)
// and the observation's deviation from that mean, which the likelihoods need.
template <class T>
struct StepT {
    RowT<T> row;
    T prior_mean;
    T prior_precision;
    T innovation;
    T obs_precision;
};
using Step = StepT<double>;

template <class T>
Filter<T> start(const SettingsT<T>& s) {
    return {s.initial_mean, max_num(s.initial_var, VARIANCE_FLOOR), 1.0 / max_num(s.obs_noise, VARIANCE_FLOOR), s};
}

// One prediction and update. On error the filter is left as it was.
template <class T>
Result<StepT<T>> step(Filter<T>& f, double y) {
    const SettingsT<T>& s = f.settings;
    // The parameter checks look only at constants, but they keep their place in the step so that
    // the first observation's finiteness is judged between them.
    if (auto ok = rule::finite_non_negative.check("process_noise", value_of(s.process_noise)); !ok)
        return std::unexpected(std::move(ok.error()));
    const T predicted_var = max_num(f.var + s.process_noise, VARIANCE_FLOOR);

    if (auto ok = rule::finite.check("observation", y); !ok) return std::unexpected(std::move(ok.error()));
    if (auto ok = rule::finite_non_negative.check("obs_noise", value_of(s.obs_noise)); !ok)
        return std::unexpected(std::move(ok.error()));
    if (s.prior_precision_cap)
        if (auto ok = rule::finite_positive.check("prior_precision_cap", value_of(*s.prior_precision_cap)); !ok)
            return std::unexpected(std::move(ok.error()));

    T prior_precision = 1.0 / predicted_var;
    if (s.prior_precision_cap) prior_precision = min_num(prior_precision, *s.prior_precision_cap);

    const T posterior_precision = f.obs_precision + prior_precision;
    if (!is_finite_positive(value_of(posterior_precision)))
        return std::unexpected(VelmoraError::numerical_divergence("kalman::update posterior precision"));

    const T weighted_obs = f.obs_precision * y;
    const T weighted_prior = prior_precision * f.mean;
    const T new_mean = (weighted_obs + weighted_prior) / posterior_precision;
    if (!is_finite(value_of(new_mean)))
        return std::unexpected(VelmoraError::numerical_divergence("kalman::update posterior mean"));

    const T prior_mean = f.mean;
    const T innovation = y - f.mean;
    f.mean = new_mean;
    f.var = max_num(1.0 / posterior_precision, VARIANCE_FLOOR);
    return StepT<T>{{f.mean, f.var}, prior_mean, prior_precision, innovation, f.obs_precision};
}

// The filter over a sequence, each step handed to `sink(index, step)`; the one loop that every
// binding runs. An empty sequence is returned before anything is checked.
template <class T, class Sink>
Result<Flow> run_into(const SettingsT<T>& settings, std::span<const double> observations, Sink&& sink) {
    if (observations.empty()) return Flow::go_on;
    Filter<T> filter = start(settings);
    for (std::size_t i = 0; i < observations.size(); ++i) {
        auto s = step(filter, observations[i]);
        if (!s) return std::unexpected(std::move(s.error()));
        if (sink(i, *s) == Flow::stop) return Flow::stop;
    }
    return Flow::go_on;
}

Result<std::vector<Row>> run(const Settings& settings, std::span<const double> observations);

// The filter as the engine runs it (model.hpp). Its belief before a trial is the prior mean, the
// posterior mean after the previous trial (initial_mean first); its own observations have a
// Gaussian predictive density around it.
//
// A fit estimates every parameter but the cap, which it never estimates (hold it with fixed=).
// Beliefs of a Kalman filter scale with its variances together, so responses pin down ratios only:
// a fit to responses holds obs_noise at 1.
struct Description {
    static constexpr std::string_view name = "kalman";
    static constexpr std::array params{
        fitted("initial_mean", Transform::identity, prior::wide),
        fitted("initial_var", Transform::log, prior::log_around_one),
        fitted("process_noise", Transform::log, {std::log(0.1), 4.0}),
        fitted("obs_noise", Transform::log, prior::log_around_one).hold_for_responses(1.0),
        optional_param("prior_precision_cap")};
    static constexpr std::array<std::string_view, 2> fields{"mean", "var"};
    static constexpr std::array<std::string_view, 1> inputs{"input"};
    static constexpr bool seeded = false;
    static constexpr bool self_fit = true;
    static constexpr bool fits_responses = true;
    static constexpr std::array<std::string_view, 4> responses{"observations", "gaussian", "unit_square", "logistic"};

    template <class T, class Sink>
    static Result<Flow> run(const Args<T, params.size()>& a, std::span<const double> observations, Sink&& sink) {
        const SettingsT<T> settings{a[0], a[1], a[2], a[3], a.optional(4)};
        return run_into(settings, observations, [&](std::size_t t, const StepT<T>& s) {
            const std::array<T, fields.size()> row{s.row.mean, s.row.var};
            return sink(t, Trial<T, fields.size()>{s.prior_mean, s.prior_precision, s.obs_precision, s.innovation, row});
        });
    }
};

}  // namespace velmora::kalman
