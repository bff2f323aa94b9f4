// Normal deviates from the seeded word generator, by a 256-layer Ziggurat whose tables are
// generated (ziggurat_tables.hpp); only the top bits of each word are used.
#pragma once

#include <bit>
#include <cstdint>

#include "random.hpp"

namespace velmora {

// Word-to-double conversions; all use only the top bits of the word.

// [-1, 1 - 2^-51]; negative exactly when bit 63 is clear.
inline double word_to_symmetric(std::uint64_t w) {
    return std::bit_cast<double>(0x4000000000000000ull | (w >> 12)) - 3.0;
}

// [0, 1 - 2^-53]: the top 53 bits, converted exactly and scaled by 2^-53.
inline double word_to_half_open(std::uint64_t w) {
    return static_cast<double>(w >> 11) * 0x1p-53;
}

// (0, 1): (2m + 1) * 2^-53 for the top 52 bits m; the subtraction is exact.
inline double word_to_open(std::uint64_t w) {
    return std::bit_cast<double>(0x3FF0000000000000ull | (w >> 12)) - 0x1.fffffffffffffp-1;
}

// A standard normal deviate by the Ziggurat; exp and log are called only off the fast path.
double standard_normal(SeededRng& rng);

struct Normal {
    double mean;
    double std;

    double sample(SeededRng& rng) const { return mean + (std * standard_normal(rng)); }
};

}  // namespace velmora
