#include "error.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace velmora {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

}  // namespace

std::string format_double(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    if (value == 0.0) return std::signbit(value) ? "-0" : "0";

    // The scientific form carries exactly the shortest round-trip digits; the fixed form would
    // print the exact binary expansion of large values instead of the shortest digits and zeros.
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
    (void)ec;  // 32 characters always hold a shortest double in scientific form
    std::string_view text(buf, static_cast<std::size_t>(end - buf));
    auto e_pos = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e_pos))
        if (c != '.') digits.push_back(c);
    int exponent = std::atoi(std::string(text.substr(e_pos + 1)).c_str());

    std::string out = std::signbit(value) ? "-" : "";
    const auto n = static_cast<int>(digits.size());
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else if (exponent + 1 >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(exponent + 1 - n), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
        out += '.';
        out.append(digits, static_cast<std::size_t>(exponent + 1));
    }
    return out;
}

std::string VelmoraError::to_string() const {
    return std::visit(
        Overloaded{
            [](const InvalidParameter& e) {
                return "invalid parameter '" + e.name + "': " + format_double(e.value) + " (" + e.reason + ")";
            },
            [](const SingularMatrix& e) { return "singular matrix encountered in " + e.place; },
            [](const NumericalDivergence& e) {
                return "numerical divergence in " + e.place + ": produced a non-finite value";
            },
            [](const DimensionMismatch& e) {
                return "dimension mismatch in " + e.place + ": expected " + std::to_string(e.expected) +
                       ", got " + std::to_string(e.got);
            },
        },
        kind);
}

}  // namespace velmora
