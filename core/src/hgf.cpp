#include "hgf.hpp"

namespace velmora::hgf {

Result<std::vector<HgfStep>> run(const Settings& settings, std::span<const double> observations) {
    std::vector<HgfStep> rows;
    rows.reserve(observations.size());
    auto done = run_into(settings, observations, [&](std::size_t, const Detailed& d) {
        rows.push_back(d.row);
        return Flow::go_on;
    });
    if (!done) return std::unexpected(std::move(done.error()));
    return rows;
}

}  // namespace velmora::hgf
