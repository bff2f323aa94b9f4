#include "kalman.hpp"

namespace velmora::kalman {

Result<std::vector<Row>> run(const Settings& settings, std::span<const double> observations) {
    std::vector<Row> rows;
    rows.reserve(observations.size());
    auto done = run_into(settings, observations, [&](std::size_t, const Step& s) {
        rows.push_back(s.row);
        return Flow::go_on;
    });
    if (!done) return std::unexpected(std::move(done.error()));
    return rows;
}

}  // namespace velmora::kalman
