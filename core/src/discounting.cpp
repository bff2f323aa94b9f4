#include "discounting.hpp"

#include <cmath>

namespace velmora::discounting {

double discounted_value(double reward, double delay, double discount_factor) {
    const double factor = std::pow(discount_factor, delay);
    return reward * factor;
}

}  // namespace velmora::discounting
