// A participant's trials one by one, by the model's own run and the response model's own terms:
// each trial's log-likelihood (what the objective sums) and responses drawn around each trial's
// belief, so that no other layer restates a model's arithmetic to export or simulate it.
#pragma once

#include <cstdint>
#include <span>

#include "../error.hpp"
#include "objective.hpp"

namespace velmora::engine {

// Each trial's log-likelihood under `task` (NaN for a missed trial; a self-fit's is the input's
// predictive log density), and what TrialOutputs lists. The task's parameters and layout are those of negative_log_likelihood; a model
// failure is returned as the model's error, and an early stop leaves the outputs partly written.
// What trial_logliks writes, each left out where empty: one log-likelihood per trial; the belief
// before each trial (one per trial, or K for a model that chooses: its options' values); each
// trial's fields, trial_field_count per trial (the model's own, for a model that chooses after the
// trial's update, then its per-option fields before the trial, field-major); and under a response
// model over options, each option's probability before the trial, K per trial.
struct TrialOutputs {
    std::span<double> loglik, belief, fields, probabilities;
};

std::size_t trial_field_count(std::size_t model, std::size_t options);

Result<void> trial_logliks(const Likelihood& task, const TrialOutputs& out);

// One response per trial drawn from the task's response model around the belief before it, from
// the stream seeded with `seed` (the stream of velmora.arrays.normal and uniform): for a
// Gaussian belief + sqrt(zeta) * z with the trial's normal deviate z; for a binary model 1.0
// where the trial's uniform deviate falls below P(y = 1) = 1 / (1 + exp(-logit)), else 0.0. The
// task's responses are not read; a self-fit has nothing to draw and is refused.
Result<void> simulate_responses(const Likelihood& task, std::uint64_t seed, std::span<double> responses,
                                std::span<double> belief);

// A closed loop for a model that chooses among task.options options: on each trial the agent
// draws its choice from the response model's probabilities with the trial's uniform deviate of the
// stream seeded with `seed`, receives that option's payoff (payoffs holds K per trial, what each
// option would pay; NaN: no outcome shown) and learns from it. The choices (options' indices) and
// the outcomes obtained are written one per trial; the task's inputs and responses are not read.
Result<void> simulate_choices(const Likelihood& task, std::span<const double> payoffs, std::uint64_t seed,
                              std::span<double> choices, std::span<double> outcomes);

}  // namespace velmora::engine
