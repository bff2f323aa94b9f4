#include "objective.hpp"

#include <array>
#include <cmath>
#include <utility>

#include "../dual.hpp"

namespace velmora::engine {

namespace {

template <class M, class R>
constexpr bool has_likelihood() {
    return R::self_fit ? M::self_fit : M::fits_responses;
}

// The sum of each trial's term over scalar type T. A compile-time choice of model and response
// model, so that what a trial hands over and the sum does not use is never computed.
template <class M, class R, class T>
Result<T> run(const Likelihood& task, std::span<const T> p) {
    const std::size_t own = p.size() - R::params.size();
    const auto args = unpack<M>(p.first(own), task.given, false, 0);
    typename R::template Sum<T> sum(p.subspan(own));
    auto done = M::run(args, task.inputs, [&](std::size_t t, const Trial<T, M::fields.size()>& trial) {
        constexpr std::size_t every = (std::size_t{1} << 16) - 1;
        if ((t & every) == every && task.stop != nullptr) {
            if (task.poll != nullptr) (*task.poll)();
            if (task.stop->load(std::memory_order_relaxed)) return Flow::stop;
        }
        sum.add(trial, R::self_fit ? 0.0 : task.responses[t]);
        return Flow::go_on;
    });
    if (!done) return std::unexpected(std::move(done.error()));
    return sum.total();
}

// One derivative lane per free parameter.
template <class M, class R, std::size_t N>
Result<double> with_lanes(const Likelihood& task, std::span<const std::size_t> free, std::span<double> gradient) {
    std::array<Dual<N>, M::params.size() + response::max_params> p{};
    for (std::size_t i = 0; i < task.params.size(); ++i) p[i] = Dual<N>(task.params[i]);
    for (std::size_t j = 0; j < N; ++j) p[free[j]].d[j] = 1.0;
    auto total = run<M, R>(task, std::span<const Dual<N>>(p.data(), task.params.size()));
    if (!total) return std::unexpected(std::move(total.error()));
    for (std::size_t j = 0; j < N; ++j) gradient[j] = total->d[j];
    return total->v;
}

// With nothing free the exact path over doubles, which gives the same value.
template <class M, class R>
Result<double> nll_of(const Likelihood& task, std::span<const std::size_t> free, std::span<double> gradient) {
    if (free.empty()) return run<M, R>(task, task.params);
    return [&]<std::size_t... N>(std::index_sequence<N...>) {
        Result<double> nll = 0.0;
        ((free.size() == N + 1 ? (nll = with_lanes<M, R, N + 1>(task, free, gradient), true) : false) || ...);
        return nll;
    }(std::make_index_sequence<max_free>{});
}

}  // namespace

std::optional<std::size_t> likelihood_param_count(std::size_t model, std::size_t response, Given given) {
    if (response >= response::kind_count) return std::nullopt;
    return visit_model(model, [&]<class M>() {
        return visit_entry<response::Kinds>(response, [&]<class R>() -> std::optional<std::size_t> {
            if (!has_likelihood<M, R>() || !valid_given<M>(given)) return std::nullopt;
            return param_count<M>(given, false) + R::params.size();
        });
    });
}

std::size_t input_width_of(std::size_t model) {
    return visit_model(model, []<class M>() { return input_width<M>; });
}

Result<double> negative_log_likelihood(const Likelihood& task, std::span<const std::size_t> free,
                                       std::span<double> gradient) {
    return visit_model(task.model, [&]<class M>() {
        return visit_entry<response::Kinds>(task.response, [&]<class R>() -> Result<double> {
            if constexpr (has_likelihood<M, R>())
                return nll_of<M, R>(task, free, gradient);
            else
                return std::unexpected(
                    VelmoraError::invalid_parameter("response", 0.0, "has no likelihood under this model"));
        });
    });
}

}  // namespace velmora::engine
