// The table of models: every layer of the engine (the batch runner, the objective, the binding)
// is generated from it. Adding a model is one line here; the model describes itself next to its
// equations (see ../model.hpp).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>

#include "../discounting.hpp"
#include "../forward_model.hpp"
#include "../hgf.hpp"
#include "../kalman.hpp"
#include "../learning.hpp"
#include "../model.hpp"

namespace velmora::engine {

using Models = std::tuple<kalman::Description, hgf::Description, learning::Description, forward_model::Description,
                          discounting::Exponential, discounting::Hyperbolic>;

inline constexpr std::size_t model_count = std::tuple_size_v<Models>;

// The index of the model of that name in the table.
constexpr std::optional<std::size_t> model_index(std::string_view name) { return index_named<Models>(name); }

// f.template operator()<M>() for the model M at `index` (below model_count).
template <class F>
decltype(auto) visit_model(std::size_t index, F&& f) {
    return visit_entry<Models>(index, std::forward<F>(f));
}

// The doubles of one trial's input.
template <class M>
inline constexpr std::size_t input_width = M::inputs.size();

// A run's output fields: the model's own, then, for a model with a density of its own inputs,
// `loglik`, each input's log density under it.
template <class M>
inline constexpr std::size_t field_count = M::fields.size() + (M::self_fit ? 1 : 0);

template <class M>
inline constexpr std::size_t optional_count = [] {
    std::size_t n = 0;
    for (const Param& p : M::params) n += p.optional ? 1 : 0;
    return n;
}();

// Which optional parameters a vector holds: bit j for the model's j-th optional parameter.
using Given = std::uint64_t;

template <class M>
constexpr bool valid_given(Given given) {
    return optional_count<M> == 64 || (given >> optional_count<M>) == 0;
}

// The length of a compact parameter vector: the model's parameters in order, each optional one
// only when given, and its noise parameters only `with_noise` (a likelihood runs without noise).
template <class M>
constexpr std::size_t param_count(Given given, bool with_noise) {
    std::size_t n = 0, j = 0;
    for (const Param& p : M::params) {
        if (p.optional)
            n += (given >> j++) & 1;
        else
            n += (with_noise || !p.noise) ? 1 : 0;
    }
    return n;
}

// The run's arguments from a compact vector of param_count<M>(given, with_noise) values; a noise
// parameter left out is zero.
template <class M, class T>
Args<T, M::params.size()> unpack(std::span<const T> compact, Given given, bool with_noise, std::uint64_t seed) {
    Args<T, M::params.size()> a;
    a.seed = seed;
    std::size_t at = 0, j = 0;
    for (std::size_t k = 0; k < M::params.size(); ++k) {
        const Param& p = M::params[k];
        const bool present = p.optional ? ((given >> j++) & 1) != 0 : (with_noise || !p.noise);
        a.given[k] = present;
        a.values[k] = present ? compact[at++] : T(0.0);
    }
    return a;
}

}  // namespace velmora::engine
