#include <gtest/gtest.h>

#include <limits>

#include "kalman.hpp"

namespace {

using velmora::kalman::run;

TEST(Kalman, ReservesExactlyOneRowPerObservation) {
    std::vector<double> observations(1000, 0.25);
    auto rows = run(0.0, 1.0, observations, 0.1, 0.5, std::nullopt);
    ASSERT_TRUE(rows.has_value());
    EXPECT_EQ(rows->size(), observations.size());
    EXPECT_EQ(rows->capacity(), observations.size());
}

TEST(Kalman, VarianceNeverFallsBelowTheFloor) {
    auto rows = run(0.0, 0.0, std::vector<double>(50, 3.0), 0.0, 0.0, std::nullopt);
    ASSERT_TRUE(rows.has_value());
    for (const auto& row : *rows) EXPECT_GE(row.var, 1e-6);
}

TEST(Kalman, CapBoundsTheWeightOfTheObservation) {
    // With a cap C the new mean keeps weight P_obs / (P_obs + C) on each observation.
    auto rows = run(0.0, 1.0, std::vector<double>(200, 0.0), 0.0, 1.0, 4.0);
    ASSERT_TRUE(rows.has_value());
    auto last = run(rows->back().mean, rows->back().var, {1.0}, 0.0, 1.0, 4.0);
    ASSERT_TRUE(last.has_value());
    EXPECT_DOUBLE_EQ(last->front().mean, 1.0 / 5.0);
}

}  // namespace
