#include "forward_model.hpp"

namespace velmora::forward_model {

Result<std::vector<Row>> simulate(const Settings& settings, std::span<const double> motor_command) {
    std::vector<Row> rows;
    auto done = simulate_into(settings, motor_command, [&](std::size_t i, const Row& row) {
        // Reserved at the first row, after the parameter checks, as one allocation.
        if (i == 0) rows.reserve(motor_command.size());
        rows.push_back(row);
        return Flow::go_on;
    });
    if (!done) return std::unexpected(std::move(done.error()));
    return rows;
}

}  // namespace velmora::forward_model
