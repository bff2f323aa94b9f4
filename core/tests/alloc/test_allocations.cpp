// Each computation reserves its result once, one entry per input, and allocates nothing in its
// loop. A replaced global allocator counts what a call asks for; it lives in an executable of its
// own so that the other tests keep the ordinary allocator.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "forward_model.hpp"
#include "hgf.hpp"
#include "kalman.hpp"
#include "learning.hpp"

namespace {

std::vector<std::size_t>* requested = nullptr;  // sizes of the allocations made while counting

}  // namespace

void* operator new(std::size_t size) {
    if (std::vector<std::size_t>* sizes = requested) {
        requested = nullptr;  // recording the size must not count itself
        sizes->push_back(size);
        requested = sizes;
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
// g++ cannot see that the replaced operator new allocates with malloc.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace velmora;

template <class T>
std::size_t length(const Result<std::vector<T>>& r) {
    EXPECT_TRUE(r.has_value());
    return r ? r->size() : 0;
}

struct Case {
    std::string name;
    std::size_t entry_size;
    std::function<std::size_t(std::vector<double>)> run;  // on n inputs of 0.5: the result's length
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

#define CASE(name, entry, call) {name, sizeof(entry), [](std::vector<double> x) { return length(call); }}
const Case cases[] = {
    CASE("kalman", kalman::Row, kalman::run({0.0, 1.0, 0.1, 0.5, std::nullopt}, x)),
    CASE("kalman_capped", kalman::Row, kalman::run({0.0, 1.0, 0.1, 0.5, 2.0}, x)),
    CASE("hgf", hgf::HgfStep, hgf::run({0.5, 1.0, 0.01, 0.0, 1.0, 0.0}, x)),
    CASE("td", double, learning::td_learn_sequence({0.0, 0.3, 0.0, 7}, x)),
    CASE("td_noisy", double, learning::td_learn_sequence({0.0, 0.3, 0.5, 7}, x)),
    CASE("forward", forward_model::Row, forward_model::simulate({0.5, 0.0, 1.0, 7}, x)),
    CASE("forward_noisy", forward_model::Row, forward_model::simulate({0.5, 0.5, 1.0, 7}, x)),
};
#undef CASE

class Allocations : public ::testing::TestWithParam<Case> {};

TEST_P(Allocations, OneReservationOfOneEntryPerInput) {
    for (const std::size_t n : {0u, 1u, 3u, 1000u}) {
        std::vector<double> input(n, 0.5);
        std::vector<std::size_t> sizes;
        sizes.reserve(16);
        requested = &sizes;
        const std::size_t result_length = GetParam().run(std::move(input));
        requested = nullptr;
        EXPECT_EQ(result_length, n);
        // Whatever the length, at most the one reservation: the loop itself allocates nothing.
        const auto expected = n == 0 ? std::vector<std::size_t>{} : std::vector{n * GetParam().entry_size};
        EXPECT_EQ(sizes, expected) << n << " inputs";
    }
}

INSTANTIATE_TEST_SUITE_P(Computations, Allocations, ::testing::ValuesIn(cases),
                         [](const auto& info) { return info.param.name; });

}  // namespace
