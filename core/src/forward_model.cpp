#include "forward_model.hpp"

#include <cmath>

#include "numeric.hpp"
#include "random.hpp"

namespace velmora::forward_model {

Result<std::vector<Row>> simulate(std::vector<double> motor_command, double update_rate,
                                  double injury_noise_std, double sensory_gain, std::uint64_t seed) {
    SeededRng rng = SeededRng::from_seed(seed);
    if (!is_unit_interval(update_rate)) {
        return std::unexpected(VelmoraError::invalid_parameter("update_rate", update_rate, reason::unit_interval));
    }
    if (!is_finite_non_negative(injury_noise_std)) {
        return std::unexpected(
            VelmoraError::invalid_parameter("injury_noise_std", injury_noise_std, reason::finite_non_negative));
    }
    std::vector<Row> rows;
    if (motor_command.empty()) return rows;
    rows.reserve(motor_command.size());

    const bool noisy = injury_noise_std > 0.0;
    const Normal noise{0.0, injury_noise_std};
    double estimate = 0.0;
    for (std::size_t i = 0; i < motor_command.size(); ++i) {
        double actual = motor_command[i] * sensory_gain;
        if (noisy) actual = actual + noise.sample(rng);
        const double mismatch = actual - estimate;
        const double next = estimate + (mismatch * update_rate);
        if (!std::isfinite(next)) {
            return std::unexpected(VelmoraError::numerical_divergence("forward_model::simulate estimate"));
        }
        rows.push_back(Row{static_cast<double>(i), estimate, actual, mismatch});
        estimate = next;
    }
    return rows;
}

}  // namespace velmora::forward_model
