#include "trials.hpp"

#include <algorithm>
#include <cmath>
#include <concepts>
#include <limits>
#include <type_traits>

#include "../normal.hpp"
#include "../random.hpp"

namespace velmora::engine {

namespace {

// Runs M over the task's inputs with R's terms over doubles, handing `each(t, sum, trial)` every
// trial; polls and stops as the objective does on a long pass.
// A model that chooses tells `learned` each trial's fields after its update.
template <class M, class R, class Each, class Learned = Unheard>
Result<void> each_trial(const Likelihood& task, Each&& each, Learned&& learned = {}) {
    const std::size_t own = task.params.size() - R::params.size();
    const auto args = unpack<M>(task.params.first(own), task.present, false, 0);
    const typename R::template Sum<double> sum(task.params.subspan(own));
    const auto sink = [&](std::size_t t, const Trial<double, M::fields.size()>& trial) {
        constexpr std::size_t every = (std::size_t{1} << 16) - 1;
        if ((t & every) == every && task.stop != nullptr) {
            if (task.poll != nullptr) (*task.poll)();
            if (task.stop->load(std::memory_order_relaxed)) return Flow::stop;
        }
        each(t, sum, trial);
        return Flow::go_on;
    };
    auto done = run_model<M>(args, task.inputs, task.responses, task.options, sink, learned);
    if (!done) return std::unexpected(std::move(done.error()));
    return {};
}

// f.template operator()<M, R>() for the task's pair, or the objective's error for a pair the model
// does not accept.
template <class F>
Result<void> visit_pair(const Likelihood& task, F&& f) {
    return visit_model(task.model, [&]<class M>() {
        return visit_entry<response::Kinds>(task.response, [&]<class R>() -> Result<void> {
            if constexpr (accepts<M, R>())
                return f.template operator()<M, R>();
            else
                return std::unexpected(
                    VelmoraError::invalid_parameter("response", 0.0, "has no likelihood under this model"));
        });
    });
}

// The belief before a trial: a model that chooses has one per option, the values its rule reads.
template <class Trial>
void belief_into(std::span<double> belief, std::size_t t, const Trial& trial) {
    if (trial.values.empty())
        belief[t] = trial.belief;
    else
        std::copy(trial.values.begin(), trial.values.end(), belief.begin() + t * trial.values.size());
}

// An option drawn with the trial's uniform deviate: the first whose cumulative probability exceeds
// it, the last where rounding leaves the sum short of 1.
template <class Sum, class Trial>
std::size_t draw_option(const Sum& sum, const Trial& trial, SeededRng& rng) {
    const double u = word_to_half_open(rng.next_word64());
    std::size_t c = 0;
    double below = 0.0;
    for (; c + 1 < trial.values.size(); ++c) {
        below += std::exp(sum.log_probability(trial, c));
        if (u < below) break;
    }
    return c;
}

// A response model whose responses are choices: its sum gives each trial's logit.
template <class R>
concept Binary = requires(const typename R::template Sum<double>& s, const Trial<double, 1>& trial) {
    { s.logit(trial) } -> std::same_as<double>;
};

}  // namespace

std::size_t trial_field_count(std::size_t model, std::size_t options) {
    return visit_model(model, [&]<class M>() { return M::fields.size() + option_fields<M>.size() * options; });
}

Result<void> trial_logliks(const Likelihood& task, const TrialOutputs& out) {
    return visit_pair(task, [&]<class M, class R>() {
        constexpr std::size_t own = M::fields.size();
        const std::size_t width = own + option_fields<M>.size() * task.options;
        const auto each = [&](std::size_t t, const auto& sum, const auto& trial) {
            const double y = R::self_fit ? 0.0 : task.responses[t];
            // Negated as the array engine negates a self-fit's term: exact, so both agree bit for bit.
            if (!out.loglik.empty())
                out.loglik[t] = !R::self_fit && std::isnan(y) ? std::numeric_limits<double>::quiet_NaN()
                                                              : -sum.term(trial, y);
            if (!out.belief.empty()) belief_into(out.belief, t, trial);
            if (!out.fields.empty()) {
                // A model that chooses learns its own fields after the trial (below).
                if constexpr (!chooses<M>)
                    std::copy(trial.fields.begin(), trial.fields.end(), out.fields.begin() + t * width);
                std::copy(trial.option_fields.begin(), trial.option_fields.end(), out.fields.begin() + t * width + own);
            }
            if constexpr (R::over_options)
                if (!out.probabilities.empty())
                    for (std::size_t k = 0; k < task.options; ++k)
                        out.probabilities[t * task.options + k] = std::exp(sum.log_probability(trial, k));
        };
        const auto learned = [&](std::size_t t, const auto& fields) {
            if (!out.fields.empty()) std::copy(fields.begin(), fields.end(), out.fields.begin() + t * width);
        };
        return each_trial<M, R>(task, each, learned);
    });
}

Result<void> simulate_responses(const Likelihood& task, std::uint64_t seed, std::span<double> responses,
                                std::span<double> belief) {
    SeededRng rng = SeededRng::from_seed(seed);
    return visit_pair(task, [&]<class M, class R>() -> Result<void> {
        if constexpr (R::over_options && chooses<M>) {
            return std::unexpected(
                VelmoraError::invalid_parameter("response", 0.0, "draws choices in a closed loop, from payoffs"));
        } else if constexpr (R::over_options) {
            // Options the model values itself: each trial's choice drawn from them, in the open loop.
            return each_trial<M, R>(task, [&](std::size_t t, const auto& sum, const auto& trial) {
                responses[t] = static_cast<double>(draw_option(sum, trial, rng));
                if (!belief.empty()) belief[t] = trial.belief;
            });
        } else if constexpr (R::self_fit) {
            return std::unexpected(VelmoraError::invalid_parameter("response", 0.0, "has no responses to draw"));
        } else {
            const Normal standard{0.0, 1.0};
            return each_trial<M, R>(task, [&](std::size_t t, const auto& sum, const auto& trial) {
                if constexpr (Binary<R>) {
                    const double u = word_to_half_open(rng.next_word64());
                    responses[t] = u < 1.0 / (1.0 + std::exp(-sum.logit(trial))) ? 1.0 : 0.0;
                } else {
                    static_assert(std::is_same_v<R, response::Gaussian>, "a response model with no way to draw");
                    responses[t] = trial.belief + std::sqrt(sum.zeta) * standard.sample(rng);
                }
                if (!belief.empty()) belief[t] = trial.belief;
            });
        }
    });
}

Result<void> simulate_choices(const Likelihood& task, std::span<const double> payoffs, std::uint64_t seed,
                              std::span<double> choices, std::span<double> outcomes) {
    SeededRng rng = SeededRng::from_seed(seed);
    const std::size_t options = task.options;
    // The model reads each trial's choice and outcome after hearing the trial, from where they are drawn.
    Likelihood loop = task;
    loop.inputs = outcomes;
    loop.responses = choices;
    return visit_pair(task, [&]<class M, class R>() -> Result<void> {
        if constexpr (!R::over_options) {
            return std::unexpected(VelmoraError::invalid_parameter("response", 0.0, "does not choose among options"));
        } else {
            return each_trial<M, R>(loop, [&](std::size_t t, const auto& sum, const auto& trial) {
                const std::size_t c = draw_option(sum, trial, rng);
                choices[t] = static_cast<double>(c);
                outcomes[t] = payoffs[t * options + c];
            });
        }
    });
}

}  // namespace velmora::engine
