// The words in which a model describes itself next to its equations (its `Description`), and
// which the array engine, the objective, the binding and Python read instead of restating the model.
//
// A description holds: `name`; `params`, its parameters in order, by the names the list functions
// give them, each with what a fit needs to know of it (below); `fields`, its output fields in order;
// `inputs`, the columns of one trial's input (read row by row from a flat span, one row per trial);
// `seeded`, whether it draws noise from a seed; `self_fit`, whether it has a predictive density of
// its own inputs; `fits_responses`, whether responses can be fitted around its belief (its run then
// works over a Dual too); `responses`, the likelihoods it accepts by their names in response.hpp
// ("observations" for its own inputs' density), the default response model first, the only pairs
// the objective compiles; optionally `list_only`, parameters its list function takes that the model
// never reads, `response_priors`, its own default priors for its response models' parameters, and
// `missing_inputs`, whether a NaN input is a missed one, and `binary_inputs`, whether its inputs are
// 0 or 1; and `run(args, inputs, sink)`, which hands `sink(t, trial)` a Trial per input and
// returns as the model's own run does. engine/models.hpp checks each description at compile time.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>

#include "density.hpp"

namespace velmora {

// How a fit maps a parameter's natural value to an unbounded one; the codes are the binding's.
enum class Transform : std::uint8_t { identity = 0, log = 1, logit = 2 };

constexpr std::string_view transform_name(Transform t) {
    switch (t) {
        case Transform::log: return "log";
        case Transform::logit: return "logit";
        case Transform::identity: break;
    }
    return "identity";
}

// Whether the transform maps the natural value `x` to a finite one.
constexpr bool in_domain(Transform t, double x) {
    const bool finite = x == x && x - x == 0.0;
    switch (t) {
        case Transform::log: return finite && x > 0.0;
        case Transform::logit: return finite && x > 0.0 && x < 1.0;
        case Transform::identity: break;
    }
    return finite;
}

// Whether `x` may be held (not estimated) under the transform: its domain, and for a rate the
// edges of the unit interval, where a held value switches a term off (a lapse rate or decay of 0).
constexpr bool holdable(Transform t, double x) {
    return t == Transform::logit ? in_domain(Transform::identity, x) && x >= 0.0 && x <= 1.0 : in_domain(t, x);
}

// A fitted parameter's default prior: Normal, mean and variance in the transformed space.
struct Prior {
    double mean = 0.0;
    double var = 0.0;  // 0: no prior, the parameter is never estimated
};

// The priors several parameters share; a model's own sit beside its description.
namespace prior {
// Identity-scale parameters (means, biases): 95 % within +-20 of zero, wide against data in units
// near 1, and still proper.
inline constexpr Prior wide{0.0, 100.0};
// Log-scale parameters whose scale is set by the data's unit (variances and the like): centred at 1,
// 95 % within a factor of e^4 either way.
inline constexpr Prior log_around_one{0.0, 4.0};
}  // namespace prior

struct Param {
    std::string_view name;
    // May be absent, and the model then runs without it (the Kalman filter's cap).
    bool optional = false;
    // Scales seeded noise. A likelihood is that of the noiseless model, so it leaves these out.
    bool noise = false;
    // A fitted parameter's transform and default prior (the others have no prior).
    Transform transform = Transform::identity;
    Prior prior{};
    // The natural value a default fit holds it at, and the one it is held at when fitting responses
    // (where the data cannot identify it); none: estimated.
    std::optional<double> held{};
    std::optional<double> held_for_responses{};
    // The list function's default; none: the argument is required (an optional parameter's default
    // is to be absent).
    std::optional<double> list_default{};

