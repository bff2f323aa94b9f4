#include "normal.hpp"

#include <cmath>
#include <cstddef>

#include "ziggurat_tables.hpp"

namespace velmora {

namespace {

constexpr double zig_r = ZIG_NORM_X[1];

// Beyond R: Marsaglia's tail method, on the side of u's sign.
double normal_tail(SeededRng& rng, double u) {
    double t;
    double y;
    do {
        const double a = word_to_open(rng.next_word64());
        const double b = word_to_open(rng.next_word64());
        t = std::log(a) / zig_r;
        y = std::log(b);
    } while (y * -2.0 < t * t);
    return u < 0.0 ? t - zig_r : zig_r - t;
}

}  // namespace

double standard_normal(SeededRng& rng) {
    for (;;) {
        const std::uint64_t w = rng.next_word64();
        const std::size_t i = w & 0xFF;
        const double u = word_to_symmetric(w);
        const double x = ZIG_NORM_X[i] * u;
        if (std::fabs(x) < ZIG_NORM_X[i + 1]) return x;
        if (i == 0) return normal_tail(rng, u);
        const double v = word_to_half_open(rng.next_word64());
        if (ZIG_NORM_F[i + 1] + (ZIG_NORM_F[i] - ZIG_NORM_F[i + 1]) * v < std::exp((x * x) * -0.5)) return x;
    }
}

}  // namespace velmora
