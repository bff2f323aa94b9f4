// Learning the values of K options from the outcomes of one's own choices: the models of bandit
// and reversal-learning tasks. Each trial the agent chooses from the values it holds before the
// trial (a response model over options, response.hpp's `softmax`), sees the chosen option's
// outcome, and learns; a missed trial (no choice) changes nothing, and a choice whose outcome was
// not seen (NaN) changes only what does not depend on it. Written over a scalar type T: double is
// the exact path, a Dual also carries derivatives.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "error.hpp"
#include "model.hpp"
#include "numeric.hpp"

namespace velmora::bandit {

// Why trial t's choice or outcome is refused: a choice must index one of the options, as the
// per-option state is indexed by it; an outcome must be finite, or NaN where none was seen.
[[gnu::cold, gnu::noinline]] inline VelmoraError refused_choice(const Choices& d, std::size_t t) {
    return VelmoraError::invalid_parameter(
        "choice", d.choices[t],
        "must be the index of one of the " + std::to_string(d.options) + " options, at trial " + std::to_string(t));
}
[[gnu::cold, gnu::noinline]] inline VelmoraError refused_outcome(const Choices& d, std::size_t t) {
    return VelmoraError::invalid_parameter("outcome", d.outcomes[t],
                                           "must be finite, or NaN where none was seen, at trial " + std::to_string(t));
}

// Whether c is an option's index (a whole number below K); NaN is not.
[[gnu::always_inline]] inline bool is_option(double c, std::size_t options) {
    return c >= 0.0 && c < static_cast<double>(options) && c == static_cast<double>(static_cast<std::size_t>(c));
}

inline Result<void> check_options(std::size_t options, std::size_t least = 2, std::size_t most = max_options) {
    if (options < least || options > most)
        return std::unexpected(VelmoraError::invalid_parameter(
            "options", static_cast<double>(options),
            least == most ? "this model takes exactly " + std::to_string(least) + " options"
                          : "must be from " + std::to_string(least) + " to " + std::to_string(most)));
    return {};
}

// The trial loop every model here shares. `state` holds the model's per-option fields (field-major,
// K per field, the values a choice rule reads first); `learn(c, r)` updates it after choice c with
// outcome r (NaN: not seen) and returns the prediction error. `sink(t, trial)` hears the trial
// before its choice is read, `learned(t, fields)` after the update.
template <class T, std::size_t F, std::size_t Width, class Sink, class Learned, class Learn>
Result<Flow> choose_and_learn(const Choices& d, const std::array<T, Width * max_options>& state, Sink& sink,
                              Learned& learned, Learn&& learn) {
    const std::size_t options = d.options;
    Trial<T, F> trial{};
    trial.values = std::span<const T>(state.data(), options);
    trial.option_fields = std::span<const T>(state.data(), Width * options);
    const T none(std::numeric_limits<double>::quiet_NaN());
    for (std::size_t t = 0; t < d.choices.size(); ++t) {
        if (sink(t, trial) == Flow::stop) return Flow::stop;
        const double c = d.choices[t], r = d.outcomes[t];
        T error = none;
        if (c == c) {  // not a missed trial
            if (!is_option(c, options)) [[unlikely]]
                return std::unexpected(refused_choice(d, t));
            if (std::isinf(r)) [[unlikely]]
                return std::unexpected(refused_outcome(d, t));
            const auto chosen = static_cast<std::size_t>(c);
            error = learn(chosen, r);
            trial.previous = static_cast<std::ptrdiff_t>(chosen);
        }
        learned(t, std::array<T, F>{error});
    }
    return Flow::go_on;
}

// A rate's check, on its value.
template <class T>
Result<void> check_rate(std::string_view name, const T& x) {
    return rule::unit_interval.check(name, value_of(x));
}

template <class T>
Result<void> check_finite(std::string_view name, const T& x) {
    return rule::finite.check(name, value_of(x));
}

// What every model here declares alike: its agent chooses under `softmax`, its input is the chosen
// option's outcome, its field the prediction error after the trial, its per-option field the value.
struct Chooser {
    static constexpr std::array<std::string_view, 1> fields{"prediction_error"};
    static constexpr std::array<std::string_view, 1> option_fields{"value"};
    static constexpr std::array<std::string_view, 1> inputs{"outcome"};
    static constexpr bool seeded = false;
    static constexpr bool self_fit = false;
    static constexpr bool fits_responses = true;
    static constexpr bool chooses = true;
    static constexpr std::array<std::string_view, 1> responses{"softmax"};
};

// The delta rule over K options: delta = r - Q(c), Q(c) += learning_rate * delta; every unchosen
// value moves toward initial_value by `decay` on each trial with a choice (held at 0: no decay).
struct Rw : Chooser {
    static constexpr std::string_view name = "rw";
    static constexpr std::array params{fitted("learning_rate", Transform::logit, {0.0, 2.25}),
                                       fitted("initial_value", Transform::identity, prior::wide).hold(0.0),
                                       fitted("decay", Transform::logit, {-2.0, 4.0}).hold(0.0)};

