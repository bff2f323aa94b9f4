// Each noisy model reserves its result once, with and without noise; its values are checked from
// Python against a transcription of the generator.
#include <gtest/gtest.h>

#include <vector>

#include "forward_model.hpp"
#include "learning.hpp"

namespace {

TEST(NoisyModels, ReserveExactlyOneEntryPerInput) {
    for (const double noise : {0.0, 1.0}) {
        for (const std::size_t n : {1u, 7u, 1000u}) {
            SCOPED_TRACE(testing::Message() << "noise " << noise << ", n " << n);
            const auto values = velmora::learning::td_learn_sequence(0.0, std::vector<double>(n, 1.0), 0.5, noise, 0);
            ASSERT_TRUE(values.has_value());
            EXPECT_EQ(values->size(), n);
            EXPECT_EQ(values->capacity(), n);
            const auto rows = velmora::forward_model::simulate(std::vector<double>(n, 1.0), 0.5, noise, 1.0, 0);
            ASSERT_TRUE(rows.has_value());
            EXPECT_EQ(rows->size(), n);
            EXPECT_EQ(rows->capacity(), n);
        }
    }
}

}  // namespace
