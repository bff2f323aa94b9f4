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

#include "../bandit.hpp"
#include "../discounting.hpp"
#include "../forward_model.hpp"
#include "../hgf.hpp"
#include "../hgf_binary.hpp"
#include "../kalman.hpp"
#include "../learning.hpp"
#include "../model.hpp"
#include "../response.hpp"

namespace velmora::engine {

using Models = std::tuple<kalman::Description, hgf::Description, learning::Description, forward_model::Description,
                          discounting::Exponential, discounting::Hyperbolic, hgf_binary::Description,
                          hgf_binary::Enhanced, bandit::Rw, bandit::RwDual, bandit::RwFictitious,
                          bandit::KalmanBandit>;

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
using OptionalMask = std::uint64_t;

template <class M>
constexpr bool valid_mask(OptionalMask present) {
    return optional_count<M> == 64 || (present >> optional_count<M>) == 0;
}

// The length of a compact parameter vector: the model's parameters in order, each optional one
// only when present, and its noise parameters only `with_noise` (a likelihood runs without noise).
template <class M>
constexpr std::size_t param_count(OptionalMask present, bool with_noise) {
    std::size_t n = 0, j = 0;
    for (const Param& p : M::params) {
        if (p.optional)
            n += (present >> j++) & 1;
        else
            n += (with_noise || !p.noise) ? 1 : 0;
    }
    return n;
}

// The run's arguments from a compact vector of param_count<M>(present, with_noise) values; a noise
// parameter left out is zero.
template <class M, class T>
Args<T, M::params.size()> unpack(std::span<const T> compact, OptionalMask present, bool with_noise,
                                 std::uint64_t seed) {
    Args<T, M::params.size()> a;
    a.seed = seed;
    std::size_t at = 0, j = 0;
    for (std::size_t k = 0; k < M::params.size(); ++k) {
        const Param& p = M::params[k];
        const bool here = p.optional ? ((present >> j++) & 1) != 0 : (with_noise || !p.noise);
        a.present[k] = here;
        a.values[k] = here ? compact[at++] : T(0.0);
    }
    return a;
}

// Heeds nothing: what a run hands on after each trial's update when no one listens.
struct Unheard {
    template <class Fields>
    void operator()(std::size_t, const Fields&) const {}
};

// Runs M over a participant's data as its description says: a model that chooses reads the
// choices (and K) beside its inputs, the outcomes, and tells `learned(t, fields)` each trial's
// fields after its update; any other model reads its inputs alone.
template <class M, class T, class Sink, class Learned = Unheard>
Result<Flow> run_model(const Args<T, M::params.size()>& args, std::span<const double> inputs,
                       std::span<const double> choices, std::size_t options, Sink&& sink, Learned&& learned = {}) {
    if constexpr (chooses<M>)
        return M::run(args, Choices{inputs, choices, options}, sink, learned);
    else
        return M::run(args, inputs, sink);
}

// Whether a model (or a response model) is fitted: its parameters then have priors.
template <class M>
inline constexpr bool is_fitted = M::self_fit || M::fits_responses;

// Whether the response model named `response` has a parameter named `param`.
constexpr bool response_has_param(std::string_view response, std::string_view param) {
    return []<std::size_t... I>(std::index_sequence<I...>, std::string_view r, std::string_view p) {
        auto has = [&]<class R>() {
            for (const Param& q : R::params)
                if (q.name == p) return true;
            return false;
        };
        return ((std::tuple_element_t<I, response::Kinds>::name == r &&
                 has.template operator()<std::tuple_element_t<I, response::Kinds>>()) ||
                ...);
    }(std::make_index_sequence<response::kind_count>{}, response, param);
}

// Why a model's own priors for its response models' parameters are badly declared, or empty.
template <class M>
constexpr std::string_view response_priors_fault() {
    const auto& priors = response_priors_of<M>;
    for (std::size_t i = 0; i < priors.size(); ++i) {
        bool accepted = false;
        for (std::string_view r : M::responses) accepted = accepted || r == priors[i].response;
        if (!accepted || !response_has_param(priors[i].response, priors[i].param))
            return "a response prior names no parameter of a response model the model accepts";
        const Prior& p = priors[i].prior;
        if (!(p.var > 0.0) || !in_domain(Transform::identity, p.var) || !in_domain(Transform::identity, p.mean))
            return "a fitted parameter's prior is not finite with a positive variance";
        for (std::size_t j = 0; j < i; ++j)
            if (priors[j].response == priors[i].response && priors[j].param == priors[i].param)
                return "a response prior is declared twice";
    }
    return "";
}

// Why a model's description is badly declared, or empty (model.hpp says what each part means).
template <class M>
constexpr std::string_view model_fault() {
    if (const std::string_view fault = response_priors_fault<M>(); !fault.empty()) return fault;
    for (const Param& p : M::params)
        if (const std::string_view fault = param_fault(p, is_fitted<M>); !fault.empty()) return fault;
    for (const Param& p : list_only_params<M>) {
        if (p.optional || p.noise || p.fitted() || p.held || p.held_for_responses)
            return "a parameter the model never reads is declared as one it does";
        for (const Param& q : M::params)
            if (q.name == p.name) return "a parameter the model never reads is also one of its own";
    }
    for (std::size_t i = 0; i < M::params.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (M::params[i].name == M::params[j].name) return "two parameters share a name";
    bool observations = false, responses = false;
    for (std::size_t i = 0; i < M::responses.size(); ++i) {
        const auto kind = index_named<response::Kinds>(M::responses[i]);
        if (!kind) return "a response model is not one of response::Kinds";
        for (std::size_t j = 0; j < i; ++j)
            if (M::responses[j] == M::responses[i]) return "a response model is named twice";
        const bool own = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return ((I == *kind && std::tuple_element_t<I, response::Kinds>::self_fit) || ...);
        }(std::make_index_sequence<response::kind_count>{});
        observations = observations || own;
        responses = responses || !own;
    }
    for (std::string_view name : M::responses) {
        const bool over_options = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return ((std::tuple_element_t<I, response::Kinds>::name == name &&
                     std::tuple_element_t<I, response::Kinds>::over_options) ||
                    ...);
        }(std::make_index_sequence<response::kind_count>{});
        if (chooses<M> ? !over_options : over_options && option_values_of<M> == 0)
            return "a model that chooses among options takes only response models over options, and only it "
                   "or a model that hands its trials option values does";
    }
    if constexpr (chooses<M>)
        if (option_fields<M>.empty() || M::self_fit || input_width<M> != 1)
            return "a model that chooses has per-option fields and one input, the chosen option's outcome";
    if (observations != M::self_fit) return "a self-fit model must accept \"observations\", and no other";
    if (responses != M::fits_responses) return "a model fitted to responses must name its response models";
    if (M::fits_responses && M::self_fit && M::responses[0] != response::Observations::name)
        return "a self-fit model lists \"observations\" first, then its default response model";
    return "";
}

