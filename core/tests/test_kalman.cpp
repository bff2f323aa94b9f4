// The run reserves its rows once; its results are checked from Python.
#include <gtest/gtest.h>

#include "kalman.hpp"

namespace {

TEST(Kalman, ReservesExactlyOneRowPerObservation) {
    for (const std::size_t n : {1u, 17u, 1000u}) {
        const auto rows = velmora::kalman::run(0.0, 1.0, std::vector<double>(n, 0.25), 0.1, 0.5, 2.0);
        ASSERT_TRUE(rows.has_value());
        EXPECT_EQ(rows->size(), n);
        EXPECT_EQ(rows->capacity(), n);
    }
}

}  // namespace
