// Intertemporal choice: on each trial a sooner and a later offer, each an amount after a delay,
// valued by exponential or hyperbolic discounting. The decision variable of choosing the later
// offer is the difference of the two values.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <span>
#include <string_view>
#include <type_traits>

#include "dual.hpp"
#include "error.hpp"
#include "model.hpp"
#include "numeric.hpp"

namespace velmora::discounting {

// reward * discount_factor^delay; no argument is rejected.
double discounted_value(double reward, double delay, double discount_factor);

// One trial's input row.
inline constexpr std::array<std::string_view, 4> offer_columns{"amount_sooner", "delay_sooner", "amount_later",
                                                               "delay_later"};
inline constexpr std::array<std::string_view, 3> value_fields{"value_sooner", "value_later", "difference"};

// Amounts finite, delays finite and not negative: a negative delay would value an offer above its amount.
inline Result<void> check_offer(const double* row) {
    for (std::size_t c = 0; c < 4; c += 2) {
        if (auto ok = rule::finite.check(offer_columns[c], row[c]); !ok) return ok;
        if (auto ok = rule::finite_non_negative.check(offer_columns[c + 1], row[c + 1]); !ok) return ok;
    }
    return {};
}

// Hands `sink` each trial's values of the two offers under `value(amount, delay)`, with their
// difference (later minus sooner) as the belief: the centre of a choice's logistic.
template <class T, class Value, class Sink>
Result<Flow> offers(std::span<const double> inputs, Value&& value, Sink&& sink) {
    for (std::size_t t = 0; t < inputs.size() / 4; ++t) {
        const double* row = inputs.data() + 4 * t;
        if (auto ok = check_offer(row); !ok) return std::unexpected(std::move(ok.error()));
        const T sooner = value(row[0], row[1]);
        const T later = value(row[2], row[3]);
        const T difference = later - sooner;
        if (sink(t, Trial<T, value_fields.size()>{difference, T{}, T{}, T{}, {sooner, later, difference}}) == Flow::stop)
            return Flow::stop;
    }
    return Flow::go_on;
}

// amount * discount_factor^delay, by discounted_value's own arithmetic (the power, then one product).
// An offer now is worth its amount: pow(x, 0) is exactly 1 for every x, so skipping it changes no bit.
template <class T>
T exponential_value(double amount, double delay, const T& discount_factor) {
    if (delay == 0.0) return T(amount);
    if constexpr (std::is_same_v<T, double>)
        return discounted_value(amount, delay, discount_factor);
    else
        return amount * pow(discount_factor, delay);
}

// amount / (1 + k * delay).
template <class T>
T hyperbolic_value(double amount, double delay, const T& k) {
    return amount / (1.0 + k * delay);
}

// What the two models share: trials of two offers, their fields, and a choice's decision variable.
// `Model` names its one parameter, the rule it must meet and the value of an offer under it.
template <class Model>
struct Offers {
    static constexpr std::array fields = value_fields;
    static constexpr std::array inputs = offer_columns;
    static constexpr bool seeded = false;
    static constexpr bool self_fit = false;
    static constexpr bool fits_responses = true;
    // A choice between two offers: a probability of the later one, not a value to be matched.
    static constexpr std::array<std::string_view, 1> responses{"logistic"};

    template <class T, class Sink>
    static Result<Flow> run(const Args<T, 1>& a, std::span<const double> inputs, Sink&& sink) {
        if (auto ok = Model::rule.check(Model::params[0].name, value_of(a[0])); !ok)
            return std::unexpected(std::move(ok.error()));
        const auto value = [&](double amount, double delay) { return Model::value(amount, delay, a[0]); };
        return offers<T>(inputs, value, sink);
    }
};

struct Exponential : Offers<Exponential> {
    static constexpr std::string_view name = "discount";
    // Rates of 0.001 to 0.05 per day (delta 0.95 to 0.999, logit 3 to 7) lie near the centre; hours
    // and years move it by about 3 and 6 either way, still well inside the prior.
    static constexpr std::array params{fitted("discount_factor", Transform::logit, {4.0, 16.0})};
    static constexpr const Rule& rule = rule::unit_interval;
    template <class T>
    static T value(double amount, double delay, const T& discount_factor) {
        return exponential_value(amount, delay, discount_factor);
    }
};

struct Hyperbolic : Offers<Hyperbolic> {
    static constexpr std::string_view name = "hyperbolic";
    static constexpr std::array params{fitted("k", Transform::log, {std::log(0.01), 16.0})};
    static constexpr const Rule& rule = rule::finite_non_negative;
    template <class T>
    static T value(double amount, double delay, const T& k) {
        return hyperbolic_value(amount, delay, k);
    }
};

}  // namespace velmora::discounting
