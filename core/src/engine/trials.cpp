#include "trials.hpp"

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
template <class M, class R, class Each>
Result<void> each_trial(const Likelihood& task, Each&& each) {
    const std::size_t own = task.params.size() - R::params.size();
    const auto args = unpack<M>(task.params.first(own), task.present, false, 0);
    const typename R::template Sum<double> sum(task.params.subspan(own));
    auto done = M::run(args, task.inputs, [&](std::size_t t, const Trial<double, M::fields.size()>& trial) {
        constexpr std::size_t every = (std::size_t{1} << 16) - 1;
        if ((t & every) == every && task.stop != nullptr) {
            if (task.poll != nullptr) (*task.poll)();
            if (task.stop->load(std::memory_order_relaxed)) return Flow::stop;
        }
        each(t, sum, trial);
        return Flow::go_on;
    });
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

// A response model whose responses are choices: its sum gives each trial's logit.
template <class R>
concept Binary = requires(const typename R::template Sum<double>& s, const Trial<double, 1>& trial) {
    { s.logit(trial) } -> std::same_as<double>;
};

}  // namespace

Result<void> trial_logliks(const Likelihood& task, std::span<double> loglik, std::span<double> belief) {
    return visit_pair(task, [&]<class M, class R>() {
        return each_trial<M, R>(task, [&](std::size_t t, const auto& sum, const auto& trial) {
            const double y = R::self_fit ? 0.0 : task.responses[t];
            // Negated as the array engine negates a self-fit's term: exact, so both agree bit for bit.
            if (!loglik.empty())
                loglik[t] = !R::self_fit && std::isnan(y) ? std::numeric_limits<double>::quiet_NaN()
                                                          : -sum.term(trial, y);
            if (!belief.empty()) belief[t] = trial.belief;
        });
    });
}

Result<void> simulate_responses(const Likelihood& task, std::uint64_t seed, std::span<double> responses,
                                std::span<double> belief) {
    SeededRng rng = SeededRng::from_seed(seed);
    return visit_pair(task, [&]<class M, class R>() -> Result<void> {
        if constexpr (R::self_fit) {
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

}  // namespace velmora::engine
