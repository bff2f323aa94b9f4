// The NaN and signed-zero rules of the clamps. The models use min_num only on values that are never
// NaN, and the sign of a zero from max_num rarely reaches a result, so the rules are pinned here.
#include "numeric.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using velmora::max_num;
using velmora::min_num;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Numeric, NaNOperandIsIgnored) {
    for (double (*f)(const double&, const double&) : {max_num<double>, min_num<double>}) {
        EXPECT_EQ(f(kNaN, 2.0), 2.0);
        EXPECT_EQ(f(2.0, kNaN), 2.0);
        EXPECT_TRUE(std::isnan(f(kNaN, kNaN)));
    }
}

TEST(Numeric, MaximumPrefersPlusZeroMinimumMinusZero) {
    for (const auto& [a, b] : {std::pair{0.0, -0.0}, std::pair{-0.0, 0.0}}) {
        EXPECT_FALSE(std::signbit(max_num(a, b))) << a << ", " << b;
        EXPECT_TRUE(std::signbit(min_num(a, b))) << a << ", " << b;
    }
}

}  // namespace
