// No computation raises these two kinds, so only here can their messages be seen. The messages
// of the other kinds, and how doubles print in them, are checked from Python.
#include <gtest/gtest.h>

#include "error.hpp"

namespace {

using velmora::VelmoraError;

TEST(VelmoraError, MessagesOfTheKindsNoComputationRaises) {
    EXPECT_EQ((VelmoraError{velmora::SingularMatrix{"kalman::update gain"}}).to_string(),
              "singular matrix encountered in kalman::update gain");
    // Counts print as plain unsigned integers, never in the double format.
    EXPECT_EQ((VelmoraError{velmora::DimensionMismatch{"hgf::run", 3, 18446744073709551615ULL}}).to_string(),
              "dimension mismatch in hgf::run: expected 3, got 18446744073709551615");
}

}  // namespace
