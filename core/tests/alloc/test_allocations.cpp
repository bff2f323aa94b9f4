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

bool counting = false;
std::vector<std::size_t>* requested = nullptr;  // sizes of the allocations made while counting

}  // namespace

void* operator new(std::size_t size) {
    if (counting) {
        counting = false;  // recording the size must not count itself
        requested->push_back(size);
        counting = true;
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

// Runs a computation on n inputs of 0.5 and returns the length of its result.
using Run = std::function<std::size_t(std::vector<double>)>;

template <class T>
std::size_t length(const Result<std::vector<T>>& r) {
    EXPECT_TRUE(r.has_value());
    return r ? r->size() : 0;
}

struct Case {
    std::string name;
    std::size_t entry_size;
    Run run;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const Case cases[] = {
    {"kalman", sizeof(kalman::Row),
     [](std::vector<double> x) { return length(kalman::run(0.0, 1.0, std::move(x), 0.1, 0.5, std::nullopt)); }},
    {"kalman_capped", sizeof(kalman::Row),
     [](std::vector<double> x) { return length(kalman::run(0.0, 1.0, std::move(x), 0.1, 0.5, 2.0)); }},
    {"hgf", sizeof(hgf::HgfStep),
     [](std::vector<double> x) { return length(hgf::run(std::move(x), 0.5, 1.0, 0.01, 0.0, 1.0, 0.0)); }},
    {"td", sizeof(double),
     [](std::vector<double> x) { return length(learning::td_learn_sequence(0.0, std::move(x), 0.3, 0.0, 7)); }},
    {"td_noisy", sizeof(double),
     [](std::vector<double> x) { return length(learning::td_learn_sequence(0.0, std::move(x), 0.3, 0.5, 7)); }},
    {"forward", sizeof(forward_model::Row),
     [](std::vector<double> x) { return length(forward_model::simulate(std::move(x), 0.5, 0.0, 1.0, 7)); }},
    {"forward_noisy", sizeof(forward_model::Row),
     [](std::vector<double> x) { return length(forward_model::simulate(std::move(x), 0.5, 0.5, 1.0, 7)); }},
};

struct Counted {
    std::vector<std::size_t> sizes;
    std::size_t result_length = 0;
};

Counted count(const Run& run, std::size_t n) {
    std::vector<double> input(n, 0.5);
    Counted out;
    out.sizes.reserve(16);
    requested = &out.sizes;
    counting = true;
    out.result_length = run(std::move(input));
    counting = false;
    requested = nullptr;
    return out;
}

class Allocations : public ::testing::TestWithParam<Case> {};

TEST_P(Allocations, OneReservationOfOneEntryPerInput) {
    const Case& c = GetParam();
    for (const std::size_t n : {0u, 1u, 3u, 1000u}) {
        const Counted counted = count(c.run, n);
        EXPECT_EQ(counted.result_length, n);
        // Whatever the length, at most the one reservation: the loop itself allocates nothing.
        const auto expected = n == 0 ? std::vector<std::size_t>{} : std::vector<std::size_t>{n * c.entry_size};
        EXPECT_EQ(counted.sizes, expected) << n << " inputs";
    }
}

INSTANTIATE_TEST_SUITE_P(Computations, Allocations, ::testing::ValuesIn(cases),
                         [](const auto& info) { return info.param.name; });

TEST(Allocations, NoneForDiscountedValue) {
    const Counted counted = count(
        [](std::vector<double>) { return std::size_t{learning::discounted_value(10.0, 2.0, 0.5) == 2.5}; }, 0);
    EXPECT_EQ(counted.result_length, 1u);
    EXPECT_TRUE(counted.sizes.empty());
}

}  // namespace
