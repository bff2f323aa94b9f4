#include "kalman.hpp"

#include "numeric.hpp"

namespace velmora::kalman {

Result<std::vector<Row>> run(double initial_mean, double initial_var, std::vector<double> observations,
                             double process_noise, double obs_noise, std::optional<double> prior_precision_cap) {
    std::vector<Row> rows;
    if (observations.empty()) return rows;

    double mean = initial_mean;
    double var = max_num(initial_var, VARIANCE_FLOOR);
    const double obs_precision = 1.0 / max_num(obs_noise, VARIANCE_FLOOR);
    rows.reserve(observations.size());

    for (const double y : observations) {
        // The parameter checks look only at constants, but they keep their place in the step so
        // that the first observation's finiteness is judged between them.
        if (!is_finite_non_negative(process_noise))
            return std::unexpected(
                VelmoraError::invalid_parameter("process_noise", process_noise, reason::finite_non_negative));
        const double predicted_var = max_num(var + process_noise, VARIANCE_FLOOR);

        if (!is_finite(y)) return std::unexpected(VelmoraError::invalid_parameter("observation", y, reason::finite));
        if (!is_finite_non_negative(obs_noise))
            return std::unexpected(
                VelmoraError::invalid_parameter("obs_noise", obs_noise, reason::finite_non_negative));
        if (prior_precision_cap && !is_finite_positive(*prior_precision_cap))
            return std::unexpected(VelmoraError::invalid_parameter("prior_precision_cap", *prior_precision_cap,
                                                                   reason::finite_positive));

        double prior_precision = 1.0 / predicted_var;
        if (prior_precision_cap) prior_precision = min_num(prior_precision, *prior_precision_cap);

        const double posterior_precision = obs_precision + prior_precision;
        if (!is_finite_positive(posterior_precision))
            return std::unexpected(VelmoraError::numerical_divergence("kalman::update posterior precision"));

        const double weighted_obs = obs_precision * y;
        const double weighted_prior = prior_precision * mean;
        const double new_mean = (weighted_obs + weighted_prior) / posterior_precision;
        if (!is_finite(new_mean))
            return std::unexpected(VelmoraError::numerical_divergence("kalman::update posterior mean"));

        mean = new_mean;
        var = max_num(1.0 / posterior_precision, VARIANCE_FLOOR);
        rows.push_back({mean, var});
    }
    return rows;
}

}  // namespace velmora::kalman
