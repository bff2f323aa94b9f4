// Forward model of self-motion: predict the sensed movement, compare, and correct.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"
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

}  // namespace velmora::forward_model
