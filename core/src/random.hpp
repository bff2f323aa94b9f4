// Seeded word generator: a ChaCha8 keystream read as 64-bit words. Every step is fixed to the bit
// so that equal seeds give equal streams on every machine. The deviates over it are in normal.hpp.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace velmora {

// The cipher and its refill, exposed only so that tests can check them against known vectors.
namespace detail {

using ChaChaKey = std::array<std::uint32_t, 8>;
using ChaChaState = std::array<std::uint32_t, 16>;
// Four consecutive blocks; block k occupies words 16k to 16k + 15.
using RngBuffer = std::array<std::uint32_t, 64>;

// The cipher's input state for one block: constants, key, 64-bit block number, stream.
constexpr ChaChaState chacha_input(const ChaChaKey& key, std::uint64_t block, std::uint64_t stream) {
    return {0x61707865u, 0x3320646Eu, 0x79622D32u, 0x6B206574u,
            key[0], key[1], key[2], key[3], key[4], key[5], key[6], key[7],
            static_cast<std::uint32_t>(block), static_cast<std::uint32_t>(block >> 32),
            static_cast<std::uint32_t>(stream), static_cast<std::uint32_t>(stream >> 32)};
}

constexpr void chacha_quarter_round(ChaChaState& s, int a, int b, int c, int d) {
    s[a] += s[b]; s[d] ^= s[a]; s[d] = std::rotl(s[d], 16);
    s[c] += s[d]; s[b] ^= s[c]; s[b] = std::rotl(s[b], 12);
    s[a] += s[b]; s[d] ^= s[a]; s[d] = std::rotl(s[d], 8);
    s[c] += s[d]; s[b] ^= s[c]; s[b] = std::rotl(s[b], 7);
}

// The ChaCha block function with 2 * DoubleRounds rounds. The generator uses 8 rounds;
// the round count is a parameter only so the core can be checked against 20-round vectors.
template <int DoubleRounds>
constexpr ChaChaState chacha_block(const ChaChaState& input) {
    ChaChaState s = input;
    for (int round = 0; round < DoubleRounds; ++round) {
        chacha_quarter_round(s, 0, 4, 8, 12);
        chacha_quarter_round(s, 1, 5, 9, 13);
        chacha_quarter_round(s, 2, 6, 10, 14);
        chacha_quarter_round(s, 3, 7, 11, 15);
        chacha_quarter_round(s, 0, 5, 10, 15);
        chacha_quarter_round(s, 1, 6, 11, 12);
        chacha_quarter_round(s, 2, 7, 8, 13);
        chacha_quarter_round(s, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < s.size(); ++i) s[i] += input[i];
    return s;
}

// Blocks counter .. counter + 3 (stream 0) into `out`, one block after another: the reference.
void chacha8_refill_scalar(const ChaChaKey& key, std::uint64_t counter, RngBuffer& out);

#if defined(__SSE2__)
// The same four blocks computed side by side, one block per 32-bit lane; bit-identical to the scalar path.
void chacha8_refill_sse2(const ChaChaKey& key, std::uint64_t counter, RngBuffer& out);
#endif

// The fastest of the above that this build has.
void chacha8_refill(const ChaChaKey& key, std::uint64_t counter, RngBuffer& out);

// The 256-bit key from a 64-bit seed: eight PCG32 outputs, the state advanced before each.
ChaChaKey expand_seed(std::uint64_t seed);

}  // namespace detail

using detail::ChaChaKey;
using detail::RngBuffer;

class SeededRng {
public:
    static SeededRng from_seed(std::uint64_t seed);

    std::uint64_t next_word64();
    // Refill the buffer with the next four blocks and continue reading at `new_index`.
    void generate_and_set(std::size_t new_index);

    const RngBuffer& buffer() const { return buffer_; }
    std::size_t index() const { return index_; }
    std::uint64_t counter() const { return counter_; }
    const ChaChaKey& key() const { return key_; }

private:
    explicit SeededRng(const ChaChaKey& key) : key_(key) {}

    RngBuffer buffer_{};
    std::size_t index_ = buffer_.size();  // everything read: the first draw refills
    ChaChaKey key_;
    std::uint64_t counter_ = 0;
};

}  // namespace velmora