    constexpr bool fitted() const { return prior.var != 0.0; }
    constexpr Param hold(double value) const {
        Param p = *this;
        p.held = value;
        return p;
    }
    constexpr Param hold_for_responses(double value) const {
        Param p = *this;
        p.held_for_responses = value;
        return p;
    }
    constexpr Param defaults_to(double value) const {
        Param p = *this;
        p.list_default = value;
        return p;
    }
};

constexpr Param param(std::string_view name) { return {.name = name}; }
constexpr Param optional_param(std::string_view name) { return {.name = name, .optional = true}; }
constexpr Param noise_param(std::string_view name) { return {.name = name, .noise = true}; }
// A parameter a fit estimates (or holds), on the scale `transform` maps it to, with its default prior there.
constexpr Param fitted(std::string_view name, Transform transform, Prior prior) {
    return {.name = name, .transform = transform, .prior = prior};
}

// Why a parameter is badly declared, or empty: a fitted one needs a finite prior of positive
// variance and held values its transform maps; one that is never fitted (optional, noise, or of a
// model that is not fitted) takes no prior and no held value; an optional one has no default.
constexpr std::string_view param_fault(const Param& p, bool fitted_model) {
    const bool should_fit = fitted_model && !p.optional && !p.noise;
    if (p.name.empty()) return "a parameter has no name";
    if (!should_fit)
        return p.fitted() || p.held || p.held_for_responses ? "a parameter no fit estimates has a prior or held value"
               : p.optional && p.list_default                ? "an optional parameter has a default"
                                                             : "";
    if (!(p.prior.var > 0.0) || !in_domain(Transform::identity, p.prior.var) ||
        !in_domain(Transform::identity, p.prior.mean))
        return "a fitted parameter's prior is not finite with a positive variance";
    if ((p.held && !holdable(p.transform, *p.held)) ||
        (p.held_for_responses && !holdable(p.transform, *p.held_for_responses)))
        return "a held value lies outside its transform's domain";
    return "";
}

// One run's parameter values in the order its model declares them. An absent optional parameter
// is a clear bit of `present`, not a placeholder value: a NaN is a value the model must reject.
template <class T, std::size_t N>
struct Args {
    std::array<T, N> values{};
    std::bitset<N> present;
    std::uint64_t seed = 0;

    const T& operator[](std::size_t k) const { return values[k]; }
    std::optional<T> optional(std::size_t k) const { return present[k] ? std::optional<T>(values[k]) : std::nullopt; }
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
    // A model of choices among options: the K values a choice rule reads, its per-option fields
    // before the trial (field-major: field f of option k at f * K + k), and the option chosen last
    // (on the latest trial with a choice), or -1 before the first.
    std::span<const T> values{};
    std::span<const T> option_fields{};
    std::ptrdiff_t previous = -1;

    // Computed only where a density is wanted: a fit to responses never pays for it.
    T predictive_var() const { return predictive_variance(prior_precision, obs_precision); }
};

// What a model of choices among options reads of a participant's data. It hands trial t to its
// sink before it reads the trial's choice and outcome, which a closed-loop simulation's sink
// writes there: the agent chooses from what it believes before the trial, then learns.
struct Choices {
    std::span<const double> outcomes;  // the chosen option's outcome per trial; NaN: none was seen
    std::span<const double> choices;   // the option chosen (its index) per trial; NaN: a missed trial
    std::size_t options;               // K, the number of options
};

// The most options a run takes: the per-option state of a run lives on its stack.
inline constexpr std::size_t max_options = 32;

// Whether a model's agent chooses among options (its run reads Choices, not inputs alone).
template <class M>
inline constexpr bool chooses = [] {
    if constexpr (requires { M::chooses; })
        return M::chooses;
    else
        return false;
}();

// How many option values a model that does not choose hands each trial, for a choice rule over
// options (0: none, and no such rule applies).
template <class M>
inline constexpr std::size_t option_values_of = [] {
    if constexpr (requires { M::option_values; })
        return M::option_values;
    else
        return std::size_t{0};
}();

// A model's per-option fields (none for a model that does not choose).
template <class M>
inline constexpr auto option_fields = [] {
    if constexpr (requires { M::option_fields; })
        return M::option_fields;
    else
        return std::array<std::string_view, 0>{};
}();

// The parameters of a model's list function that the model never reads (checked, then ignored).
template <class M>
inline constexpr auto list_only_params = [] {
    if constexpr (requires { M::list_only; })
        return M::list_only;
    else
        return std::array<Param, 0>{};
}();

// A model's own default prior for a parameter of a response model it accepts, where the response
// model's does not suit its beliefs (a model lists these as `response_priors`).
struct ResponsePrior {
    std::string_view response;
    std::string_view param;
    Prior prior;
};

template <class M>
inline constexpr auto response_priors_of = [] {
    if constexpr (requires { M::response_priors; })
        return M::response_priors;
    else
        return std::array<ResponsePrior, 0>{};
}();

// Whether a model takes a NaN input as a missed one (it declares `missing_inputs`); else it refuses it.
template <class M>
inline constexpr bool missing_inputs_of = [] {
    if constexpr (requires { M::missing_inputs; })
        return M::missing_inputs;
    else
        return false;
}();

// Whether a model's inputs are outcomes, 0 or 1 (it declares `binary_inputs`).
template <class M>
inline constexpr bool binary_inputs_of = [] {
    if constexpr (requires { M::binary_inputs; })
        return M::binary_inputs;
    else
        return false;
}();

// The list function's default of the parameter `name` of model M (a compile-time error where it has none).
template <class M>
constexpr double list_default(std::string_view name) {
    for (const Param& p : M::params)
        if (p.name == name) return p.list_default.value();
    for (const Param& p : list_only_params<M>)
        if (p.name == name) return p.list_default.value();
    throw "no such parameter";
}

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