    template <class T, class Sink, class Learned>
    static Result<Flow> run(const Args<T, params.size()>& a, const Choices& d, Sink&& sink, Learned&& learned) {
        const T &rate = a[0], &initial = a[1], &decay = a[2];
        if (auto ok = check_options(d.options); !ok) return std::unexpected(std::move(ok.error()));
        if (auto ok = check_rate("learning_rate", rate); !ok) return std::unexpected(std::move(ok.error()));
        if (auto ok = check_finite("initial_value", initial); !ok) return std::unexpected(std::move(ok.error()));
        if (auto ok = check_rate("decay", decay); !ok) return std::unexpected(std::move(ok.error()));
        std::array<T, max_options> q;
        for (std::size_t k = 0; k < d.options; ++k) q[k] = initial;
        const bool decays = value_of(decay) != 0.0;
        return choose_and_learn<T, fields.size(), 1>(d, q, sink, learned, [&](std::size_t c, double r) {
            if (decays)
                for (std::size_t k = 0; k < d.options; ++k)
                    if (k != c) q[k] = q[k] + decay * (initial - q[k]);
            if (std::isnan(r)) return T(r);
            const T delta = r - q[c];
            q[c] = q[c] + rate * delta;
            return delta;
        });
    }
};

// The delta rule with one learning rate for positive prediction errors and another for negative
// ones (split by the sign of delta = r - Q(c), not of the outcome).
struct RwDual : Chooser {
    static constexpr std::string_view name = "rw_dual";
    static constexpr std::array params{fitted("learning_rate_pos", Transform::logit, {0.0, 2.25}),
                                       fitted("learning_rate_neg", Transform::logit, {0.0, 2.25}),
                                       fitted("initial_value", Transform::identity, prior::wide).hold(0.0)};

    template <class T, class Sink, class Learned>
    static Result<Flow> run(const Args<T, params.size()>& a, const Choices& d, Sink&& sink, Learned&& learned) {
        const T &positive = a[0], &negative = a[1], &initial = a[2];
        if (auto ok = check_options(d.options); !ok) return std::unexpected(std::move(ok.error()));
        if (auto ok = check_rate("learning_rate_pos", positive); !ok) return std::unexpected(std::move(ok.error()));
        if (auto ok = check_rate("learning_rate_neg", negative); !ok) return std::unexpected(std::move(ok.error()));
        if (auto ok = check_finite("initial_value", initial); !ok) return std::unexpected(std::move(ok.error()));
        std::array<T, max_options> q;
        for (std::size_t k = 0; k < d.options; ++k) q[k] = initial;
        return choose_and_learn<T, fields.size(), 1>(d, q, sink, learned, [&](std::size_t c, double r) {
            if (std::isnan(r)) return T(r);
            const T delta = r - q[c];
            q[c] = q[c] + (value_of(delta) > 0.0 ? positive : negative) * delta;
            return delta;
        });
    }
};

// Reversal learning between two options: the chosen option learns from its outcome r, the other
// as if it had paid the opposite, -r (delta' = -r - Q(u)), with the same learning rate.
struct RwFictitious : Chooser {
    static constexpr std::string_view name = "rw_fictitious";
    static constexpr std::array params{fitted("learning_rate", Transform::logit, {0.0, 2.25}),
                                       fitted("initial_value", Transform::identity, prior::wide).hold(0.0)};

