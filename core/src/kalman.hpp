// One-dimensional Kalman filter in precision form, with an optional cap on the prior precision.
#pragma once

#include <optional>
#include <vector>

#include "error.hpp"

namespace velmora::kalman {

// Posterior after one observation; a plain record of doubles in tuple order.
struct Row {
    double mean;
    double var;
};

Result<std::vector<Row>> run(double initial_mean, double initial_var, std::vector<double> observations,
                             double process_noise, double obs_noise, std::optional<double> prior_precision_cap);

}  // namespace velmora::kalman
