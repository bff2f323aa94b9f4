// One model's likelihoods, over doubles and over the derivative widths below. Each model's are
// compiled in a translation unit of their own (objective_model.cpp.in, one per entry of Models),
// so that a build spreads them over its jobs; objective.cpp dispatches to them.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>

#include "../dual.hpp"
#include "objective.hpp"

namespace velmora::engine {

// A model may name only likelihoods that exist and that its flags allow.
template <class M>
constexpr bool responses_declared_well() {
    for (std::string_view name : M::responses) {
        bool known = false, allowed = false;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((std::tuple_element_t<I, response::Kinds>::name == name
                  ? (known = true, allowed = std::tuple_element_t<I, response::Kinds>::self_fit ? M::self_fit
                                                                                               : M::fits_responses)
                  : false),
             ...);
        }(std::make_index_sequence<response::kind_count>{});
        if (!known || !allowed) return false;
    }
    return true;
}

// The derivative widths compiled: a call with m free parameters takes the narrowest that holds
// them, its spare lanes staying zero. Lanes never mix, so the values and the used lanes are those
// of the exact width, bit for bit.
inline constexpr std::array<std::size_t, 4> lane_widths{1, 2, 4, 8};
static_assert(lane_widths.back() == max_free);

namespace detail {

// The sum of each trial's term over scalar type T. A compile-time choice of model and response
// model, so that what a trial hands over and the sum does not use is never computed.
template <class M, class R, class T>
Result<T> run(const Likelihood& task, std::span<const T> p) {
    const std::size_t own = p.size() - R::params.size();
    const auto args = unpack<M>(p.first(own), task.present, false, 0);
    typename R::template Sum<T> sum(p.subspan(own));
    auto done = run_model<M>(args, task.inputs, task.responses, task.options, [&](std::size_t t, const Trial<T, M::fields.size()>& trial) {
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

// One derivative lane per free parameter, N >= free.size().
template <class M, class R, std::size_t N>
Result<double> with_lanes(const Likelihood& task, std::span<const std::size_t> free, std::span<double> gradient) {
    std::array<Dual<N>, M::params.size() + response::max_params> p{};
    for (std::size_t i = 0; i < task.params.size(); ++i) p[i] = Dual<N>(task.params[i]);
    for (std::size_t j = 0; j < free.size(); ++j) p[free[j]].d[j] = 1.0;
    auto total = run<M, R>(task, std::span<const Dual<N>>(p.data(), task.params.size()));
    if (!total) return std::unexpected(std::move(total.error()));
    for (std::size_t j = 0; j < free.size(); ++j) gradient[j] = total->d[j];
    return total->v;
}

// With nothing free the exact path over doubles, which gives the same value.
template <class M, class R>
Result<double> nll_of(const Likelihood& task, std::span<const std::size_t> free, std::span<double> gradient) {
    if (free.empty()) return run<M, R>(task, task.params);
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        Result<double> nll = 0.0;
        ((free.size() <= lane_widths[I] ? (nll = with_lanes<M, R, lane_widths[I]>(task, free, gradient), true)
                                        : false) ||
         ...);
        return nll;
    }(std::make_index_sequence<lane_widths.size()>{});
}

}  // namespace detail

template <class M>
Result<double> model_nll(const Likelihood& task, std::span<const std::size_t> free, std::span<double> gradient) {
    static_assert(responses_declared_well<M>(), "a model's `responses` names an unknown or disallowed likelihood");
    return visit_entry<response::Kinds>(task.response, [&]<class R>() -> Result<double> {
        if constexpr (accepts<M, R>())
            return detail::nll_of<M, R>(task, free, gradient);
        else
            return std::unexpected(
                VelmoraError::invalid_parameter("response", 0.0, "has no likelihood under this model"));
    });
}

}  // namespace velmora::engine
