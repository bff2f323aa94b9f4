// The one error value of the core computations, and the text of its message.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace velmora {

struct InvalidParameter {
    std::string name;
    double value;
    std::string reason;
};

struct SingularMatrix {
    std::string place;
};

struct NumericalDivergence {
    std::string place;
};

struct DimensionMismatch {
    std::string place;
    std::uint64_t expected;
    std::uint64_t got;
};

// The kinds, in declaration order; the index doubles as the kind's number. No computation raises a
// SingularMatrix or a DimensionMismatch today: they keep their places (and their Python exception
// classes) so that every kind's number stays what it is.
using ErrorKind = std::variant<InvalidParameter, SingularMatrix, NumericalDivergence, DimensionMismatch>;

struct VelmoraError {
    ErrorKind kind;

    static VelmoraError invalid_parameter(std::string_view name, double value, std::string_view why) {
        return {InvalidParameter{std::string(name), value, std::string(why)}};
    }
    static VelmoraError numerical_divergence(std::string_view place) {
        return {NumericalDivergence{std::string(place)}};
    }

    // The message users see, e.g. "invalid parameter 'obs_noise': -1 (must be finite and non-negative)".
    std::string to_string() const;
};

template <class T>
using Result = std::expected<T, VelmoraError>;

// The position of a kind in ErrorKind, at compile time: the binding maps kinds to exception
// classes by it and checks the mapping statically.
template <class Kind, std::size_t I = 0>
constexpr std::size_t kind_index() {
    static_assert(I < std::variant_size_v<ErrorKind>, "not an error kind");
    if constexpr (std::is_same_v<Kind, std::variant_alternative_t<I, ErrorKind>>)
        return I;
    else
        return kind_index<Kind, I + 1>();
}

// Shortest round-trip digits in plain positional notation: "1", "0.0000001", "NaN", "-inf", "-0".
std::string format_double(double value);

}  // namespace velmora
