// The Gaussian density that every likelihood uses, written once over the scalar type: double for
// the array engine's `loglik`, a Dual for the objective and its gradient.
#pragma once

#include <cstddef>

#include "dual.hpp"

namespace velmora {

inline constexpr double two_pi = 6.283185307179586;

// -log N(x; mean, variance), from the deviation x - mean. The array engine's loglik is its
// negation, which is exact, so both paths agree bit for bit.
template <class T>
T gaussian_nll(const T& variance, const T& deviation) {
    return 0.5 * (log(two_pi * variance) + (deviation * deviation) / variance);
}

// The sum of gaussian_nll over n deviations of one variance, from the sum of their squares: the
// responses' density around the beliefs, whose variance is the same on every trial.
template <class T>
T gaussian_nll_sum(const T& variance, std::size_t n, const T& sum_of_squares) {
    return 0.5 * (static_cast<double>(n) * log(two_pi * variance) + sum_of_squares / variance);
}

// Variance of the next observation under a Gaussian belief of precision `prior_precision` about a
// mean observed with noise of precision `obs_precision`: the two variances add.
template <class T>
T predictive_variance(const T& prior_precision, const T& obs_precision) {
    return (1.0 / prior_precision) + (1.0 / obs_precision);
}

}  // namespace velmora
