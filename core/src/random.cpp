#include "random.hpp"

#include <cmath>

#include "ziggurat_tables.hpp"

namespace velmora {

void chacha8_refill_scalar(const ChaChaKey& key, std::uint64_t counter, RngBuffer& out) {
    constexpr std::size_t block_words = 16;
    for (std::size_t k = 0; k < out.size() / block_words; ++k) {
        const ChaChaState block = chacha_block<4>(chacha_input(key, counter + k, 0));
        for (std::size_t i = 0; i < block_words; ++i) out[block_words * k + i] = block[i];
    }
}

ChaChaKey expand_seed(std::uint64_t seed) {
    constexpr std::uint64_t multiplier = 6364136223846793005ull;
    constexpr std::uint64_t increment = 11634580027462260723ull;
    ChaChaKey key{};
    std::uint64_t s = seed;
    for (auto& word : key) {
        s = s * multiplier + increment;
        const auto xorshifted = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
        word = std::rotr(xorshifted, static_cast<int>(s >> 59));
    }
    return key;
}

SeededRng SeededRng::from_seed(std::uint64_t seed) { return SeededRng(expand_seed(seed)); }

void SeededRng::generate_and_set(std::size_t new_index) {
    chacha8_refill_scalar(key_, counter_, buffer_);
    counter_ += 4;
    index_ = new_index;
}

std::uint64_t SeededRng::next_word64() {
    const auto join = [](std::uint32_t low, std::uint32_t high) {
        return static_cast<std::uint64_t>(low) | (static_cast<std::uint64_t>(high) << 32);
    };
    const std::size_t last = buffer_.size() - 1;
    if (index_ < last) {
        const std::uint64_t word = join(buffer_[index_], buffer_[index_ + 1]);
        index_ += 2;
        return word;
    }
    if (index_ > last) {
        generate_and_set(2);
        return join(buffer_[0], buffer_[1]);
    }
    // One word left: it becomes the low half, the fresh buffer's first word the high half.
    const std::uint32_t low = buffer_[last];
    generate_and_set(1);
    return join(low, buffer_[0]);
}

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
