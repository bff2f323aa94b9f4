// Value learning from reward-prediction errors.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "model.hpp"
#include "normal.hpp"
#include "numeric.hpp"

namespace velmora::learning {

// Written over a scalar type T for the value and the rate: double is the exact path; a Dual also
// carries derivatives. The noise is data, drawn as doubles.
template <class T>
struct SettingsT {
    T initial_value;
    T learning_rate;
    double rpe_noise_std;
    std::uint64_t seed;
};
using Settings = SettingsT<double>;

// The running estimate; with noise, every prediction error takes the next deviate of its generator.
template <class T>
struct Learner {
    T value;
    T learning_rate;
    bool noisy;
    Normal noise;
    SeededRng rng;
};

// The checks of a run, made once before its first reward.
template <class T>
Result<Learner<T>> start(const SettingsT<T>& s) {
    SeededRng rng = SeededRng::from_seed(s.seed);
    if (auto ok = rule::unit_interval.check("learning_rate", value_of(s.learning_rate)); !ok)
        return std::unexpected(std::move(ok.error()));
    if (auto ok = rule::finite_non_negative.check("rpe_noise_std", s.rpe_noise_std); !ok)
        return std::unexpected(std::move(ok.error()));
    return Learner<T>{s.initial_value, s.learning_rate, s.rpe_noise_std > 0.0, Normal{0.0, s.rpe_noise_std}, rng};
}

// The value after one reward. Without noise nothing is drawn, so the seed has no effect.
template <class T>
T step(Learner<T>& l, double reward) {
    if (l.noisy) {
        const double e = l.noise.sample(l.rng);
        l.value = l.value + (((reward - l.value) + e) * l.learning_rate);
    } else {
        l.value = l.value + ((reward - l.value) * l.learning_rate);
    }
    return l.value;
}

// The value after each reward, handed to `sink(index, value)`. An empty reward sequence is
// returned as is, before any parameter is checked.
template <class T, class Sink>
Result<Flow> td_into(const SettingsT<T>& settings, std::span<const double> rewards, Sink&& sink) {
    if (rewards.empty()) return Flow::go_on;
    auto learner = start(settings);
    if (!learner) return std::unexpected(std::move(learner.error()));
    for (std::size_t i = 0; i < rewards.size(); ++i)
        if (sink(i, step(*learner, rewards[i])) == Flow::stop) return Flow::stop;
    return Flow::go_on;
}

Result<std::vector<double>> td_learn_sequence(const Settings& settings, std::span<const double> rewards);

// Value learning as the engine runs it (model.hpp). Its belief before a trial is the value before
// the trial's reward (initial_value first); a likelihood runs it without noise. The list function's
// discount_factor is checked but unused.
struct Description {
    static constexpr std::string_view name = "td";
    static constexpr std::array params{fitted("initial_value", Transform::identity, prior::wide),
                                       fitted("learning_rate", Transform::logit, {0.0, 2.25}),
                                       noise_param("rpe_noise_std")};
    static constexpr std::array list_only{param("discount_factor")};
    static constexpr std::array<std::string_view, 1> fields{"value"};
    static constexpr std::array<std::string_view, 1> inputs{"reward"};
    static constexpr bool seeded = true;
    static constexpr bool self_fit = false;
    static constexpr bool fits_responses = true;
    static constexpr std::array<std::string_view, 3> responses{"gaussian", "unit_square", "logistic"};

    template <class T, class Sink>
    static Result<Flow> run(const Args<T, params.size()>& a, std::span<const double> rewards, Sink&& sink) {
        const SettingsT<T> settings{a[0], a[1], value_of(a[2]), a.seed};
        T before = settings.initial_value;
        return td_into(settings, rewards, [&](std::size_t t, const T& after) {
            const Flow flow = sink(t, Trial<T, fields.size()>{before, T{}, T{}, T{}, {after}});
            before = after;
            return flow;
        });
    }
};

}  // namespace velmora::learning
