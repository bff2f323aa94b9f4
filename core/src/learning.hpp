// Value learning from reward-prediction errors, and exponential discounting.
#pragma once

#include <cstdint>
#include <vector>

#include "error.hpp"

namespace velmora::learning {

// The value estimate after each reward. With rpe_noise_std > 0 every prediction error
// gets one normal deviate from a generator seeded with `seed`; otherwise nothing is drawn.
// An empty reward sequence is returned as is, before any parameter is checked.
Result<std::vector<double>> td_learn_sequence(double initial_value, std::vector<double> rewards,
                                              double learning_rate, double rpe_noise_std,
                                              std::uint64_t seed);

// reward * discount_factor^delay; no argument is rejected.
double discounted_value(double reward, double delay, double discount_factor);

}  // namespace velmora::learning
