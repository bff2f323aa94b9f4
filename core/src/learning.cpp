#include "learning.hpp"

namespace velmora::learning {

Result<std::vector<double>> td_learn_sequence(const Settings& settings, std::span<const double> rewards) {
    std::vector<double> values;
    values.reserve(rewards.size());
    auto done = td_into(settings, rewards, [&](std::size_t, double v) {
        values.push_back(v);
        return Flow::go_on;
    });
    if (!done) return std::unexpected(std::move(done.error()));
    return values;
}

}  // namespace velmora::learning