// The same of a response model: its parameters are fitted after the model's, and a self-fit has none.
template <class R>
constexpr std::string_view response_fault() {
    for (const Param& p : R::params) {
        if (p.optional || p.noise) return "a response model's parameters are all fitted";
        if (const std::string_view fault = param_fault(p, true); !fault.empty()) return fault;
        if (p.list_default || p.held_for_responses) return "a response model's parameter has a list default";
    }
    if (R::self_fit && (R::params.size() != 0 || R::choices)) return "the inputs' own density has no parameters";
    return "";
}

template <class Table, template <class> class Check>
constexpr bool all_declared_well() {
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return (Check<std::tuple_element_t<I, Table>>::ok && ...);
    }(std::make_index_sequence<std::tuple_size_v<Table>>{});
}

template <class M>
struct ModelCheck {
    static constexpr bool ok = model_fault<M>().empty();
};
template <class R>
struct ResponseCheck {
    static constexpr bool ok = response_fault<R>().empty();
};

// A model or response model that breaks the rules of model.hpp fails the build here; model_fault
// says which rule (core/tests/test_models.cpp).
static_assert(all_declared_well<Models, ModelCheck>(), "a model is badly declared: see engine::model_fault");
static_assert(all_declared_well<response::Kinds, ResponseCheck>(),
              "a response model is badly declared: see engine::response_fault");

}  // namespace velmora::engine
