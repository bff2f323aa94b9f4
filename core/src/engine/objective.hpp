// The negative log-likelihood of a participant's data under a model, with its exact gradient
// with respect to chosen parameters, in one pass over the trials (forward-mode derivatives).
#pragma once

#include <cstddef>
#include <span>

#include "../error.hpp"
#include "batch.hpp"

namespace velmora::engine {

// Derivatives with respect to at most this many parameters at once.
inline constexpr std::size_t max_free = 8;

struct Likelihood {
    Model model;  // kalman, hgf or td
    // Without responses, the filter's own predictive density of the inputs; with them, a Gaussian
    // response around the model's belief before each trial, whose variance zeta is the last
    // parameter. A NaN response is a missed trial: the model still sees the input.
    bool self_fit;
    bool has_cap;  // kalman: a prior_precision_cap follows obs_noise
    std::span<const double> inputs;
    std::span<const double> responses;
    // Natural values, in the list functions' order: kalman initial_mean, initial_var,
    // process_noise, obs_noise[, cap]; hgf obs_noise, precision_flexibility, base_process_noise,
    // mu1, var1, mu2; td initial_value, learning_rate; then zeta when there are responses.
    std::span<const double> params;
};

// The parameter count `params` must have.
std::size_t likelihood_param_count(Model model, bool self_fit, bool has_cap);

// Negative log-likelihood, and into `gradient` its derivatives with respect to params[free[j]].
// A model failure at these parameters is returned as the model's error.
Result<double> negative_log_likelihood(const Likelihood& task, std::span<const std::size_t> free,
                                       std::span<double> gradient);

}  // namespace velmora::engine
