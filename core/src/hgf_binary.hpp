// The hierarchical Gaussian filter for binary inputs, in three levels: a belief about the outcome
// (level 1) as the logistic function of a tendency (level 2), whose step variance is set by a
// volatility (level 3). With kappa = 0 it is the two-level filter, and omega3 changes nothing.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <tuple>

#include "dual.hpp"
#include "error.hpp"
#include "model.hpp"
#include "numeric.hpp"

namespace velmora::hgf_binary {

// exp over the scalar types of the models; its slope is its value.
inline double exp_of(double x) { return std::exp(x); }
template <std::size_t N>
[[gnu::always_inline]] inline Dual<N> exp_of(const Dual<N>& x) {
    Dual<N> r(std::exp(x.v));
    for (std::size_t k = 0; k < N; ++k) r.d[k] = x.d[k] * r.v;
    return r;
}

template <class T>
struct SettingsT {
    T omega2, omega3, kappa;  // level 2's log step variance beside kappa * mu3; level 3's
    T mu2, sigma2, mu3, sigma3;  // the initial posterior
};

// The posterior after a trial.
template <class T>
struct State {
    T mu2, sigma2, mu3, sigma3;
};

// What one trial gives, in the fields' order (Description::fields).
template <class T>
struct Step {
    T muhat1;     // P(u = 1) before the input
    T muhat2;     // the tendency predicted (the previous mu2)
    T sigmahat2;  // its predicted variance, volatility included
    T mu2, sigma2, mu3, sigma3;
    T delta1;  // u - muhat1
    T delta2;  // the volatility prediction error
    T learning_rate2, learning_rate3;  // the precision weights of delta1 and delta2
};

template <bool Enhanced>
inline constexpr std::string_view model_name = Enhanced ? "ehgf_binary" : "hgf_binary";

// The parameters' checks, once before the first input, in the order of the parameters: the
// variances positive, the rest finite.
template <class T>
Result<void> check(const SettingsT<T>& s) {
    const std::array<std::tuple<std::string_view, double, const Rule*>, 7> checks{{
        {"omega2", value_of(s.omega2), &rule::finite},
        {"omega3", value_of(s.omega3), &rule::finite},
        {"kappa", value_of(s.kappa), &rule::finite},
        {"mu2", value_of(s.mu2), &rule::finite},
        {"sigma2", value_of(s.sigma2), &rule::finite_positive},
        {"mu3", value_of(s.mu3), &rule::finite},
        {"sigma3", value_of(s.sigma3), &rule::finite_positive},
    }};
    for (const auto& [name, x, rule] : checks)
        if (auto ok = rule->check(name, x); !ok) return ok;
    return {};
}

[[gnu::cold, gnu::noinline]] inline VelmoraError bad_input(double u, std::size_t t) {
    return VelmoraError::invalid_parameter("input", u,
                                           "must be 0 or 1, or NaN for a missed trial; at trial " + std::to_string(t));
}

// Where the level-3 precision is not positive the model has no posterior: its reason, naming the trial.
[[gnu::cold, gnu::noinline]] inline VelmoraError undefined_at(std::size_t t, double pi3) {
    return VelmoraError::numerical_divergence(std::string(model_name<false>) + " at trial " + std::to_string(t) +
                                              ", where the level-3 precision is " + format_double(pi3) +
                                              " (not positive, so the model is undefined)");
}

[[gnu::cold, gnu::noinline]] inline VelmoraError diverged_at(std::string_view model, std::size_t t) {
    return VelmoraError::numerical_divergence(std::string(model) + " at trial " + std::to_string(t));
}

// One input u at trial t. `Enhanced`: the level-3 mean moves by the prior precision, before the
// precision is updated, and the precision never falls (its increment clamped at zero), so that no
// trial leaves the model undefined. On error the state is left as it was.
//
// Each division by a precision is a product with the variance that is its reciprocal (delta1 / pi2
// is delta1 sigma2): one division fewer on the chain from trial to trial, which sets the pace.
// `e3` is exp(omega3), the same on every trial.
template <bool Enhanced, class T>
[[gnu::always_inline]] inline Result<Step<T>> advance(State<T>& s, const SettingsT<T>& p, const T& e3, double u,
                                                      std::size_t t) {
    const T muhat1 = 1.0 / (1.0 + exp_of(T(0.0) - s.mu2));
    const T v = exp_of(p.kappa * s.mu3 + p.omega2);
    const T sigmahat2 = s.sigma2 + v;
    if (std::isnan(u)) {
        // A missed input leaves the beliefs as they were, and has no prediction errors.
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return Step<T>{muhat1, s.mu2, sigmahat2, s.mu2, s.sigma2, s.mu3, s.sigma3, nan, nan, nan, nan};
    }
    if (u != 0.0 && u != 1.0) return std::unexpected(bad_input(u, t));
    const T pihat2 = 1.0 / sigmahat2;
    const T sigmahat3 = s.sigma3 + e3;
    const T delta1 = u - muhat1;
    const T pi2 = pihat2 + muhat1 * (1.0 - muhat1);
    const T sigma2 = 1.0 / pi2;
    const T mu2 = s.mu2 + delta1 * sigma2;
    const T w = v * pihat2;
    const T change = mu2 - s.mu2;
    const T delta2 = (sigma2 + change * change) * pihat2 - 1.0;
    const T increment = 0.5 * (p.kappa * p.kappa) * w * (w + (2.0 * w - 1.0) * delta2);
    const T weight = 0.5 * p.kappa * w;
    T sigma3, rate3;
    if constexpr (Enhanced) {
        sigma3 = 1.0 / (1.0 / sigmahat3 + max_num(increment, 0.0));
        rate3 = weight * sigmahat3;
    } else {
        const T pi3 = 1.0 / sigmahat3 + increment;
        if (!(value_of(pi3) > 0.0)) {
            if (std::isnan(value_of(pi3))) return std::unexpected(diverged_at(model_name<Enhanced>, t));
            return std::unexpected(undefined_at(t, value_of(pi3)));
        }
        sigma3 = 1.0 / pi3;
        rate3 = weight * sigma3;
    }
    const T mu3 = s.mu3 + rate3 * delta2;
    if (!is_finite(value_of(mu2)) || !is_finite(value_of(mu3)) || !is_finite(value_of(sigma3)) ||
        !(value_of(sigma2) > 0.0) || !(value_of(sigma3) > 0.0))
        return std::unexpected(diverged_at(model_name<Enhanced>, t));
    const Step<T> step{muhat1, s.mu2, sigmahat2, mu2, sigma2, mu3, sigma3, delta1, delta2, sigma2, rate3};
    s = State<T>{mu2, sigma2, mu3, sigma3};
    return step;
}

// The filter over a sequence, each trial handed to `sink(index, step)`; the first failing trial
// ends the run. An empty sequence is returned as is, before any parameter is checked.
template <bool Enhanced, class T, class Sink>
Result<Flow> run_into(const SettingsT<T>& p, std::span<const double> inputs, Sink&& sink) {
    if (inputs.empty()) return Flow::go_on;
    if (auto ok = check(p); !ok) return std::unexpected(std::move(ok.error()));
    State<T> s{p.mu2, p.sigma2, p.mu3, p.sigma3};
    const T e3 = exp_of(p.omega3);
    for (std::size_t t = 0; t < inputs.size(); ++t) {
        auto step = advance<Enhanced>(s, p, e3, inputs[t], t);
        if (!step) return std::unexpected(std::move(step.error()));
        if (sink(t, *step) == Flow::stop) return Flow::stop;
    }
    return Flow::go_on;
}

// The filter as the engine runs it (model.hpp). Its belief before a trial is muhat1, the
// probability that the input is 1, to which a choice responds.
//
// Priors: omega2 ~ N(-3, 16) and omega3 ~ N(-6, 16), wide around the values the literature's
// toolbox starts from; a default fit holds kappa at 1 (fix it at 0 for the two-level model) and the
// initial posterior at the list function's defaults. The unit-square temperature's default prior
// is log beta ~ N(log 48, 1), the toolbox's, not the Gaussian-input models' (log 2, 4): a belief in
// (0, 1) needs a steep power for choices that follow it closely.
template <bool Enhanced>
struct DescriptionT {
    static constexpr std::string_view name = model_name<Enhanced>;
    static constexpr std::array params{
        fitted("omega2", Transform::identity, {-3.0, 16.0}),
        fitted("omega3", Transform::identity, {-6.0, 16.0}),
        fitted("kappa", Transform::log, prior::log_around_one).hold(1.0).defaults_to(1.0),
        fitted("mu2", Transform::identity, prior::wide).hold(0.0).defaults_to(0.0),
        fitted("sigma2", Transform::log, {std::log(0.1), 4.0}).hold(0.1).defaults_to(0.1),
        fitted("mu3", Transform::identity, {1.0, 16.0}).hold(1.0).defaults_to(1.0),
        fitted("sigma3", Transform::log, prior::log_around_one).hold(1.0).defaults_to(1.0)};
    static constexpr std::array<std::string_view, 11> fields{
        "muhat1", "muhat2", "sigmahat2", "mu2", "sigma2", "mu3", "sigma3",
        "delta1", "delta2", "learning_rate2", "learning_rate3"};
    static constexpr std::array<std::string_view, 1> inputs{"input"};
    static constexpr bool seeded = false;
    static constexpr bool self_fit = false;
    static constexpr bool fits_responses = true;
    static constexpr bool missing_inputs = true;
    static constexpr bool binary_inputs = true;
    static constexpr std::array<std::string_view, 3> responses{"unit_square", "logistic", "softmax"};
    // Under a choice rule over options, a trial's two options are the predictions of input 0 and of
    // input 1, valued 1 - muhat1 and muhat1: P(choice 1) = s(beta (2 muhat1 - 1)).
    static constexpr std::size_t option_values = 2;
    static constexpr std::array response_priors{ResponsePrior{"unit_square", "beta", {std::log(48.0), 1.0}}};

    template <class T, class Sink>
    static Result<Flow> run(const Args<T, params.size()>& a, std::span<const double> inputs, Sink&& sink) {
        const SettingsT<T> settings{a[0], a[1], a[2], a[3], a[4], a[5], a[6]};
        std::array<T, option_values> predictions{};
        return run_into<Enhanced>(settings, inputs, [&](std::size_t t, const Step<T>& s) {
            Trial<T, fields.size()> trial{s.muhat1, T{}, T{}, T{},
                                          {s.muhat1, s.muhat2, s.sigmahat2, s.mu2, s.sigma2, s.mu3, s.sigma3,
                                           s.delta1, s.delta2, s.learning_rate2, s.learning_rate3}};
            predictions = {T(1.0) - s.muhat1, s.muhat1};
            trial.values = predictions;
            return sink(t, trial);
        });
    }
};

using Description = DescriptionT<false>;
using Enhanced = DescriptionT<true>;

}  // namespace velmora::hgf_binary
