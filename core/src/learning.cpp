#include "learning.hpp"

#include <cmath>

#include "numeric.hpp"
#include "random.hpp"

namespace velmora::learning {

Result<std::vector<double>> td_learn_sequence(double initial_value, std::vector<double> rewards,
                                              double learning_rate, double rpe_noise_std,
                                              std::uint64_t seed) {
    SeededRng rng = SeededRng::from_seed(seed);
    std::vector<double> values;
    if (rewards.empty()) return values;
    values.reserve(rewards.size());
    if (!is_unit_interval(learning_rate)) {
        return std::unexpected(VelmoraError::invalid_parameter("learning_rate", learning_rate, reason::unit_interval));
    }
    if (!is_finite_non_negative(rpe_noise_std)) {
        return std::unexpected(
            VelmoraError::invalid_parameter("rpe_noise_std", rpe_noise_std, reason::finite_non_negative));
    }
    double v = initial_value;
    if (rpe_noise_std > 0.0) {
        const Normal noise{0.0, rpe_noise_std};
        for (const double r : rewards) {
            const double e = noise.sample(rng);
            v = v + (((r - v) + e) * learning_rate);
            values.push_back(v);
        }
    } else {
        // Nothing is drawn, so the seed has no effect.
        for (const double r : rewards) {
            v = v + ((r - v) * learning_rate);
            values.push_back(v);
        }
    }
    return values;
}

double discounted_value(double reward, double delay, double discount_factor) {
    const double factor = std::pow(discount_factor, delay);
    return reward * factor;
}

}  // namespace velmora::learning
