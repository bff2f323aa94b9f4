#include "random.hpp"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora {

namespace detail {

void chacha8_refill_scalar(const ChaChaKey& key, std::uint64_t counter, RngBuffer& out) {
    constexpr std::size_t block_words = 16;
    for (std::size_t k = 0; k < out.size() / block_words; ++k) {
        const ChaChaState block = chacha_block<4>(chacha_input(key, counter + k, 0));
        for (std::size_t i = 0; i < block_words; ++i) out[block_words * k + i] = block[i];
    }
}

#if defined(__SSE2__)

namespace {

template <int Bits>
__m128i rotl_lanes(__m128i x) {
    return _mm_or_si128(_mm_slli_epi32(x, Bits), _mm_srli_epi32(x, 32 - Bits));
}

void quarter_round_lanes(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
    a = _mm_add_epi32(a, b); d = rotl_lanes<16>(_mm_xor_si128(d, a));
    c = _mm_add_epi32(c, d); b = rotl_lanes<12>(_mm_xor_si128(b, c));
    a = _mm_add_epi32(a, b); d = rotl_lanes<8>(_mm_xor_si128(d, a));
    c = _mm_add_epi32(c, d); b = rotl_lanes<7>(_mm_xor_si128(b, c));
}

}  // namespace

void chacha8_refill_sse2(const ChaChaKey& key, std::uint64_t counter, RngBuffer& out) {
    // Row i holds word i of blocks counter .. counter + 3, one block per lane.
    __m128i input[16];
    const ChaChaState first = chacha_input(key, counter, 0);
    for (std::size_t i = 0; i < 16; ++i) input[i] = _mm_set1_epi32(static_cast<int>(first[i]));
    std::array<std::uint32_t, 4> low{}, high{};
    for (std::size_t k = 0; k < 4; ++k) {
        low[k] = static_cast<std::uint32_t>(counter + k);
        high[k] = static_cast<std::uint32_t>((counter + k) >> 32);
    }
    input[12] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(low.data()));
    input[13] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(high.data()));

    __m128i x[16];
    for (std::size_t i = 0; i < 16; ++i) x[i] = input[i];
    for (int round = 0; round < 4; ++round) {
        quarter_round_lanes(x[0], x[4], x[8], x[12]);
        quarter_round_lanes(x[1], x[5], x[9], x[13]);
        quarter_round_lanes(x[2], x[6], x[10], x[14]);
        quarter_round_lanes(x[3], x[7], x[11], x[15]);
        quarter_round_lanes(x[0], x[5], x[10], x[15]);
        quarter_round_lanes(x[1], x[6], x[11], x[12]);
        quarter_round_lanes(x[2], x[7], x[8], x[13]);
        quarter_round_lanes(x[3], x[4], x[9], x[14]);
    }
    for (std::size_t i = 0; i < 16; ++i) x[i] = _mm_add_epi32(x[i], input[i]);

    // Transpose each 4x4 tile of (row, lane) so that every block lands in its own 16 words.
    for (std::size_t i = 0; i < 16; i += 4) {
        const __m128i t0 = _mm_unpacklo_epi32(x[i], x[i + 1]);
        const __m128i t1 = _mm_unpacklo_epi32(x[i + 2], x[i + 3]);
        const __m128i t2 = _mm_unpackhi_epi32(x[i], x[i + 1]);
        const __m128i t3 = _mm_unpackhi_epi32(x[i + 2], x[i + 3]);
        const __m128i blocks[4] = {_mm_unpacklo_epi64(t0, t1), _mm_unpackhi_epi64(t0, t1),
                                   _mm_unpacklo_epi64(t2, t3), _mm_unpackhi_epi64(t2, t3)};
        for (std::size_t k = 0; k < 4; ++k)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out.data() + 16 * k + i), blocks[k]);
    }
}

#endif

void chacha8_refill(const ChaChaKey& key, std::uint64_t counter, RngBuffer& out) {
#if defined(__SSE2__)
    chacha8_refill_sse2(key, counter, out);
#else
    chacha8_refill_scalar(key, counter, out);
#endif
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

}  // namespace detail

SeededRng SeededRng::from_seed(std::uint64_t seed) { return SeededRng(detail::expand_seed(seed)); }

void SeededRng::generate_and_set(std::size_t new_index) {
    detail::chacha8_refill(key_, counter_, buffer_);
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

}  // namespace velmora
