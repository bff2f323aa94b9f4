#include "hgf.hpp"

#include "numeric.hpp"

namespace velmora::hgf {

Hgf build(double obs_noise, double precision_flexibility, double base_process_noise, double mu1, double var1,
          double mu2) {
    return Hgf{
        .obs_precision = 1.0 / max_num(obs_noise, VARIANCE_FLOOR),
        .precision_flexibility = precision_flexibility,
        .base_process_noise = base_process_noise,
        .mu1 = mu1,
        .var1 = max_num(var1, VARIANCE_FLOOR),
        .mu2 = mu2,
    };
}

Result<HgfStep> step(Hgf& filter, double observation, std::uint64_t t) {
    const double y = observation;
    if (!is_finite(y)) {
        return std::unexpected(VelmoraError::invalid_parameter("observation", y, reason::finite));
    }
    if (!is_finite_non_negative(filter.precision_flexibility)) {
        return std::unexpected(VelmoraError::invalid_parameter("precision_flexibility", filter.precision_flexibility,
                                                               reason::finite_non_negative));
    }

    // A negative or NaN initial mu2 must not lower the process variance.
    const double v = max_num(filter.mu2, 0.0) * filter.precision_flexibility + filter.base_process_noise;
    const double s = filter.var1 + v;
    const double p = 1.0 / max_num(s, VARIANCE_FLOOR);
    const double q = filter.obs_precision + p;
    const double d = y - filter.mu1;
    const double a = filter.obs_precision / q;
    const double m = filter.mu1 + d * a;
    if (!is_finite(m)) {
        return std::unexpected(VelmoraError::numerical_divergence("hgf::step level-1 mean"));
    }

    const HgfStep row{static_cast<double>(t), filter.mu1, y, q, d, a, v};

    filter.var1 = max_num(1.0 / q, VARIANCE_FLOOR);
    // Deliberately the stored mu2, not the clamped one used for the volatility above.
    const double old_half = filter.mu2 * 0.5;
    const double new_half = (filter.obs_precision * (d * d)) * 0.5;
    filter.mu2 = max_num(old_half + new_half, 0.0);
    filter.mu1 = m;
    return row;
}

Result<std::vector<HgfStep>> run(std::vector<double> observations, double obs_noise, double precision_flexibility,
                                 double base_process_noise, double mu1, double var1, double mu2) {
    if (observations.empty()) return std::vector<HgfStep>{};

    Hgf filter = build(obs_noise, precision_flexibility, base_process_noise, mu1, var1, mu2);
    std::vector<HgfStep> rows;
    rows.reserve(observations.size());
    for (std::size_t i = 0; i < observations.size(); ++i) {
        auto row = step(filter, observations[i], i);
        if (!row) return std::unexpected(std::move(row.error()));
        rows.push_back(*row);
    }
    return rows;
}

}  // namespace velmora::hgf
