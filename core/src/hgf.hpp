// Two-level hierarchical Gaussian filter whose level-1 process variance is driven by a
// running volatility estimate at level 2.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

#include "error.hpp"

namespace velmora::hgf {

struct Hgf {
    double obs_precision;          // in [0, 1e6], never NaN
    double precision_flexibility;  // validated at every step, never here
    double base_process_noise;     // taken as given, never checked
    double mu1;                    // level-1 mean
    double var1;                   // level-1 variance, never NaN nor below VARIANCE_FLOOR
    double mu2;                    // level-2 volatility estimate; clamped at use until the first step
};

// One row of the result. Only doubles, in tuple order: the binding reinterprets a row as
// seven doubles, so no other field or padding may be added.
struct HgfStep {
    double t;
    double prediction;
    double observation;
    double precision;
    double prediction_error;
    double learning_rate;
    double volatility;
};
static_assert(sizeof(HgfStep) == 7 * sizeof(double) && std::is_trivially_copyable_v<HgfStep>);

// Never fails: obs_noise and var1 are floored, every other value is kept as given.
Hgf build(double obs_noise, double precision_flexibility, double base_process_noise, double mu1, double var1,
          double mu2);

// One observation at index t. On error the filter is left exactly as it was.
Result<HgfStep> step(Hgf& filter, double observation, std::uint64_t t);

// The whole filter over a sequence; the first failing step discards every row.
Result<std::vector<HgfStep>> run(std::vector<double> observations, double obs_noise, double precision_flexibility,
                                 double base_process_noise, double mu1, double var1, double mu2);

}  // namespace velmora::hgf
