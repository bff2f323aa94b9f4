#include "objective.hpp"

#include <array>
#include <cmath>
#include <utility>

#include "../density.hpp"
#include "../dual.hpp"

namespace velmora::engine {

namespace {

template <class M>
constexpr bool has_likelihood(bool self_fit) {
    return self_fit ? M::self_fit : M::fits_responses;
}

// The sum of each trial's term over scalar type T: the input's own predictive density, or the
// response's density around the belief. A compile-time choice, so that what a trial hands over and
// the sum does not use is never computed.
template <class M, bool SelfFit, class T>
Result<T> run(const Likelihood& task, std::span<const T> p) {
    const auto args = unpack<M>(p, task.given, false, 0);
    T total{};  // self-fit: the sum of the terms; responses: the sum of squared deviations
    std::size_t observed = 0;
    auto done = M::run(args, task.inputs, [&](std::size_t t, const Trial<T, M::fields.size()>& trial) {
        constexpr std::size_t every = (std::size_t{1} << 16) - 1;
        if ((t & every) == every && task.stop != nullptr) {
            if (task.poll != nullptr) (*task.poll)();
            if (task.stop->load(std::memory_order_relaxed)) return Flow::stop;
        }
        if constexpr (SelfFit) {
            total = total + gaussian_nll(trial.predictive_var(), trial.deviation);
        } else {
            const double r = task.responses[t];
            if (!std::isnan(r)) {
                const T deviation = r - trial.belief;
                total = total + deviation * deviation;
                ++observed;
            }
        }
        return Flow::go_on;
    });
    if (!done) return std::unexpected(std::move(done.error()));
    if constexpr (!SelfFit) return gaussian_nll_sum(p[p.size() - 1], observed, total);
    return total;
}

// One derivative lane per free parameter.
template <class M, bool SelfFit, std::size_t N>
Result<double> with_lanes(const Likelihood& task, std::span<const std::size_t> free, std::span<double> gradient) {
    std::array<Dual<N>, M::params.size() + 1> p{};  // the most a likelihood takes: every parameter, and zeta
    for (std::size_t i = 0; i < task.params.size(); ++i) p[i] = Dual<N>(task.params[i]);
    for (std::size_t j = 0; j < N; ++j) p[free[j]].d[j] = 1.0;
    auto total = run<M, SelfFit>(task, std::span<const Dual<N>>(p.data(), task.params.size()));
    if (!total) return std::unexpected(std::move(total.error()));
    for (std::size_t j = 0; j < N; ++j) gradient[j] = total->d[j];
    return total->v;
}

// With nothing free the exact path over doubles, which gives the same value.
template <class M, bool SelfFit>
Result<double> nll_of(const Likelihood& task, std::span<const std::size_t> free, std::span<double> gradient) {
    if (free.empty()) return run<M, SelfFit>(task, task.params);
    return [&]<std::size_t... N>(std::index_sequence<N...>) {
        Result<double> nll = 0.0;
        ((free.size() == N + 1 ? (nll = with_lanes<M, SelfFit, N + 1>(task, free, gradient), true) : false) || ...);
        return nll;
    }(std::make_index_sequence<max_free>{});
}

}  // namespace

std::optional<std::size_t> likelihood_param_count(std::size_t model, bool self_fit, Given given) {
    return visit_model(model, [&]<class M>() -> std::optional<std::size_t> {
        if (!has_likelihood<M>(self_fit) || !valid_given<M>(given)) return std::nullopt;
        return param_count<M>(given, false) + (self_fit ? 0 : 1);
    });
}

Result<double> negative_log_likelihood(const Likelihood& task, std::span<const std::size_t> free,
                                       std::span<double> gradient) {
    return visit_model(task.model, [&]<class M>() -> Result<double> {
        if constexpr (M::self_fit)
            if (task.self_fit) return nll_of<M, true>(task, free, gradient);
        if constexpr (M::fits_responses)
            if (!task.self_fit) return nll_of<M, false>(task, free, gradient);
        return std::unexpected(VelmoraError::invalid_parameter("response", 0.0, "has no likelihood under this model"));
    });
}

}  // namespace velmora::engine