    template <class T, class Sink, class Learned>
    static Result<Flow> run(const Args<T, params.size()>& a, const Choices& d, Sink&& sink, Learned&& learned) {
        const T &rate = a[0], &initial = a[1];
        if (auto ok = check_options(d.options, 2, 2); !ok) return std::unexpected(std::move(ok.error()));
        if (auto ok = check_rate("learning_rate", rate); !ok) return std::unexpected(std::move(ok.error()));
        if (auto ok = check_finite("initial_value", initial); !ok) return std::unexpected(std::move(ok.error()));
        std::array<T, max_options> q;
        q[0] = initial;
        q[1] = initial;
        return choose_and_learn<T, fields.size(), 1>(d, q, sink, learned, [&](std::size_t c, double r) {
            if (std::isnan(r)) return T(r);
            const std::size_t u = 1 - c;
            const T delta = r - q[c];
            const T fictitious = -r - q[u];
            q[c] = q[c] + rate * delta;
            q[u] = q[u] + rate * fictitious;
            return delta;
        });
    }
};

// A Kalman filter per option (Daw et al. 2006): the chosen option's mean moves toward its outcome
// by the gain K = var / (var + observation_noise^2) and its variance shrinks by (1 - K); then every
// option decays toward decay_center and diffuses: mean = decay * mean + (1 - decay) * decay_center,
// var = decay^2 * var + diffusion_noise^2. The noises are standard deviations; the choice rule
// reads the means.
struct KalmanBandit : Chooser {
    static constexpr std::string_view name = "kalman_bandit";
    // Outcomes may be in any unit (points from 1 to 100 in the original task): the identity-scale
    // priors are wide (sd 100), the log-scale ones span a factor of e^6 either way of 1.
    static constexpr Prior broad{0.0, 1e4};
    static constexpr std::array params{fitted("decay", Transform::logit, {2.0, 4.0}),
                                       fitted("decay_center", Transform::identity, broad),
                                       fitted("diffusion_noise", Transform::log, {0.0, 9.0}),
                                       fitted("initial_mean", Transform::identity, broad),
                                       fitted("initial_var", Transform::log, {0.0, 9.0}),
                                       fitted("observation_noise", Transform::log, {std::log(4.0), 4.0}).hold(4.0)};
    static constexpr std::array<std::string_view, 2> option_fields{"mean", "var"};

    template <class T, class Sink, class Learned>
    static Result<Flow> run(const Args<T, params.size()>& a, const Choices& d, Sink&& sink, Learned&& learned) {
        const T &decay = a[0], &center = a[1], &diffusion = a[2], &mean0 = a[3], &var0 = a[4], &noise = a[5];
        if (auto ok = check_options(d.options); !ok) return std::unexpected(std::move(ok.error()));
        if (auto ok = check_rate("decay", decay); !ok) return std::unexpected(std::move(ok.error()));
        if (auto ok = check_finite("decay_center", center); !ok) return std::unexpected(std::move(ok.error()));
        if (auto ok = rule::finite_non_negative.check("diffusion_noise", value_of(diffusion)); !ok)
            return std::unexpected(std::move(ok.error()));
        if (auto ok = check_finite("initial_mean", mean0); !ok) return std::unexpected(std::move(ok.error()));
        if (auto ok = rule::finite_positive.check("initial_var", value_of(var0)); !ok)
            return std::unexpected(std::move(ok.error()));
        if (auto ok = rule::finite_positive.check("observation_noise", value_of(noise)); !ok)
            return std::unexpected(std::move(ok.error()));
        const std::size_t n = d.options;
        std::array<T, 2 * max_options> state;  // means, then variances
        for (std::size_t k = 0; k < n; ++k) {
            state[k] = mean0;
            state[n + k] = var0;
        }
        const T noise_var = noise * noise, diffusion_var = diffusion * diffusion, pull = (1.0 - decay) * center;
        const T decay_sq = decay * decay;
        return choose_and_learn<T, fields.size(), 2>(d, state, sink, learned, [&](std::size_t c, double r) {
            T delta(r);
            if (!std::isnan(r)) {
                T& mean = state[c];
                T& var = state[n + c];
                const T gain = var / (var + noise_var);
                delta = r - mean;
                mean = mean + gain * delta;
                var = (1.0 - gain) * var;
            }
            for (std::size_t k = 0; k < n; ++k) {
                state[k] = decay * state[k] + pull;
                state[n + k] = decay_sq * state[n + k] + diffusion_var;
            }
            return delta;
        });
    }
};

}  // namespace velmora::bandit
