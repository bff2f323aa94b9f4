#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "error.hpp"

using velmora::format_double;
using velmora::VelmoraError;

namespace {

struct Printed {
    double value;
    std::string text;
};

class FormatDouble : public testing::TestWithParam<Printed> {};

TEST_P(FormatDouble, PrintsShortestDigitsPositionally) { EXPECT_EQ(format_double(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Examples, FormatDouble,
    testing::Values(Printed{1.0, "1"}, Printed{-2.0, "-2"}, Printed{100.0, "100"}, Printed{0.1, "0.1"},
                    Printed{0.30000000000000004, "0.30000000000000004"}, Printed{2.5e-5, "0.000025"},
                    Printed{1e-7, "0.0000001"}, Printed{1e21, "1000000000000000000000"},
                    Printed{1152921504606846976.0, "1152921504606847000"}, Printed{-1.5, "-1.5"},
                    Printed{123.456, "123.456"}, Printed{0.0, "0"}, Printed{-0.0, "-0"},
                    Printed{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                    Printed{-std::numeric_limits<double>::quiet_NaN(), "NaN"},
                    Printed{std::numeric_limits<double>::infinity(), "inf"},
                    Printed{-std::numeric_limits<double>::infinity(), "-inf"}));

TEST(FormatDouble, LargeValuesEndInZerosNotInTheirExactExpansion) {
    EXPECT_EQ(format_double(1.5e300), "15" + std::string(299, '0'));
}

TEST(FormatDouble, SmallestSubnormalHasAllItsLeadingZeros) {
    EXPECT_EQ(format_double(std::numeric_limits<double>::denorm_min()), "0." + std::string(323, '0') + "5");
}

// Any double prints without exponent and reads back to itself.
TEST(FormatDouble, RoundTripsRandomBitPatterns) {
    std::mt19937_64 bits(12345);
    for (int i = 0; i < 20000; ++i) {
        const double value = std::bit_cast<double>(bits());
        if (!std::isfinite(value)) continue;
        const std::string text = format_double(value);
        ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
        ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
        ASSERT_EQ(std::signbit(std::strtod(text.c_str(), nullptr)), std::signbit(value)) << text;
    }
}

TEST(VelmoraError, MessagesOfEveryKind) {
    EXPECT_EQ(VelmoraError::invalid_parameter("obs_noise", -1.0, velmora::reason::finite_non_negative).to_string(),
              "invalid parameter 'obs_noise': -1 (must be finite and non-negative)");
    EXPECT_EQ(VelmoraError::invalid_parameter("update_rate", 1.5, velmora::reason::unit_interval).to_string(),
              "invalid parameter 'update_rate': 1.5 (must be in [0, 1])");
    EXPECT_EQ(VelmoraError::singular_matrix("kalman::update gain").to_string(),
              "singular matrix encountered in kalman::update gain");
    EXPECT_EQ(VelmoraError::numerical_divergence("kalman::update posterior mean").to_string(),
              "numerical divergence in kalman::update posterior mean: produced a non-finite value");
    EXPECT_EQ(VelmoraError::dimension_mismatch("hgf::run", 3, 18446744073709551615ULL).to_string(),
              "dimension mismatch in hgf::run: expected 3, got 18446744073709551615");
}

}  // namespace
