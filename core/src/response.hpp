// How a participant's response to each trial depends on what the model expects before it: the
// response models, each described once: its name, its parameters after the model's (each with its
// transform, default prior and any value a default fit holds it at, as model.hpp declares a
// model's), whether its responses are choices (1, 0, or NaN for a missed trial), and the sum of its
// terms over trials. The objective and the binding read these descriptions; `observations`
// stands beside them for a model's predictive density of its own inputs, which has no responses.
//
// Every sum is written over a scalar type T (double, or a Dual for gradients) and built from the
// response model's parameters; `add(trial, y)` takes one trial, `total()` gives the negative
// log-likelihood. A NaN response is a missed trial and adds nothing. `term(trial, y)` is one
// observed trial's negative log-likelihood, the term `add` sums (the Gaussian sums squares
// instead, for one logarithm per participant), so per-trial values and the objective agree; a
// binary model's `logit(trial)` is log(P / (1 - P)) of P(y = 1) at the trial's belief.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>

#include "density.hpp"
#include "dual.hpp"
#include "model.hpp"
#include "numeric.hpp"

namespace velmora::response {

// The inputs' own predictive density (a self-fit): no responses, no parameters of its own.
struct Observations {
    static constexpr std::string_view name = "observations";
    static constexpr std::array<Param, 0> params{};
    static constexpr bool self_fit = true;
    static constexpr bool choices = false;
    static constexpr bool over_options = false;

    template <class T>
    struct Sum {
        T total_{};
        explicit Sum(std::span<const T>) {}
        template <class Trial>
        T term(const Trial& trial, double) const {
            return gaussian_nll(trial.predictive_var(), trial.deviation);
        }
        template <class Trial>
        void add(const Trial& trial, double y) {
            total_ = total_ + term(trial, y);
        }
        T total() const { return total_; }
    };
};

// y ~ Normal(belief, zeta). The squared deviations are summed and the density taken once, as its
// variance is the same on every trial.
struct Gaussian {
    static constexpr std::string_view name = "gaussian";
    // zeta: the variance of a response around the belief, in the responses' unit squared.
    static constexpr std::array params{fitted("zeta", Transform::log, prior::log_around_one)};
    static constexpr bool self_fit = false;
    static constexpr bool choices = false;
    static constexpr bool over_options = false;

    template <class T>
    struct Sum {
        T zeta, squares{};
        std::size_t observed = 0;
        explicit Sum(std::span<const T> p) : zeta(p[0]) {}
        template <class Trial>
        T term(const Trial& trial, double y) const {
            return gaussian_nll(zeta, y - trial.belief);
        }
        template <class Trial>
        void add(const Trial& trial, double y) {
            if (std::isnan(y)) return;
            const T deviation = y - trial.belief;
            squares = squares + deviation * deviation;
            ++observed;
        }
        T total() const { return gaussian_nll_sum(zeta, observed, squares); }
    };
};

// The negative log-probability of a binary response y (1 or 0) with P(y = 1) = 1 / (1 + exp(-z)):
// -log P = log(1 + exp(-z)) for y = 1 and log(1 + exp(z)) for y = 0, never log(1 - p) of a
// rounded p, so no term overflows or loses its digits, whatever the size of z.
template <class T>
T binary_nll(const T& z, double y) {
    return softplus(y == 1.0 ? T(0.0) - z : z);
}

// Beliefs that are probabilities: P(y = 1) = m^beta / (m^beta + (1 - m)^beta) for the belief m,
// that is the logistic function of beta * logit(m). A belief at or beyond 0 or 1 is taken at
// `margin` inside it, so that a first belief of exactly 0 or 1 still has a finite likelihood.
struct UnitSquare {
    static constexpr std::string_view name = "unit_square";
    static constexpr std::array params{fitted("beta", Transform::log, {std::log(2.0), 4.0})};
    static constexpr bool self_fit = false;
    static constexpr bool choices = true;
    static constexpr bool over_options = false;
    static constexpr double margin = 1e-12;

    template <class T>
    static T logit_of_belief(const T& belief) {
        // Compared by value, so that a NaN belief stays NaN rather than becoming the margin.
        const double v = value_of(belief);
        const T m = v < margin ? T(margin) : v > 1.0 - margin ? T(1.0 - margin) : belief;
        return log(m) - log1p(T(0.0) - m);
    }

