// The negative log-likelihood of a participant's data under a model, with its exact gradient
// with respect to chosen parameters, in one pass over the trials (forward-mode derivatives).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "../error.hpp"
#include "batch.hpp"
#include "../response.hpp"
#include "models.hpp"

namespace velmora::engine {

// Derivatives with respect to at most this many parameters at once.
inline constexpr std::size_t max_free = 8;

struct Likelihood {
    std::size_t model;     // index into Models
    std::size_t response;  // index into response::Kinds: the inputs' own density, or a response model's
    OptionalMask present;           // which of the model's optional parameters `params` holds
    std::span<const double> inputs;  // input_width<M> doubles per trial
    std::span<const double> responses;  // one per trial; NaN for a missed trial (the model still sees the input)
    // Natural values: the model's parameters in its order without its noise parameters (the
    // likelihood is of the noiseless model), the optional ones as `present` says; then the response
    // model's.
    std::span<const double> params;
// A long pass calls `poll` every so many trials and ends early once `stop` is set; its value is
    // then meaningless, and the caller, who set it, knows.
    const Poll* poll = nullptr;
    const std::atomic<bool>* stop = nullptr;
    // K, for a model that chooses among options; its responses are then the options' indices.
    std::size_t options = 0;
};

// The parameter count `params` must have, or nothing if the model has no likelihood of that kind.
std::optional<std::size_t> likelihood_param_count(std::size_t model, std::size_t response, OptionalMask present);

// The doubles of one trial's input under the model.
std::size_t input_width_of(std::size_t model);

// Whether M names R among the likelihoods it accepts; only those pairs are compiled.
template <class M, class R>
constexpr bool accepts() {
    for (std::string_view name : M::responses)
        if (name == R::name) return true;
    return false;
}

// Negative log-likelihood, and into `gradient` its derivatives with respect to params[free[j]].
// A model failure at these parameters is returned as the model's error.
Result<double> negative_log_likelihood(const Likelihood& task, std::span<const std::size_t> free,
                                       std::span<double> gradient);

// negative_log_likelihood for the model M (task.model's entry); a likelihood M does not accept
// is an error. Defined in objective_model.hpp, instantiated once per model in a unit of its own.
template <class M>
Result<double> model_nll(const Likelihood& task, std::span<const std::size_t> free, std::span<double> gradient);

}  // namespace velmora::engine
