// What Python cannot see of the filter: a failed step leaves it untouched. Its results are checked
// from Python; its one reservation in alloc/test_allocations.cpp.
#include "hgf.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <string>

namespace {

namespace hgf = velmora::hgf;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct FailingStep {
    const char* label;
    hgf::Hgf filter;
    bool warm_up;  // take one good step first, so mu2 and var1 no longer hold their initial values
    double observation;
};

class StepFailure : public ::testing::TestWithParam<FailingStep> {};
TEST_P(StepFailure, LeavesFilterUnchanged) {
    hgf::Hgf f = GetParam().filter;
    if (GetParam().warm_up) {
        ASSERT_TRUE(hgf::advance(f, 0.75, 0).has_value());
    }
    const hgf::Hgf before = f;
    EXPECT_FALSE(hgf::advance(f, GetParam().observation, 1).has_value());
    // Bitwise, field by field: tells -0.0 from 0.0, and a NaN equals the same NaN.
    using Bits = std::array<std::uint64_t, 6>;
    EXPECT_EQ(std::bit_cast<Bits>(f), std::bit_cast<Bits>(before));
}
INSTANTIATE_TEST_SUITE_P(
    Hgf, StepFailure,
    ::testing::Values(FailingStep{"observation", hgf::build(0.5, 2.0, 0.01, 0.0, 1.0, 0.0), true, kNaN},
                      FailingStep{"flexibility", hgf::build(0.5, -1.0, 0.01, 0.3, 2.0, -4.0), false, 1.0},
                      FailingStep{"nan_mu1", hgf::build(0.5, 2.0, 0.01, kNaN, 2.0, 3.0), false, 1.0},
                      FailingStep{"overflow", hgf::build(1.0, 2.0, 0.01, -1e308, 2.0, 3.0), false, 1e308}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
