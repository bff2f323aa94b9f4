// The words in which a model describes itself next to its equations (its `Description`), and
// which the array engine, the objective and the binding read instead of restating the model.
//
// A description holds: `name`; `params`, its parameters in order, by the names the list functions
// give them; `fields`, its output fields in order; `inputs`, the columns of one trial's input
// (read row by row from a flat span, one row per trial); `seeded`, whether it draws noise from a seed;
// `self_fit`, whether it has a predictive density of its own inputs; `fits_responses`, whether
// responses can be fitted around its belief (its run then works over a Dual too); `responses`, the
// likelihoods it accepts by their names in response.hpp ("observations" for its own inputs'
// density), the only pairs the objective compiles; and
// `run(args, inputs, sink)`, which hands `sink(t, trial)` a Trial per input and returns as the
// model's own run does.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>

#include "density.hpp"

namespace velmora {

struct Param {
    std::string_view name;
    // May be absent, and the model then runs without it (the Kalman filter's cap).
    bool optional = false;
    // Scales seeded noise. A likelihood is that of the noiseless model, so it leaves these out.
    bool noise = false;
};

constexpr Param param(std::string_view name) { return {name, false, false}; }
constexpr Param optional_param(std::string_view name) { return {name, true, false}; }
constexpr Param noise_param(std::string_view name) { return {name, false, true}; }

// One run's parameter values in the order its model declares them. An absent optional parameter
// is a clear bit of `given`, not a placeholder value: a NaN is a value the model must reject.
template <class T, std::size_t N>
struct Args {
    std::array<T, N> values{};
    std::bitset<N> given;
    std::uint64_t seed = 0;

    const T& operator[](std::size_t k) const { return values[k]; }
    std::optional<T> optional(std::size_t k) const { return given[k] ? std::optional<T>(values[k]) : std::nullopt; }
};

// What a model hands its sink for the input at each trial.
template <class T, std::size_t F>
struct Trial {
    T belief;           // what the model expects before the trial: the centre of a response to it
    // Self-fit models: the precisions of the belief about the input before it and of the input
    // around the hidden state, whose variances add to the input's predictive variance, ...
    T prior_precision;
    T obs_precision;
    T deviation;  // ... and the input's deviation from its predicted mean
    std::array<T, F> fields;

    // Computed only where a density is wanted: a fit to responses never pays for it.
    T predictive_var() const { return predictive_variance(prior_precision, obs_precision); }
};

// Tables of described things (the models, the response models) are tuples of types, looked up by
// name and visited by index.
template <class Table>
constexpr std::optional<std::size_t> index_named(std::string_view name) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        std::optional<std::size_t> found;
        ((std::tuple_element_t<I, Table>::name == name ? (found = I, true) : false) || ...);
        return found;
    }(std::make_index_sequence<std::tuple_size_v<Table>>{});
}

// f.template operator()<E>() for the entry E at `index` (below the table's size); every entry's
// call must return the same type.
template <class Table, class F>
decltype(auto) visit_entry(std::size_t index, F&& f) {
    using R = decltype(f.template operator()<std::tuple_element_t<0, Table>>());
    return [&]<std::size_t... I>(std::index_sequence<I...>) -> R {
        constexpr std::array<R (*)(F&), sizeof...(I)> table{
            [](F& g) -> R { return g.template operator()<std::tuple_element_t<I, Table>>(); }...};
        return table[index](f);
    }(std::make_index_sequence<std::tuple_size_v<Table>>{});
}

}  // namespace velmora
