// Forward model of self-motion: predict the sensed movement, compare, and correct.
#pragma once

#include <cstdint>
#include <vector>

#include "error.hpp"

namespace velmora::forward_model {

// One step; four doubles and nothing else, so the binding can read a row as an array.
struct Row {
    double t;          // step index as a double
    double predicted;  // estimate before this step's update
    double actual;     // scaled command plus noise
    double mismatch;   // actual - predicted
};

// One row per motor command. Parameters are checked before the sequence is looked at;
// with injury_noise_std > 0 step k takes the k-th deviate of the seeded generator.
Result<std::vector<Row>> simulate(std::vector<double> motor_command, double update_rate,
                                  double injury_noise_std, double sensory_gain, std::uint64_t seed);

}  // namespace velmora::forward_model
