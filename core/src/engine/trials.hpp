// A participant's trials one by one, by the model's own run and the response model's own terms:
// each trial's log-likelihood (what the objective sums) and responses drawn around each trial's
// belief, so that no other layer restates a model's arithmetic to export or simulate it.
#pragma once

#include <cstdint>
#include <span>

#include "../error.hpp"
#include "objective.hpp"

namespace velmora::engine {

// Each trial's log-likelihood under `task` into `loglik` (NaN for a missed trial; a self-fit's is
// the input's predictive log density), and the model's belief before it into `belief`, both one
// per trial. The task's parameters and layout are those of negative_log_likelihood; a model
// failure is returned as the model's error, and an early stop leaves the outputs partly written.
Result<void> trial_logliks(const Likelihood& task, std::span<double> loglik, std::span<double> belief);

// One response per trial drawn from the task's response model around the belief before it, from
// the stream seeded with `seed` (the stream of velmora.arrays.normal and uniform): for a
// Gaussian belief + sqrt(zeta) * z with the trial's normal deviate z; for a binary model 1.0
// where the trial's uniform deviate falls below P(y = 1) = 1 / (1 + exp(-logit)), else 0.0. The
// task's responses are not read; a self-fit has nothing to draw and is refused.
Result<void> simulate_responses(const Likelihood& task, std::uint64_t seed, std::span<double> responses,
                                std::span<double> belief);

}  // namespace velmora::engine
