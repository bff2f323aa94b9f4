// Forward model of self-motion: predict the sensed movement, compare, and correct.
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

namespace velmora::forward_model {

// One step; four doubles and nothing else, so the binding can read a row as an array.
struct Row {
    double t;          // step index as a double
    double predicted;  // estimate before this step's update
    double actual;     // scaled command plus noise
    double mismatch;   // actual - predicted
};

struct Settings {
    double update_rate;
    double injury_noise_std;
    double sensory_gain;
    std::uint64_t seed;
};

struct Model {
    double estimate;
    Settings settings;
    bool noisy;
    Normal noise;
    SeededRng rng;
};

// Parameters are checked before the sequence is looked at.
inline Result<Model> start(const Settings& s) {
    SeededRng rng = SeededRng::from_seed(s.seed);
    if (auto ok = rule::unit_interval.check("update_rate", s.update_rate); !ok)
        return std::unexpected(std::move(ok.error()));
    if (auto ok = rule::finite_non_negative.check("injury_noise_std", s.injury_noise_std); !ok)
        return std::unexpected(std::move(ok.error()));
    return Model{0.0, s, s.injury_noise_std > 0.0, Normal{0.0, s.injury_noise_std}, rng};
}

// Step i; with noise it takes the i-th deviate of the generator.
inline Result<Row> step(Model& m, double motor_command, std::size_t i) {
    double actual = motor_command * m.settings.sensory_gain;
    if (m.noisy) actual = actual + m.noise.sample(m.rng);
    const double mismatch = actual - m.estimate;
    const double next = m.estimate + (mismatch * m.settings.update_rate);
    if (!std::isfinite(next))
        return std::unexpected(VelmoraError::numerical_divergence("forward_model::simulate estimate"));
    const Row row{static_cast<double>(i), m.estimate, actual, mismatch};
    m.estimate = next;
    return row;
}

// One row per motor command, each handed to `sink(index, row)`.
template <class Sink>
Result<Flow> simulate_into(const Settings& settings, std::span<const double> motor_command, Sink&& sink) {
    auto model = start(settings);
    if (!model) return std::unexpected(std::move(model.error()));
    for (std::size_t i = 0; i < motor_command.size(); ++i) {
        auto row = step(*model, motor_command[i], i);
        if (!row) return std::unexpected(std::move(row.error()));
        if (sink(i, *row) == Flow::stop) return Flow::stop;
    }
    return Flow::go_on;
}

Result<std::vector<Row>> simulate(const Settings& settings, std::span<const double> motor_command);

// The forward model as the engine runs it (model.hpp): doubles only, and no likelihood. Its belief
// before a step is the predicted movement.
struct Description {
    static constexpr std::string_view name = "forward";
    static constexpr std::array params{param("update_rate"), noise_param("injury_noise_std"), param("sensory_gain")};
    static constexpr std::array<std::string_view, 4> fields{"t", "predicted", "actual", "mismatch"};
    static constexpr std::array<std::string_view, 1> inputs{"motor_command"};
    static constexpr bool seeded = true;
    static constexpr bool self_fit = false;
    static constexpr bool fits_responses = false;
    static constexpr std::array<std::string_view, 0> responses{};

    template <class Sink>
    static Result<Flow> run(const Args<double, params.size()>& a, std::span<const double> motor_command, Sink&& sink) {
        const Settings settings{a[0], a[1], a[2], a.seed};
        return simulate_into(settings, motor_command, [&](std::size_t t, const Row& r) {
            const std::array<double, fields.size()> row{r.t, r.predicted, r.actual, r.mismatch};
            return sink(t, Trial<double, fields.size()>{r.predicted, 0.0, 0.0, 0.0, row});
        });
    }
};

}  // namespace velmora::forward_model