    template <class T>
    struct Sum {
        T beta, total_{};
        explicit Sum(std::span<const T> p) : beta(p[0]) {}
        template <class Trial>
        T logit(const Trial& trial) const {
            return beta * logit_of_belief(trial.belief);
        }
        template <class Trial>
        T term(const Trial& trial, double y) const {
            return binary_nll(logit(trial), y);
        }
        template <class Trial>
        void add(const Trial& trial, double y) {
            if (std::isnan(y)) return;
            total_ = total_ + term(trial, y);
        }
        T total() const { return total_; }
    };
};

// A decision variable d (the belief, or the value of one option over another):
// P(y = 1) = 1 / (1 + exp(-beta (d - bias))).
struct Logistic {
    static constexpr std::string_view name = "logistic";
    // An inverse temperature's prior spans e^-8 .. e^8 (95 %): the units of a decision variable are
    // the data's (amounts in cents or in thousands). A default fit holds the bias at 0.
    static constexpr std::array params{fitted("beta", Transform::log, {0.0, 16.0}),
                                       fitted("bias", Transform::identity, prior::wide).hold(0.0)};
    static constexpr bool self_fit = false;
    static constexpr bool choices = true;
    static constexpr bool over_options = false;

    template <class T>
    struct Sum {
        T beta, bias, total_{};
        explicit Sum(std::span<const T> p) : beta(p[0]), bias(p[1]) {}
        template <class Trial>
        T logit(const Trial& trial) const {
            return beta * (trial.belief - bias);
        }
        template <class Trial>
        T term(const Trial& trial, double y) const {
            return binary_nll(logit(trial), y);
        }
        template <class Trial>
        void add(const Trial& trial, double y) {
            if (std::isnan(y)) return;
            total_ = total_ + term(trial, y);
        }
        T total() const { return total_; }
    };
};

// A choice among the K options of a model that chooses (model.hpp's `Choices`), over their values
// Q: P(c = k) proportional to exp(beta Q(k) + perseveration [k = the previous choice]), and with a
// lapse rate, (1 - lapse) times that plus lapse / K. A response is an option's index, 0 .. K - 1
// (NaN: a missed trial). The log-sum-exp is taken about the largest utility, so no term overflows.
struct Softmax {
    static constexpr std::string_view name = "softmax";
    // beta's prior spans e^-8 .. e^8 (95 %): values are in the outcomes' unit, cents or thousands.
    // Perseveration is in the units of a utility (log odds); a fit holds it and the lapse rate at 0
    // unless given a prior (or a fixed value).
    static constexpr std::array params{fitted("beta", Transform::log, {0.0, 16.0}),
                                       fitted("perseveration", Transform::identity, {0.0, 4.0}).hold(0.0),
                                       fitted("lapse", Transform::logit, {-3.0, 4.0}).hold(0.0)};
    static constexpr bool self_fit = false;
    static constexpr bool choices = false;
    static constexpr bool over_options = true;

    template <class T>
    struct Sum {
        T beta, perseveration, lapse, total_{};
        bool lapses;
        explicit Sum(std::span<const T> p)
            : beta(p[0]), perseveration(p[1]), lapse(p[2]), lapses(value_of(p[2]) != 0.0) {}

        template <class Trial>
        T utility(const Trial& trial, std::size_t k) const {
            const T u = beta * trial.values[k];
            return static_cast<std::ptrdiff_t>(k) == trial.previous ? u + perseveration : u;
        }
        // log P(c = k).
        template <class Trial>
        T log_probability(const Trial& trial, std::size_t k) const {
            const std::size_t options = trial.values.size();
            if (options == 2) {
                // Two options: the logistic function of the difference, one exp and one log1p.
                const T log_p = T(0.0) - softplus(utility(trial, 1 - k) - utility(trial, k));
                if (!lapses) return log_p;
                return log((1.0 - lapse) * exp(log_p) + lapse / 2.0);
            }
            std::size_t top = 0;
            for (std::size_t j = 1; j < options; ++j)
                if (value_of(utility(trial, j)) > value_of(utility(trial, top))) top = j;
            const T shift = utility(trial, top);
            T sum{};
            for (std::size_t j = 0; j < options; ++j) sum = sum + exp(utility(trial, j) - shift);
            const T log_p = (utility(trial, k) - shift) - log(sum);
            if (!lapses) return log_p;
            return log((1.0 - lapse) * exp(log_p) + lapse / static_cast<double>(options));
        }
        template <class Trial>
        T term(const Trial& trial, double y) const {
            return T(0.0) - log_probability(trial, static_cast<std::size_t>(y));
        }
        template <class Trial>
        void add(const Trial& trial, double y) {
            if (std::isnan(y)) return;
            total_ = total_ + term(trial, y);
        }
        T total() const { return total_; }
    };
};

using Kinds = std::tuple<Observations, Gaussian, UnitSquare, Logistic, Softmax>;
inline constexpr std::size_t kind_count = std::tuple_size_v<Kinds>;

// The most parameters any response model has.
inline constexpr std::size_t max_params = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::max({std::tuple_element_t<I, Kinds>::params.size()...});
}(std::make_index_sequence<kind_count>{});

}  // namespace velmora::response
